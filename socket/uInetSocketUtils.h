#pragma once
// Received packets and the queue that keeps them.

#include <cstdint>
#include <mutex>
#include <string>

#include "ci/uQueue.h"

namespace uInetSocketUtils {

struct TInetSocketPacket {
  std::string Host;       // dotted address of the sender
  std::int32_t Port = 0;  // port of the sender
  std::string Data;       // the bytes, any value
};

// A FIFO of packet copies that it owns, safe for any thread. Capacity: negative keeps every
// packet, 0 keeps none, n > 0 keeps the newest n.
class TInetSocketPacketQueue {
 public:
  TInetSocketPacketQueue() = default;
  ~TInetSocketPacketQueue();
  TInetSocketPacketQueue(const TInetSocketPacketQueue&) = delete;
  TInetSocketPacketQueue& operator=(const TInetSocketPacketQueue&) = delete;

  void Push(const TInetSocketPacket& packet);
  // The oldest packet, removed; false when empty.
  bool Pop(TInetSocketPacket& packet);
  void Clear();
  void SetCapacity(int capacity);
  int Capacity() const;
  int Count() const;

 private:
  void DropOldestLocked();
  void ClearLocked();

  mutable std::mutex mutex_;
  uQueue::TQueue<TInetSocketPacket*> queue_;
  int capacity_ = -1;
};

}  // namespace uInetSocketUtils
