// The styled button: style selection, the program button's colours as painted, latching and
// groups, where a click counts, and the painted geometry.
#include <QEnterEvent>
#include <QFontInfo>
#include <QFontMetrics>
#include <QtTest>

#include <memory>

#include "gui/uShapeEx.h"
#include "gui/uStyle.h"

using uShapeEx::TShapeEx;
using uShapeEx::TShapeExColorSchema;
using uShapeEx::TShapeExColorStyle;
using uShapeEx::TShapeType;

Q_DECLARE_METATYPE(uShapeEx::TShapeType)

namespace {

void Hover(TShapeEx* shape) {
  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
  QCoreApplication::sendEvent(shape, &enter);
}

QString PixelName(QWidget* widget, QPoint at) {
  return QColor(widget->grab().toImage().pixel(at)).name();
}

// The darkest grey level painted inside the caption's box: near the caption colour's own.
int DarkestCaptionGrey(TShapeEx* shape) {
  const QImage image = shape->grab().toImage();
  const QFontMetrics metrics(shape->font());
  const QRect text(shape->CaptionPos(),
                   QSize(metrics.horizontalAdvance(shape->Caption()), metrics.height()));
  int darkest = 255;
  for (int y = text.top(); y <= text.bottom(); ++y)
    for (int x = text.left(); x <= text.right(); ++x)
      if (image.rect().contains(x, y)) darkest = std::min(darkest, qGray(image.pixel(x, y)));
  return darkest;
}

// Counts its paint events: shows that a change asked for a repaint.
class TCountingShape : public TShapeEx {
 public:
  using TShapeEx::TShapeEx;
  int paints = 0;

 protected:
  void paintEvent(QPaintEvent* event) override {
    ++paints;
    TShapeEx::paintEvent(event);
  }
};

}  // namespace

class TestShapeEx : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<uStyle::TdmStyle> style_;
  std::unique_ptr<QWidget> host_;

  TShapeEx* ProgramButton(const QString& name = "shpxTest") {
    TShapeEx* button = uStyle::MakeButton(host_.get(), name, "Test", style_->shpxclrschmButtons());
    button->show();
    return button;
  }

 private slots:
  void initTestCase() {
    QCursor::setPos(700, 500);  // away from the shapes: no hover but the test's own
    uStyle::InstallFontSubstitutions();
    style_ = std::make_unique<uStyle::TdmStyle>();
  }
  void init() {
    host_ = std::make_unique<QWidget>();
    host_->setObjectName("host");
    host_->setGeometry(0, 0, 400, 100);
    host_->show();
  }
  void cleanup() { host_.reset(); }

  void selectStyle_data() {
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("down");
    QTest::addColumn<bool>("mouseOver");
    QTest::addColumn<bool>("pressed");
    QTest::addColumn<bool>("mouseOverEnabled");
    QTest::addColumn<bool>("pressedEnabled");
    QTest::addColumn<QString>("style");
    QTest::newRow("disabled beats all")
        << false << true << true << true << true << true << "Disabled";
    QTest::newRow("disabled idle")
        << false << false << false << false << false << false << "Disabled";
    QTest::newRow("down pressed") << true << true << false << true << false << true
                                  << "PressedDown";
    QTest::newRow("down pressed beats mouse-over")
        << true << true << true << true << true << true << "PressedDown";
    QTest::newRow("down pressed, pressed off")
        << true << true << true << true << true << false << "MouseOverDown";
    QTest::newRow("down pressed, both off")
        << true << true << true << true << false << false << "Down";
    QTest::newRow("down mouse-over")
        << true << true << true << false << true << false << "MouseOverDown";
    QTest::newRow("down mouse-over, off")
        << true << true << true << false << false << true << "Down";
    QTest::newRow("down") << true << true << false << false << true << true << "Down";
    QTest::newRow("pressed") << true << false << false << true << false << true << "PressedUp";
    QTest::newRow("pressed beats mouse-over")
        << true << false << true << true << true << true << "PressedUp";
    QTest::newRow("pressed off, mouse-over")
        << true << false << true << true << true << false << "MouseOverUp";
    QTest::newRow("mouse-over") << true << false << true << false << true << false << "MouseOverUp";
    QTest::newRow("mouse-over off") << true << false << true << false << false << true << "Default";
    QTest::newRow("pressed off") << true << false << false << true << true << false << "Default";
    QTest::newRow("idle") << true << false << false << false << true << true << "Default";
  }
  void selectStyle() {
    QFETCH(bool, enabled);
    QFETCH(bool, down);
    QFETCH(bool, mouseOver);
    QFETCH(bool, pressed);
    QFETCH(bool, mouseOverEnabled);
    QFETCH(bool, pressedEnabled);
    QFETCH(QString, style);
    TShapeExColorSchema schema;
    schema.SetMouseOverEnabled(mouseOverEnabled);
    schema.SetPressedEnabled(pressedEnabled);
    const TShapeExColorStyle* chosen =
        &uShapeEx::SelectStyle(schema, enabled, down, mouseOver, pressed);
    const QList<QPair<QString, const TShapeExColorStyle*>> styles = {
        {"Default", &schema.DefaultColorStyle()},
        {"MouseOverDown", &schema.MouseOverDownColorStyle()},
        {"MouseOverUp", &schema.MouseOverUpColorStyle()},
        {"Down", &schema.DownColorStyle()},
        {"PressedDown", &schema.PressedDownColorStyle()},
        {"PressedUp", &schema.PressedUpColorStyle()},
        {"Disabled", &schema.DisabledColorStyle()}};
    QString name;
    for (const auto& [n, s] : styles)
      if (s == chosen) name = n;
    QCOMPARE(name, style);
  }

  void programButtonColours_data() {
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("brush");
    QTest::addColumn<QString>("border");
    QTest::addColumn<QString>("font");
    QTest::newRow("idle") << "idle"
                          << "#ffffff"
                          << "#808080"
                          << "#000000";
    QTest::newRow("hover") << "hover"
                           << "#eaf0ff"
                           << "#4080ff"
                           << "#000000";
    QTest::newRow("pressed") << "pressed"
                             << "#d5e2ff"
                             << "#0053ff"
                             << "#000000";
    QTest::newRow("down") << "down"
                          << "#ffffff"
                          << "#000000"
                          << "#000000";
    QTest::newRow("disabled under the mouse") << "disabled"
                                              << "#f0f0f0"
                                              << "#808080"
                                              << "#808080";
  }
  void programButtonColours() {
    QFETCH(QString, state);
    QFETCH(QString, brush);
    QFETCH(QString, border);
    QFETCH(QString, font);
    TShapeEx* button = ProgramButton();
    const QPoint fill(4, 12);
    const QPoint edge(36, 0);
    if (state != "idle" && state != "down") Hover(button);
    if (state == "pressed") QTest::mousePress(button, Qt::LeftButton, {}, QPoint(36, 12));
    if (state == "down") button->SetDown(true);
    if (state == "disabled") button->setEnabled(false);

    QCOMPARE(button->CurrentStyle(),
             (TShapeExColorStyle{QColor(brush), QColor(border), QColor(font)}));
    QCOMPARE(PixelName(button, fill), brush);
    QCOMPARE(PixelName(button, edge), border);
    QVERIFY2(std::abs(DarkestCaptionGrey(button) - qGray(QColor(font).rgb())) < 0x40,
             qPrintable(QString::number(DarkestCaptionGrey(button))));

    if (state == "pressed") {  // back to the hover colours on release
      QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(36, 12));
      QCOMPARE(PixelName(button, fill), QString("#eaf0ff"));
      QCOMPARE(PixelName(button, edge), QString("#4080ff"));
    }
  }

  void ownColoursWithoutSchema() {
    TShapeEx shape(host_.get());
    shape.resize(40, 20);
    shape.SetPen(QPen(QColor("#ff0000"), 1));
    shape.SetBrush(QBrush(QColor("#0000ff")));
    shape.SetFontColor(QColor("#00ff00"));
    shape.show();
    const TShapeExColorStyle own{QColor("#0000ff"), QColor("#ff0000"), QColor("#00ff00")};
    Hover(&shape);
    QTest::mousePress(&shape, Qt::LeftButton, {}, QPoint(20, 10));
    QCOMPARE(shape.CurrentStyle(), own);
    QCOMPARE(PixelName(&shape, QPoint(4, 10)), QString("#0000ff"));
    QTest::mouseRelease(&shape, Qt::LeftButton, {}, QPoint(20, 10));

    // A schema that goes away leaves the shape with its own colours again.
    auto schema = std::make_unique<TShapeExColorSchema>();
    schema->SetDefaultColorStyle({QColor("#123456"), QColor("#654321"), QColor("#000000")});
    shape.SetColorSchema(schema.get());
    QCOMPARE(PixelName(&shape, QPoint(4, 10)), QString("#123456"));
    schema.reset();
    QVERIFY(shape.ColorSchema() == nullptr);
    QCOMPARE(shape.CurrentStyle(), own);
    QCOMPARE(PixelName(&shape, QPoint(4, 10)), QString("#0000ff"));
  }

  void stateChangesRepaint_data() {
    QTest::addColumn<QString>("change");
    for (const char* change : {"enter", "leave", "press", "release", "disable", "enable",
                               "round corner", "schema", "schema edited", "down", "caption"})
      QTest::newRow(change) << QString(change);
  }
  void stateChangesRepaint() {
    QFETCH(QString, change);
    TCountingShape shape(host_.get());
    shape.resize(73, 25);
    TShapeExColorSchema schema;
    if (change == "leave") Hover(&shape);
    if (change == "release") QTest::mousePress(&shape, Qt::LeftButton, {}, QPoint(5, 5));
    if (change == "enable") shape.setEnabled(false);
    if (change == "schema edited") shape.SetColorSchema(&schema);
    shape.show();
    QVERIFY(QTest::qWaitForWindowExposed(host_.get()));
    QTRY_VERIFY(shape.paints > 0);
    QCoreApplication::processEvents();
    const int before = shape.paints;

    if (change == "enter") Hover(&shape);
    if (change == "leave") {
      QEvent leave(QEvent::Leave);
      QCoreApplication::sendEvent(&shape, &leave);
    }
    if (change == "press") QTest::mousePress(&shape, Qt::LeftButton, {}, QPoint(5, 5));
    if (change == "release") QTest::mouseRelease(&shape, Qt::LeftButton, {}, QPoint(5, 5));
    if (change == "disable") shape.setEnabled(false);
    if (change == "enable") shape.setEnabled(true);
    if (change == "round corner") shape.SetRoundCorner(12);
    if (change == "schema") shape.SetColorSchema(&schema);
    if (change == "schema edited")
      schema.SetDefaultColorStyle({QColor("#102030"), QColor("#000000"), QColor("#000000")});
    if (change == "down") shape.SetDown(true);
    if (change == "caption") shape.SetCaption("Ok");
    QTRY_VERIFY(shape.paints > before);
  }

  void captionFontFallsBack() {
    TShapeEx* button = ProgramButton();
    const QFontInfo info(button->font());
    QVERIFY2(QStringList({"Liberation Sans", "Arial", "DejaVu Sans"}).contains(info.family()),
             qPrintable(info.family()));
    QCOMPARE(info.pointSize(), 8);
  }

  void toggling_data() {
    QTest::addColumn<bool>("allowDown");
    QTest::addColumn<bool>("allowUp");
    QTest::addColumn<bool>("initialDown");
    QTest::addColumn<QString>("afterEachClick");  // D down, U up
    QTest::newRow("latches and stays down") << true << false << false << "DDD";
    QTest::newRow("toggles") << true << true << false << "DUD";
    QTest::newRow("releases and stays up") << false << true << true << "UUU";
    QTest::newRow("neither") << false << false << false << "UUU";
    QTest::newRow("neither, held down") << false << false << true << "DDD";
  }
  void toggling() {
    QFETCH(bool, allowDown);
    QFETCH(bool, allowUp);
    QFETCH(bool, initialDown);
    QFETCH(QString, afterEachClick);
    TShapeEx* button = ProgramButton();
    button->SetAllowDown(allowDown);
    button->SetAllowUp(allowUp);
    button->SetDown(initialDown);
    QString seenInSlot;
    connect(button, &TShapeEx::clicked, this, [&] { seenInSlot += button->Down() ? 'D' : 'U'; });
    QString after;
    for (int i = 0; i < afterEachClick.size(); ++i) {
      QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(36, 12));
      after += button->Down() ? 'D' : 'U';
    }
    QCOMPARE(after, afterEachClick);
    QCOMPARE(seenInSlot, afterEachClick);  // Down had changed before clicked()
  }

  void clickNeedsPressAndReleaseOnTheControl_data() {
    QTest::addColumn<bool>("pressOnIt");
    QTest::addColumn<int>("button");
    QTest::addColumn<QPoint>("releaseAt");
    QTest::addColumn<bool>("clicks");
    QTest::newRow("press and release inside")
        << true << int(Qt::LeftButton) << QPoint(72, 24) << true;
    QTest::newRow("released outside, right")
        << true << int(Qt::LeftButton) << QPoint(73, 12) << false;
    QTest::newRow("released outside, above")
        << true << int(Qt::LeftButton) << QPoint(10, -1) << false;
    QTest::newRow("pressed elsewhere, released inside")
        << false << int(Qt::LeftButton) << QPoint(36, 12) << false;
    QTest::newRow("right button") << true << int(Qt::RightButton) << QPoint(36, 12) << false;
  }
  void clickNeedsPressAndReleaseOnTheControl() {
    QFETCH(bool, pressOnIt);
    QFETCH(int, button);
    QFETCH(QPoint, releaseAt);
    QFETCH(bool, clicks);
    TShapeEx* shape = ProgramButton();
    shape->SetAllowDown(true);
    QSignalSpy clicked(shape, &TShapeEx::clicked);
    const auto mouseButton = static_cast<Qt::MouseButton>(button);
    if (pressOnIt) {
      QTest::mousePress(shape, mouseButton, {}, QPoint(36, 12));
      QVERIFY(shape->Pressed());
    }
    QTest::mouseRelease(shape, mouseButton, {}, releaseAt);
    QCOMPARE(clicked.count(), clicks ? 1 : 0);
    QCOMPARE(shape->Down(), clicks);
    QVERIFY(!shape->Pressed());
  }

  void groupReleasesItsOtherMembers() {
    TShapeEx* a = ProgramButton("a");
    TShapeEx* b = ProgramButton("b");
    TShapeEx* c = ProgramButton("c");
    TShapeEx* free1 = ProgramButton("free1");
    TShapeEx* free2 = ProgramButton("free2");
    QWidget otherParent;
    TShapeEx* elsewhere = uStyle::MakeButton(&otherParent, "elsewhere", "X", nullptr);
    for (TShapeEx* s : {a, b, c, elsewhere}) s->SetGroup(1);
    elsewhere->SetDown(true);
    free1->SetDown(true);

    a->SetDown(true);
    c->SetDown(true);
    QVERIFY(!a->Down());
    QVERIFY(!b->Down());
    QVERIFY(c->Down());
    QVERIFY(elsewhere->Down());  // another parent's group
    QVERIFY(free1->Down());      // group 0

    // A click that latches a member releases the others too.
    b->SetAllowDown(true);
    QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(36, 12));
    QVERIFY(b->Down());
    QVERIFY(!c->Down());

    // Group 0 shapes go down side by side.
    free2->SetDown(true);
    QVERIFY(free1->Down());
    QVERIFY(b->Down());
  }

  void geometry_data() {
    QTest::addColumn<TShapeType>("shape");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("pen");
    QTest::addColumn<QRect>("box");
    const QSize button(73, 25);
    QTest::newRow("pen 1 fills the widget")
        << TShapeType::stRectangle << button << 1 << QRect(0, 0, 73, 25);
    QTest::newRow("pen 0 one less than width - P + 1")
        << TShapeType::stRectangle << button << 0 << QRect(0, 0, 73, 25);
    QTest::newRow("pen 2") << TShapeType::stRectangle << button << 2 << QRect(1, 1, 72, 24);
    QTest::newRow("pen 3 offsets by 1")
        << TShapeType::stRectangle << button << 3 << QRect(1, 1, 71, 23);
    QTest::newRow("pen 4") << TShapeType::stRoundRect << button << 4 << QRect(2, 2, 70, 22);
    QTest::newRow("ellipse") << TShapeType::stEllipse << button << 1 << QRect(0, 0, 73, 25);
    QTest::newRow("square, pen 1") << TShapeType::stSquare << button << 1 << QRect(24, 0, 25, 25);
    QTest::newRow("square, pen 0") << TShapeType::stSquare << button << 0 << QRect(24, 0, 25, 25);
    QTest::newRow("square, pen 3") << TShapeType::stSquare << button << 3 << QRect(25, 1, 23, 23);
    QTest::newRow("circle, odd leftover")
        << TShapeType::stCircle << QSize(74, 25) << 1 << QRect(24, 0, 25, 25);
    QTest::newRow("round square, tall")
        << TShapeType::stRoundSquare << QSize(25, 73) << 1 << QRect(0, 24, 25, 25);
  }
  void geometry() {
    QFETCH(TShapeType, shape);
    QFETCH(QSize, size);
    QFETCH(int, pen);
    QFETCH(QRect, box);
    TShapeEx widget(host_.get());
    widget.SetShape(shape);
    widget.resize(size);
    widget.SetRoundCorner(6);
    widget.SetPen(QPen(QColor("#ff0000"), pen));
    widget.SetBrush(QBrush(QColor("#0000ff")));
    widget.show();
    QCOMPARE(widget.BoxRect(), box);

    // The painted outline runs along the box's first and last column and row, the fill
    // inside.
    const QPoint centre = box.center();
    QCOMPARE(PixelName(&widget, centre), QString("#0000ff"));
    if (shape == TShapeType::stRectangle || shape == TShapeType::stSquare) {
      QCOMPARE(PixelName(&widget, QPoint(box.left(), centre.y())), QString("#ff0000"));
      QCOMPARE(PixelName(&widget, QPoint(box.right(), centre.y())), QString("#ff0000"));
      QCOMPARE(PixelName(&widget, QPoint(centre.x(), box.top())), QString("#ff0000"));
      QCOMPARE(PixelName(&widget, QPoint(centre.x(), box.bottom())), QString("#ff0000"));
    }
    // A rectangle's outline fills the widget's edge columns with full pen-width strokes:
    // sharp, neither blurred nor shifted by a pixel.
    if (shape == TShapeType::stRectangle) {
      const int stroke = std::max(pen, 1);
      const int y = centre.y();
      const int w = size.width();
      QCOMPARE(PixelName(&widget, QPoint(0, y)), QString("#ff0000"));
      QCOMPARE(PixelName(&widget, QPoint(stroke - 1, y)), QString("#ff0000"));
      QCOMPARE(PixelName(&widget, QPoint(stroke, y)), QString("#0000ff"));
      QCOMPARE(PixelName(&widget, QPoint(w - stroke, y)), QString("#ff0000"));
      QCOMPARE(PixelName(&widget, QPoint(w - 1, y)), QString("#ff0000"));
      QCOMPARE(PixelName(&widget, QPoint(w - stroke - 1, y)), QString("#0000ff"));
    }
  }

  void captionOrigin_data() {
    QTest::addColumn<QRect>("box");
    QTest::addColumn<QSize>("text");
    QTest::addColumn<QPoint>("origin");
    QTest::newRow("x half up to even 32") << QRect(0, 0, 73, 25) << QSize(10, 13) << QPoint(32, 5);
    QTest::newRow("x whole") << QRect(0, 0, 73, 25) << QSize(11, 13) << QPoint(31, 5);
    QTest::newRow("x 31.5, y 5.5") << QRect(0, 0, 72, 24) << QSize(9, 13) << QPoint(32, 5);
    QTest::newRow("x 32.5, y 4.5 down to even")
        << QRect(0, 0, 72, 24) << QSize(7, 15) << QPoint(32, 3);
    QTest::newRow("offset box") << QRect(1, 1, 71, 23) << QSize(20, 14) << QPoint(26, 5);
    QTest::newRow("text wider than box") << QRect(0, 0, 20, 10) << QSize(31, 12) << QPoint(-6, -2);
  }
  void captionOrigin() {
    QFETCH(QRect, box);
    QFETCH(QSize, text);
    QFETCH(QPoint, origin);
    QCOMPARE(uShapeEx::CaptionOrigin(box, text), origin);
  }
};

QTEST_MAIN(TestShapeEx)
#include "test_uShapeEx.moc"
