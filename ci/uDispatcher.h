#pragma once
// Event dispatching: a slot list turns each notification into one event object per
// subscriber and runs it at once or posts it to a dispatcher queue, which a dispatcher
// thread works off one event per pass. The object destroyer is a process-wide dispatcher
// thread that frees other dispatcher threads, for owners released on those very threads.

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "ci/uInterfaces.h"
#include "ci/uMethod.h"
#include "ci/uQueue.h"
#include "ci/uSynchronizer.h"
#include "ci/uThreadUtils.h"

namespace uCI_CommunicationInterfaceUtils {
class ICommunicationInterface;
}

namespace uDispatcher {

using TOwner = uInterfaces::TInterfacePtr<uInterfaces::IInterface>;

// One notification for one subscriber. SlotID, Handler and Owner are stamped by the slot.
class TDispatcherEvent {
 public:
  virtual ~TDispatcherEvent() = default;
  // Calls the handler with the payload; only when both parts of Handler are set.
  virtual void Execute() = 0;

  std::string SlotID;
  uMethod::TBoundMethod Handler;
  TOwner Owner;  // keeps the subscriber alive while the event waits
};

// FIFO of owned events, guarded by a lock named after the class.
class TDispatcherQueue {
 public:
  TDispatcherQueue();
  virtual ~TDispatcherQueue();
  TDispatcherQueue(const TDispatcherQueue&) = delete;
  TDispatcherQueue& operator=(const TDispatcherQueue&) = delete;

  virtual void Push(std::unique_ptr<TDispatcherEvent> event);
  std::unique_ptr<TDispatcherEvent> Pop();
  int GetCount();
  // Frees every queued event without running it.
  void Clear();
  // Frees the queued events of one slot; the others keep their order.
  void RemoveSlotEvents(const std::string& slotId);

 private:
  uQueue::TQueue<TDispatcherEvent*> items_;
  uSynchronizer::TMultiReadExclusiveWriteSynchronizerExtended guard_;
};

// A queue that wakes its dispatcher thread on every push.
class TDispatcherThreadQueue : public TDispatcherQueue {
 public:
  explicit TDispatcherThreadQueue(std::shared_ptr<uThreadUtils::TEvent> wakeEvent);
  void Push(std::unique_ptr<TDispatcherEvent> event) override;

 private:
  std::shared_ptr<uThreadUtils::TEvent> wakeEvent_;
};

class TDispatcher {
 public:
  TDispatcher();
  virtual ~TDispatcher();
  TDispatcher(const TDispatcher&) = delete;
  TDispatcher& operator=(const TDispatcher&) = delete;

  TDispatcherQueue& Queue() noexcept { return *queue_; }
  // Runs the oldest queued event and frees it; a std::exception from it goes to
  // HandleException, any other exception propagates. False when the queue was empty.
  bool ProcessOne();

 protected:
  explicit TDispatcher(std::unique_ptr<TDispatcherQueue> queue);
  virtual void HandleException(TDispatcherEvent& event, const std::exception& error);
  // Frees the queue and the events still in it, unrun.
  void FreeQueue() noexcept { queue_.reset(); }

 private:
  std::unique_ptr<TDispatcherQueue> queue_;
};

// A plain thread whose body is a bound method.
class TNotifyEventThread final : public uThreadUtils::TThread {
 public:
  using TOnExecute = uMethod::TMethod<void(TNotifyEventThread&)>;
  explicit TNotifyEventThread(TOnExecute onExecute) : onExecute_(onExecute) {}
  ~TNotifyEventThread() override { TerminateAndWait(); }

 protected:
  void Execute() override {
    if (onExecute_.IsAssigned()) onExecute_(*this);
  }

 private:
  const TOnExecute onExecute_;
};

// A dispatcher with a worker thread: one event per pass, then a 1 ms sleep; with nothing
// queued it waits up to 100 ms for a push. Never destroy it on its own worker thread:
// hand it to DestroyLater instead.
class TDispatcherThread : public TDispatcher {
 public:
  TDispatcherThread();
  ~TDispatcherThread() override;

  TNotifyEventThread& Worker() noexcept { return *worker_; }

 private:
  explicit TDispatcherThread(std::shared_ptr<uThreadUtils::TEvent> wakeEvent);
  void Loop(TNotifyEventThread& thread);

  std::shared_ptr<uThreadUtils::TEvent> wakeEvent_;
  std::unique_ptr<TNotifyEventThread> worker_;
};

// One subscriber: its handler, owner and target queue (none: run on the raising thread).
class TDispatcherEventSlot {
 public:
  virtual ~TDispatcherEventSlot() = default;
  TDispatcherEventSlot(const TDispatcherEventSlot&) = delete;
  TDispatcherEventSlot& operator=(const TDispatcherEventSlot&) = delete;

  // Stamps the event (when stamp) and posts it to the queue, or runs and frees it at once;
  // an exception from a direct run reaches the caller.
  void Dispatch(std::unique_ptr<TDispatcherEvent> event, bool stamp);
  // Frees this slot's events still waiting in its queue.
  void RemovePending();

  void SetQueue(TDispatcherQueue* queue);
  TDispatcherQueue* GetQueue();
  uMethod::TBoundMethod GetHandler();
  void SetHandler(const uMethod::TBoundMethod& handler);
  void SetOwner(TOwner owner);
  const std::string& GetSlotID() const noexcept { return slotId_; }

 protected:
  explicit TDispatcherEventSlot(std::string lockName);

 private:
  uSynchronizer::TMultiReadExclusiveWriteSynchronizerExtended guard_;
  const std::string slotId_;
  TDispatcherQueue* queue_ = nullptr;  // borrowed
  uMethod::TBoundMethod handler_;
  TOwner owner_;
};

class TDispatcherEventSlotUniversal final : public TDispatcherEventSlot {
 public:
  TDispatcherEventSlotUniversal() : TDispatcherEventSlot("TDispatcherEventSlotUniversal") {}
};

// Subscribers in connection order. A handler run directly inside a raise must not Connect
// to or Clear the same list: the raise holds the list shared.
class TDispatcherEventSlotList {
 public:
  TDispatcherEventSlotList();
  virtual ~TDispatcherEventSlotList();
  TDispatcherEventSlotList(const TDispatcherEventSlotList&) = delete;
  TDispatcherEventSlotList& operator=(const TDispatcherEventSlotList&) = delete;

  // Connecting a handler that is already connected updates its slot instead of adding one.
  void Connect(const uMethod::TBoundMethod& handler, TOwner owner, TDispatcherQueue* queue);
  // Frees every slot; with removePending also their events still queued.
  void Clear(bool removePending);
  // The last slot with this handler, -1 when none.
  int IndexOfHandler(const uMethod::TBoundMethod& handler);
  // Dispatches to slot index; an index out of range frees the event.
  void DispatchTo(int index, std::unique_ptr<TDispatcherEvent> event);
  int GetCount();

 protected:
  uSynchronizer::TMultiReadExclusiveWriteSynchronizerExtended& Guard() noexcept { return guard_; }

 private:
  uSynchronizer::TMultiReadExclusiveWriteSynchronizerExtended guard_;
  std::vector<std::unique_ptr<TDispatcherEventSlot>> slots_;
};

// Base of the lists whose events carry a sender interface.
class TDispatcherEventSlotListInterfaceEventCustom : public TDispatcherEventSlotList {};

// ---- CI notifications. TSender is the interface of the raising object (a provider).

template <class TSender>
class TDispatcherEventInterfaceEventOf : public TDispatcherEvent {
 public:
  using THandler = uMethod::TMethod<void(TSender*)>;
  explicit TDispatcherEventInterfaceEventOf(TSender* sender) : Sender(sender) {}
  void Execute() override {
    if (Handler.IsComplete()) THandler::FromBound(Handler)(Sender.Get());
  }
  uInterfaces::TInterfacePtr<TSender> Sender;
};

template <class TSender>
class TCINotifyStringDispatcherEventOf : public TDispatcherEvent {
 public:
  using THandler = uMethod::TMethod<void(TSender*, const std::string&)>;
  TCINotifyStringDispatcherEventOf(TSender* sender, std::string text)
      : Sender(sender), Text(std::move(text)) {}
  void Execute() override {
    if (Handler.IsComplete()) THandler::FromBound(Handler)(Sender.Get(), Text);
  }
  uInterfaces::TInterfacePtr<TSender> Sender;
  std::string Text;
};

template <class TSender>
class TCINotifyErrorDispatcherEventOf : public TDispatcherEvent {
 public:
  using THandler =
      uMethod::TMethod<void(TSender*, const std::string& methodName,
                            const std::vector<std::string>& args, std::int32_t errorCode)>;
  TCINotifyErrorDispatcherEventOf(TSender* sender, std::string methodName,
                                  std::vector<std::string> args, std::int32_t errorCode)
      : Sender(sender),
        MethodName(std::move(methodName)),
        Args(std::move(args)),
        ErrorCode(errorCode) {}
  void Execute() override {
    if (Handler.IsComplete())
      THandler::FromBound(Handler)(Sender.Get(), MethodName, Args, ErrorCode);
  }
  uInterfaces::TInterfacePtr<TSender> Sender;
  std::string MethodName;
  std::vector<std::string> Args;
  std::int32_t ErrorCode;
};

// A slot list whose Raise gives every subscriber its own event of kind TEvent.
template <class TEvent>
class TCINotifySlotListOf : public TDispatcherEventSlotListInterfaceEventCustom {
 public:
  using THandler = typename TEvent::THandler;

  void Connect(const THandler& handler, TOwner owner, TDispatcherQueue* queue) {
    TDispatcherEventSlotList::Connect(handler.Bound(), std::move(owner), queue);
  }
  int IndexOfHandler(const THandler& handler) {
    return TDispatcherEventSlotList::IndexOfHandler(handler.Bound());
  }

  template <class... P>
  void Raise(const P&... payload) {
    uSynchronizer::TReadLock lock(Guard());
    const int n = GetCount();
    for (int i = 0; i < n; ++i) DispatchTo(i, std::make_unique<TEvent>(payload...));
  }
};

template <class TSender>
using TCINotifyEventSlotListOf = TCINotifySlotListOf<TDispatcherEventInterfaceEventOf<TSender>>;
template <class TSender>
using TCINotifyStringEventSlotListOf =
    TCINotifySlotListOf<TCINotifyStringDispatcherEventOf<TSender>>;

// Error notifications are raised as (Sender, MethodName, ErrorCode, Args).
template <class TSender>
class TCINotifyErrorEventSlotListOf
    : public TCINotifySlotListOf<TCINotifyErrorDispatcherEventOf<TSender>> {
  using TBase = TCINotifySlotListOf<TCINotifyErrorDispatcherEventOf<TSender>>;

 public:
  void Raise(TSender* sender, const std::string& methodName, std::int32_t errorCode,
             const std::vector<std::string>& args) {
    TBase::Raise(sender, methodName, args, errorCode);
  }
};

// The lists the providers raise; their sender is the provider interface.
using TDispatcherEventInterfaceEvent =
    TDispatcherEventInterfaceEventOf<uCI_CommunicationInterfaceUtils::ICommunicationInterface>;
using TCINotifyStringDispatcherEvent =
    TCINotifyStringDispatcherEventOf<uCI_CommunicationInterfaceUtils::ICommunicationInterface>;
using TCINotifyErrorDispatcherEvent =
    TCINotifyErrorDispatcherEventOf<uCI_CommunicationInterfaceUtils::ICommunicationInterface>;
using TCINotifyEventSlotList =
    TCINotifyEventSlotListOf<uCI_CommunicationInterfaceUtils::ICommunicationInterface>;
using TCINotifyStringEventSlotList =
    TCINotifyStringEventSlotListOf<uCI_CommunicationInterfaceUtils::ICommunicationInterface>;
using TCINotifyErrorEventSlotList =
    TCINotifyErrorEventSlotListOf<uCI_CommunicationInterfaceUtils::ICommunicationInterface>;

// ---- Object destroyer

inline constexpr const char* kObjectDestroyerThreadName = "Object Destroyer Thread";

class TObjectDestroyer final : public TDispatcherThread {
 public:
  // Posts the first event, which names the worker thread.
  TObjectDestroyer();
  // Frees thread on the destroyer's thread. Events still waiting when the destroyer is freed
  // do not run, but the threads they carry are still ended and freed.
  void DestroyLater(std::unique_ptr<TDispatcherThread> thread);
};

// Hands thread to the process-wide destroyer, which ends and frees it on its own thread.
// Outside the library scope the call is refused with uCI_Library::ECILibraryError, and thread
// stays with the caller. A thread may hand itself over from its own worker.
void DestroyLater(std::unique_ptr<TDispatcherThread>&& thread);
// The same answering false when refused (it raises only when memory runs out).
bool TryDestroyLater(std::unique_ptr<TDispatcherThread>&& thread);

namespace detail {
// Created and freed by the library scope. The end refuses new hand-overs first, then frees
// the destroyer, which ends and frees the threads already handed to it.
void StartObjectDestroyer();
void EndObjectDestroyer();
}  // namespace detail

}  // namespace uDispatcher
