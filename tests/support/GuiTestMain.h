#pragma once
// main() of a GUI test that needs the library: the library and provider scopes with a
// simulated HID backend as the only one, the application object, then the Qt Test object.

#include <QApplication>
#include <QtTest>

#include <memory>

#include "ci/uCI_Library.h"
#include "gui/uStyle.h"
#include "providers/uCI_Providers.h"
#include "providers/uHidSimulated.h"

namespace testsupport {

template <class TTest>
int RunGuiTest(int argc, char** argv,
               std::shared_ptr<uHidSimulated::TSimulatedHidBackend>& backend) {
  uCI_Library::TCILibraryScope library;
  backend = std::make_shared<uHidSimulated::TSimulatedHidBackend>();
  uCI_Providers::TProvidersScope providers({.Linux = false, .Simulated = backend});
  // Qt WebEngine shares OpenGL contexts with the widgets; set before the application exists.
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication application(argc, argv);
  uStyle::InstallFontSubstitutions();
  TTest test;
  const int result = QTest::qExec(&test, argc, argv);
  backend.reset();
  return result;
}

}  // namespace testsupport
