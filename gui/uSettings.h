#pragma once
// The settings dialog "Nastavení": the TCP port of the HTTP server.

#include <QDialog>
#include <cstdint>
#include <functional>

namespace uIntEdit {
class TIntEdit;
}
namespace uShapeEx {
class TShapeEx;
}
namespace uStyle {
class TdmStyle;
}

namespace uSettings {

class TfrmSettings : public QDialog {
  Q_OBJECT
 public:
  // style gives the buttons their colours; it may be null.
  explicit TfrmSettings(uStyle::TdmStyle* style = nullptr, QWidget* parent = nullptr);

  void SetStyle(uStyle::TdmStyle* style);

  // Shows port (clamped into 0..65535) modally; on "Ok" stores the field's value in port and
  // returns true, otherwise leaves port unchanged and returns false.
  bool Execute(std::int32_t& port);

  uIntEdit::TIntEdit* WebPortEdit() const { return ieWebPort_; }

 private:
  QWidget* shpBack2_ = nullptr;
  uIntEdit::TIntEdit* ieWebPort_ = nullptr;
  QWidget* pnlButtons_ = nullptr;
  uShapeEx::TShapeEx* shpxOk_ = nullptr;
  uShapeEx::TShapeEx* shpxCancel_ = nullptr;
};

}  // namespace uSettings
