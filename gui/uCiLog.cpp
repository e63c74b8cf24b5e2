#include "gui/uCiLog.h"

#include "gui/uCiLogSeam.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <iterator>

#include "ci/uCI_DataSpy.h"
#include "ci/uInterfaces.h"
#include "ci/uNodedInterface.h"

namespace uCiLog {

namespace {

constexpr int kWidth = 581;
constexpr int kHeight = 546;
constexpr int kBarHeight = 35;
constexpr int kBarTop = 4;
// Matches no channel: set at destruction so that nothing more is queued.
constexpr const char* kNoGuid = "NoGuid";

// Device text is mostly ASCII; bytes that are not valid UTF-8 are shown one character each.
// A CR LF pair is one line break, as is a CR or LF alone; a break at the end is dropped,
// since every report already ends its line.
QString ToDisplayText(std::string_view data) {
  QString text = QString::fromUtf8(data.data(), static_cast<qsizetype>(data.size()));
  if (text.contains(QChar::ReplacementCharacter))
    text = QString::fromLatin1(data.data(), static_cast<qsizetype>(data.size()));
  text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  text.replace('\r', '\n');
  if (text.endsWith('\n')) text.chop(1);
  return text;
}

QTextCharFormat LineFormat(const QColor& colour, const QStringList& families, double points) {
  QTextCharFormat format;
  format.setForeground(colour);
  format.setFontWeight(QFont::Normal);
  format.setFontItalic(false);
  format.setFontUnderline(false);
  format.setFontFamilies(families);
  format.setFontPointSize(points);
  return format;
}

uCI_DataSpy::TDataSpyHook HookOf(TfCiLog* window) {
  return uCI_DataSpy::TDataSpyHook(window, &TfCiLog::AddLogEntry);
}

}  // namespace

std::string ExtractPacket97(std::string& buffer) {
  if (buffer.size() <= 3 || buffer[0] != '*' || buffer[1] != 'a') return {};
  const std::size_t length =
      (static_cast<std::uint8_t>(buffer[2]) << 8) | static_cast<std::uint8_t>(buffer[3]);
  const std::size_t whole = length + 4;
  if (buffer.size() < whole) return {};
  std::string packet = buffer.substr(0, whole);
  buffer.erase(0, whole);
  return packet;
}

int CheckPacket97(std::string_view packet) {
  if (packet.size() <= 7) return 1;
  if (packet[0] != '*') return 2;
  if (packet[1] != 'a') return 3;
  const std::size_t length =
      (static_cast<std::uint8_t>(packet[2]) << 8) | static_cast<std::uint8_t>(packet[3]);
  if (packet.size() != length + 4) return 4;
  if (static_cast<std::uint8_t>(packet[packet.size() - 2]) !=
      Checksum97(packet.substr(0, packet.size() - 2)))
    return 5;
  if (packet.back() != '\r') return 6;
  return 0;
}

std::uint8_t Checksum97(std::string_view text) {
  std::uint8_t sum = 0;
  for (char c : text) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
  return static_cast<std::uint8_t>(~sum);
}

std::string HexWithSeparator(std::string_view data, std::string_view separator) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  if (data.empty()) return text;
  text.reserve(data.size() * (2 + separator.size()));
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (i > 0) text += separator;
    const auto byte = static_cast<std::uint8_t>(data[i]);
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

TLogBatch::TLogBatch(QPlainTextEdit* view, bool scrollToEnd)
    : view_(QCoreApplication::closingDown() ? nullptr : view), scrollToEnd_(scrollToEnd) {
  if (!view_) return;
  const QTextCursor selection = view_->textCursor();
  anchor_ = selection.anchor();
  position_ = selection.position();
  cursor_.emplace(view_->document());
  cursor_->movePosition(QTextCursor::End);
  cursor_->beginEditBlock();
}

TLogBatch::~TLogBatch() {
  if (!view_) return;
  cursor_->endEditBlock();
  QTextCursor restored(view_->document());
  restored.setPosition(anchor_);
  restored.setPosition(position_, QTextCursor::KeepAnchor);
  const int scroll = view_->verticalScrollBar()->value();
  view_->setTextCursor(restored);
  // Setting the cursor must not scroll back to the selection.
  QScrollBar* bar = view_->verticalScrollBar();
  bar->setValue(scrollToEnd_ ? bar->maximum() : scroll);
}

void TLogBatch::Append(const QString& text, const QColor& colour,
                       const std::optional<QDateTime>& time) {
  if (!view_) return;
  static const QTextCharFormat timeFormat =
      LineFormat(kColorTime, {"Lucida Console", "DejaVu Sans Mono", "Monospace"}, 6);
  if (!view_->document()->isEmpty()) cursor_->insertBlock();
  if (time) {
    if (stamp_.isEmpty() || *time != stampTime_) {
      stampTime_ = *time;
      stamp_ = time->toString("[yyyy-MM-dd HH:mm:ss]") + ' ';
    }
    cursor_->insertText(stamp_, timeFormat);
  }
  if (colour != textColour_ || !textFormat_) {
    textColour_ = colour;
    textFormat_ = LineFormat(colour, {"Calibri", "DejaVu Sans", "Sans"}, 10);
  }
  cursor_->insertText(text, *textFormat_);
}

void AppendLogLine(QPlainTextEdit* view, const QString& text, const QColor& colour,
                   const std::optional<QDateTime>& time, bool scrollToEnd) {
  TLogBatch batch(view, scrollToEnd);
  batch.Append(text, colour, time);
}

TfCiLog::TfCiLog(QWidget* parent) : QWidget(parent, Qt::Tool) {
  setObjectName("fCiLog");
  setWindowTitle(QString::fromUtf8("Komunikační log"));

  reLog_ = new QPlainTextEdit(this);
  reLog_->setObjectName("reLog");
  reLog_->setReadOnly(true);
  reLog_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  reLog_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  QFont viewFont;
  viewFont.setFamilies({"Calibri", "DejaVu Sans", "Sans"});
  viewFont.setPointSize(10);
  reLog_->setFont(viewFont);

  pnlBottom_ = new QWidget(this);
  pnlBottom_->setObjectName("pnlBottom");
  pnlBottom_->setFixedHeight(kBarHeight);
  btnClear_ = new QPushButton("Clear", pnlBottom_);
  btnClear_->setObjectName("btnClear");
  btnClear_->setGeometry(8, kBarTop, 73, 25);
  sbPause_ = new QPushButton("Pause", pnlBottom_);
  sbPause_->setObjectName("sbPause");
  sbPause_->setCheckable(true);
  sbPause_->setGeometry(88, kBarTop, 73, 25);
  edtDisabledInst_ = new QLineEdit("Disabled Inst", pnlBottom_);
  edtDisabledInst_->setObjectName("edtDisabledInst");
  edtDisabledInst_->setGeometry(184, kBarTop, 121, 25);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(reLog_, 1);
  layout->addWidget(pnlBottom_);

  connect(btnClear_, &QPushButton::clicked, this, &TfCiLog::btnClearClick);
  connect(sbPause_, &QPushButton::clicked, this, &TfCiLog::sbPauseClick);

  resize(kWidth, kHeight);
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());

  timer1_ = new QTimer(this);
  timer1_->setObjectName("tmrLog");
  timer1_->setInterval(kTimerInterval);
  connect(timer1_, &QTimer::timeout, this, &TfCiLog::Timer1Timer);
  timer1_->start();

  uCI_DataSpy::SetOnDataSpy(HookOf(this));
}

TfCiLog::~TfCiLog() {
  // After SetOnDataSpy no call is still inside AddLogEntry; a hook installed by someone
  // else since is left alone.
  if (uCI_DataSpy::GetOnDataSpy() == HookOf(this)) uCI_DataSpy::SetOnDataSpy({});
  visible_ = false;
  std::lock_guard lock(queueLock_);
  channelFilter_ = kNoGuid;
  queue_.clear();
}

void TfCiLog::ShowLog(const QString& filter) {
  {
    std::lock_guard lock(queueLock_);
    channelFilter_ = filter.toStdString();
  }
  if (isMinimized()) setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  show();
  raise();
  activateWindow();
}

void TfCiLog::AddLogEntry(uci_ICommunicationInterface::ICommunicationInterface* channel,
                          const std::string& text, std::uint8_t direction) {
  if (!channel || !visible_ || text.empty()) return;
  uInterfaces::TInterfacePtr<uNodedInterface::INodedInterfaceCore> node;
  if (!uInterfaces::Supports(channel, node)) return;
  const std::string guid = node->GetGUIDString();
  std::lock_guard lock(queueLock_);
  if (!channelFilter_.empty() && channelFilter_ != guid) return;
  if (queue_.size() >= maxEntries_ || queuedBytes_ > maxBytes_ ||
      text.size() > maxBytes_ - queuedBytes_) {
    // Full: counted on the marker at the queue's end, or on a new one.
    if (queue_.empty() || queue_.back().Direction != kDirectionDropped)
      queue_.push_back(TLogStruct{{}, Now(), kDirectionDropped});
    ++queue_.back().Dropped;
    queue_.back().DroppedBytes += text.size();
    return;
  }
  queue_.push_back(TLogStruct{text, Now(), direction});
  queuedBytes_ += text.size();
}

void TfCiLog::Timer1Timer() {
  // Entries are taken out under the lock in chunks and formatted without it. Only this
  // thread takes entries, so their order holds across chunks.
  constexpr std::size_t kChunk = 64;
  std::deque<TLogStruct> chunk;
  auto take = [&] {
    std::lock_guard lock(queueLock_);
    const std::size_t count = std::min(kChunk, queue_.size());
    for (std::size_t i = 0; i < count; ++i) {
      queuedBytes_ -= queue_.front().Data.size();
      chunk.push_back(std::move(queue_.front()));
      queue_.pop_front();
    }
  };
  take();
  if (chunk.empty()) {
    if (!pendingReceived_.empty()) {
      TLogBatch batch(reLog_, true);
      FlushPendingReceived(batch);
    }
    return;
  }
  reLog_->setUpdatesEnabled(false);
  {
    // A pass formats for at most tickBudget_ so that the user-interface thread stays
    // responsive under a flood of reports; what is left waits, in order, for the next pass.
    TLogBatch batch(reLog_, true);
    const auto start = std::chrono::steady_clock::now();
    while (!chunk.empty()) {
      for (const TLogStruct& entry : chunk) PrintEntry(entry, batch);
      chunk.clear();
      if (std::chrono::steady_clock::now() - start >= tickBudget_) break;
      take();
    }
  }
  reLog_->setUpdatesEnabled(true);
}

void TfCiLog::PrintEntry(const TLogStruct& entry, TLogBatch& batch) {
  if (entry.Direction == uCI_DataSpy::kDirectionRead) {
    pendingReceived_ += entry.Data;
    PrintPackets(pendingReceived_, entry, batch);
  } else if (entry.Direction == uCI_DataSpy::kDirectionWritten && !entry.Data.empty()) {
    FlushPendingReceived(batch);
    std::string rest = entry.Data;
    PrintPackets(rest, entry, batch);
    if (!rest.empty()) batch.Append(": " + ToDisplayText(rest), kColorSentText, entry.Time);
  } else if (entry.Direction == kDirectionDropped) {
    // What was received before the gap cannot be joined with what comes after it.
    FlushPendingReceived(batch);
    batch.Append(QString("%1 reports (%2 bytes) dropped: the log queue was full")
                     .arg(entry.Dropped)
                     .arg(entry.DroppedBytes),
                 kColorDropped, entry.Time);
  }
}

void TfCiLog::PrintPackets(std::string& buffer, const TLogStruct& entry, TLogBatch& batch) {
  const QString disabled = edtDisabledInst_->text();
  for (std::string packet = ExtractPacket97(buffer); !packet.empty();
       packet = ExtractPacket97(buffer)) {
    if (CheckPacket97(packet) != 0) continue;
    const auto code = static_cast<std::uint8_t>(packet[6]);
    const bool sent = entry.Direction == uCI_DataSpy::kDirectionWritten;
    const QColor& colour = sent ? kColorSent : code != 0 ? kColorReceivedError : kColorReceived;
    if (disabled.contains(QString::fromStdString(HexWithSeparator(packet.substr(6, 1), "")))) {
      skipNext_ = true;  // hides the packet and the one after it, normally its answer
      continue;
    }
    if (skipNext_) {
      skipNext_ = false;
      continue;
    }
    batch.Append(QString::fromLatin1(sent ? "=> " : "<= ") +
                     QString::fromLatin1(HexWithSeparator(packet, " ")),
                 colour, entry.Time);
  }
}

void TfCiLog::FlushPendingReceived(TLogBatch& batch) {
  if (pendingReceived_.empty()) return;
  batch.Append(ToDisplayText(pendingReceived_), kColorReceivedText, std::nullopt);
  pendingReceived_.clear();
}

void TfCiLog::btnClearClick() {
  reLog_->clear();
  std::lock_guard lock(queueLock_);
  // Received text still queued after the last other report may start a packet: keep it.
  auto tailStart = queue_.end();
  while (tailStart != queue_.begin() &&
         std::prev(tailStart)->Direction == uCI_DataSpy::kDirectionRead)
    --tailStart;
  std::string tail;
  for (auto it = tailStart; it != queue_.end(); ++it) tail += it->Data;
  if (tailStart == queue_.begin())
    pendingReceived_ += tail;
  else
    pendingReceived_ = std::move(tail);
  queue_.clear();
  queuedBytes_ = 0;
  // Makes the next tick cut packets out of what was kept instead of flushing it as text.
  queue_.push_back(TLogStruct{{}, Now(), uCI_DataSpy::kDirectionRead});
}

void TfCiLog::sbPauseClick() {
  if (sbPause_->isChecked())
    timer1_->stop();
  else
    timer1_->start();
}

// ---- TCiLogSeam

void TCiLogSeam::Tick(TfCiLog& log) {
  log.Timer1Timer();
}

void TCiLogSeam::SetTickInterval(TfCiLog& log, int milliseconds) {
  log.timer1_->setInterval(milliseconds);
}

void TCiLogSeam::SetTickBudget(TfCiLog& log, std::chrono::milliseconds budget) {
  std::lock_guard lock(log.queueLock_);
  log.tickBudget_ = budget;
}

void TCiLogSeam::SetClock(TfCiLog& log, std::function<QDateTime()> clock) {
  std::lock_guard lock(log.queueLock_);
  log.clock_ = std::move(clock);
}

std::size_t TCiLogSeam::Queued(TfCiLog& log) {
  std::lock_guard lock(log.queueLock_);
  return log.queue_.size();
}

void TCiLogSeam::SetQueueLimits(TfCiLog& log, std::size_t maxEntries, std::size_t maxBytes) {
  std::lock_guard lock(log.queueLock_);
  log.maxEntries_ = maxEntries;
  log.maxBytes_ = maxBytes;
}

QDateTime TfCiLog::Now() const {
  return clock_ ? clock_() : QDateTime::currentDateTime();
}

void TfCiLog::showEvent(QShowEvent* event) {
  visible_ = true;
  QWidget::showEvent(event);
}

void TfCiLog::hideEvent(QHideEvent* event) {
  // Minimising sends a hide event too, but the window stays visible (isVisible) and keeps
  // collecting; only hiding or closing it stops that.
  visible_ = isVisible();
  QWidget::hideEvent(event);
}

}  // namespace uCiLog
