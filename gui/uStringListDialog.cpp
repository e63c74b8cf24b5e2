#include "gui/uStringListDialog.h"

#include "gui/uStringListDialogSeam.h"

#include <QFont>
#include <QListWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QStyledItemDelegate>

#include "gui/uShapeEx.h"
#include "gui/uStyle.h"

namespace uStringListDialog {

namespace {

constexpr int kClientWidth = 401;
constexpr int kClientHeight = 281;
constexpr int kRowHeight = 36;
using uStyle::kBarHeight;
constexpr int kButtonTop = uStyle::kBarButtonTop;
constexpr int kButtonWidth = 73;
constexpr int kCancelRightMargin = 40;
constexpr int kOkToCancel = 80;

std::function<bool(TfrmStringListDialog&)>& ExecuteHook() {
  static std::function<bool(TfrmStringListDialog&)> hook;
  return hook;
}

// Rows of one fixed height, each with a silver line along its bottom.
class TRowDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    QStyledItemDelegate::paint(painter, option, index);
    painter->save();
    painter->setPen(uStyle::GridColor());
    painter->drawLine(option.rect.left(), option.rect.bottom(), option.rect.right(),
                      option.rect.bottom());
    painter->restore();
  }

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    return QSize(QStyledItemDelegate::sizeHint(option, index).width(), kRowHeight);
  }
};

}  // namespace

TfrmStringListDialog::TfrmStringListDialog(uStyle::TdmStyle* style, QWidget* parent)
    : QDialog(parent) {
  setObjectName("frmStringListDialog");
  setWindowTitle(QString::fromUtf8("Seznam zařízení"));

  shpLine_ = uStyle::MakeLine(this, "shpLine");

  vst1_ = new QListWidget(this);
  vst1_->setObjectName("vst1");
  vst1_->setFrameShape(QFrame::NoFrame);
  vst1_->setSelectionMode(QAbstractItemView::SingleSelection);
  vst1_->setSelectionBehavior(QAbstractItemView::SelectRows);
  vst1_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  vst1_->setUniformItemSizes(true);
  vst1_->setItemDelegate(new TRowDelegate(vst1_));
  QFont rowFont("Trebuchet MS");
  rowFont.setPixelSize(16);
  vst1_->setFont(rowFont);
  connect(vst1_, &QListWidget::currentRowChanged, this, &TfrmStringListDialog::CurrentRowChanged);
  vst1_->viewport()->installEventFilter(this);

  pnlButtons_ = uStyle::MakeButtonBar(this);  // the grey bar under the list
  shpxOk_ = uStyle::MakeButton(pnlButtons_, "shpxOk", "Ok", nullptr);
  shpxCancel_ = uStyle::MakeButton(pnlButtons_, "shpxCancel", QString::fromUtf8("Zavřít"), nullptr);
  shpxOk_->setEnabled(false);
  connect(shpxOk_, &uShapeEx::TShapeEx::clicked, this, &QDialog::accept);
  connect(shpxCancel_, &uShapeEx::TShapeEx::clicked, this, &QDialog::reject);

  SetStyle(style);
  resize(kClientWidth, kClientHeight);
  PlaceControls();
}

void TfrmStringListDialog::SetStyle(uStyle::TdmStyle* style) {
  uShapeEx::TShapeExColorSchema* schema = style ? style->shpxclrschmButtons() : nullptr;
  shpxOk_->SetColorSchema(schema);
  shpxCancel_->SetColorSchema(schema);
}

void TfrmStringListDialog::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  PlaceControls();
}

bool TfrmStringListDialog::eventFilter(QObject* watched, QEvent* event) {
  if (watched == vst1_->viewport() && event->type() == QEvent::MouseButtonDblClick &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && vst1_->currentRow() >= 0) {
    accept();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

void TfrmStringListDialog::PlaceControls() {
  const int w = width();
  const int h = height();
  shpLine_->setGeometry(0, 0, w, 1);
  vst1_->setGeometry(0, 1, w, std::max(0, h - 1 - kBarHeight));
  pnlButtons_->setGeometry(0, h - kBarHeight, w, kBarHeight);
  // Anchored to the bar's right end.
  const int cancelLeft = w - kCancelRightMargin - kButtonWidth;
  shpxCancel_->move(cancelLeft, kButtonTop);
  shpxOk_->move(cancelLeft - kOkToCancel, kButtonTop);
}

void TfrmStringListDialog::CurrentRowChanged(int row) {
  shpxOk_->setEnabled(row >= 0);
}

bool TfrmStringListDialog::Execute() {
  vst1_->clear();
  vst1_->addItems(items_);
  vst1_->clearSelection();
  vst1_->setCurrentIndex(QModelIndex());
  if (selectedIndex_ >= 0 && selectedIndex_ < vst1_->count()) {
    vst1_->setCurrentRow(selectedIndex_, QItemSelectionModel::ClearAndSelect);
    vst1_->scrollToItem(vst1_->currentItem());
  }
  CurrentRowChanged(vst1_->currentRow());
  vst1_->setFocus();

  const bool ok = ExecuteHook() ? ExecuteHook()(*this) : exec() == QDialog::Accepted;
  if (ok && vst1_->currentRow() >= 0) selectedIndex_ = vst1_->currentRow();
  return ok;
}

// ---- TStringListDialogSeam

void TStringListDialogSeam::SetCurrentRow(TfrmStringListDialog& dialog, int row) {
  QListWidget* list = dialog.vst1_;
  if (row < 0 || row >= list->count()) {
    list->setCurrentIndex(QModelIndex());
    list->clearSelection();
    return;
  }
  list->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
}

void TStringListDialogSeam::SetExecuteHook(std::function<bool(TfrmStringListDialog&)> hook) {
  ExecuteHook() = std::move(hook);
}

}  // namespace uStringListDialog
