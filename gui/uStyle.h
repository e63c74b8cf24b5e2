#pragma once
// The style module: the colour schema of the program's buttons, the helper that makes such a
// button, the grey bar that holds them with the frame colours, and the font substitutions that
// stand in for the Windows fonts the windows name.

#include <QColor>
#include <QObject>
#include <QString>
#include <QWidget>

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

// The frame colours: the grey line along the top of a bar and between areas, the bar under a
// window's content, a dialog's background, the silver line between list rows.
QColor LineColor();  // #808080
QColor BarColor();   // #E0E0E0
QColor BackColor();  // #F0F0F0
QColor GridColor();  // #C0C0C0

// The height of a window's button bar, and where its buttons stand from its top edge.
inline constexpr int kBarHeight = 41;
inline constexpr int kBarButtonTop = 8;

// A filled area with a one-pixel LineColor line along its top edge: a window's button bar or a
// dialog's background. Its own background takes mouse presses (not those on its buttons):
// mouseDown reports each, with doubleClick set for the second press of a double click.
class TPanel : public QWidget {
  Q_OBJECT
 public:
  TPanel(QWidget* parent, const QColor& fill);

 signals:
  void mouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, bool doubleClick);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  QColor fill_;
};

// The grey bar (BarColor) that holds a window's buttons, named "pnlButtons"; its owner places it.
TPanel* MakeButtonBar(QWidget* parent);

// A line one pixel high in LineColor, named objectName; its owner places it.
QWidget* MakeLine(QWidget* parent, const QString& objectName);

// A program button: a rounded rectangle 73 x 25 with a grey border and a black caption in
// "MS Sans Serif" 8 pt, not latching, in no group. schema may be null.
uShapeEx::TShapeEx* MakeButton(QWidget* parent, const QString& objectName, const QString& caption,
                               uShapeEx::TShapeExColorSchema* schema);

}  // namespace uStyle
