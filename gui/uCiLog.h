#pragma once
// The communication log window "Komunikační log": every text the data spy reports is queued
// (from any thread) and a 250 ms timer on the user-interface thread turns the queue into
// coloured lines. Brisan 97 packets are shown as one line of hexadecimal bytes each; other
// text is shown as it came.

#include <QColor>
#include <QDateTime>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "ci/uci_ICommunicationInterface.h"

class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace uCiLog {

inline constexpr int kTimerInterval = 250;
// The longest a timer pass formats lines.
inline constexpr std::chrono::milliseconds kTickBudget{100};
// What the queue holds at most (as while paused); reports beyond it are dropped and counted,
// and the count is shown as one line in their place.
inline constexpr std::size_t kQueueMaxEntries = 100000;
inline constexpr std::size_t kQueueMaxBytes = 64 * 1024 * 1024;
inline const QColor kColorDropped{0x80, 0x80, 0x80};
inline const QColor kColorSent{0x00, 0x80, 0x00};
inline const QColor kColorReceived{0x00, 0x00, 0xFF};
inline const QColor kColorReceivedError{0xFF, 0x00, 0x00};
inline const QColor kColorSentText{0xFF, 0x80, 0x00};
inline const QColor kColorReceivedText{0xFF, 0x00, 0xFF};
inline const QColor kColorTime{0x00, 0x00, 0x00};

// Cuts the first packet out of buffer when buffer starts with "*a" and holds the whole
// packet (length field + 4 bytes); otherwise returns empty and leaves buffer unchanged.
std::string ExtractPacket97(std::string& buffer);
// 0 for a well-formed packet; otherwise the first failing test: 1 too short, 2 no "*",
// 3 no "a", 4 length field disagrees, 5 bad checksum, 6 no closing carriage return.
int CheckPacket97(std::string_view packet);
// The bitwise NOT of the 8-bit sum of the bytes.
std::uint8_t Checksum97(std::string_view text);
// Each byte as two upper-case hex digits, separator between them.
std::string HexWithSeparator(std::string_view data, std::string_view separator);
// Adds text as the view's new last line: the time stamp (when given) in black, small and
// monospace, then text in colour. Keeps the user's selection.
void AppendLogLine(QPlainTextEdit* view, const QString& text, const QColor& colour,
                   const std::optional<QDateTime>& time, bool scrollToEnd);

// Adds many lines in one edit of the view: the selection is remembered once, and the view
// lays out and scrolls once, when the batch ends. AppendLogLine is a batch of one line.
class TLogBatch {
 public:
  TLogBatch(QPlainTextEdit* view, bool scrollToEnd);
  ~TLogBatch();
  TLogBatch(const TLogBatch&) = delete;
  TLogBatch& operator=(const TLogBatch&) = delete;

  void Append(const QString& text, const QColor& colour, const std::optional<QDateTime>& time);

 private:
  QPlainTextEdit* view_;
  bool scrollToEnd_;
  int anchor_ = 0;
  int position_ = 0;
  std::optional<QTextCursor> cursor_;
  QDateTime stampTime_;  // the last time stamp, formatted once per distinct time
  QString stamp_;
  QColor textColour_;  // the format of the last line's text, reused while the colour stays
  std::optional<QTextCharFormat> textFormat_;
};

class TfCiLog : public QWidget {
  Q_OBJECT
 public:
  // Installs AddLogEntry as the data-spy hook, replacing the one before.
  explicit TfCiLog(QWidget* parent = nullptr);
  ~TfCiLog() override;

  // Logs only the channel with this GUID text (empty: all) and shows the window, restored
  // when it was minimised.
  void ShowLog(const QString& filter);
  // The data-spy hook; any thread.
  void AddLogEntry(uci_ICommunicationInterface::ICommunicationInterface* channel,
                   const std::string& text, std::uint8_t direction);

 public slots:
  void Timer1Timer();
  void btnClearClick();
  void sbPauseClick();

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  friend struct TCiLogSeam;  // test access (gui/uCiLogSeam.h)

  // Direction kDirectionDropped marks where reports were dropped for a full queue;
  // Dropped and DroppedBytes count them.
  static constexpr std::uint8_t kDirectionDropped = 0;
  struct TLogStruct {
    std::string Data;
    QDateTime Time;
    std::uint8_t Direction = 0;
    std::size_t Dropped = 0;
    std::size_t DroppedBytes = 0;
  };

  QDateTime Now() const;
  void PrintEntry(const TLogStruct& entry, TLogBatch& batch);
  void PrintPackets(std::string& buffer, const TLogStruct& entry, TLogBatch& batch);
  void FlushPendingReceived(TLogBatch& batch);

  // QueueLock: the queue, its byte count and limits, channelFilter_ and the clock. It is held
  // only to add or take entries, never while the view is formatted, so a reporting thread
  // never waits for the user interface.
  std::mutex queueLock_;
  std::deque<TLogStruct> queue_;
  std::size_t queuedBytes_ = 0;
  std::size_t maxEntries_ = kQueueMaxEntries;
  std::size_t maxBytes_ = kQueueMaxBytes;
  std::string channelFilter_;
  // The user-interface thread's own: received text not yet shown, and the filter's skip.
  std::string pendingReceived_;
  bool skipNext_ = false;
  std::atomic<bool> visible_{false};
  std::function<QDateTime()> clock_;
  std::chrono::milliseconds tickBudget_{kTickBudget};

  QPlainTextEdit* reLog_ = nullptr;
  QWidget* pnlBottom_ = nullptr;
  QPushButton* btnClear_ = nullptr;
  QPushButton* sbPause_ = nullptr;
  QLineEdit* edtDisabledInst_ = nullptr;
  QTimer* timer1_ = nullptr;  // tmrLog
};

}  // namespace uCiLog
