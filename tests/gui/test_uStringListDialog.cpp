// The device selection dialog: preselection, choosing by keyboard, click and double click,
// the ways to cancel, the test hook, and its layout as painted.
#include <QFontInfo>
#include <QListWidget>
#include <QtTest>

#include <functional>
#include <memory>

#include "gui/uShapeEx.h"
#include "gui/uStringListDialog.h"
#include "gui/uStringListDialogSeam.h"
#include "gui/uStyle.h"

using uShapeEx::TShapeEx;
using uStringListDialog::TfrmStringListDialog;

class TestStringListDialog : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<uStyle::TdmStyle> style_;
  std::unique_ptr<TfrmStringListDialog> dialog_;

  QListWidget* List() const { return dialog_->findChild<QListWidget*>("vst1"); }
  TShapeEx* Ok() const { return dialog_->findChild<TShapeEx*>("shpxOk"); }
  TShapeEx* Cancel() const { return dialog_->findChild<TShapeEx*>("shpxCancel"); }
  QPoint RowCentre(int row) const { return List()->visualItemRect(List()->item(row)).center(); }
  QStringList ShownRows() const {
    QStringList rows;
    for (int i = 0; i < List()->count(); ++i) rows << List()->item(i)->text();
    return rows;
  }

  // Runs the real modal dialog; drive acts on it once it is shown. A dialog still open after
  // a few seconds is rejected, so a fault fails the test instead of hanging it.
  bool ExecuteDriven(const std::function<void()>& drive) {
    QTimer::singleShot(0, dialog_.get(), [this, drive] {
      if (!QTest::qWaitForWindowExposed(dialog_.get())) return;
      drive();
    });
    QTimer::singleShot(5000, dialog_.get(), [this] {
      if (dialog_->isVisible()) dialog_->reject();
    });
    return dialog_->Execute();
  }

 private slots:
  void initTestCase() {
    QCursor::setPos(790, 590);  // away from the dialog's buttons
    uStyle::InstallFontSubstitutions();
    style_ = std::make_unique<uStyle::TdmStyle>();
  }
  void init() {
    dialog_ = std::make_unique<TfrmStringListDialog>(style_.get());
    dialog_->setWindowTitle(QString::fromUtf8("Seznam zařízení"));
  }
  void cleanup() {
    uStringListDialog::TStringListDialogSeam::SetExecuteHook({});
    dialog_.reset();
  }

  void withoutPreselectionOkWaitsForACurrentRow_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("chosen");
    QTest::newRow("keyboard") << "keyboard" << 0;
    QTest::newRow("click") << "click" << 1;
  }
  void withoutPreselectionOkWaitsForACurrentRow() {
    QFETCH(QString, how);
    QFETCH(int, chosen);
    dialog_->SetItems({"DovelaGSM", "DovelaGSM", "Other"});
    dialog_->SetSelectedIndex(-1);
    bool noneAtStart = false;
    bool okAtStart = true;
    bool okAfter = false;
    const bool result = ExecuteDriven([&] {
      noneAtStart = List()->currentRow() == -1 && List()->selectedItems().isEmpty();
      okAtStart = Ok()->isEnabled();
      QTest::mouseClick(Ok(), Qt::LeftButton);  // disabled: does nothing
      if (how == "keyboard")
        QTest::keyClick(List(), Qt::Key_Down);
      else
        QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, RowCentre(chosen));
      okAfter = Ok()->isEnabled();
      QTest::mouseClick(Ok(), Qt::LeftButton);
    });
    QVERIFY(noneAtStart);
    QVERIFY(!okAtStart);
    QVERIFY(okAfter);
    QVERIFY(result);
    QCOMPARE(dialog_->SelectedIndex(), chosen);
  }

  // A double click closes with Ok whenever a row has the focus, also one below the rows.
  void doubleClick_data() {
    QTest::addColumn<int>("preselected");
    QTest::addColumn<int>("row");  // -1: below the last row
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("selectedIndex");
    QTest::newRow("second of twins") << 2 << 1 << true << 1;
    QTest::newRow("first of twins") << 2 << 0 << true << 0;
    QTest::newRow("below the rows, a row focused") << 2 << -1 << true << 2;
    QTest::newRow("below the rows, none focused") << -1 << -1 << false << -1;
  }
  void doubleClick() {
    QFETCH(int, preselected);
    QFETCH(int, row);
    QFETCH(bool, result);
    QFETCH(int, selectedIndex);
    dialog_->SetItems({"DovelaGSM", "DovelaGSM", "Other"});
    dialog_->SetSelectedIndex(preselected);
    const bool closedWithOk = ExecuteDriven([&] {
      const QPoint at = row >= 0 ? RowCentre(row) : QPoint(100, 3 * 36 + 40);
      // As the window system sends it: a click, then the second press as a double click.
      QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, at);
      QTest::mouseDClick(List()->viewport(), Qt::LeftButton, {}, at);
      if (dialog_->isVisible()) QTest::mouseClick(Cancel(), Qt::LeftButton);
    });
    QCOMPARE(closedWithOk, result);
    QCOMPARE(dialog_->SelectedIndex(), selectedIndex);
  }

  void cancelling_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("Zavřít") << "button";
    QTest::newRow("close box") << "close";
    QTest::newRow("Escape") << "escape";
  }
  void cancelling() {
    QFETCH(QString, how);
    dialog_->SetItems({"A", "B", "C"});
    dialog_->SetSelectedIndex(1);
    const bool result = ExecuteDriven([&] {
      QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, RowCentre(2));
      if (how == "button") QTest::mouseClick(Cancel(), Qt::LeftButton);
      if (how == "close") dialog_->close();
      if (how == "escape") QTest::keyClick(List(), Qt::Key_Escape);
    });
    QVERIFY(!result);
    QCOMPARE(dialog_->SelectedIndex(), 1);
  }

  void executeHook_data() {
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<int>("preselect");
    QTest::addColumn<int>("hookRow");  // -2: the hook leaves the row as it is
    QTest::addColumn<bool>("hookResult");
    QTest::addColumn<int>("seenRow");
    QTest::addColumn<int>("selectedIndex");
    const QStringList abc{"A", "B", "C"};
    const QStringList twins{"DovelaGSM", "DovelaGSM"};
    QTest::newRow("preselected row kept") << abc << 1 << -2 << true << 1 << 1;
    QTest::newRow("another row chosen") << abc << 1 << 2 << true << 1 << 2;
    QTest::newRow("second twin preselected") << twins << 1 << -2 << true << 1 << 1;
    QTest::newRow("first twin chosen") << twins << 1 << 0 << true << 1 << 0;
    QTest::newRow("cancelled after a choice") << abc << 0 << 2 << false << 0 << 0;
    QTest::newRow("Ok without a row") << abc << -1 << -2 << true << -1 << -1;
    QTest::newRow("preselection past the end") << abc << 3 << -2 << false << -1 << 3;
    QTest::newRow("no rows") << QStringList() << -1 << -2 << false << -1 << -1;
  }
  void executeHook() {
    QFETCH(QStringList, items);
    QFETCH(int, preselect);
    QFETCH(int, hookRow);
    QFETCH(bool, hookResult);
    QFETCH(int, seenRow);
    QFETCH(int, selectedIndex);
    dialog_->Items() = items;
    dialog_->SetSelectedIndex(preselect);
    int calls = 0;
    QStringList rows;
    int row = -3;
    QList<int> selectedRows;
    bool okEnabled = false;
    bool listHasFocus = false;
    uStringListDialog::TStringListDialogSeam::SetExecuteHook([&](TfrmStringListDialog& dialog) {
      ++calls;
      rows = ShownRows();
      row = List()->currentRow();
      for (const QListWidgetItem* item : List()->selectedItems()) selectedRows << List()->row(item);
      okEnabled = Ok()->isEnabled();
      listHasFocus = dialog.focusWidget() == List();
      if (hookRow != -2) uStringListDialog::TStringListDialogSeam::SetCurrentRow(dialog, hookRow);
      return hookResult;
    });
    QCOMPARE(dialog_->Execute(), hookResult);
    QCOMPARE(calls, 1);
    QVERIFY(!dialog_->isVisible());
    QCOMPARE(rows, items);
    QCOMPARE(row, seenRow);
    QCOMPARE(selectedRows, seenRow >= 0 ? QList<int>{seenRow} : QList<int>{});
    QCOMPARE(okEnabled, seenRow >= 0);
    QVERIFY(listHasFocus);
    QCOMPARE(dialog_->SelectedIndex(), selectedIndex);
  }

  void executeAgainShowsTheNewRows() {
    dialog_->SetItems({"A", "B", "C"});
    dialog_->SetSelectedIndex(2);
    uStringListDialog::TStringListDialogSeam::SetExecuteHook(
        [](TfrmStringListDialog&) { return true; });
    QVERIFY(dialog_->Execute());
    QCOMPARE(dialog_->SelectedIndex(), 2);

    dialog_->SetItems({"Q"});
    dialog_->SetSelectedIndex(-1);
    QStringList rows;
    int row = -3;
    bool okEnabled = true;
    uStringListDialog::TStringListDialogSeam::SetExecuteHook([&](TfrmStringListDialog&) {
      rows = ShownRows();
      row = List()->currentRow();
      okEnabled = Ok()->isEnabled();
      return false;
    });
    QVERIFY(!dialog_->Execute());
    QCOMPARE(rows, QStringList{"Q"});
    QCOMPARE(row, -1);
    QVERIFY(!okEnabled);
  }

  void layout() {
    dialog_->SetItems({"A", "B", "C"});
    dialog_->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog_.get()));
    QCOMPARE(dialog_->size(), QSize(401, 281));
    QWidget* bar = dialog_->findChild<QWidget*>("pnlButtons");
    QCOMPARE(List()->geometry(), QRect(0, 1, 401, 239));
    QCOMPARE(List()->viewport()->geometry(), QRect(0, 0, 401, 239));  // no border
    QCOMPARE(bar->geometry(), QRect(0, 240, 401, 41));
    QCOMPARE(Ok()->parentWidget(), bar);
    QCOMPARE(Ok()->geometry(), QRect(208, 8, 73, 25));
    QCOMPARE(Cancel()->geometry(), QRect(288, 8, 73, 25));
    QVERIFY(!Ok()->isEnabled());
    QCOMPARE(Ok()->Caption(), QString("Ok"));
    QCOMPARE(Cancel()->Caption(), QString::fromUtf8("Zavřít"));

    uStringListDialog::TStringListDialogSeam::SetExecuteHook(
        [](TfrmStringListDialog&) { return false; });
    dialog_->Execute();
    for (int i = 0; i < 3; ++i)
      QCOMPARE(List()->visualItemRect(List()->item(i)), QRect(0, 36 * i, 401, 36));
    const QFontInfo rowFont(List()->font());
    QVERIFY2(QStringList({"DejaVu Sans", "Liberation Sans"}).contains(rowFont.family()),
             qPrintable(rowFont.family()));
    QCOMPARE(rowFont.pixelSize(), 16);

    // The buttons stay anchored to the right end.
    dialog_->resize(500, 300);
    QCOMPARE(bar->geometry(), QRect(0, 259, 500, 41));
    QCOMPARE(Cancel()->geometry(), QRect(500 - 40 - 73, 8, 73, 25));
    QCOMPARE(Ok()->x(), Cancel()->x() - 80);
  }

  void rowsShowTheirText() {
    dialog_->SetItems({"DovelaGSM", ""});
    QImage image;
    uStringListDialog::TStringListDialogSeam::SetExecuteHook([&](TfrmStringListDialog& dialog) {
      dialog.show();
      if (QTest::qWaitForWindowExposed(&dialog)) image = List()->viewport()->grab().toImage();
      return false;
    });
    dialog_->Execute();
    QVERIFY(!image.isNull());
    auto darkest = [&](int row) {
      int level = 255;
      const QRect rect = List()->visualItemRect(List()->item(row));
      for (int y = rect.top(); y < rect.bottom(); ++y)  // the grid line is the bottom row
        for (int x = rect.left(); x <= rect.right(); ++x)
          level = std::min(level, qGray(image.pixel(x, y)));
      return level;
    };
    QVERIFY(darkest(0) < 0x40);
    QVERIFY(darkest(1) > 0xC0);
  }

  void painting_data() {
    QTest::addColumn<int>("preselect");
    QTest::addColumn<QPoint>("at");
    QTest::addColumn<QString>("colour");
    QTest::newRow("line along the top") << -1 << QPoint(200, 0) << "#808080";
    QTest::newRow("grid under row 0") << -1 << QPoint(300, 1 + 35) << "#c0c0c0";
    QTest::newRow("grid under a selected row") << 1 << QPoint(300, 1 + 71) << "#c0c0c0";
    QTest::newRow("line along the bar") << -1 << QPoint(10, 240) << "#808080";
    QTest::newRow("bar") << -1 << QPoint(10, 260) << "#e0e0e0";
    QTest::newRow("disabled Ok") << -1 << QPoint(208 + 4, 240 + 8 + 12) << "#f0f0f0";
    QTest::newRow("Zavřít") << -1 << QPoint(288 + 4, 240 + 8 + 12) << "#ffffff";
    QTest::newRow("Zavřít border") << -1 << QPoint(288 + 36, 240 + 8) << "#808080";
  }
  void painting() {
    QFETCH(int, preselect);
    QFETCH(QPoint, at);
    QFETCH(QString, colour);
    dialog_->SetItems({"A", "B", "C"});
    dialog_->SetSelectedIndex(preselect);
    QImage image;
    uStringListDialog::TStringListDialogSeam::SetExecuteHook([&](TfrmStringListDialog& dialog) {
      dialog.show();
      if (QTest::qWaitForWindowExposed(&dialog)) image = dialog.grab().toImage();
      return false;
    });
    dialog_->Execute();
    QVERIFY(!image.isNull());
    QCOMPARE(QColor(image.pixel(at)).name(), colour);
  }
};

QTEST_MAIN(TestStringListDialog)
#include "test_uStringListDialog.moc"
