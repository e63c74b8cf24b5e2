#pragma once
// TShapeEx: a painted shape that works as a button. It can latch down, release the other
// members of its group, and take its colours from a schema that has one style for each
// combination of enabled, down, mouse-over and pressed.

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QObject>
#include <QPen>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>

namespace uShapeEx {

// The three colours of one state. Copied as a whole.
struct TShapeExColorStyle {
  QColor BrushColor{Qt::white};
  QColor BorderColor{Qt::black};
  QColor FontColor{Qt::black};

  friend bool operator==(const TShapeExColorStyle&, const TShapeExColorStyle&) = default;
};

// The colours a shape uses in each state. Not visual; several shapes may share one.
class TShapeExColorSchema : public QObject {
  Q_OBJECT
 public:
  explicit TShapeExColorSchema(QObject* parent = nullptr);

  const TShapeExColorStyle& DefaultColorStyle() const { return default_; }
  const TShapeExColorStyle& MouseOverDownColorStyle() const { return mouseOverDown_; }
  const TShapeExColorStyle& MouseOverUpColorStyle() const { return mouseOverUp_; }
  const TShapeExColorStyle& DownColorStyle() const { return down_; }
  const TShapeExColorStyle& PressedDownColorStyle() const { return pressedDown_; }
  const TShapeExColorStyle& PressedUpColorStyle() const { return pressedUp_; }
  const TShapeExColorStyle& DisabledColorStyle() const { return disabled_; }
  bool MouseOverEnabled() const { return mouseOverEnabled_; }
  bool PressedEnabled() const { return pressedEnabled_; }

  void SetDefaultColorStyle(const TShapeExColorStyle& style);
  void SetMouseOverDownColorStyle(const TShapeExColorStyle& style);
  void SetMouseOverUpColorStyle(const TShapeExColorStyle& style);
  void SetDownColorStyle(const TShapeExColorStyle& style);
  void SetPressedDownColorStyle(const TShapeExColorStyle& style);
  void SetPressedUpColorStyle(const TShapeExColorStyle& style);
  void SetDisabledColorStyle(const TShapeExColorStyle& style);
  void SetMouseOverEnabled(bool value);
  void SetPressedEnabled(bool value);

 signals:
  // Any style or switch changed; the shapes using the schema repaint.
  void changed();

 private:
  void Assign(TShapeExColorStyle& target, const TShapeExColorStyle& style);

  TShapeExColorStyle default_;
  TShapeExColorStyle mouseOverDown_;
  TShapeExColorStyle mouseOverUp_;
  TShapeExColorStyle down_;
  TShapeExColorStyle pressedDown_;
  TShapeExColorStyle pressedUp_;
  TShapeExColorStyle disabled_;
  bool mouseOverEnabled_ = false;
  bool pressedEnabled_ = false;
};

// The style for a state; the first rule that matches wins:
// disabled; down+pressed; down+mouse-over; down; pressed; mouse-over; default.
// The pressed and mouse-over rules apply only when the schema enables them.
const TShapeExColorStyle& SelectStyle(const TShapeExColorSchema& schema, bool enabled, bool down,
                                      bool mouseOver, bool pressed);

enum class TShapeType { stRectangle, stSquare, stRoundRect, stRoundSquare, stEllipse, stCircle };

// The box a shape of the given kind occupies in a widget of the given size with a pen of the
// given width: the rectangle runs from (x, y) to (x + width, y + height), right and bottom
// edges excluded.
QRect ShapeBox(TShapeType shape, QSize size, int penWidth);

// Top-left corner of a caption of the given text size centred in box; halves round to even.
QPoint CaptionOrigin(const QRect& box, QSize textSize);

class TShapeEx : public QWidget {
  Q_OBJECT
 public:
  explicit TShapeEx(QWidget* parent = nullptr);

  TShapeType Shape() const { return shape_; }
  void SetShape(TShapeType shape);
  const QPen& Pen() const { return pen_; }
  void SetPen(const QPen& pen);
  const QBrush& Brush() const { return brush_; }
  void SetBrush(const QBrush& brush);
  // Width and height of the corner ellipse of the rounded kinds.
  int RoundCorner() const { return roundCorner_; }
  void SetRoundCorner(int value);
  // May be null: the shape then keeps its own pen, brush and font colours. Not owned; a
  // schema that is destroyed reads as null.
  TShapeExColorSchema* ColorSchema() const { return schema_; }
  void SetColorSchema(TShapeExColorSchema* schema);
  // The caption's font is the widget's font(); its colour is this one (without a schema).
  const QColor& FontColor() const { return fontColor_; }
  void SetFontColor(const QColor& color);
  const QString& Caption() const { return caption_; }
  void SetCaption(const QString& caption);

  bool Down() const { return down_; }
  // Setting it true on a shape of a non-zero group releases the other shapes of that group
  // among its siblings first.
  void SetDown(bool value);
  int Group() const { return group_; }
  void SetGroup(int value) { group_ = value; }
  // A click latches the shape down (AllowDown) or releases it again (AllowUp).
  bool AllowDown() const { return allowDown_; }
  void SetAllowDown(bool value) { allowDown_ = value; }
  bool AllowUp() const { return allowUp_; }
  void SetAllowUp(bool value) { allowUp_ = value; }

  // Run-time state: the mouse is over the shape; a mouse button went down on it and is held.
  bool MouseOver() const { return mouseOver_; }
  bool Pressed() const { return pressed_; }

  // What painting uses: the box, the caption's top-left corner and the colours of the
  // current state (the schema's selected style, or the shape's own colours without one).
  QRect BoxRect() const;
  QPoint CaptionPos() const;
  TShapeExColorStyle CurrentStyle() const;

 signals:
  // The OnClick notification: the left button was pressed and released on the shape.
  // Down has already changed when it is emitted.
  void clicked();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  TShapeType shape_ = TShapeType::stRectangle;
  QPen pen_{QColor(Qt::black), 1};
  QBrush brush_{Qt::white};
  int roundCorner_ = 0;
  QPointer<TShapeExColorSchema> schema_;
  QMetaObject::Connection schemaConnection_;
  QColor fontColor_{Qt::black};
  QString caption_;
  bool down_ = false;
  int group_ = 0;
  bool allowDown_ = false;
  bool allowUp_ = false;
  bool mouseOver_ = false;
  bool pressed_ = false;
  bool leftPressed_ = false;  // the left button went down on the shape and is still held
};

}  // namespace uShapeEx
