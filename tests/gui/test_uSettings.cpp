// The settings dialog: the port shown and returned by Execute, the ways to close it, its
// layout, and the main window's handlers of "Nastavení" (storing the port) and "Log" (showing
// the log window for all channels).
#include <QLabel>
#include <QtTest>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "ci/uCI_Library.h"
#include "gui/uCiLog.h"
#include "gui/uIntEdit.h"
#include "gui/uMain.h"
#include "gui/uMessageBox.h"
#include "gui/uMessageBoxSeam.h"
#include "gui/uSettings.h"
#include "gui/uSettingsSeam.h"
#include "gui/uShapeEx.h"
#include "gui/uStyle.h"
#include "providers/uCI_Providers.h"
#include "providers/uHidSimulated.h"

using uSettings::TfrmSettings;

class TestSettings : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<uStyle::TdmStyle> style_;
  std::unique_ptr<TfrmSettings> dialog_;
  QStringList messages_;

  uIntEdit::TIntEdit* Port() const { return dialog_->findChild<uIntEdit::TIntEdit*>("ieWebPort"); }
  uShapeEx::TShapeEx* Button(const char* name) const {
    return dialog_->findChild<uShapeEx::TShapeEx*>(name);
  }

  // Runs the real modal dialog; drive acts on it once it is shown. A dialog still open after
  // a few seconds is rejected, so a fault fails the test instead of hanging it.
  bool ExecuteDriven(std::int32_t& port, const std::function<void()>& drive) {
    QTimer::singleShot(0, dialog_.get(), [this, drive] {
      if (!QTest::qWaitForWindowExposed(dialog_.get())) return;
      drive();
    });
    QTimer::singleShot(5000, dialog_.get(), [this] {
      if (dialog_->isVisible()) dialog_->reject();
    });
    return dialog_->Execute(port);
  }

 private slots:
  void initTestCase() {
    QCursor::setPos(790, 590);  // away from the dialog's buttons
    uStyle::InstallFontSubstitutions();
    style_ = std::make_unique<uStyle::TdmStyle>();
    uMessageBox::SetShowMessageHook([this](const QString& text) { messages_ << text; });
  }
  void cleanupTestCase() { uMessageBox::SetShowMessageHook({}); }
  void init() {
    messages_.clear();
    dialog_ = std::make_unique<TfrmSettings>(style_.get());
  }
  void cleanup() {
    uSettings::TSettingsSeam::SetExecuteHook({});
    dialog_.reset();
  }

  void layout() {
    QCOMPARE(dialog_->windowTitle(), QString::fromUtf8("Nastavení"));
    QCOMPARE(dialog_->size(), QSize(329, 153));
    auto* label = dialog_->findChild<QLabel*>("lbl1");
    QCOMPARE(label->text(), QString::fromUtf8("Webový port:"));
    QCOMPARE(label->pos(), QPoint(24, 48));
    QCOMPARE(Port()->geometry(), QRect(184, 44, 121, 21));
    QCOMPARE(Port()->MinValue(), 0);
    QCOMPARE(Port()->MaxValue(), 65535);
    QCOMPARE(Button("shpxOk")->Caption(), QString("Ok"));
    QCOMPARE(Button("shpxCancel")->Caption(), QString::fromUtf8("Zavřít"));
    QCOMPARE(Button("shpxOk")->mapTo(dialog_.get(), QPoint()), QPoint(168, 153 - 41 + 8));
    QCOMPARE(Button("shpxCancel")->mapTo(dialog_.get(), QPoint()), QPoint(248, 153 - 41 + 8));
    QVERIFY(Button("shpxOk")->ColorSchema() == style_->shpxclrschmButtons());
  }

  void execute_data() {
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("typed");  // empty: nothing typed
    QTest::addColumn<QString>("close");
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("shown");
    QTest::addColumn<int>("returned");
    QTest::newRow("Ok unchanged") << 8080 << QString() << "ok" << true << 8080 << 8080;
    QTest::newRow("Ok with a new port") << 8080 << "9000"
                                        << "ok" << true << 8080 << 9000;
    QTest::newRow("Ok with a port out of range") << 8080 << "70000"
                                                 << "ok" << true << 8080 << 65535;
    QTest::newRow("Zavřít") << 8080 << "9000"
                            << "cancel" << false << 8080 << 8080;
    QTest::newRow("close box") << 8080 << "9000"
                               << "close" << false << 8080 << 8080;
    QTest::newRow("port clamped when shown")
        << 100000 << QString() << "ok" << true << 65535 << 65535;
  }
  void execute() {
    QFETCH(int, port);
    QFETCH(QString, typed);
    QFETCH(QString, close);
    QFETCH(bool, result);
    QFETCH(int, shown);
    QFETCH(int, returned);
    std::int32_t value = port;
    QString shownText;
    const bool ok = ExecuteDriven(value, [&] {
      shownText = Port()->text();
      if (!typed.isEmpty()) {
        Port()->selectAll();
        QTest::keyClicks(Port(), typed);
      }
      if (close == "ok")
        QTest::mouseClick(Button("shpxOk"), Qt::LeftButton);
      else if (close == "cancel")
        QTest::mouseClick(Button("shpxCancel"), Qt::LeftButton);
      else
        dialog_->close();
    });
    QCOMPARE(shownText, QString::number(shown));
    QCOMPARE(ok, result);
    QCOMPARE(value, returned);
    QVERIFY(messages_.isEmpty());
  }

  void mainWindowLogButtonShowsTheLog() {
    const auto root = std::filesystem::temp_directory_path() /
                      ("dovela-settings-log-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root / "Web");
    std::ofstream(root / "Web" / "Background.html") << "<!doctype html><title>bg</title>";
    {
      uMain::TfMain main(root);
      main.shpxLogClick();  // without a log window: nothing happens
      uCiLog::TfCiLog log;
      main.SetLogWindow(&log);
      QVERIFY(!log.isVisible());
      main.shpxLogClick();
      QVERIFY(log.isVisible());
      main.SetLogWindow(nullptr);
    }
    std::filesystem::remove_all(root);
  }

  void mainWindowStoresThePort_data() {
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("stored");
    QTest::newRow("Ok") << true << 9090;
    QTest::newRow("Zavřít") << false << 8080;
  }
  void mainWindowStoresThePort() {
    QFETCH(bool, ok);
    QFETCH(int, stored);
    const auto root =
        std::filesystem::temp_directory_path() / ("dovela-settings-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root / "Web");
    std::ofstream(root / "Web" / "Background.html") << "<!doctype html><title>bg</title>";
    {
      uMain::TfMain main(root);
      main.SetSettingsDialog(dialog_.get());
      main.SetDefaultPort(8080);
      int shown = -1;
      uSettings::TSettingsSeam::SetExecuteHook([&](TfrmSettings& dialog) {
        shown = dialog.WebPortEdit()->Value();
        dialog.WebPortEdit()->setText("9090");
        return ok;
      });
      main.shpxSettingsClick();
      QCOMPARE(shown, 8080);
      QCOMPARE(main.DefaultPort(), stored);
      main.SetSettingsDialog(nullptr);
    }
    std::filesystem::remove_all(root);
  }
};

int main(int argc, char** argv) {
  uCI_Library::TCILibraryScope library;
  uCI_Providers::TProvidersScope providers(
      {.Linux = false, .Simulated = std::make_shared<uHidSimulated::TSimulatedHidBackend>()});
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication application(argc, argv);
  TestSettings test;
  return QTest::qExec(&test, argc, argv);
}

#include "test_uSettings.moc"
