#include <gtest/gtest.h>

#include "ci/uCI_Library.h"
#include "providers/uCI_Providers.h"

int main(int argc, char** argv) {
  uCI_Library::TCILibraryScope library;
  // No hardware in tests: devices come from the simulated backend that tests add.
  uCI_Providers::TProvidersScope providers({.Linux = false, .Simulated = nullptr});
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
