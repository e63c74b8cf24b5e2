#include "gui/uStyle.h"

#include <QFont>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QStringList>

#include "gui/uShapeEx.h"

namespace uStyle {

using uShapeEx::TShapeExColorStyle;

void InstallFontSubstitutions() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  QFont::insertSubstitutions("MS Sans Serif", {"Liberation Sans", "Arial", "DejaVu Sans"});
  QFont::insertSubstitutions("Trebuchet MS", {"DejaVu Sans", "Liberation Sans"});
}

namespace {
TShapeExColorStyle Style(const char* brush, const char* border, const char* font) {
  return {QColor(brush), QColor(border), QColor(font)};
}
}  // namespace

TdmStyle::TdmStyle(QObject* parent)
    : QObject(parent), shpxclrschmButtons_(new uShapeEx::TShapeExColorSchema(this)) {
  setObjectName("dmStyle");
  InstallFontSubstitutions();
  auto* s = shpxclrschmButtons_;
  s->setObjectName("shpxclrschmButtons");
  s->SetDefaultColorStyle(Style("#FFFFFF", "#808080", "#000000"));
  s->SetMouseOverDownColorStyle(Style("#FFFFFF", "#000000", "#000000"));
  s->SetMouseOverUpColorStyle(Style("#EAF0FF", "#4080FF", "#000000"));
  s->SetDownColorStyle(Style("#FFFFFF", "#000000", "#000000"));
  s->SetPressedDownColorStyle(Style("#FFFFFF", "#000000", "#000000"));
  s->SetPressedUpColorStyle(Style("#D5E2FF", "#0053FF", "#000000"));
  s->SetDisabledColorStyle(Style("#F0F0F0", "#808080", "#808080"));
  s->SetMouseOverEnabled(true);
  s->SetPressedEnabled(true);
}

QColor LineColor() {
  return {0x80, 0x80, 0x80};
}
QColor BarColor() {
  return {0xE0, 0xE0, 0xE0};
}
QColor BackColor() {
  return {0xF0, 0xF0, 0xF0};
}
QColor GridColor() {
  return {0xC0, 0xC0, 0xC0};
}

TPanel::TPanel(QWidget* parent, const QColor& fill) : QWidget(parent), fill_(fill) {}

void TPanel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), fill_);
  painter.fillRect(QRect(0, 0, width(), 1), LineColor());
}

void TPanel::mousePressEvent(QMouseEvent* event) {
  emit mouseDown(event->button(), event->modifiers(), false);
}

void TPanel::mouseDoubleClickEvent(QMouseEvent* event) {
  // The second press of a double click: the one that carries the double-click state.
  emit mouseDown(event->button(), event->modifiers(), true);
}

TPanel* MakeButtonBar(QWidget* parent) {
  auto* bar = new TPanel(parent, BarColor());
  bar->setObjectName("pnlButtons");
  return bar;
}

QWidget* MakeLine(QWidget* parent, const QString& objectName) {
  auto* line = new QWidget(parent);
  line->setObjectName(objectName);
  line->setAutoFillBackground(true);
  QPalette palette = line->palette();
  palette.setColor(QPalette::Window, LineColor());
  line->setPalette(palette);
  return line;
}

uShapeEx::TShapeEx* MakeButton(QWidget* parent, const QString& objectName, const QString& caption,
                               uShapeEx::TShapeExColorSchema* schema) {
  auto* button = new uShapeEx::TShapeEx(parent);
  button->setObjectName(objectName);
  button->SetShape(uShapeEx::TShapeType::stRoundRect);
  button->resize(73, 25);
  button->SetRoundCorner(6);
  button->SetPen(QPen(LineColor(), 1));
  button->SetBrush(QBrush(Qt::white));
  button->setFont(QFont("MS Sans Serif", 8));
  button->SetFontColor(Qt::black);
  button->SetCaption(caption);
  button->SetDown(false);
  button->SetGroup(0);
  button->SetAllowDown(false);
  button->SetAllowUp(false);
  button->SetColorSchema(schema);
  return button;
}

}  // namespace uStyle
