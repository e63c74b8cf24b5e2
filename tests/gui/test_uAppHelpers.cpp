// The program's small helpers and the message-box seam.
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include "gui/uAppHelpers.h"
#include "gui/uMessageBox.h"
#include "gui/uMessageBoxSeam.h"

class TestAppHelpers : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() { uMessageBox::SetShowMessageHook({}); }

  void isUnlockGesture_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("doubleClick");
    QTest::addColumn<bool>("unlocks");
    QTest::newRow("Ctrl + double click")
        << int(Qt::LeftButton) << int(Qt::ControlModifier) << true << true;
    QTest::newRow("Ctrl + Shift + double click")
        << int(Qt::LeftButton) << int(Qt::ControlModifier | Qt::ShiftModifier) << true << true;
    QTest::newRow("Ctrl + Alt + double click")
        << int(Qt::LeftButton) << int(Qt::ControlModifier | Qt::AltModifier) << true << true;
    QTest::newRow("plain double click")
        << int(Qt::LeftButton) << int(Qt::NoModifier) << true << false;
    QTest::newRow("Shift + double click")
        << int(Qt::LeftButton) << int(Qt::ShiftModifier) << true << false;
    QTest::newRow("Ctrl + single click")
        << int(Qt::LeftButton) << int(Qt::ControlModifier) << false << false;
    QTest::newRow("Ctrl + double click, right button")
        << int(Qt::RightButton) << int(Qt::ControlModifier) << true << false;
  }
  void isUnlockGesture() {
    QFETCH(int, button);
    QFETCH(int, modifiers);
    QFETCH(bool, doubleClick);
    QFETCH(bool, unlocks);
    QCOMPARE(
        uAppHelpers::IsUnlockGesture(static_cast<Qt::MouseButton>(button),
                                     static_cast<Qt::KeyboardModifiers>(modifiers), doubleClick),
        unlocks);
  }

  void applicationDirIsTheExecutablesDirectory() {
    const QString dir = QString::fromStdString(uAppHelpers::ApplicationDir());
    QVERIFY(dir.endsWith('/'));
    QVERIFY(!dir.endsWith("//"));
    QCOMPARE(dir, QFileInfo(QCoreApplication::applicationFilePath()).canonicalPath() + '/');
  }

  void showMessageHookCollectsTexts() {
    QStringList messages;
    uMessageBox::SetShowMessageHook([&](const QString& text) { messages << text; });
    uMessageBox::ShowMessage(nullptr, "err - not found");
    uMessageBox::ShowMessage(nullptr, QString::fromUtf8("Zařízení nenalezeno"));
    QCOMPARE(messages, (QStringList{"err - not found", QString::fromUtf8("Zařízení nenalezeno")}));
    QVERIFY(QApplication::activeModalWidget() == nullptr);
  }

  void showMessageWithoutHookShowsAnInformationBox() {
    QCoreApplication::setApplicationName("Dovela GSM Configurator");
    QString title, text;
    int buttons = 0;
    bool information = false;
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      title = box->windowTitle();
      text = box->text();
      buttons = static_cast<int>(box->buttons().size());
      information = box->icon() == QMessageBox::Information;
      QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    QWidget parent;
    QTimer::singleShot(5000, &parent, [] {  // a box left open fails instead of hanging
      if (QWidget* open = QApplication::activeModalWidget()) open->close();
    });
    uMessageBox::ShowMessage(&parent, "err - not open");
    QCOMPARE(title, QString("Dovela GSM Configurator"));
    QCOMPARE(text, QString("err - not open"));
    QCOMPARE(buttons, 1);
    QVERIFY(information);
  }
};

QTEST_MAIN(TestAppHelpers)
#include "test_uAppHelpers.moc"
