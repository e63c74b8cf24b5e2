#pragma once
// The style module: the colour schema of the program's buttons, the helper that makes such a
// button, and the font substitutions that stand in for the Windows fonts the windows name.

#include <QObject>
#include <QString>

class QWidget;

namespace uShapeEx {
class TShapeEx;
class TShapeExColorSchema;
}  // namespace uShapeEx

namespace uStyle {

// Maps "MS Sans Serif" and "Trebuchet MS" to the closest installed sans fonts. Call once at
// start, before the first window; later calls do nothing.
void InstallFontSubstitutions();

class TdmStyle : public QObject {
  Q_OBJECT
 public:
  // Also installs the font substitutions.
  explicit TdmStyle(QObject* parent = nullptr);

  // The buttons' colours: white with a grey border, light blue under the mouse, a deeper
  // blue while pressed, grey when disabled. Owned by the module.
  uShapeEx::TShapeExColorSchema* shpxclrschmButtons() const { return shpxclrschmButtons_; }

 private:
  uShapeEx::TShapeExColorSchema* shpxclrschmButtons_;
};

// A program button: a rounded rectangle 73 x 25 with a grey border and a black caption in
// "MS Sans Serif" 8 pt, not latching, in no group. schema may be null.
uShapeEx::TShapeEx* MakeButton(QWidget* parent, const QString& objectName, const QString& caption,
                               uShapeEx::TShapeExColorSchema* schema);

}  // namespace uStyle
