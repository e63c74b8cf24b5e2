// The integer edit: stepping with keys and spin buttons, Enter with values out of range or
// malformed, the character filter for keys and input methods, paste, cut and drops, the range
// message and the focus rules.
#include <QApplication>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QInputMethodEvent>
#include <QMimeData>
#include <QToolButton>
#include <QtTest>

#include <memory>

#include "gui/uIntEdit.h"
#include "gui/uMessageBox.h"
#include "gui/uMessageBoxSeam.h"

using uIntEdit::TIntEdit;

class TestIntEdit : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QWidget> window_;
  TIntEdit* edit_ = nullptr;
  QLineEdit* other_ = nullptr;  // somewhere to move the focus to
  QStringList messages_;

  // The edit as in the settings dialog: 0..65535, defaults otherwise.
  void MakePortEdit() {
    edit_->SetMaxValue(65535);
    edit_->SetMinValue(0);
  }
  void Type(const QString& text) {
    edit_->selectAll();
    QTest::keyClicks(edit_, text);
  }

 private slots:
  void initTestCase() {
    uMessageBox::SetShowMessageHook([this](const QString& text) { messages_ << text; });
  }
  void cleanupTestCase() { uMessageBox::SetShowMessageHook({}); }
  void init() {
    messages_.clear();
    window_ = std::make_unique<QWidget>();
    edit_ = new TIntEdit(window_.get());
    edit_->setObjectName("ieTest");
    edit_->setGeometry(10, 10, 121, 21);
    other_ = new QLineEdit(window_.get());
    other_->setObjectName("edtOther");
    other_->setGeometry(10, 40, 121, 21);
    window_->resize(200, 80);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    window_->activateWindow();
    edit_->setFocus();
    QTRY_VERIFY(edit_->hasFocus());
  }
  void cleanup() { window_.reset(); }

  void defaults() {
    QCOMPARE(edit_->Value(), 0);
    QCOMPARE(edit_->text(), QString("0"));
    QCOMPARE(edit_->MinValue(), 0);
    QCOMPARE(edit_->MaxValue(), 100);
    QCOMPARE(edit_->Increment(), 1);
    QCOMPARE(edit_->PageMult(), std::uint16_t{10});
    QCOMPARE(edit_->ShowName(), QString("Hodnota"));
    QVERIFY(edit_->AutoCorrect());
    QVERIFY(edit_->EditorEnabled());
  }

  void stepping_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("typed");  // typed before the step, without Enter
    QTest::addColumn<int>("expected");
    const int none = Qt::NoModifier;
    const int ctrl = Qt::ControlModifier;
    QTest::newRow("Up") << int(Qt::Key_Up) << none << QString() << 101;
    QTest::newRow("Ctrl+Up") << int(Qt::Key_Up) << ctrl << QString() << 110;
    QTest::newRow("Page Up") << int(Qt::Key_PageUp) << none << QString() << 110;
    QTest::newRow("Ctrl+Page Up") << int(Qt::Key_PageUp) << ctrl << QString() << 200;
    QTest::newRow("Down") << int(Qt::Key_Down) << none << QString() << 99;
    QTest::newRow("Ctrl+Page Down") << int(Qt::Key_PageDown) << ctrl << QString() << 0;
    QTest::newRow("typed value is taken first") << int(Qt::Key_Up) << none << "500" << 501;
    QTest::newRow("typed garbage keeps the value") << int(Qt::Key_Up) << none << "-" << 101;
    QTest::newRow("no wrap at the top") << int(Qt::Key_PageUp) << ctrl << "65500" << 65535;
  }
  void stepping() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, typed);
    QFETCH(int, expected);
    MakePortEdit();
    edit_->SetValue(100);
    if (!typed.isEmpty()) Type(typed);
    QTest::keyClick(edit_, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(edit_->Value(), expected);
    QCOMPARE(edit_->text(), QString::number(expected));
  }

  void spinButtonsStepAndTakeTheFocus_data() {
    QTest::addColumn<bool>("down");
    QTest::addColumn<int>("expected");
    QTest::newRow("upper") << false << 101;
    QTest::newRow("lower") << true << 99;
  }
  void spinButtonsStepAndTakeTheFocus() {
    QFETCH(bool, down);
    QFETCH(int, expected);
    MakePortEdit();
    edit_->SetValue(100);
    other_->setFocus();
    QTRY_VERIFY(other_->hasFocus());
    QToolButton* button = down ? edit_->DownButton() : edit_->UpButton();
    QVERIFY(button->geometry().right() < edit_->width());
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(edit_->Value(), expected);
    QVERIFY(edit_->hasFocus());
  }

  void enterValidates_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("paste");
    QTest::addColumn<int>("expected");
    QTest::newRow("70000 above") << "70000" << false << 65535;
    QTest::newRow("-5 below") << "-5" << false << 0;
    QTest::newRow("in range") << "8080" << false << 8080;
    QTest::newRow("hex") << "$1F90" << true << 8080;
    QTest::newRow("pasted 12a") << "12a" << true << 12;
    QTest::newRow("pasted letters only") << "abc" << true << 0;
  }
  void enterValidates() {
    QFETCH(QString, text);
    QFETCH(bool, paste);
    QFETCH(int, expected);
    MakePortEdit();
    edit_->SetValue(100);
    if (paste) {
      QApplication::clipboard()->setText(text);
      edit_->selectAll();
      QTest::keyClick(edit_, Qt::Key_V, Qt::ControlModifier);
      QCOMPARE(edit_->text(), text);  // pasted text is not filtered
    } else {
      Type(text);
    }
    QTest::keyClick(edit_, Qt::Key_Return);
    QCOMPARE(edit_->text(), QString::number(expected));
    QVERIFY(messages_.isEmpty());
  }

  void typedCharactersAreFiltered() {
    edit_->setText(QString());
    QTest::keyClicks(edit_, "1a2 b-3.,+x");
    QCOMPARE(edit_->text(), QString("12-3"));
    QTest::keyClick(edit_, Qt::Key_Backspace);
    QCOMPARE(edit_->text(), QString("12-"));
    QTest::keyClick(edit_, Qt::Key_A, Qt::ControlModifier);  // dropped like a letter
    QCOMPARE(edit_->selectedText(), QString());
  }

  void pasteAndCutNeedEditorEnabled_data() {
    QTest::addColumn<bool>("editorEnabled");
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("enabled") << true << false << true;
    QTest::newRow("editor disabled") << false << false << false;
    QTest::newRow("read-only") << true << true << false;
  }
  void pasteAndCutNeedEditorEnabled() {
    QFETCH(bool, editorEnabled);
    QFETCH(bool, readOnly);
    QFETCH(bool, allowed);
    edit_->SetEditorEnabled(editorEnabled);
    edit_->setReadOnly(readOnly);
    edit_->SetValue(42);
    QApplication::clipboard()->setText("77");
    edit_->selectAll();
    QTest::keyClick(edit_, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(edit_->text(), QString(allowed ? "77" : "42"));
    edit_->selectAll();
    QTest::keyClick(edit_, Qt::Key_Delete, Qt::ShiftModifier);  // cut
    QCOMPARE(edit_->text().isEmpty(), allowed);
  }

  // Text from an input method obeys the character rule, as typed text does.
  void inputMethodTextIsFiltered_data() {
    QTest::addColumn<QString>("commit");
    QTest::addColumn<QString>("expected");
    QTest::newRow("mixed") << "1a2 b-3.,+x"
                           << "12-3";
    QTest::newRow("digits only") << "0815"
                                 << "0815";
    QTest::newRow("nothing allowed") << QString::fromUtf8("ab\u00e1") << "";
    QTest::newRow("full-width digits") << QString::fromUtf8("\uff11\uff12") << "";
  }
  void inputMethodTextIsFiltered() {
    QFETCH(QString, commit);
    QFETCH(QString, expected);
    edit_->setText(QString());
    QInputMethodEvent composing("a", {});  // a preedit shows nothing either
    QApplication::sendEvent(edit_, &composing);
    QInputMethodEvent event;
    event.setCommitString(commit);
    QApplication::sendEvent(edit_, &event);
    QCOMPARE(edit_->text(), expected);
  }

  // A drop is a paste by mouse: only with EditorEnabled, and not into a read-only edit.
  void dropsNeedEditorEnabled_data() { pasteAndCutNeedEditorEnabled_data(); }
  void dropsNeedEditorEnabled() {
    QFETCH(bool, editorEnabled);
    QFETCH(bool, readOnly);
    QFETCH(bool, allowed);
    edit_->SetEditorEnabled(editorEnabled);
    edit_->setReadOnly(readOnly);
    edit_->setText(QString());
    QMimeData mime;
    mime.setText("77");
    const QPointF at(5, 5);
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(edit_, &enter);
    QCOMPARE(enter.isAccepted(), allowed);
    QDragMoveEvent move(at.toPoint(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(edit_, &move);
    QCOMPARE(move.isAccepted(), allowed);
    QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(edit_, &drop);
    QCOMPARE(edit_->text(), QString(allowed ? "77" : ""));
  }

  void equalBoundsMakeEveryValueTheBound_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("below") << "1";
    QTest::newRow("above") << "99";
    QTest::newRow("malformed") << "x";
  }
  void equalBoundsMakeEveryValueTheBound() {
    QFETCH(QString, text);
    edit_->SetMinValue(5);
    edit_->SetMaxValue(5);
    QCOMPARE(edit_->text(), QString("5"));
    edit_->setText(text);
    QTest::keyClick(edit_, Qt::Key_Return);
    QCOMPARE(edit_->text(), QString("5"));
    edit_->SetValue(-100);
    QCOMPARE(edit_->Value(), 5);
    QTest::keyClick(edit_, Qt::Key_Up);
    QCOMPARE(edit_->Value(), 5);
  }

  void boundsReclampAndStayOrdered() {
    edit_->SetValue(80);
    edit_->SetMaxValue(50);
    QCOMPARE(edit_->Value(), 50);
    edit_->SetMinValue(70);  // above MaxValue: taken as MaxValue
    QCOMPARE(edit_->MinValue(), 50);
    QCOMPARE(edit_->Value(), 50);
    edit_->SetIncrement(0);
    edit_->SetIncrement(-3);
    QCOMPARE(edit_->Increment(), 1);
  }

  void rangeMessageKeepsTheFocus_data() {
    QTest::addColumn<bool>("leave");  // leave the field with Tab instead of Enter
    QTest::newRow("Enter") << false;
    QTest::newRow("leaving the field") << true;
  }
  void rangeMessageKeepsTheFocus() {
    QFETCH(bool, leave);
    edit_->SetAutoCorrect(false);
    Type("150");
    if (leave) {
      other_->setFocus(Qt::TabFocusReason);
    } else {
      QTest::keyClick(edit_, Qt::Key_Return);
    }
    QCOMPARE(messages_, QStringList{QString::fromUtf8("Hodnota musí být v rozmezí od 0 do 100!")});
    QVERIFY(edit_->hasFocus());
    QCOMPARE(edit_->text(), QString("150"));
    QCOMPARE(edit_->selectedText(), QString("150"));
    Type("50");
    QTest::keyClick(edit_, Qt::Key_Return);
    QCOMPARE(messages_.size(), 1);
    QCOMPARE(edit_->Value(), 50);
  }

  void focusSelectsAllExceptByMouse_data() {
    QTest::addColumn<int>("reason");
    QTest::addColumn<bool>("selected");
    QTest::newRow("Tab") << int(Qt::TabFocusReason) << true;
    QTest::newRow("other") << int(Qt::OtherFocusReason) << true;
    QTest::newRow("mouse") << int(Qt::MouseFocusReason) << false;
  }
  void focusSelectsAllExceptByMouse() {
    QFETCH(int, reason);
    QFETCH(bool, selected);
    edit_->SetValue(42);
    other_->setFocus();
    QTRY_VERIFY(other_->hasFocus());
    edit_->deselect();
    edit_->setFocus(Qt::FocusReason(reason));
    QVERIFY(edit_->hasFocus());
    QCOMPARE(edit_->selectedText(), QString(selected ? "42" : ""));
  }

  void disablingAlsoDisablesTheSpin() {
    edit_->setEnabled(false);
    QVERIFY(!edit_->UpButton()->isEnabled());
    edit_->setEnabled(true);
    QVERIFY(edit_->UpButton()->isEnabled());
  }
};

QTEST_MAIN(TestIntEdit)
#include "test_uIntEdit.moc"
