#pragma once
// Waits that wake on data: a thread that serves a descriptor waits in poll(2) on it and on a
// wake event, with its longest pause as the time limit, so data is taken at once and an idle
// thread wakes only when its pause is over or another thread wakes it.

#include <cstdint>

#include "ci/uFileUtils.h"

namespace uPollWait {

// An eventfd another thread signals to cut a wait short. A signal given while nobody waits
// is kept until the next wait takes it, so none is lost. Without an eventfd (the system
// refused one) waits simply run to their limit.
class TWakeEvent {
 public:
  TWakeEvent() noexcept;

  // Any thread, any time.
  void Signal() noexcept;
  // Takes a pending signal.
  void Clear() noexcept;
  int Fd() const noexcept { return fd_.Get(); }

 private:
  uFileUtils::TFd fd_;
};

struct TWaitResult {
  bool Readable = false;  // fd has data, an end of stream or an error to read
  bool Woken = false;     // the wake event was signalled (and is now taken)
};

// Waits at most timeoutMs for fd (-1: none) to become readable or for wake to be signalled.
// An interrupted wait returns early with nothing set.
TWaitResult WaitReadable(int fd, TWakeEvent& wake, std::uint32_t timeoutMs) noexcept;

}  // namespace uPollWait
