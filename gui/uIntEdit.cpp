#include "gui/uIntEdit.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFocusEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QToolButton>
#include <algorithm>
#include <string>

#include "ci/uStrUtils.h"
#include "gui/uMessageBox.h"

namespace uIntEdit {

namespace {

constexpr int kSpinWidth = 16;
constexpr int kTextToSpin = 2;

bool ToInt(const QString& text, std::int32_t& value) {
  const std::string bytes = text.toStdString();
  return uStrUtils::TryStrToInt(bytes, value);
}

// The number the text starts with: its longest prefix that converts; 0 when none does.
std::int32_t LeadingNumber(const QString& text) {
  const std::string bytes = text.toStdString();
  for (std::size_t length = bytes.size(); length > 0; --length) {
    std::int32_t value = 0;
    if (uStrUtils::TryStrToInt(std::string_view(bytes).substr(0, length), value)) return value;
  }
  return 0;
}

// The characters that typing may put into the text.
bool IsTypeable(QChar c) {
  return (c >= '0' && c <= '9') || c == '-';
}

QToolButton* MakeSpinButton(QWidget* parent, const char* name, Qt::ArrowType arrow) {
  auto* button = new QToolButton(parent);
  button->setObjectName(name);
  button->setArrowType(arrow);
  button->setFocusPolicy(Qt::NoFocus);
  button->setAutoRepeat(true);
  button->setCursor(Qt::ArrowCursor);
  return button;
}

}  // namespace

TMyCustomNumEdit::TMyCustomNumEdit(QWidget* parent) : QLineEdit(parent) {
  btnUp_ = MakeSpinButton(this, "btnUp", Qt::UpArrow);
  btnDown_ = MakeSpinButton(this, "btnDown", Qt::DownArrow);
  connect(btnUp_, &QToolButton::clicked, this, [this] { SpinClick(false); });
  connect(btnDown_, &QToolButton::clicked, this, [this] { SpinClick(true); });
  connect(this, &QLineEdit::textChanged, this, &TMyCustomNumEdit::changeText);
  setTextMargins(0, 0, kSpinWidth + kTextToSpin, 0);
  PlaceSpin();
}

void TMyCustomNumEdit::SetUpDownEnable(bool value) {
  upDownEnable_ = value;
  btnUp_->setEnabled(value);
  btnDown_->setEnabled(value);
}

void TMyCustomNumEdit::SetColored(bool value) {
  colored_ = value;
  if (value) return;
  QPalette colours = palette();
  colours.setColor(QPalette::Text, Qt::black);
  setPalette(colours);
  UpdateText();
}

void TMyCustomNumEdit::UpdateText() {
  setText(QString());
}

bool TMyCustomNumEdit::Validate() {
  return true;
}

bool TMyCustomNumEdit::CtrlHeld() const {
  const Qt::KeyboardModifiers modifiers =
      stepKey_ ? stepKey_->modifiers() : QGuiApplication::queryKeyboardModifiers();
  return modifiers.testFlag(Qt::ControlModifier);
}

void TMyCustomNumEdit::SpinClick(bool down) {
  Step(down, false);
  if ((focusPolicy() & Qt::TabFocus) && isEnabled() && isVisible()) setFocus(Qt::MouseFocusReason);
}

void TMyCustomNumEdit::keyPressEvent(QKeyEvent* event) {
  const int key = event->key();
  if (key == Qt::Key_Return || key == Qt::Key_Enter) {
    event->accept();
    Validate();
    return;
  }
  if (key == Qt::Key_Up || key == Qt::Key_Down || key == Qt::Key_PageUp ||
      key == Qt::Key_PageDown) {
    stepKey_ = event;
    Step(key == Qt::Key_Down || key == Qt::Key_PageDown,
         key == Qt::Key_PageUp || key == Qt::Key_PageDown);
    stepKey_ = nullptr;
    QLineEdit::keyPressEvent(event);
    return;
  }
  if (event->matches(QKeySequence::Paste) || event->matches(QKeySequence::Cut)) {
    // Shift+Insert and Shift+Delete come here too; Ctrl+X is a dropped character below.
    const bool ctrlX = key == Qt::Key_X;
    if (!ctrlX && EditAllowed()) QLineEdit::keyPressEvent(event);
    event->accept();
    return;
  }
  if (event->matches(QKeySequence::Copy) || key == Qt::Key_Backspace) {
    QLineEdit::keyPressEvent(event);
    return;
  }
  // Printable characters and Ctrl+letter: only digits and the minus sign reach the text.
  // Control codes (Delete, Escape) keep their usual handling.
  const QString text = event->text();
  const bool ctrl = event->modifiers().testFlag(Qt::ControlModifier);
  if (!text.isEmpty() && (text.at(0).isPrint() || ctrl)) {
    const QChar c = text.at(0);
    const bool allowed = text.size() == 1 && IsTypeable(c) && !ctrl;
    if (!allowed) {
      event->accept();
      return;
    }
  }
  QLineEdit::keyPressEvent(event);
}

void TMyCustomNumEdit::inputMethodEvent(QInputMethodEvent* event) {
  QString allowed;
  for (const QChar c : event->commitString())
    if (IsTypeable(c)) allowed += c;
  if (allowed == event->commitString() && event->preeditString().isEmpty()) {
    QLineEdit::inputMethodEvent(event);
    return;
  }
  // Without the preedit too: it would show characters that can never reach the text.
  QInputMethodEvent filtered(QString(), {});
  filtered.setCommitString(allowed, event->replacementStart(), event->replacementLength());
  QLineEdit::inputMethodEvent(&filtered);
  event->accept();
}

void TMyCustomNumEdit::dragEnterEvent(QDragEnterEvent* event) {
  if (!EditAllowed()) {
    event->ignore();
    return;
  }
  QLineEdit::dragEnterEvent(event);
}

void TMyCustomNumEdit::dragMoveEvent(QDragMoveEvent* event) {
  if (!EditAllowed()) {
    event->ignore();
    return;
  }
  QLineEdit::dragMoveEvent(event);
}

void TMyCustomNumEdit::dropEvent(QDropEvent* event) {
  if (!EditAllowed()) {
    event->ignore();
    return;
  }
  QLineEdit::dropEvent(event);
}

void TMyCustomNumEdit::focusInEvent(QFocusEvent* event) {
  QLineEdit::focusInEvent(event);
  if (autoSelect_ && event->reason() != Qt::MouseFocusReason) selectAll();
}

void TMyCustomNumEdit::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  // A context menu or another window taking over is not the user leaving the field.
  if (validating_ || event->reason() == Qt::PopupFocusReason ||
      event->reason() == Qt::ActiveWindowFocusReason)
    return;
  validating_ = true;
  const bool valid = Validate();
  validating_ = false;
  if (!valid) setFocus(Qt::OtherFocusReason);
}

void TMyCustomNumEdit::contextMenuEvent(QContextMenuEvent* event) {
  QMenu* menu = createStandardContextMenu();
  menu->setAttribute(Qt::WA_DeleteOnClose);
  if (!EditAllowed()) {
    for (QAction* action : menu->actions()) {
      if (action->objectName() == "edit-paste" || action->objectName() == "edit-cut")
        action->setEnabled(false);
    }
  }
  menu->popup(event->globalPos());
}

void TMyCustomNumEdit::resizeEvent(QResizeEvent* event) {
  QLineEdit::resizeEvent(event);
  PlaceSpin();
}

void TMyCustomNumEdit::PlaceSpin() {
  // Over the full inner height, inside the frame.
  const int frame = hasFrame() ? 1 : 0;
  const int innerHeight = std::max(2, height() - 2 * frame);
  const int left = width() - frame - kSpinWidth;
  btnUp_->setGeometry(left, frame, kSpinWidth, innerHeight / 2);
  btnDown_->setGeometry(left, frame + innerHeight / 2, kSpinWidth, innerHeight - innerHeight / 2);
}

TIntEdit::TIntEdit(QWidget* parent) : TMyCustomNumEdit(parent) {
  UpdateText();
}

std::int32_t TIntEdit::Value() const {
  std::int32_t value = 0;
  return ToInt(text(), value) ? value : 0;
}

std::int32_t TIntEdit::Clamp(std::int64_t value) const {
  if (minValue_ == maxValue_) return minValue_;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, minValue_, maxValue_));
}

void TIntEdit::SetValue(std::int32_t value) {
  value_ = Clamp(value);
  UpdateText();
}

void TIntEdit::SetMinValue(std::int32_t value) {
  minValue_ = std::min(value, maxValue_);
  SetValue(value_);
}

void TIntEdit::SetMaxValue(std::int32_t value) {
  maxValue_ = std::max(value, minValue_);
  SetValue(value_);
}

void TIntEdit::SetIncrement(std::int32_t value) {
  if (value > 0) increment_ = value;
}

void TIntEdit::UpdateText() {
  setText(QString::number(value_));
}

void TIntEdit::Step(bool down, bool page) {
  std::int32_t typed = 0;
  SetValue(ToInt(text(), typed) ? typed : value_);
  std::int64_t k = CtrlHeld() ? 10 : 1;
  if (page) k *= pageMult_;
  const std::int64_t delta = k * increment_;
  value_ = Clamp(static_cast<std::int64_t>(value_) + (down ? -delta : delta));
  UpdateText();
}

bool TIntEdit::Validate() {
  std::int32_t number = 0;
  const bool parsed = ToInt(text(), number);
  if (parsed && (minValue_ == maxValue_ || (minValue_ <= number && number <= maxValue_))) {
    SetValue(number);
    return true;
  }
  if (FailureBeep()) QApplication::beep();
  if (AutoCorrect()) {
    SetValue(parsed ? number : LeadingNumber(text()));
    return true;
  }
  uMessageBox::ShowMessage(this, QString::asprintf(kRangeMessage, ShowName().toUtf8().constData(),
                                                   minValue_, maxValue_));
  setFocus(Qt::OtherFocusReason);
  selectAll();
  return false;
}

}  // namespace uIntEdit
