#pragma once
// TQueue: a growable first-in-first-out ring of elements (pointers, in this library).
// It has no lock of its own; its owner guards it.

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace uQueue {

class EQueueError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr int kMaxQueueCapacity = 0x7FFFFFF;

template <class T>
class TQueue {
  static_assert(std::is_trivially_copyable_v<T>, "TQueue holds plain values such as pointers");

 public:
  void Push(T item) {
    if (count_ == Capacity()) Grow();
    tail_ = (tail_ + 1) % Capacity();
    items_[static_cast<std::size_t>(tail_)] = item;
    ++count_;
  }

  T Pop() {
    T item = Get(0);
    head_ = (head_ + 1) % Capacity();
    --count_;
    return item;
  }

  T PopLast() {
    T item = Get(count_ - 1);
    tail_ = (tail_ + Capacity() - 1) % Capacity();
    --count_;
    return item;
  }

  T First() const { return Get(0); }
  T Last() const { return Get(count_ - 1); }

  T Get(int index) const { return items_[Slot(index)]; }
  void Put(int index, T item) { items_[Slot(index)] = item; }

  bool IsEmpty() const noexcept { return count_ == 0; }
  int Count() const noexcept { return count_; }
  int Capacity() const noexcept { return static_cast<int>(items_.size()); }

  // Resizes the storage keeping the elements in order; when the ring is wrapped, the part
  // from Head to the old end moves to the new end.
  void SetCapacity(int capacity) {
    if (capacity < count_ || capacity > kMaxQueueCapacity)
      throw EQueueError("List capacity out of bounds (" + std::to_string(capacity) + ")");
    const int old = Capacity();
    if (capacity == old) return;
    const bool wrapped = count_ > 0 && head_ + count_ > old;
    if (!wrapped && count_ > 0 && head_ + count_ > capacity) {
      // Shrinking past the live elements: move them to the front first.
      std::move(items_.begin() + head_, items_.begin() + head_ + count_, items_.begin());
      head_ = 0;
      tail_ = count_ - 1;
    }
    if (wrapped && capacity < old) {
      const int part = old - head_;
      // Towards the front: the target starts before the source.
      std::move(items_.begin() + head_, items_.begin() + old, items_.begin() + (capacity - part));
      head_ = capacity - part;
      items_.resize(static_cast<std::size_t>(capacity));
    } else {
      items_.resize(static_cast<std::size_t>(capacity));
      if (wrapped) {
        const int part = old - head_;
        // Towards the end: the target ends after the source.
        std::move_backward(items_.begin() + head_, items_.begin() + old, items_.begin() + capacity);
        head_ = capacity - part;
      }
    }
    if (count_ == 0) {
      head_ = 0;
      tail_ = -1;
    }
  }

  // +4 up to 8, +16 up to 64, then +25%: 4, 8, 12, 28, 44, 60, 76, 95, ...
  void Grow() {
    const int capacity = Capacity();
    int delta = 4;
    if (capacity > 64)
      delta = capacity / 4;
    else if (capacity > 8)
      delta = 16;
    SetCapacity(capacity + delta);
  }

  void Clear() {
    items_.clear();
    items_.shrink_to_fit();
    count_ = 0;
    head_ = 0;
    tail_ = -1;
  }

 private:
  std::size_t Slot(int index) const {
    if (index < 0 || index >= count_)
      throw EQueueError("List index out of bounds (" + std::to_string(index) + ")");
    return static_cast<std::size_t>((head_ + index) % Capacity());
  }

  std::vector<T> items_;
  int head_ = 0;
  int tail_ = -1;
  int count_ = 0;
};

}  // namespace uQueue
