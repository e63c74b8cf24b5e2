#include "gui/uStyle.h"

#include <QFont>
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

uShapeEx::TShapeEx* MakeButton(QWidget* parent, const QString& objectName, const QString& caption,
                               uShapeEx::TShapeExColorSchema* schema) {
  auto* button = new uShapeEx::TShapeEx(parent);
  button->setObjectName(objectName);
  button->SetShape(uShapeEx::TShapeType::stRoundRect);
  button->resize(73, 25);
  button->SetRoundCorner(6);
  button->SetPen(QPen(QColor(0x80, 0x80, 0x80), 1));
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
