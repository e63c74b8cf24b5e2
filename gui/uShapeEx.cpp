#include "gui/uShapeEx.h"

#include <QEnterEvent>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace uShapeEx {

// ---- TShapeExColorSchema

TShapeExColorSchema::TShapeExColorSchema(QObject* parent) : QObject(parent) {}

void TShapeExColorSchema::Assign(TShapeExColorStyle& target, const TShapeExColorStyle& style) {
  if (target == style) return;
  target = style;
  emit changed();
}

void TShapeExColorSchema::SetDefaultColorStyle(const TShapeExColorStyle& style) {
  Assign(default_, style);
}
void TShapeExColorSchema::SetMouseOverDownColorStyle(const TShapeExColorStyle& style) {
  Assign(mouseOverDown_, style);
}
void TShapeExColorSchema::SetMouseOverUpColorStyle(const TShapeExColorStyle& style) {
  Assign(mouseOverUp_, style);
}
void TShapeExColorSchema::SetDownColorStyle(const TShapeExColorStyle& style) {
  Assign(down_, style);
}
void TShapeExColorSchema::SetPressedDownColorStyle(const TShapeExColorStyle& style) {
  Assign(pressedDown_, style);
}
void TShapeExColorSchema::SetPressedUpColorStyle(const TShapeExColorStyle& style) {
  Assign(pressedUp_, style);
}
void TShapeExColorSchema::SetDisabledColorStyle(const TShapeExColorStyle& style) {
  Assign(disabled_, style);
}

void TShapeExColorSchema::SetMouseOverEnabled(bool value) {
  if (mouseOverEnabled_ == value) return;
  mouseOverEnabled_ = value;
  emit changed();
}

void TShapeExColorSchema::SetPressedEnabled(bool value) {
  if (pressedEnabled_ == value) return;
  pressedEnabled_ = value;
  emit changed();
}

const TShapeExColorStyle& SelectStyle(const TShapeExColorSchema& schema, bool enabled, bool down,
                                      bool mouseOver, bool pressed) {
  const bool pressedOn = pressed && schema.PressedEnabled();
  const bool mouseOverOn = mouseOver && schema.MouseOverEnabled();
  if (!enabled) return schema.DisabledColorStyle();
  if (down && pressedOn) return schema.PressedDownColorStyle();
  if (down && mouseOverOn) return schema.MouseOverDownColorStyle();
  if (down) return schema.DownColorStyle();
  if (pressedOn) return schema.PressedUpColorStyle();
  if (mouseOverOn) return schema.MouseOverUpColorStyle();
  return schema.DefaultColorStyle();
}

// ---- Geometry

QRect ShapeBox(TShapeType shape, QSize size, int penWidth) {
  int x = penWidth / 2;
  int y = x;
  int w = size.width() - penWidth + 1;
  int h = size.height() - penWidth + 1;
  if (penWidth == 0) {
    --w;
    --h;
  }
  if (shape == TShapeType::stSquare || shape == TShapeType::stRoundSquare ||
      shape == TShapeType::stCircle) {
    const int s = std::min(w, h);
    x += (w - s) / 2;
    y += (h - s) / 2;
    w = h = s;
  }
  return QRect(x, y, w, h);
}

QPoint CaptionOrigin(const QRect& box, QSize textSize) {
  // nearbyint under the default rounding mode rounds halves to even.
  const double left = std::nearbyint(box.x() + box.width() / 2.0 - textSize.width() / 2.0);
  const double top = std::nearbyint(box.y() + box.height() / 2.0 - textSize.height() / 2.0);
  return QPoint(static_cast<int>(left), static_cast<int>(top) - 1);
}

// ---- TShapeEx

TShapeEx::TShapeEx(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::NoFocus);
  resize(65, 65);
}

void TShapeEx::SetShape(TShapeType shape) {
  if (shape_ == shape) return;
  shape_ = shape;
  update();
}

void TShapeEx::SetPen(const QPen& pen) {
  pen_ = pen;
  update();
}

void TShapeEx::SetBrush(const QBrush& brush) {
  brush_ = brush;
  update();
}

void TShapeEx::SetRoundCorner(int value) {
  if (roundCorner_ == value) return;
  roundCorner_ = value;
  update();
}

void TShapeEx::SetColorSchema(TShapeExColorSchema* schema) {
  if (schema_ == schema) return;
  disconnect(schemaConnection_);
  schema_ = schema;
  if (schema) {
    schemaConnection_ =
        connect(schema, &TShapeExColorSchema::changed, this, qOverload<>(&QWidget::update));
  }
  update();
}

void TShapeEx::SetFontColor(const QColor& color) {
  fontColor_ = color;
  update();
}

void TShapeEx::SetCaption(const QString& caption) {
  if (caption_ == caption) return;
  caption_ = caption;
  update();
}

void TShapeEx::SetDown(bool value) {
  if (down_ == value) return;
  if (value && group_ != 0) {
    if (QWidget* parent = parentWidget()) {
      const auto siblings = parent->findChildren<TShapeEx*>(Qt::FindDirectChildrenOnly);
      for (TShapeEx* other : siblings) {
        if (other != this && other->group_ == group_) other->SetDown(false);
      }
    }
  }
  down_ = value;
  update();
}

QRect TShapeEx::BoxRect() const {
  return ShapeBox(shape_, size(), pen_.width());
}

QPoint TShapeEx::CaptionPos() const {
  const QFontMetrics metrics(font());
  return CaptionOrigin(BoxRect(), QSize(metrics.horizontalAdvance(caption_), metrics.height()));
}

TShapeExColorStyle TShapeEx::CurrentStyle() const {
  if (!schema_) return {brush_.color(), pen_.color(), fontColor_};
  return SelectStyle(*schema_, isEnabled(), down_, mouseOver_, pressed_);
}

void TShapeEx::paintEvent(QPaintEvent*) {
  const TShapeExColorStyle style = CurrentStyle();
  // Copies: painting must not change the shape's own pen and brush.
  QPen pen = pen_;
  pen.setColor(style.BorderColor);
  QBrush brush = brush_;
  brush.setColor(style.BrushColor);

  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(pen);
  painter.setBrush(brush);

  // The outline's centre line runs along the first and last pixel column and row of the box;
  // an odd (or hairline) pen is centred on the pixel, so it stays sharp.
  const QRect box = BoxRect();
  const double shift = (pen_.width() % 2 == 1 || pen_.width() == 0) ? 0.5 : 0.0;
  const QRectF outline(box.x() + shift, box.y() + shift, box.width() - 1, box.height() - 1);
  switch (shape_) {
    case TShapeType::stRectangle:
    case TShapeType::stSquare:
      painter.drawRect(outline);
      break;
    case TShapeType::stRoundRect:
    case TShapeType::stRoundSquare:
      painter.drawRoundedRect(outline, roundCorner_ / 2.0, roundCorner_ / 2.0);
      break;
    case TShapeType::stEllipse:
    case TShapeType::stCircle:
      painter.drawEllipse(outline);
      break;
  }

  if (!caption_.isEmpty()) {
    painter.setFont(font());
    painter.setPen(style.FontColor);
    const QPoint origin = CaptionPos();
    painter.drawText(origin.x(), origin.y() + QFontMetrics(font()).ascent(), caption_);
  }
}

void TShapeEx::enterEvent(QEnterEvent* event) {
  QWidget::enterEvent(event);
  mouseOver_ = true;
  update();
}

void TShapeEx::leaveEvent(QEvent* event) {
  QWidget::leaveEvent(event);
  mouseOver_ = false;
  update();
}

void TShapeEx::mousePressEvent(QMouseEvent* event) {
  pressed_ = true;
  if (event->button() == Qt::LeftButton) leftPressed_ = true;
  update();
}

void TShapeEx::mouseReleaseEvent(QMouseEvent* event) {
  if (event->buttons() == Qt::NoButton) pressed_ = false;
  bool click = false;
  if (event->button() == Qt::LeftButton) {
    click = leftPressed_ && rect().contains(event->position().toPoint());
    leftPressed_ = false;
  }
  if (click) {
    if (down_ && allowUp_)
      SetDown(false);
    else if (!down_ && allowDown_)
      SetDown(true);
  }
  update();
  // Last: a slot may delete the shape.
  if (click) emit clicked();
}

void TShapeEx::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::EnabledChange) {
    // A disabled widget gets no release; do not let the press stick.
    if (!isEnabled()) pressed_ = leftPressed_ = false;
    update();
  } else if (event->type() == QEvent::FontChange) {
    update();
  }
}

void TShapeEx::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  // A hidden shape gets no leave event; shown again it starts without hover or press.
  mouseOver_ = pressed_ = leftPressed_ = false;
}

}  // namespace uShapeEx
