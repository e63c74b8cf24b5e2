#pragma once
// The integer edit: a single-line edit with spin buttons inside its right edge that takes
// only whole numbers in a range, steps them with keys and buttons, and corrects or reports
// input out of range.

#include <QLineEdit>
#include <QString>
#include <cstdint>

class QToolButton;

namespace uIntEdit {

inline constexpr const char* kRangeMessage = "%s musí být v rozmezí od %d do %d!";

// The numeric edit base: the spin buttons, the character filter and the focus rules.
class TMyCustomNumEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit TMyCustomNumEdit(QWidget* parent = nullptr);

  bool UpDownEnable() const { return upDownEnable_; }
  void SetUpDownEnable(bool value);
  const QString& ShowName() const { return showName_; }
  void SetShowName(const QString& value) { showName_ = value; }
  bool AutoCorrect() const { return autoCorrect_; }
  void SetAutoCorrect(bool value) { autoCorrect_ = value; }
  bool FailureBeep() const { return failureBeep_; }
  void SetFailureBeep(bool value) { failureBeep_ = value; }
  // Allows paste and cut.
  bool EditorEnabled() const { return editorEnabled_; }
  void SetEditorEnabled(bool value) { editorEnabled_ = value; }
  bool Colored() const { return colored_; }
  // false makes the text black and shows the value again.
  void SetColored(bool value);
  // Select the whole text when the focus comes other than by a left mouse press.
  bool AutoSelect() const { return autoSelect_; }
  void SetAutoSelect(bool value) { autoSelect_ = value; }

  virtual void Step(bool down, bool page) = 0;
  virtual void UpdateText();
  virtual bool Validate();

  QToolButton* UpButton() const { return btnUp_; }
  QToolButton* DownButton() const { return btnDown_; }

 signals:
  // OnChangeText: every change of the text.
  void changeText();

 protected:
  // The Ctrl key at the moment of a step: from the key event that steps, else the keyboard.
  bool CtrlHeld() const;

  void keyPressEvent(QKeyEvent* event) override;
  // Committed input-method text keeps only the characters a key may type; a drop is a paste.
  void inputMethodEvent(QInputMethodEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  bool EditAllowed() const { return editorEnabled_ && !isReadOnly(); }
  void SpinClick(bool down);
  void PlaceSpin();

  bool upDownEnable_ = true;
  QString showName_ = "Hodnota";
  bool autoCorrect_ = true;
  bool failureBeep_ = false;
  bool editorEnabled_ = true;
  bool colored_ = false;
  bool autoSelect_ = true;
  bool validating_ = false;  // a message box of Validate takes the focus: no second check
  const QKeyEvent* stepKey_ = nullptr;
  QToolButton* btnUp_ = nullptr;
  QToolButton* btnDown_ = nullptr;
};

class TIntEdit : public TMyCustomNumEdit {
  Q_OBJECT
 public:
  explicit TIntEdit(QWidget* parent = nullptr);

  // Reading parses the text (0 when it does not convert); writing clamps and shows.
  std::int32_t Value() const;
  void SetValue(std::int32_t value);
  std::int32_t MinValue() const { return minValue_; }
  void SetMinValue(std::int32_t value);
  std::int32_t MaxValue() const { return maxValue_; }
  void SetMaxValue(std::int32_t value);
  std::int32_t Increment() const { return increment_; }
  // Values <= 0 are ignored.
  void SetIncrement(std::int32_t value);
  std::uint16_t PageMult() const { return pageMult_; }
  void SetPageMult(std::uint16_t value) { pageMult_ = value; }

  void Step(bool down, bool page) override;
  void UpdateText() override;
  bool Validate() override;

 private:
  std::int32_t Clamp(std::int64_t value) const;

  std::int32_t value_ = 0;
  std::int32_t minValue_ = 0;
  std::int32_t maxValue_ = 100;
  std::int32_t increment_ = 1;
  std::uint16_t pageMult_ = 10;
};

}  // namespace uIntEdit
