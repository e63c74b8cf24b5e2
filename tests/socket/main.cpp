#include <gtest/gtest.h>

#include "ci/uCI_Library.h"

int main(int argc, char** argv) {
  uCI_Library::TCILibraryScope library;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
