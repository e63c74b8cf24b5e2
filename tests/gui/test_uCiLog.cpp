// The communication log window: packets and text of both directions as coloured lines, the
// "Disabled Inst" filter, Clear, Pause, the channel filter, reports while hidden or minimised,
// the bounded queue, ticks that leave the queue free, removal of the hook at destruction, and
// the packet helpers.
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextDocument>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "ci/uCI_DataSpy.h"
#include "ci/uMyInterfacedObject.h"
#include "gui/uCiLog.h"
#include "gui/uCiLogSeam.h"
#include "support/TestChannel.h"

using uCiLog::TfCiLog;

namespace {

constexpr std::uint8_t kSent = uCI_DataSpy::kDirectionWritten;
constexpr std::uint8_t kRead = uCI_DataSpy::kDirectionRead;
const QDateTime kNow(QDate(2026, 3, 14), QTime(9, 26, 53));
const QString kStamp = "[2026-03-14 09:26:53] ";

// A well-formed packet with the code byte and body; without body it has 9 bytes.
std::string Packet(std::uint8_t code, const std::string& body = {}) {
  const std::size_t length = 5 + body.size();
  std::string p = "*a";
  p += static_cast<char>(length >> 8);
  p += static_cast<char>(length & 0xFF);
  p += "\x01\x02";
  p += static_cast<char>(code);
  p += body;
  p += static_cast<char>(uCiLog::Checksum97(p));
  p += '\r';
  return p;
}

QString Hex(const std::string& data) {
  return QString::fromStdString(uCiLog::HexWithSeparator(data, " "));
}

struct TLine {
  QString text;        // the whole line
  bool stamped;        // starts with a time stamp in black, 6 pt
  QColor colour;       // of the text after the stamp
  QStringList family;  // of the text after the stamp
};

}  // namespace

Q_DECLARE_METATYPE(std::string)

class TestCiLog : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<TfCiLog> log_;
  uInterfaces::TInterfacePtr<testsupport::TTestChannel> channel_;

  QPlainTextEdit* View() const { return log_->findChild<QPlainTextEdit*>("reLog"); }
  QLineEdit* Filter() const { return log_->findChild<QLineEdit*>("edtDisabledInst"); }
  QPushButton* Button(const char* name) const { return log_->findChild<QPushButton*>(name); }
  void Report(const std::string& text, std::uint8_t direction) {
    uCI_DataSpy::CallDataSpy(channel_.Get(), text, direction);
  }

  QList<TLine> Lines() const {
    QList<TLine> lines;
    if (View()->document()->isEmpty()) return lines;
    for (QTextBlock block = View()->document()->begin(); block.isValid(); block = block.next()) {
      TLine line{block.text(), false, {}, {}};
      for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextFragment fragment = it.fragment();
        const QTextCharFormat format = fragment.charFormat();
        if (fragment.position() == block.position() && fragment.text().startsWith('[') &&
            format.fontPointSize() == 6 && format.foreground().color() == QColor(Qt::black)) {
          line.stamped = true;
          continue;
        }
        line.colour = format.foreground().color();
        line.family = format.fontFamilies().toStringList();
      }
      lines << line;
    }
    return lines;
  }

 private slots:
  void init() {
    channel_ = uMyInterfacedObject::Create<testsupport::TTestChannel>();
    log_ = std::make_unique<TfCiLog>();
    uCiLog::TCiLogSeam::SetTickInterval(*log_, 60 * 60 * 1000);  // ticks come from the tests
    uCiLog::TCiLogSeam::SetClock(*log_, [] { return kNow; });
    log_->ShowLog(QString());
    QVERIFY(QTest::qWaitForWindowExposed(log_.get()));
  }
  void cleanup() {
    log_.reset();
    channel_.Reset();
    uCI_DataSpy::SetOnDataSpy({});
  }

  void windowAtCreation() {
    QCOMPARE(log_->windowTitle(), QString::fromUtf8("Komunikační log"));
    QVERIFY(View()->isReadOnly());
    QCOMPARE(Filter()->text(), QString("Disabled Inst"));
    QVERIFY(!Button("sbPause")->isChecked());
    QVERIFY(uCI_DataSpy::GetOnDataSpy() ==
            uCI_DataSpy::TDataSpyHook(log_.get(), &TfCiLog::AddLogEntry));
  }

  void sentPacketIsOneGreenStampedLine() {
    const std::string packet = Packet(0x0A);
    QCOMPARE(packet.size(), std::size_t{9});
    Report(packet, kSent);
    uCiLog::TCiLogSeam::Tick(*log_);
    const auto lines = Lines();
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines[0].text, kStamp + "=> " + Hex(packet));
    QCOMPARE(lines[0].text.count(' '), 2 + 1 + 8);  // stamp, arrow, nine pairs
    QVERIFY(lines[0].stamped);
    QCOMPARE(lines[0].colour, QColor(0x00, 0x80, 0x00));
    QCOMPARE(lines[0].family.value(0), QString("Calibri"));
    QVERIFY(lines[0].family.contains("DejaVu Sans"));
  }

  void receivedPacketSplitOverReportsShowsOnce_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("tickBetween");
    QTest::addColumn<QColor>("colour");
    QTest::newRow("code 0, one tick") << 0 << false << QColor(0x00, 0x00, 0xFF);
    QTest::newRow("code 0, a tick between") << 0 << true << QColor(0x00, 0x00, 0xFF);
    QTest::newRow("code 5 is an error") << 5 << true << QColor(0xFF, 0x00, 0x00);
  }
  void receivedPacketSplitOverReportsShowsOnce() {
    QFETCH(int, code);
    QFETCH(bool, tickBetween);
    QFETCH(QColor, colour);
    const std::string packet = Packet(static_cast<std::uint8_t>(code), "xyz");
    Report(packet.substr(0, 5), kRead);
    if (tickBetween) {
      uCiLog::TCiLogSeam::Tick(*log_);
      QCOMPARE(Lines().size(), 0);
    }
    Report(packet.substr(5), kRead);
    uCiLog::TCiLogSeam::Tick(*log_);
    uCiLog::TCiLogSeam::Tick(*log_);  // a quiet tick has nothing left to flush
    const auto lines = Lines();
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines[0].text, kStamp + "<= " + Hex(packet));
    QCOMPARE(lines[0].colour, colour);
  }

  void disabledCodeHidesPacketAndItsAnswer_data() {
    QTest::addColumn<bool>("tickBetween");
    QTest::newRow("all in one tick") << false;
    QTest::newRow("answer in the next tick") << true;
  }
  void disabledCodeHidesPacketAndItsAnswer() {
    QFETCH(bool, tickBetween);
    Filter()->setText("0A");
    Report(Packet(0x0A), kSent);
    if (tickBetween) uCiLog::TCiLogSeam::Tick(*log_);
    Report(Packet(0x00, "ans"), kRead);
    Report(Packet(0x0B), kSent);
    uCiLog::TCiLogSeam::Tick(*log_);
    const auto lines = Lines();
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines[0].text, kStamp + "=> " + Hex(Packet(0x0B)));
  }

  void initialFilterHidesNothing() {
    for (std::uint8_t code : {0x00, 0x0A, 0xDA, 0xDE, 0xFF}) Report(Packet(code), kSent);
    uCiLog::TCiLogSeam::Tick(*log_);
    QCOMPARE(Lines().size(), 5);
  }

  void sentTextIsOrangeAfterPackets_data() {
    QTest::addColumn<std::string>("text");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("no packet") << std::string("AT+CSQ") << QStringList{": AT+CSQ"};
    QTest::newRow("line break at the end") << std::string("AT+CSQ\r\n") << QStringList{": AT+CSQ"};
    QTest::newRow("packet, then text")
        << Packet(0x01) + "rest" << QStringList{"=> " + Hex(Packet(0x01)), ": rest"};
    QTest::newRow("two packets, then text")
        << Packet(0x01) + Packet(0x02) + "OK"
        << QStringList{"=> " + Hex(Packet(0x01)), "=> " + Hex(Packet(0x02)), ": OK"};
  }
  void sentTextIsOrangeAfterPackets() {
    QFETCH(std::string, text);
    QFETCH(QStringList, expected);
    Report(text, kSent);
    uCiLog::TCiLogSeam::Tick(*log_);
    const auto lines = Lines();
    QCOMPARE(lines.size(), expected.size());
    const TLine& last = lines.back();
    QVERIFY(last.stamped);
    QCOMPARE(last.colour, QColor(0xFF, 0x80, 0x00));
    for (qsizetype i = 0; i < lines.size(); ++i) QCOMPARE(lines[i].text, kStamp + expected[i]);
  }

  void receivedTextIsMagentaWithoutStamp_data() {
    QTest::addColumn<bool>("sentAfter");
    QTest::newRow("after a quiet tick") << false;
    QTest::newRow("before the next sent report") << true;
  }
  void receivedTextIsMagentaWithoutStamp() {
    QFETCH(bool, sentAfter);
    Report("+CSQ: 20", kRead);
    uCiLog::TCiLogSeam::Tick(*log_);
    QCOMPARE(Lines().size(), 0);  // may still become a packet's start... or not
    if (sentAfter) Report("AT", kSent);
    uCiLog::TCiLogSeam::Tick(*log_);
    const auto lines = Lines();
    QCOMPARE(lines.size(), sentAfter ? 2 : 1);
    QCOMPARE(lines[0].text, QString("+CSQ: 20"));
    QVERIFY(!lines[0].stamped);
    QCOMPARE(lines[0].colour, QColor(0xFF, 0x00, 0xFF));
  }

  void malformedPacketShowsNothing_data() {
    QTest::addColumn<std::uint8_t>("direction");
    QTest::newRow("received") << kRead;
    QTest::newRow("sent") << kSent;
  }
  void malformedPacketShowsNothing() {
    QFETCH(std::uint8_t, direction);
    std::string packet = Packet(0x00, "abc");
    packet[packet.size() - 2] = static_cast<char>(packet[packet.size() - 2] + 1);
    Report(packet, direction);
    uCiLog::TCiLogSeam::Tick(*log_);
    uCiLog::TCiLogSeam::Tick(*log_);
    QCOMPARE(Lines().size(), 0);
  }

  void reportsWhileHiddenAreNotShownLater() {
    log_->hide();
    Report(Packet(0x01), kSent);
    Report("OK", kRead);
    log_->ShowLog(QString());
    uCiLog::TCiLogSeam::Tick(*log_);
    uCiLog::TCiLogSeam::Tick(*log_);
    QCOMPARE(Lines().size(), 0);
  }

  void channelFilter_data() {
    QTest::addColumn<bool>("ownGuid");
    QTest::addColumn<int>("queued");
    QTest::newRow("this channel") << true << 1;
    QTest::newRow("another channel") << false << 0;
  }
  void channelFilter() {
    QFETCH(bool, ownGuid);
    QFETCH(int, queued);
    uInterfaces::TInterfacePtr<uNodedInterface::INodedInterfaceCore> node;
    QVERIFY(uInterfaces::Supports(channel_.Get(), node));
    log_->ShowLog(ownGuid ? QString::fromStdString(node->GetGUIDString())
                          : QString("{00000000-0000-0000-0000-000000000001}"));
    Report("AT", kSent);
    QCOMPARE(uCiLog::TCiLogSeam::Queued(*log_), std::size_t(queued));
    uCI_DataSpy::CallDataSpy(nullptr, "AT", kSent);
    Report("", kSent);
    QCOMPARE(uCiLog::TCiLogSeam::Queued(*log_), std::size_t(queued));
  }

  void clearKeepsPartialReceivedPacket_data() {
    QTest::addColumn<bool>("tickBeforeClear");
    QTest::addColumn<bool>("sentQueued");  // a sent report queued before the half
    QTest::newRow("half already ticked") << true << false;
    QTest::newRow("half still queued") << false << false;
    QTest::newRow("half queued after a sent report") << false << true;
  }
  void clearKeepsPartialReceivedPacket() {
    QFETCH(bool, tickBeforeClear);
    QFETCH(bool, sentQueued);
    Report(Packet(0x01), kSent);
    uCiLog::TCiLogSeam::Tick(*log_);
    QCOMPARE(Lines().size(), 1);
    const std::string packet = Packet(0x00, "answer");
    if (sentQueued) Report("AT", kSent);  // dropped by Clear
    Report(packet.substr(0, 6), kRead);
    if (tickBeforeClear) uCiLog::TCiLogSeam::Tick(*log_);
    QTest::mouseClick(Button("btnClear"), Qt::LeftButton);
    QCOMPARE(Lines().size(), 0);
    Report(packet.substr(6), kRead);
    uCiLog::TCiLogSeam::Tick(*log_);
    uCiLog::TCiLogSeam::Tick(*log_);
    const auto lines = Lines();
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines[0].text, kStamp + "<= " + Hex(packet));
  }

  void clearDropsPendingTextBeforeALaterSentReport() {
    Report("*a", kRead);  // may start a packet, but a sent report follows it
    Report("AT", kSent);
    Report("+", kRead);
    QTest::mouseClick(Button("btnClear"), Qt::LeftButton);
    uCiLog::TCiLogSeam::Tick(*log_);  // the marker: "+" is no packet, nothing is cut
    QCOMPARE(Lines().size(), 0);
    uCiLog::TCiLogSeam::Tick(*log_);  // a quiet tick flushes only the kept tail
    const auto lines = Lines();
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines[0].text, QString("+"));
  }

  void clearKeepsReceivedTailAfterLastSentReport() {
    const std::string packet = Packet(0x00, "answer");
    Report(Packet(0x01), kSent);
    Report(packet.substr(0, 4), kRead);
    Report(packet.substr(4, 4), kRead);
    QTest::mouseClick(Button("btnClear"), Qt::LeftButton);
    Report(packet.substr(8), kRead);
    uCiLog::TCiLogSeam::Tick(*log_);
    const auto lines = Lines();
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines[0].text, kStamp + "<= " + Hex(packet));
  }

  void pauseHoldsReportsUntilReleased() {
    uCiLog::TCiLogSeam::SetTickInterval(*log_, 5);
    QTest::mouseClick(Button("sbPause"), Qt::LeftButton);
    QVERIFY(Button("sbPause")->isChecked());
    Report(Packet(0x01), kSent);
    QTest::qWait(40);
    QCOMPARE(Lines().size(), 0);
    QCOMPARE(uCiLog::TCiLogSeam::Queued(*log_), std::size_t{1});
    QTest::mouseClick(Button("sbPause"), Qt::LeftButton);
    QVERIFY(!Button("sbPause")->isChecked());
    QTRY_COMPARE_WITH_TIMEOUT(Lines().size(), 1, 2000);
  }

  // Minimising is not closing: the window keeps collecting, and "Log" restores it.
  void minimisedWindowKeepsCollectingAndLogRestoresIt() {
    log_->showMinimized();
    QVERIFY(log_->isMinimized());
    Report(Packet(0x01), kSent);
    QCOMPARE(uCiLog::TCiLogSeam::Queued(*log_), std::size_t{1});
    log_->ShowLog(QString());
    QVERIFY(!log_->isMinimized());
    QVERIFY(log_->isVisible());
    uCiLog::TCiLogSeam::Tick(*log_);
    QCOMPARE(Lines().size(), 1);
  }

  // While a tick fills the view, a report from another thread is queued without waiting
  // for it.
  void reportsAreQueuedWhileATickFormats() {
    Report(Packet(0x01), kSent);
    std::future<void> during;
    bool queuedDuringTheTick = false;
    const auto connection = connect(View()->document(), &QTextDocument::contentsChange, this, [&] {
      if (during.valid()) return;
      during = std::async(std::launch::async, [this] { Report(Packet(0x02), kSent); });
      queuedDuringTheTick = during.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    });
    uCiLog::TCiLogSeam::Tick(*log_);
    disconnect(connection);
    QVERIFY(during.valid());
    during.wait();
    QVERIFY(queuedDuringTheTick);
    QCOMPARE(uCiLog::TCiLogSeam::Queued(*log_), std::size_t{1});
  }

  // A paused window holds a bounded queue; what did not fit is shown as one line in its
  // place, and reports after the next tick are queued again.
  void fullQueueDropsReportsAndSaysHowMany_data() {
    QTest::addColumn<int>("maxEntries");
    QTest::addColumn<int>("maxBytes");
    QTest::addColumn<int>("kept");
    QTest::newRow("entries") << 3 << 1000 << 3;
    QTest::newRow("bytes") << 1000 << 25 << 2;  // each packet has 10 bytes
  }
  void fullQueueDropsReportsAndSaysHowMany() {
    QFETCH(int, maxEntries);
    QFETCH(int, maxBytes);
    QFETCH(int, kept);
    uCiLog::TCiLogSeam::SetQueueLimits(*log_, std::size_t(maxEntries), std::size_t(maxBytes));
    QTest::mouseClick(Button("sbPause"), Qt::LeftButton);
    QStringList expected;
    constexpr int kReports = 6;
    for (int i = 0; i < kReports; ++i) {
      const std::string packet = Packet(0x01, std::string(1, static_cast<char>(i)));
      QCOMPARE(packet.size(), std::size_t{10});
      Report(packet, kSent);
      if (i < kept) expected << kStamp + "=> " + Hex(packet);
    }
    const int dropped = kReports - kept;
    expected << kStamp + QString("%1 reports (%2 bytes) dropped: the log queue was full")
                             .arg(dropped)
                             .arg(dropped * 10);
    QTest::mouseClick(Button("sbPause"), Qt::LeftButton);
    uCiLog::TCiLogSeam::Tick(*log_);
    const std::string after = Packet(0x02);
    Report(after, kSent);
    uCiLog::TCiLogSeam::Tick(*log_);
    expected << kStamp + "=> " + Hex(after);
    QStringList texts;
    for (const TLine& line : Lines()) texts << line.text;
    QCOMPARE(texts, expected);
    QCOMPARE(Lines()[kept].colour, QColor(0x80, 0x80, 0x80));
    if (qEnvironmentVariableIsSet("DOVELA_SCREENSHOT_DIR"))
      log_->grab().save(qEnvironmentVariable("DOVELA_SCREENSHOT_DIR") + "/log-dropped-" +
                        QTest::currentDataTag() + ".png");
  }

  void backlogBeyondTheBudgetIsShownOverPassesInOrder() {
    uCiLog::TCiLogSeam::SetTickBudget(*log_, std::chrono::milliseconds(0));
    QStringList expected;
    for (int i = 0; i < 150; ++i) {
      const std::string packet = Packet(0x01, std::string(1, static_cast<char>(i)));
      Report(packet, kSent);
      expected << kStamp + "=> " + Hex(packet);
    }
    QList<int> shown;
    for (int pass = 0; pass < 3; ++pass) {
      uCiLog::TCiLogSeam::Tick(*log_);
      shown << static_cast<int>(Lines().size());
    }
    QCOMPARE(shown, (QList<int>{64, 128, 150}));
    QStringList texts;
    for (const TLine& line : Lines()) texts << line.text;
    QCOMPARE(texts, expected);
  }

  void appendingKeepsTheUserSelection() {
    uCiLog::AppendLogLine(View(), "first", Qt::blue, std::nullopt, true);
    QTextCursor selection(View()->document());
    selection.setPosition(1);
    selection.setPosition(4, QTextCursor::KeepAnchor);
    View()->setTextCursor(selection);
    uCiLog::AppendLogLine(View(), "second", Qt::blue, kNow, true);
    QCOMPARE(View()->textCursor().selectedText(), QString("irs"));
    QCOMPARE(Lines().size(), 2);
  }

  void destroyedWindowIsNoLongerReached() {
    std::atomic<bool> stop{false};
    std::thread reporter([&] {
      while (!stop) uCI_DataSpy::CallDataSpy(channel_.Get(), "AT", kSent);
    });
    QTest::qWait(5);
    log_.reset();
    QVERIFY(!uCI_DataSpy::GetOnDataSpy().IsAssigned());
    stop = true;
    reporter.join();
    uCI_DataSpy::CallDataSpy(channel_.Get(), Packet(0x01), kSent);  // harmless
  }

  void laterHookIsLeftInPlace() {
    TfCiLog second;
    log_.reset();  // replaced by the second window: must not remove its hook
    QVERIFY(uCI_DataSpy::GetOnDataSpy() ==
            uCI_DataSpy::TDataSpyHook(&second, &TfCiLog::AddLogEntry));
  }

  void extractPacket97_data() {
    QTest::addColumn<std::string>("buffer");
    QTest::addColumn<std::string>("packet");
    QTest::addColumn<std::string>("rest");
    const std::string p = Packet(0x03, "q");
    QTest::newRow("empty") << std::string() << std::string() << std::string();
    QTest::newRow("header only") << std::string("*a\x00", 3) << std::string()
                                 << std::string("*a\x00", 3);
    QTest::newRow("incomplete") << p.substr(0, 7) << std::string() << p.substr(0, 7);
    QTest::newRow("exact") << p << p << std::string();
    QTest::newRow("with more after") << p + "*a" << p << std::string("*a");
    QTest::newRow("text in front") << "x" + p << std::string() << "x" + p;
  }
  void extractPacket97() {
    QFETCH(std::string, buffer);
    QFETCH(std::string, packet);
    QFETCH(std::string, rest);
    QCOMPARE(uCiLog::ExtractPacket97(buffer), packet);
    QCOMPARE(buffer, rest);
  }

  void checkPacket97_data() {
    QTest::addColumn<std::string>("packet");
    QTest::addColumn<int>("code");
    const std::string p = Packet(0x00, "ab");
    auto with = [&p](std::size_t at, char c) {
      std::string q = p;
      q[at] = c;
      return q;
    };
    QTest::newRow("well formed") << p << 0;
    QTest::newRow("seven bytes") << p.substr(0, 7) << 1;
    QTest::newRow("no star") << with(0, '#') << 2;
    QTest::newRow("no a") << with(1, 'b') << 3;
    QTest::newRow("length disagrees") << p + "z" << 4;
    QTest::newRow("checksum") << with(p.size() - 2, static_cast<char>(p[p.size() - 2] ^ 1)) << 5;
    std::string noCr = p;
    noCr.back() = '\n';
    QTest::newRow("no carriage return") << noCr << 6;
  }
  void checkPacket97() {
    QFETCH(std::string, packet);
    QFETCH(int, code);
    QCOMPARE(uCiLog::CheckPacket97(packet), code);
  }

  void hexAndChecksum() {
    QCOMPARE(uCiLog::HexWithSeparator(std::string("\x2A\x61\x00", 3), " "),
             std::string("2A 61 00"));
    QCOMPARE(uCiLog::HexWithSeparator("", " "), std::string());
    QCOMPARE(uCiLog::HexWithSeparator("\xAB\x0F", "-"), std::string("AB-0F"));
    QCOMPARE(uCiLog::Checksum97(""), std::uint8_t{0xFF});
    QCOMPARE(uCiLog::Checksum97("\xFF\x02"), std::uint8_t{0xFE});  // (255 + 2) mod 256 = 1
  }
};

QTEST_MAIN(TestCiLog)
#include "test_uCiLog.moc"
