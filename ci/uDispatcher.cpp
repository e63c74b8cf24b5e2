#include "ci/uDispatcher.h"

#include <mutex>

#include "ci/uCI_Library.h"

namespace uDispatcher {

using uSynchronizer::TReadLock;
using uSynchronizer::TWriteLock;

// ---- TDispatcherQueue

TDispatcherQueue::TDispatcherQueue() : guard_("TDispatcherQueue") {}

TDispatcherQueue::~TDispatcherQueue() {
  Clear();
}

void TDispatcherQueue::Push(std::unique_ptr<TDispatcherEvent> event) {
  if (!event) return;
  TWriteLock lock(guard_);
  items_.Push(event.get());
  static_cast<void>(event.release());  // the queue owns it now
}

std::unique_ptr<TDispatcherEvent> TDispatcherQueue::Pop() {
  TWriteLock lock(guard_);
  if (items_.IsEmpty()) return nullptr;
  return std::unique_ptr<TDispatcherEvent>(items_.Pop());
}

int TDispatcherQueue::GetCount() {
  TReadLock lock(guard_);
  return items_.Count();
}

void TDispatcherQueue::Clear() {
  TWriteLock lock(guard_);
  while (!items_.IsEmpty()) delete items_.Pop();
  items_.Clear();
}

void TDispatcherQueue::RemoveSlotEvents(const std::string& slotId) {
  TWriteLock lock(guard_);
  // One pass over the ring: keep the others by pushing them back in order.
  for (int n = items_.Count(); n > 0; --n) {
    TDispatcherEvent* event = items_.Pop();
    if (event->SlotID == slotId)
      delete event;
    else
      items_.Push(event);
  }
}

// ---- TDispatcherThreadQueue

TDispatcherThreadQueue::TDispatcherThreadQueue(std::shared_ptr<uThreadUtils::TEvent> wakeEvent)
    : wakeEvent_(std::move(wakeEvent)) {}

void TDispatcherThreadQueue::Push(std::unique_ptr<TDispatcherEvent> event) {
  TDispatcherQueue::Push(std::move(event));
  if (wakeEvent_) wakeEvent_->SetEvent();
}

// ---- TDispatcher

TDispatcher::TDispatcher() : queue_(std::make_unique<TDispatcherQueue>()) {}

TDispatcher::TDispatcher(std::unique_ptr<TDispatcherQueue> queue) : queue_(std::move(queue)) {}

TDispatcher::~TDispatcher() = default;

void TDispatcher::HandleException(TDispatcherEvent& /*event*/, const std::exception& /*error*/) {}

bool TDispatcher::ProcessOne() {
  std::unique_ptr<TDispatcherEvent> event = queue_->Pop();
  if (!event) return false;
  try {
    event->Execute();
  } catch (const std::exception& e) {
    HandleException(*event, e);
  }
  return true;
}

// ---- TDispatcherThread

TDispatcherThread::TDispatcherThread()
    : TDispatcherThread(std::make_shared<uThreadUtils::TEvent>()) {}

TDispatcherThread::TDispatcherThread(std::shared_ptr<uThreadUtils::TEvent> wakeEvent)
    : TDispatcher(std::make_unique<TDispatcherThreadQueue>(wakeEvent)),
      wakeEvent_(std::move(wakeEvent)),
      worker_(std::make_unique<TNotifyEventThread>(
          TNotifyEventThread::TOnExecute(this, &TDispatcherThread::Loop))) {
  worker_->Start();
}

TDispatcherThread::~TDispatcherThread() {
  worker_->Terminate();
  wakeEvent_->SetEvent();
  worker_.reset();  // joins
  FreeQueue();
}

void TDispatcherThread::Loop(TNotifyEventThread& thread) {
  while (!thread.Terminated()) {
    try {
      ProcessOne();
    } catch (...) {
      // An event must never end the thread.
    }
    if (Queue().GetCount() == 0) wakeEvent_->WaitFor(100);
    uThreadUtils::Sleep(1);
  }
}

// ---- TDispatcherEventSlot

TDispatcherEventSlot::TDispatcherEventSlot(std::string lockName)
    : guard_(std::move(lockName)), slotId_(uInterfaces::TGUID::NewGuid().ToString()) {}

void TDispatcherEventSlot::Dispatch(std::unique_ptr<TDispatcherEvent> event, bool stamp) {
  if (!event) return;
  TReadLock lock(guard_);
  if (stamp) {
    event->SlotID = slotId_;
    event->Handler = handler_;
    event->Owner = owner_;
  }
  if (queue_) {
    queue_->Push(std::move(event));
    return;
  }
  event->Execute();  // freed on return, also when it throws
}

void TDispatcherEventSlot::RemovePending() {
  TWriteLock lock(guard_);
  if (queue_) queue_->RemoveSlotEvents(slotId_);
}

void TDispatcherEventSlot::SetQueue(TDispatcherQueue* queue) {
  TWriteLock lock(guard_);
  queue_ = queue;
}

TDispatcherQueue* TDispatcherEventSlot::GetQueue() {
  TReadLock lock(guard_);
  return queue_;
}

uMethod::TBoundMethod TDispatcherEventSlot::GetHandler() {
  TReadLock lock(guard_);
  return handler_;
}

void TDispatcherEventSlot::SetHandler(const uMethod::TBoundMethod& handler) {
  TWriteLock lock(guard_);
  handler_ = handler;
}

void TDispatcherEventSlot::SetOwner(TOwner owner) {
  TWriteLock lock(guard_);
  owner_ = std::move(owner);
}

// ---- TDispatcherEventSlotList

TDispatcherEventSlotList::TDispatcherEventSlotList() : guard_("TDispatcherEventSlotList") {}

TDispatcherEventSlotList::~TDispatcherEventSlotList() = default;

void TDispatcherEventSlotList::Connect(const uMethod::TBoundMethod& handler, TOwner owner,
                                       TDispatcherQueue* queue) {
  TWriteLock lock(guard_);
  const int index = IndexOfHandler(handler);
  TDispatcherEventSlot* slot;
  if (index < 0) {
    slots_.push_back(std::make_unique<TDispatcherEventSlotUniversal>());
    slot = slots_.back().get();
  } else {
    slot = slots_[static_cast<std::size_t>(index)].get();
  }
  slot->SetHandler(handler);
  slot->SetOwner(std::move(owner));
  slot->SetQueue(queue);
}

void TDispatcherEventSlotList::Clear(bool removePending) {
  TWriteLock lock(guard_);
  for (auto& slot : slots_) {
    if (removePending) slot->RemovePending();
    slot.reset();
  }
  slots_.clear();
}

int TDispatcherEventSlotList::IndexOfHandler(const uMethod::TBoundMethod& handler) {
  TReadLock lock(guard_);
  for (int i = static_cast<int>(slots_.size()) - 1; i >= 0; --i)
    if (slots_[static_cast<std::size_t>(i)]->GetHandler() == handler) return i;
  return -1;
}

void TDispatcherEventSlotList::DispatchTo(int index, std::unique_ptr<TDispatcherEvent> event) {
  TReadLock lock(guard_);
  if (index >= 0 && index < static_cast<int>(slots_.size()))
    slots_[static_cast<std::size_t>(index)]->Dispatch(std::move(event), true);
}

int TDispatcherEventSlotList::GetCount() {
  TReadLock lock(guard_);
  return static_cast<int>(slots_.size());
}

// ---- Object destroyer

namespace {
// Held only to hand a thread over or to take the destroyer away, never while one runs.
std::mutex gObjectDestroyerMutex;
std::unique_ptr<TObjectDestroyer> gObjectDestroyer;

class TNameDestroyerThreadEvent final : public TDispatcherEvent {
 public:
  void Execute() override { uThreadUtils::SetCurrentThreadName(kObjectDestroyerThreadName); }
};

// Owns the thread: running the event frees it, and so does freeing the event unrun.
class TDestroyThreadEvent final : public TDispatcherEvent {
 public:
  explicit TDestroyThreadEvent(std::unique_ptr<TDispatcherThread> thread)
      : thread_(std::move(thread)) {}
  void Execute() override { thread_.reset(); }

 private:
  std::unique_ptr<TDispatcherThread> thread_;
};
}  // namespace

TObjectDestroyer::TObjectDestroyer() {
  Queue().Push(std::make_unique<TNameDestroyerThreadEvent>());
}

void TObjectDestroyer::DestroyLater(std::unique_ptr<TDispatcherThread> thread) {
  if (thread) Queue().Push(std::make_unique<TDestroyThreadEvent>(std::move(thread)));
}

bool TryDestroyLater(std::unique_ptr<TDispatcherThread>&& thread) {
  if (!thread) return true;
  std::lock_guard lock(gObjectDestroyerMutex);
  if (!gObjectDestroyer) return false;
  gObjectDestroyer->DestroyLater(std::move(thread));
  return true;
}

void DestroyLater(std::unique_ptr<TDispatcherThread>&& thread) {
  if (!TryDestroyLater(std::move(thread))) throw uCI_Library::ECILibraryError();
}

namespace detail {
void StartObjectDestroyer() {
  auto destroyer = std::make_unique<TObjectDestroyer>();
  std::lock_guard lock(gObjectDestroyerMutex);
  gObjectDestroyer = std::move(destroyer);
}

void EndObjectDestroyer() {
  std::unique_ptr<TObjectDestroyer> destroyer;
  {
    std::lock_guard lock(gObjectDestroyerMutex);
    destroyer = std::move(gObjectDestroyer);
  }
  destroyer.reset();  // outside the lock: its events may hand over threads themselves
}
}  // namespace detail

}  // namespace uDispatcher
