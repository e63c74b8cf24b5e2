// The style module's bar and line: the colours they paint, their names, and the presses the
// bar's background reports.
#include <QSignalSpy>
#include <QtTest>

#include <memory>

#include "gui/uStyle.h"

namespace {

QString PixelName(QWidget* widget, QPoint at) {
  return QColor(widget->grab().toImage().pixel(at)).name();
}

}  // namespace

class TestStyle : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    host_ = std::make_unique<QWidget>();
    host_->resize(200, 100);
  }
  void cleanup() { host_.reset(); }

  void panelPaintsItsFillUnderALine_data() {
    QTest::addColumn<bool>("buttonBar");
    QTest::addColumn<QString>("fill");
    QTest::newRow("button bar") << true << "#e0e0e0";
    QTest::newRow("dialog background") << false << "#f0f0f0";
  }
  void panelPaintsItsFillUnderALine() {
    QFETCH(bool, buttonBar);
    QFETCH(QString, fill);
    uStyle::TPanel* panel = buttonBar ? uStyle::MakeButtonBar(host_.get())
                                      : new uStyle::TPanel(host_.get(), uStyle::BackColor());
    if (buttonBar) QCOMPARE(panel->objectName(), QString("pnlButtons"));
    panel->setGeometry(0, 0, 120, uStyle::kBarHeight);
    for (const int x : {0, 60, 119}) {
      QCOMPARE(PixelName(panel, QPoint(x, 0)), QString("#808080"));
      QCOMPARE(PixelName(panel, QPoint(x, 1)), fill);
      QCOMPARE(PixelName(panel, QPoint(x, uStyle::kBarHeight - 1)), fill);
    }
  }

  void lineIsGrey() {
    QWidget* line = uStyle::MakeLine(host_.get(), "shpLine");
    line->setGeometry(0, 0, 50, 1);
    QCOMPARE(line->objectName(), QString("shpLine"));
    QCOMPARE(PixelName(line, QPoint(0, 0)), QString("#808080"));
    QCOMPARE(PixelName(line, QPoint(49, 0)), QString("#808080"));
  }

  // A single press reports once without the double-click state; the press that makes a double
  // click reports with it.
  void barReportsPressesOnItsBackground() {
    uStyle::TPanel* bar = uStyle::MakeButtonBar(host_.get());
    bar->setGeometry(0, 0, 200, uStyle::kBarHeight);
    QSignalSpy spy(bar, &uStyle::TPanel::mouseDown);
    QTest::mousePress(bar, Qt::RightButton, Qt::ShiftModifier, QPoint(100, 20));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).value<Qt::MouseButton>(), Qt::RightButton);
    QCOMPARE(spy.at(0).at(1).value<Qt::KeyboardModifiers>(),
             Qt::KeyboardModifiers(Qt::ShiftModifier));
    QCOMPARE(spy.at(0).at(2).toBool(), false);
    QTest::mouseRelease(bar, Qt::RightButton, Qt::ShiftModifier, QPoint(100, 20));
    spy.clear();
    QTest::mouseDClick(bar, Qt::LeftButton, Qt::ControlModifier, QPoint(100, 20));
    QVERIFY(!spy.isEmpty());
    QCOMPARE(spy.last().at(2).toBool(), true);
    QCOMPARE(spy.last().at(1).value<Qt::KeyboardModifiers>(),
             Qt::KeyboardModifiers(Qt::ControlModifier));
  }

 private:
  std::unique_ptr<QWidget> host_;
};

QTEST_MAIN(TestStyle)
#include "test_uStyle.moc"
