#pragma once
// Eventers: thread-safe lists of bound methods called at once on the raising thread.
// A handler that throws is isolated: the exception is swallowed and the next handler runs.
// The list is read again on every pass, so handlers that the raising thread adds or removes
// during a raise count; other threads wait for the raise to end.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "ci/uMethod.h"

namespace uNodedInterface {
class INodedInterface;
}
namespace uci_ICommunicationInterface {
class ICommunicationInterface;
}

namespace uEventer {

template <class... A>
class TEventer {
 public:
  using THandler = uMethod::TMethod<void(A...)>;

  // Appends; the same method may be added more than once and is then called once per entry.
  void AddHandler(const THandler& handler) {
    std::lock_guard lock(guard_);
    handlers_.push_back(handler);
  }

  // Removes the first equal entry, keeping the order of the rest; nothing when absent.
  void RemoveHandler(const THandler& handler) {
    std::lock_guard lock(guard_);
    for (auto it = handlers_.begin(); it != handlers_.end(); ++it) {
      if (*it == handler) {
        handlers_.erase(it);
        return;
      }
    }
  }

  void Lock() { guard_.lock(); }
  void Unlock() { guard_.unlock(); }

  std::size_t Count() {
    std::lock_guard lock(guard_);
    return handlers_.size();
  }

  void Raise(A... args) {
    std::lock_guard lock(guard_);
    for (std::size_t i = 0; i < handlers_.size(); ++i) {
      const THandler handler = handlers_[i];  // a copy: the handler may change the list
      try {
        if (handler.IsAssigned()) handler(args...);
      } catch (...) {
      }
    }
  }

 private:
  std::recursive_mutex guard_;
  std::vector<THandler> handlers_;
};

// Node created / destroyed.
class Teventer_NodedInterface : public TEventer<uNodedInterface::INodedInterface*> {};
// Descendant added / removed, with the level below the raising node (1 = a child).
class TeventerDescentEvent : public TEventer<uNodedInterface::INodedInterface*, std::int32_t> {};
// Channel opened, closed, data received, configuration changed.
class TEventerCiNotify : public TEventer<uci_ICommunicationInterface::ICommunicationInterface*> {};
// Kept for completeness; nothing raises it.
class TEventerCiNotifyChangeEvent : public TEventer<> {};

}  // namespace uEventer
