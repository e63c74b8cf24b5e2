#include "gui/uSettings.h"

#include "gui/uSettingsSeam.h"

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>

#include "gui/uIntEdit.h"
#include "gui/uShapeEx.h"
#include "gui/uStyle.h"

namespace uSettings {

namespace {

constexpr int kClientWidth = 329;
constexpr int kClientHeight = 153;
using uStyle::kBarHeight;
constexpr int kButtonTop = uStyle::kBarButtonTop;

std::function<bool(TfrmSettings&)>& ExecuteHook() {
  static std::function<bool(TfrmSettings&)> hook;
  return hook;
}

}  // namespace

TfrmSettings::TfrmSettings(uStyle::TdmStyle* style, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint) {
  setObjectName("frmSettings");
  setWindowTitle(QString::fromUtf8("Nastavení"));
  setFixedSize(kClientWidth, kClientHeight);

  shpBack2_ = new uStyle::TPanel(this, uStyle::BackColor());
  shpBack2_->setObjectName("shpBack2");
  shpBack2_->setGeometry(0, 0, kClientWidth, kClientHeight - kBarHeight);

  auto* lbl1 = new QLabel(QString::fromUtf8("Webový port:"), this);
  lbl1->setObjectName("lbl1");
  lbl1->move(24, 48);
  lbl1->adjustSize();

  ieWebPort_ = new uIntEdit::TIntEdit(this);
  ieWebPort_->setObjectName("ieWebPort");
  ieWebPort_->setGeometry(184, 44, 121, 21);
  ieWebPort_->SetShowName("Hodnota");
  ieWebPort_->SetColored(false);
  ieWebPort_->SetMaxValue(65535);
  ieWebPort_->SetMinValue(0);
  lbl1->setBuddy(ieWebPort_);

  pnlButtons_ = uStyle::MakeButtonBar(this);
  pnlButtons_->setGeometry(0, kClientHeight - kBarHeight, kClientWidth, kBarHeight);
  shpxOk_ = uStyle::MakeButton(pnlButtons_, "shpxOk", "Ok", nullptr);
  shpxCancel_ = uStyle::MakeButton(pnlButtons_, "shpxCancel", QString::fromUtf8("Zavřít"), nullptr);
  shpxOk_->move(168, kButtonTop);
  shpxCancel_->move(248, kButtonTop);
  connect(shpxOk_, &uShapeEx::TShapeEx::clicked, this, &QDialog::accept);
  connect(shpxCancel_, &uShapeEx::TShapeEx::clicked, this, &QDialog::reject);

  SetStyle(style);
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

void TfrmSettings::SetStyle(uStyle::TdmStyle* style) {
  uShapeEx::TShapeExColorSchema* schema = style ? style->shpxclrschmButtons() : nullptr;
  shpxOk_->SetColorSchema(schema);
  shpxCancel_->SetColorSchema(schema);
}

bool TfrmSettings::Execute(std::int32_t& port) {
  ieWebPort_->SetValue(port);
  ieWebPort_->setFocus();
  ieWebPort_->selectAll();
  const bool ok = ExecuteHook() ? ExecuteHook()(*this) : exec() == QDialog::Accepted;
  // "Ok" does not take the focus, so a number typed without Enter is checked here: with
  // AutoCorrect it is brought into the range instead of being stored out of it.
  if (!ok) return false;
  ieWebPort_->Validate();
  port = ieWebPort_->Value();
  return true;
}

void TSettingsSeam::SetExecuteHook(std::function<bool(TfrmSettings&)> hook) {
  ExecuteHook() = std::move(hook);
}

}  // namespace uSettings
