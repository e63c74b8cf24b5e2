#pragma once
// A dialog that lets the user choose one line of a list: the device selection ("Seznam
// zařízení"). Rows with the same text are separate choices; the row index tells them apart.

#include <QDialog>
#include <QStringList>
#include <functional>

class QListWidget;
class QResizeEvent;
class QWidget;

namespace uShapeEx {
class TShapeEx;
}
namespace uStyle {
class TdmStyle;
}

namespace uStringListDialog {

class TfrmStringListDialog : public QDialog {
  Q_OBJECT
 public:
  // style gives the buttons their colours; it may be null and may come later by SetStyle.
  explicit TfrmStringListDialog(uStyle::TdmStyle* style = nullptr, QWidget* parent = nullptr);

  void SetStyle(uStyle::TdmStyle* style);

  // The rows to offer.
  QStringList& Items() { return items_; }
  const QStringList& Items() const { return items_; }
  void SetItems(const QStringList& items) { items_ = items; }

  // Before Execute: the row to preselect, -1 for none. After an Execute that returned true
  // with a row chosen: that row. Otherwise unchanged.
  int SelectedIndex() const { return selectedIndex_; }
  void SetSelectedIndex(int index) { selectedIndex_ = index; }

  // Shows Items modally; true when the user chose with "Ok" or a double click.
  bool Execute();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  // A double click anywhere on the list, below the rows too, closes with Ok while a row has
  // the focus.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  friend struct TStringListDialogSeam;  // test access (gui/uStringListDialogSeam.h)

  void PlaceControls();
  void CurrentRowChanged(int row);

  QStringList items_;
  int selectedIndex_ = -1;
  QWidget* shpLine_ = nullptr;
  QListWidget* vst1_ = nullptr;
  QWidget* pnlButtons_ = nullptr;
  uShapeEx::TShapeEx* shpxOk_ = nullptr;
  uShapeEx::TShapeEx* shpxCancel_ = nullptr;
};

}  // namespace uStringListDialog
