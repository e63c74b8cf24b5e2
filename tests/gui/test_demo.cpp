// The configurator with the demo device, as a technician uses it: connect, the device's
// pages load, a setting changed through the page's own script reaches the device. With
// DOVELA_SCREENSHOT_DIR set it also saves the README's screenshots there.
#include <QApplication>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QtTest>

#include <filesystem>
#include <memory>

#include "gui/uAppHelpers.h"
#include "gui/uMain.h"
#include "gui/uMessageBox.h"
#include "gui/uMessageBoxSeam.h"
#include "gui/uStringListDialog.h"
#include "gui/uStringListDialogSeam.h"
#include "gui/uStyle.h"
#include "sim/uSimulatedDovelaGsm.h"
#include "support/GuiTestMain.h"

namespace fs = std::filesystem;

namespace {
std::shared_ptr<uHidSimulated::TSimulatedHidBackend> gBackend;

// The program's own pages in a folder of the test's, so that config.xml lands there.
fs::path CopyProgramFolder() {
  const fs::path dir = fs::temp_directory_path() / ("dovela-demo-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::copy(fs::path(uAppHelpers::ApplicationDir()) / "Web", dir / "Web",
           fs::copy_options::recursive);
  return dir;
}
}  // namespace

class TestDemo : public QObject {
  Q_OBJECT

  fs::path dir_;
  std::shared_ptr<uSimulatedDovelaGsm::TSimulatedDovelaGsm> device_;
  std::unique_ptr<uStyle::TdmStyle> style_;
  std::unique_ptr<uMain::TfMain> main_;
  std::unique_ptr<uStringListDialog::TfrmStringListDialog> dialog_;
  QStringList messages_;

  QString Shots() const { return qEnvironmentVariable("DOVELA_SCREENSHOT_DIR"); }
  void Shot(QWidget* widget, const char* name) {
    if (!Shots().isEmpty()) widget->grab().save(Shots() + "/" + name);
  }
  // Runs script in the page and waits for its value.
  QVariant Eval(const QString& script) {
    auto value = std::make_shared<QVariant>();
    auto done = std::make_shared<bool>(false);
    main_->Browser()->page()->runJavaScript(script, [value, done](const QVariant& v) {
      *value = v;
      *done = true;
    });
    QElapsedTimer timer;
    timer.start();
    while (!*done && timer.elapsed() < 10000) QTest::qWait(10);
    return *value;
  }
  bool Waited(const QString& condition, int ms = 30000) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
      if (Eval(condition).toBool()) return true;
      QTest::qWait(100);
    }
    return false;
  }

 private slots:
  void initTestCase() {
    dir_ = CopyProgramFolder();
    device_ = uSimulatedDovelaGsm::TSimulatedDovelaGsm::Add(*gBackend);
    uMessageBox::SetShowMessageHook([this](const QString& text) { messages_ << text; });
    uStringListDialog::TStringListDialogSeam::SetExecuteHook(
        [this](uStringListDialog::TfrmStringListDialog& dialog) {
          uStringListDialog::TStringListDialogSeam::SetCurrentRow(dialog, 0);
          dialog.show();
          Shot(&dialog, "device-dialog.png");
          dialog.hide();
          return true;
        });
    main_ = std::make_unique<uMain::TfMain>(dir_);
    dialog_ = std::make_unique<uStringListDialog::TfrmStringListDialog>();
    dialog_->setWindowTitle("Seznam zařízení");
    style_ = std::make_unique<uStyle::TdmStyle>();
    main_->BindStyle(*style_);
    dialog_->SetStyle(style_.get());
    main_->SetDeviceDialog(dialog_.get());
    main_->show();
  }
  void cleanupTestCase() {
    main_.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    dialog_.reset();
    style_.reset();
    device_.reset();
    uMessageBox::SetShowMessageHook({});
    uStringListDialog::TStringListDialogSeam::SetExecuteHook({});
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  void idleWindowShowsTheBackgroundPage() {
    QTRY_VERIFY_WITH_TIMEOUT(main_->Browser()->title() == "Dovela GSM Configurator", 30000);
    QVERIFY(Waited("document.readyState === 'complete'"));
    QTest::qWait(100);  // the frame that shows it
    Shot(main_.get(), "main-window.png");
  }

  void connectShowsTheDeviceStatus() {
    main_->shpxConnectClick();
    QVERIFY2(messages_.isEmpty(), qPrintable(messages_.join("; ")));
    QTRY_VERIFY_WITH_TIMEOUT(main_->Browser()->title() == "Dovela GSM", 30000);
    const QString imei = QString::fromStdString(device_->Model()->Imei());
    // One exchange and the status page is ready: the settings wait for their own tab.
    QVERIFY(Waited("document.getElementById('s-imei').textContent === '" + imei + "' && " +
                   "document.getElementById('busy').hidden"));
    QVERIFY(!Eval("document.getElementById('status-refresh').disabled").toBool());
    QCOMPARE(device_->Requests(), 1);
    Shot(main_.get(), "page-status.png");
  }

  void aSettingChangedInThePageReachesTheDevice() {
    Eval("location.hash = '#nastaveni'");
    QVERIFY(
        Waited("document.getElementById('f-apn').value === 'internet' && "
               "!document.getElementById('f-apn').disabled"));
    Eval(
        "var f = document.getElementById('f-apn'); f.value = 'internet.t-mobile.cz';"
        "f.dispatchEvent(new Event('input', {bubbles: true}));"
        "document.getElementById('config-save').click();");
    QTRY_VERIFY_WITH_TIMEOUT(device_->Model()->Config().Apn == "internet.t-mobile.cz", 30000);
    QVERIFY(Waited("document.getElementById('busy').hidden"));
    Shot(main_.get(), "page-settings.png");

    // A bad value gets the device's own message beside the field.
    Eval(
        "var p = document.getElementById('f-simPin'); p.value = '12';"
        "p.dispatchEvent(new Event('input', {bubbles: true}));"
        "document.getElementById('config-save').click();");
    QVERIFY(Waited("document.body.innerText.indexOf('PIN musí mít 4 až 8 číslic') >= 0"));
    QCOMPARE(QString::fromStdString(device_->Model()->Config().SimPin), QString());
    Shot(main_.get(), "page-settings-error.png");
  }

  void theActionsTab() {
    Eval("location.hash = '#akce'");
    QVERIFY(Waited("!document.getElementById('tab-akce').hidden"));
    QTest::qWait(100);  // the frame that shows it
    Shot(main_.get(), "page-actions.png");
  }
};

int main(int argc, char** argv) {
  return testsupport::RunGuiTest<TestDemo>(argc, argv, gBackend);
}

#include "test_demo.moc"
