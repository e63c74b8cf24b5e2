// The main window with its connection control: the unlock gesture, the connect flow with
// simulated devices, and Qt WebEngine loading the device's page through the bridge.
#include <QApplication>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QtTest>

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bridge/uDeviceTypes.h"
#include "gui/uMain.h"
#include "gui/uMainSeam.h"
#include "gui/uMessageBox.h"
#include "gui/uMessageBoxSeam.h"
#include "gui/uSettings.h"
#include "gui/uSettingsSeam.h"
#include "gui/uShapeEx.h"
#include "gui/uStringListDialog.h"
#include "gui/uStringListDialogSeam.h"
#include "gui/uStyle.h"
#include "providers/uHidSimulated.h"
#include "support/GuiTestMain.h"
#include "support/SimulatedHid.h"

namespace fs = std::filesystem;

namespace {
std::shared_ptr<uHidSimulated::TSimulatedHidBackend> gBackend;

uHidPlatform::THidDeviceInfo Device(const std::string& product, const std::string& serial,
                                    int vid = 0x2047, int pid = 0x0301) {
  uHidPlatform::THidDeviceInfo info;
  info.VendorID = static_cast<std::uint16_t>(vid);
  info.ProductID = static_cast<std::uint16_t>(pid);
  info.Product = product;
  info.SerialNumber = serial;
  info.InputReportByteLength = 64;
  info.OutputReportByteLength = 64;
  return info;
}

// A program folder of the test's own: Web/Background.html and, when asked, Web/DovelaGSM.
class TAppDir {
 public:
  explicit TAppDir(bool withDeviceFolder) {
    root_ = fs::temp_directory_path() /
            ("dovela-main-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    fs::create_directories(root_ / "Web");
    Write(root_ / "Web" / "Background.html",
          "<!doctype html><meta charset=\"utf-8\"><title>bg</title>");
    if (withDeviceFolder) {
      fs::create_directories(root_ / "Web" / "DovelaGSM");
      Write(root_ / "Web" / "DovelaGSM" / "index.html",
            "<!doctype html><meta charset=\"utf-8\"><title>Dovela GSM</title>"
            "<pre id=\"answer\"></pre><script>"
            "var r = new XMLHttpRequest(); r.open('POST', '/status.json');"
            "r.onload = function () { document.getElementById('answer').textContent = "
            "r.responseText; }; r.send('q=1');</script>");
    }
  }
  ~TAppDir() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const fs::path& Root() const { return root_; }

 private:
  static void Write(const fs::path& file, const std::string& text) { std::ofstream(file) << text; }
  static inline int counter_ = 0;
  fs::path root_;
};
}  // namespace

class TestMainWindow : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<TAppDir> dir_;
  std::unique_ptr<uStyle::TdmStyle> style_;
  std::unique_ptr<uMain::TfMain> main_;
  std::unique_ptr<uStringListDialog::TfrmStringListDialog> dialog_;
  std::vector<std::shared_ptr<uHidSimulated::TSimulatedHidDevice>> devices_;
  QStringList messages_;
  int executed_ = 0;
  int choose_ = 0;
  std::function<void()> beforeChoice_;

  void Build(bool withDeviceFolder) {
    dir_ = std::make_unique<TAppDir>(withDeviceFolder);
    main_ = std::make_unique<uMain::TfMain>(dir_->Root());
    dialog_ = std::make_unique<uStringListDialog::TfrmStringListDialog>();
    style_ = std::make_unique<uStyle::TdmStyle>();
    main_->BindStyle(*style_);
    main_->SetDeviceDialog(dialog_.get());
  }
  std::shared_ptr<uHidSimulated::TSimulatedHidDevice> Add(uHidPlatform::THidDeviceInfo info) {
    devices_.push_back(gBackend->AddDevice(std::move(info)));
    return devices_.back();
  }
  uShapeEx::TShapeEx* Button(const char* name) {
    return main_->findChild<uShapeEx::TShapeEx*>(name);
  }

 private slots:
  void init() {
    messages_.clear();
    executed_ = 0;
    choose_ = 0;
    beforeChoice_ = nullptr;
    uMessageBox::SetShowMessageHook([this](const QString& text) { messages_ << text; });
    uStringListDialog::TStringListDialogSeam::SetExecuteHook(
        [this](uStringListDialog::TfrmStringListDialog& dialog) {
          ++executed_;
          if (beforeChoice_) beforeChoice_();
          uStringListDialog::TStringListDialogSeam::SetCurrentRow(dialog, choose_);
          return true;
        });
  }
  void cleanup() {
    main_.reset();
    // Qt WebEngine frees its pages later; let that happen while the application lives.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    dialog_.reset();
    style_.reset();
    for (const auto& d : devices_) gBackend->RemoveDevice(d);
    devices_.clear();
    dir_.reset();
    uMessageBox::SetShowMessageHook({});
    uStringListDialog::TStringListDialogSeam::SetExecuteHook({});
  }

  void detectDeviceType_data() {
    QTest::addColumn<QString>("product");
    QTest::addColumn<QString>("type");
    QTest::newRow("Dovela GSM") << "Dovela GSM Modem"
                                << "DovelaGSM";
    QTest::newRow("GPRS first") << "GPRS unit by Dovela"
                                << "DovelaGSM";
    QTest::newRow("inside words") << "xDovelaxGSMx"
                                  << "DovelaGSM";
    QTest::newRow("neither GSM nor GPRS") << "Dovela Modem"
                                          << "";
    QTest::newRow("other letter case") << "DOVELA GSM"
                                       << "";
    QTest::newRow("GSM without Dovela") << "Acme GSM"
                                        << "";
  }
  void detectDeviceType() {
    QFETCH(QString, product);
    QFETCH(QString, type);
    QCOMPARE(QString::fromStdString(uDeviceTypes::DetectDeviceType(product.toStdString())), type);
  }

  void windowLayout() {
    Build(true);
    QCOMPARE(main_->windowTitle(), QString("Dovela GSM Configurator 1.4.0.0"));
    QCOMPARE(main_->size(), QSize(801, 601));
    QVERIFY(!Button("shpxConnect")->isHidden());
    QCOMPARE(Button("shpxConnect")->geometry(), QRect(8, 8, 73, 25));
    QCOMPARE(Button("shpxDisconnect")->geometry().topLeft(), QPoint(88, 8));
    QCOMPARE(Button("shpxLog")->geometry().topLeft(), QPoint(168, 8));
    QCOMPARE(Button("shpxClose")->geometry().right() + 1, 801 - 72);
    QCOMPARE(Button("shpxSettings")->x(), Button("shpxClose")->x() - 80);
    QVERIFY(Button("shpxLog")->isHidden());
    QVERIFY(Button("shpxSettings")->isHidden());
    QWidget* bar = main_->findChild<QWidget*>("pnlButtons");
    QCOMPARE(bar->geometry(), QRect(0, 601 - 41, 801, 41));
    QCOMPARE(main_->DefaultPort(), 0);  // no config.xml
  }

  void unlockGesture_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("doubleClick");
    QTest::addColumn<bool>("reveals");
    QTest::newRow("ctrl double click")
        << int(Qt::LeftButton) << int(Qt::ControlModifier) << true << true;
    QTest::newRow("with shift too")
        << int(Qt::LeftButton) << int(Qt::ControlModifier | Qt::ShiftModifier) << true << true;
    QTest::newRow("plain double click")
        << int(Qt::LeftButton) << int(Qt::NoModifier) << true << false;
    QTest::newRow("ctrl single click")
        << int(Qt::LeftButton) << int(Qt::ControlModifier) << false << false;
    QTest::newRow("right button") << int(Qt::RightButton) << int(Qt::ControlModifier) << true
                                  << false;
  }
  void unlockGesture() {
    QFETCH(int, button);
    QFETCH(int, modifiers);
    QFETCH(bool, doubleClick);
    QFETCH(bool, reveals);
    Build(true);
    QWidget* bar = main_->findChild<QWidget*>("pnlButtons");
    auto gesture = [&] {
      const auto b = static_cast<Qt::MouseButton>(button);
      const auto m = static_cast<Qt::KeyboardModifiers>(modifiers);
      if (doubleClick)
        QTest::mouseDClick(bar, b, m, QPoint(400, 4));
      else
        QTest::mouseClick(bar, b, m, QPoint(400, 4));
    };
    gesture();
    QCOMPARE(!Button("shpxLog")->isHidden(), reveals);
    QCOMPARE(!Button("shpxSettings")->isHidden(), reveals);
    gesture();  // the next such gesture hides them again
    QVERIFY(Button("shpxLog")->isHidden());
    QVERIFY(Button("shpxSettings")->isHidden());
  }

  void connectWithoutDevicesDoesNothing() {
    Build(true);
    main_->shpxConnectClick();
    QCOMPARE(executed_, 0);
    QVERIFY(messages_.isEmpty());
    QVERIFY(!main_->Server()->Active());
  }

  void connectWithoutSupportedDevice_data() {
    QTest::addColumn<QString>("product");
    QTest::addColumn<int>("vendor");
    QTest::addColumn<bool>("folder");
    QTest::newRow("unsupported product") << "Dovela Modem" << 0x2047 << true;
    QTest::newRow("other vendor") << "Dovela GSM" << 0x1234 << true;
    QTest::newRow("no page folder") << "Dovela GSM" << 0x2047 << false;
  }
  void connectWithoutSupportedDevice() {
    QFETCH(QString, product);
    QFETCH(int, vendor);
    QFETCH(bool, folder);
    Build(folder);
    Add(Device(product.toStdString(), "S1", vendor));
    main_->shpxConnectClick();
    QCOMPARE(messages_, QStringList{"err - not found"});
    QCOMPARE(executed_, 0);
  }

  void connectChoosesTheSecondOfTwoDevices() {
    Build(true);
    Add(Device("Dovela GSM", "FIRST"));
    Add(Device("Dovela GPRS", "SECOND"));
    choose_ = 1;
    main_->shpxConnectClick();
    QCOMPARE(executed_, 1);
    QCOMPARE(dialog_->Items(), (QStringList{"DovelaGSM", "DovelaGSM"}));
    QCOMPARE(main_->SerialNumbers(), (std::vector<std::string>{"FIRST", "SECOND"}));
    QVERIFY(messages_.isEmpty());
    QCOMPARE(QString::fromStdString(main_->Channel()->GetConfiguration()),
             QString("provider=HID;vid=8263;pid=769;serial_number=SECOND"));
    QVERIFY(main_->Channel()->IsOpen());
    QCOMPARE(QString::fromStdString(main_->DeviceType()), QString("DovelaGSM"));
    QVERIFY(main_->Server()->Active());
    const int port = main_->Server()->BoundPort();
    QVERIFY(port > 0);  // DefaultPort 0: the system chose
    QCOMPARE(main_->Browser()->url(), QUrl("http://127.0.0.1:" + QString::number(port)));

    main_->shpxDisconnectClick();
    QVERIFY(!main_->Server()->Active());
    QVERIFY(!main_->Channel()->IsOpen());
    QCOMPARE(main_->Browser()->url(),
             QUrl::fromLocalFile(QString::fromStdString(main_->BackgroundPage().string())));
  }

  // What each device got written to it: the payload of its output reports.
  std::shared_ptr<std::string> Received(
      const std::shared_ptr<uHidSimulated::TSimulatedHidDevice>& device) {
    auto received = std::make_shared<std::string>();
    device->SetOnOutputReport([received](const std::string& report) {
      *received += report.substr(2, static_cast<unsigned char>(report[1]));
    });
    return received;
  }

  // "Připojit" while connected, with the other device chosen: the channel is opened again,
  // on that device, and the next request goes there.
  void connectWhileConnectedSwitchesToTheChosenDevice() {
    Build(true);
    auto first = Add(Device("Dovela GSM", "FIRST"));
    auto second = Add(Device("Dovela GSM", "SECOND"));
    const auto toFirst = Received(first);
    const auto toSecond = Received(second);
    choose_ = 0;
    main_->shpxConnectClick();
    QVERIFY(main_->Channel()->IsOpen());
    QCOMPARE(main_->Channel()->WriteString("one"), 3);
    QTRY_COMPARE_WITH_TIMEOUT(*toFirst, std::string("one"), 5000);

    choose_ = 1;
    main_->shpxConnectClick();
    QVERIFY(messages_.isEmpty());
    QVERIFY(main_->Channel()->IsOpen());
    QCOMPARE(main_->Channel()->WriteString("two"), 3);
    QTRY_COMPARE_WITH_TIMEOUT(*toSecond, std::string("two"), 5000);
    QCOMPARE(*toFirst, std::string("one"));
    QVERIFY(main_->Server()->Active());

    choose_ = 0;  // and back again
    main_->shpxConnectClick();
    QCOMPARE(main_->Channel()->WriteString("three"), 5);
    QTRY_COMPARE_WITH_TIMEOUT(*toFirst, std::string("onethree"), 5000);
    QCOMPARE(*toSecond, std::string("two"));
  }

  // A serial number is taken byte for byte: characters of the configuration syntax and bytes
  // that are no UTF-8 reach the provider as they are. A device whose serial number is what a
  // mangled one would become is listed first, to be opened by mistake, and one is listed last,
  // which a serial number lost altogether would open.
  void serialNumbersArriveIntact_data() {
    QTest::addColumn<QByteArray>("serial");
    QTest::addColumn<QByteArray>("decoy");
    QTest::newRow("semicolon") << QByteArray("A;B") << QByteArray("A");
    QTest::newRow("opening parenthesis") << QByteArray("A(B") << QByteArray("A");
    QTest::newRow("closing parenthesis") << QByteArray("A)B") << QByteArray("A");
    QTest::newRow("parenthesised") << QByteArray("(A)") << QByteArray("A");
    QTest::newRow("backslash") << QByteArray("A\\;B") << QByteArray("A");
    QTest::newRow("trailing backslash") << QByteArray("AB\\") << QByteArray("AB");
    QTest::newRow("not UTF-8") << QByteArray("SN\xff\xfe\x80")
                               << QByteArray("SN\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
  }
  void serialNumbersArriveIntact() {
    QFETCH(QByteArray, serial);
    QFETCH(QByteArray, decoy);
    Build(true);
    auto wrong = Add(Device("Dovela GSM", decoy.toStdString()));
    auto chosen = Add(Device("Dovela GSM", serial.toStdString()));
    auto last = Add(Device("Dovela GSM", "LAST"));  // what a lost serial number finds
    const auto toWrong = Received(wrong);
    const auto toChosen = Received(chosen);
    const auto toLast = Received(last);
    choose_ = 1;
    main_->shpxConnectClick();
    QCOMPARE(messages_, QStringList());
    QVERIFY(main_->Channel()->IsOpen());
    QCOMPARE(main_->Channel()->WriteString("hello"), 5);
    QTRY_COMPARE_WITH_TIMEOUT(*toChosen, std::string("hello"), 5000);
    QCOMPARE(*toWrong, std::string());
    QCOMPARE(*toLast, std::string());
    QCOMPARE(main_->SerialNumbers().at(1), serial.toStdString());
  }

  // A start that fails shows its message and leaves a window whose buttons and accessors
  // work without the core: "Připojit" says again why, the others do nothing harmful.
  void failedStartLeavesAUsableWindow() {
    uMain::TMainSeam::SetCoreFactory(
        [](const fs::path&) -> std::unique_ptr<uConfiguratorCore::TConfiguratorCore> {
          throw std::runtime_error("the start failed");
        });
    Build(true);
    uMain::TMainSeam::SetCoreFactory({});
    Add(Device("Dovela GSM", "S1"));
    uSettings::TfrmSettings settings;
    main_->SetSettingsDialog(&settings);
    int settingsShown = 0;
    uSettings::TSettingsSeam::SetExecuteHook([&](uSettings::TfrmSettings&) {
      ++settingsShown;
      return true;
    });
    QCOMPARE(messages_, QStringList{"the start failed"});
    QCOMPARE(main_->DefaultPort(), 0);
    main_->SetDefaultPort(8080);
    QCOMPARE(main_->DefaultPort(), 0);
    QVERIFY(main_->Server() == nullptr);
    QVERIFY(!main_->Channel());
    QCOMPARE(QString::fromStdString(main_->DeviceType()), QString());

    main_->shpxDisconnectClick();
    QCOMPARE(main_->Browser()->url(),
             QUrl::fromLocalFile(QString::fromStdString(main_->BackgroundPage().string())));
    main_->shpxSettingsClick();
    main_->shpxLogClick();
    main_->shpxConnectClick();
    QCOMPARE(messages_, (QStringList{"the start failed", "the start failed"}));
    QCOMPARE(executed_, 0);
    QCOMPARE(settingsShown, 0);
    uSettings::TSettingsSeam::SetExecuteHook({});
    main_->SetSettingsDialog(nullptr);
    main_.reset();  // the end runs without a core as well
  }

  void connectReportsAnOpenFailure() {
    Build(true);
    auto device = Add(Device("Dovela GSM", "GONE"));
    beforeChoice_ = [&] { gBackend->RemoveDevice(device); };  // unplugged while choosing
    main_->shpxConnectClick();
    // With the provider's reason.
    QCOMPARE(
        messages_,
        QStringList{"err - not open\n\nvid=8263;pid=769;serial_number=GONE: no such HID device "
                    "is attached"});
    QCOMPARE(QString::fromStdString(main_->DeviceType()), QString("DovelaGSM"));
    QVERIFY(!main_->Server()->Active());
  }

  // A WebPort from config.xml that no TCP port can have: the message names the range; the
  // channel stays open, as for any server failure.
  void aPortOutOfRangeIsReportedWithTheRange() {
    dir_ = std::make_unique<TAppDir>(true);
    std::ofstream(dir_->Root() / "config.xml")
        << "<?xml version=\"1.0\" encoding=\"windows-1250\"?>\r\n<root WebPort=\"70000\"/>\r\n";
    main_ = std::make_unique<uMain::TfMain>(dir_->Root());
    dialog_ = std::make_unique<uStringListDialog::TfrmStringListDialog>();
    main_->SetDeviceDialog(dialog_.get());
    QCOMPARE(main_->DefaultPort(), 70000);
    Add(Device("Dovela GSM", "P1"));
    main_->shpxConnectClick();
    QCOMPARE(messages_,
             QStringList{QString::fromStdString(uHttpServer::PortOutOfRangeMessage(70000))});
    QVERIFY(messages_[0].contains("0 to 65535"));
    QVERIFY(main_->Channel()->IsOpen());
    QVERIFY(!main_->Server()->Active());
  }

  void cancellingTheChoiceChangesNothing() {
    Build(true);
    Add(Device("Dovela GSM", "C1"));
    uStringListDialog::TStringListDialogSeam::SetExecuteHook(
        [](uStringListDialog::TfrmStringListDialog&) { return false; });
    main_->shpxConnectClick();
    QCOMPARE(QString::fromStdString(main_->DeviceType()), QString());
    QVERIFY(!main_->Channel()->GetConfigured());
  }

  void theBrowserShowsTheDevicePageAndItsRequestReachesTheDevice() {
    Build(true);
    auto device = Add(Device("Dovela GSM", "WEB"));
    std::weak_ptr<uHidSimulated::TSimulatedHidDevice> weak = device;
    auto request = std::make_shared<std::string>();
    device->SetOnOutputReport([weak, request](const std::string& report) {
      *request += report.substr(2, static_cast<unsigned char>(report[1]));
      if (auto d = weak.lock()) d->QueueInputReport(testsupport::InputReport("{\"signal\":23}"), 2);
    });
    main_->show();
    QSignalSpy loaded(main_->Browser(), &QWebEngineView::loadFinished);
    main_->shpxConnectClick();
    QVERIFY(messages_.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!loaded.isEmpty() && main_->Browser()->title() == "Dovela GSM", 30000);
    // The page's own request goes through the bridge to the device and its answer comes back
    // (after the second of silence that ends every exchange).
    // Shared with the callbacks: those still pending when the wait ends arrive later.
    auto shown = std::make_shared<QString>();
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
          main_->Browser()->page()->runJavaScript(
              "document.getElementById('answer').textContent",
              [shown](const QVariant& v) { *shown = v.toString(); });
          return *shown == "{\"signal\":23}";
        }(),
        30000);
    // The page's POST as the device got it (the browser may ask for more, e.g. a favicon).
    QVERIFY2(request->rfind("/status.json\r\nq=1", 0) == 0, request->c_str());
    // Screenshots for the README are taken from here when asked for.
    if (qEnvironmentVariableIsSet("DOVELA_SCREENSHOT_DIR"))
      main_->grab().save(qEnvironmentVariable("DOVELA_SCREENSHOT_DIR") + "/connected.png");
  }
};

int main(int argc, char** argv) {
  return testsupport::RunGuiTest<TestMainWindow>(argc, argv, gBackend);
}

#include "test_uMain.moc"
