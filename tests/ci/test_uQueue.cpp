#include "ci/uQueue.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

using uQueue::EQueueError;
using uQueue::TQueue;

// Names each parameterized case after its name field.
struct CaseName {
  template <class T>
  std::string operator()(const testing::TestParamInfo<T>& param) const {
    return param.param.name;
  }
};

// The queue's elements from head to tail, read through Get.
template <class T>
std::vector<T> Contents(const TQueue<T>& queue) {
  std::vector<T> items;
  for (int i = 0; i < queue.Count(); ++i) items.push_back(queue.Get(i));
  return items;
}

std::vector<int> Contents(const std::deque<int>& model) {
  return {model.begin(), model.end()};
}

// The message of the EQueueError that fn raises; empty when it raises none.
template <class F>
std::string QueueError(F&& fn) {
  try {
    fn();
  } catch (const EQueueError& e) {
    return e.what();
  }
  return {};
}

// Drives the queue and a std::deque with the same operations so the test can compare them.
class QueueModelTest : public testing::Test {
 protected:
  void Push(int count) {
    for (int i = 0; i < count; ++i) {
      queue_.Push(next_);
      model_.push_back(next_++);
    }
  }
  void Pop(int count) {
    for (int i = 0; i < count; ++i) {
      ASSERT_EQ(queue_.Pop(), model_.front());
      model_.pop_front();
    }
  }
  void PopLast(int count) {
    for (int i = 0; i < count; ++i) {
      ASSERT_EQ(queue_.PopLast(), model_.back());
      model_.pop_back();
    }
  }
  void ExpectSameAsModel() {
    ASSERT_EQ(queue_.Count(), static_cast<int>(model_.size()));
    EXPECT_EQ(queue_.IsEmpty(), model_.empty());
    EXPECT_EQ(Contents(queue_), Contents(model_));
    if (!model_.empty()) {
      EXPECT_EQ(queue_.First(), model_.front());
      EXPECT_EQ(queue_.Last(), model_.back());
    }
  }
  // Pops everything and checks the order against the model.
  void Drain() {
    Pop(static_cast<int>(model_.size()));
    EXPECT_TRUE(queue_.IsEmpty());
  }

  TQueue<int> queue_;
  std::deque<int> model_;
  int next_ = 1;
};

TEST_F(QueueModelTest, GrowsInStepsFromEmptyAndKeepsPushOrder) {
  EXPECT_EQ(queue_.Capacity(), 0);
  std::vector<int> capacities;
  for (int i = 0; i < 100; ++i) {
    Push(1);
    if (capacities.empty() || capacities.back() != queue_.Capacity())
      capacities.push_back(queue_.Capacity());
  }
  EXPECT_EQ(capacities, (std::vector<int>{4, 8, 12, 28, 44, 60, 76, 95, 118}));
  ExpectSameAsModel();
  Drain();
}

TEST_F(QueueModelTest, GrowDirectlyFollowsTheSteps) {
  const std::vector<int> steps = {4, 8, 12, 28, 44, 60, 76, 95, 118, 147};
  for (int expected : steps) {
    queue_.Grow();
    EXPECT_EQ(queue_.Capacity(), expected);
  }
}

struct WrapCase {
  const char* name;
  int initialCapacity;  // 0 lets the queue grow from nothing
  int firstPushes;
  int pops;
  int secondPushes;  // pushed past the capacity, so the queue grows while wrapped
};

class QueueWrappedGrowTest : public QueueModelTest, public testing::WithParamInterface<WrapCase> {};

TEST_P(QueueWrappedGrowTest, GrowingAWrappedRingKeepsOrder) {
  const WrapCase& c = GetParam();
  queue_.SetCapacity(c.initialCapacity);
  Push(c.firstPushes);
  Pop(c.pops);
  for (int i = 0; i < c.secondPushes; ++i) {
    Push(1);
    ASSERT_NO_FATAL_FAILURE(ExpectSameAsModel()) << "after push " << i;
  }
  Drain();
}

INSTANTIATE_TEST_SUITE_P(Queue, QueueWrappedGrowTest,
                         testing::Values(WrapCase{"HeadNearEndOfFour", 0, 3, 2, 10},
                                         WrapCase{"HeadAtLastSlot", 4, 4, 3, 8},
                                         WrapCase{"FullRingWithHeadInMiddle", 8, 8, 4, 9},
                                         WrapCase{"SeveralGrowthsWhileWrapped", 0, 12, 10, 90},
                                         WrapCase{"LargeStepWhileWrapped", 76, 76, 70, 100}),
                         CaseName{});

struct IndexCase {
  const char* name;
  int pushes;
  void (*operation)(TQueue<int>&);
  const char* message;
};

TEST(QueueErrors, IndexOutsideTheElementsIsRejected) {
  const IndexCase cases[] = {
      {"Get past end", 3, [](TQueue<int>& q) { q.Get(3); }, "List index out of bounds (3)"},
      {"Get negative", 3, [](TQueue<int>& q) { q.Get(-1); }, "List index out of bounds (-1)"},
      {"Put past end", 3, [](TQueue<int>& q) { q.Put(3, 0); }, "List index out of bounds (3)"},
      {"Put negative", 3, [](TQueue<int>& q) { q.Put(-2, 0); }, "List index out of bounds (-2)"},
      {"Get on empty", 0, [](TQueue<int>& q) { q.Get(0); }, "List index out of bounds (0)"},
      {"Pop on empty", 0, [](TQueue<int>& q) { q.Pop(); }, "List index out of bounds (0)"},
      {"PopLast on empty", 0, [](TQueue<int>& q) { q.PopLast(); }, "List index out of bounds (-1)"},
      {"First on empty", 0, [](TQueue<int>& q) { q.First(); }, "List index out of bounds (0)"},
      {"Last on empty", 0, [](TQueue<int>& q) { q.Last(); }, "List index out of bounds (-1)"},
  };
  for (const IndexCase& c : cases) {
    SCOPED_TRACE(c.name);
    TQueue<int> queue;
    for (int i = 0; i < c.pushes; ++i) queue.Push(i + 10);
    EXPECT_EQ(QueueError([&] { c.operation(queue); }), c.message);
    EXPECT_EQ(queue.Count(), c.pushes);
    EXPECT_EQ(Contents(queue).size(), static_cast<std::size_t>(c.pushes));
  }
}

// A queue that held elements and was emptied again keeps its storage; popping it must still
// fail cleanly and leave it usable.
TEST(QueueErrors, PopOnEmptiedQueueFailsAndQueueStaysUsable) {
  TQueue<int> queue;
  queue.Push(1);
  queue.Push(2);
  EXPECT_EQ(queue.Pop(), 1);
  EXPECT_EQ(queue.PopLast(), 2);
  EXPECT_EQ(QueueError([&] { queue.Pop(); }), "List index out of bounds (0)");
  EXPECT_EQ(QueueError([&] { queue.PopLast(); }), "List index out of bounds (-1)");
  queue.Push(3);
  queue.Push(4);
  EXPECT_EQ(Contents(queue), (std::vector<int>{3, 4}));
}

TEST(QueueErrors, CapacityOutOfBoundsIsRejectedAndElementsStay) {
  struct Case {
    int pushes;
    int capacity;
    const char* message;
  };
  const Case cases[] = {
      {3, 2, "List capacity out of bounds (2)"},
      {3, 0, "List capacity out of bounds (0)"},
      {0, -1, "List capacity out of bounds (-1)"},
      {0, 134217728, "List capacity out of bounds (134217728)"},
      {2, 0x7FFFFFFF, "List capacity out of bounds (2147483647)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.capacity);
    TQueue<int> queue;
    for (int i = 0; i < c.pushes; ++i) queue.Push(i);
    const int capacity = queue.Capacity();
    EXPECT_EQ(QueueError([&] { queue.SetCapacity(c.capacity); }), c.message);
    EXPECT_EQ(queue.Capacity(), capacity);
    EXPECT_EQ(queue.Count(), c.pushes);
  }
}

struct CapacityCase {
  const char* name;
  int initialCapacity;
  int firstPushes;
  int pops;
  int secondPushes;
  int newCapacity;
};

class QueueSetCapacityTest : public QueueModelTest,
                             public testing::WithParamInterface<CapacityCase> {};

TEST_P(QueueSetCapacityTest, KeepsElementsInOrder) {
  const CapacityCase& c = GetParam();
  queue_.SetCapacity(c.initialCapacity);
  Push(c.firstPushes);
  Pop(c.pops);
  Push(c.secondPushes);
  ASSERT_EQ(queue_.Capacity(), c.initialCapacity) << "the setup must not grow the queue";

  queue_.SetCapacity(c.newCapacity);
  EXPECT_EQ(queue_.Capacity(), c.newCapacity);
  ExpectSameAsModel();

  // Head and tail must still agree with the storage: fill past the new capacity, take from
  // both ends, then drain.
  Push(c.newCapacity + 3);
  ExpectSameAsModel();
  PopLast(2);
  Pop(1);
  ExpectSameAsModel();
  Drain();
}

INSTANTIATE_TEST_SUITE_P(
    Queue, QueueSetCapacityTest,
    testing::Values(
        // Not wrapped.
        CapacityCase{"GrowPlain", 8, 5, 2, 0, 20},
        CapacityCase{"ShrinkPlainElementsFit", 8, 3, 1, 0, 3},
        CapacityCase{"ShrinkPlainElementsPastNewEnd", 8, 8, 5, 0, 4},
        CapacityCase{"ShrinkPlainToCountElementsPastNewEnd", 8, 8, 5, 0, 3},
        CapacityCase{"ShrinkPlainHeadPastNewEnd", 12, 10, 8, 0, 5},
        CapacityCase{"ShrinkFullPlainToSame", 4, 4, 0, 0, 4},
        // Wrapped: the head segment sits at the end of the storage, the rest at the front.
        CapacityCase{"GrowWrapped", 8, 8, 6, 4, 20}, CapacityCase{"GrowFullWrapped", 8, 8, 3, 3, 9},
        CapacityCase{"ShrinkWrapped", 8, 8, 6, 4, 7},
        CapacityCase{"ShrinkWrappedToCount", 8, 8, 6, 4, 6},
        CapacityCase{"ShrinkWrappedLongHeadSegment", 12, 12, 2, 1, 11},
        // Empty, with head and tail left in the middle of the storage.
        CapacityCase{"ShrinkEmptiedToZero", 8, 5, 5, 0, 0},
        CapacityCase{"ShrinkEmptied", 8, 7, 7, 0, 2}),
    CaseName{});

TEST_F(QueueModelTest, PopLastTakesFromTheTailAcrossTheWrap) {
  Push(4);  // capacity 4, full
  Pop(1);
  Push(1);  // the tail is now slot 0
  ExpectSameAsModel();
  PopLast(2);  // the tail moves back across the start of the storage
  ExpectSameAsModel();
  Push(2);
  ExpectSameAsModel();
  EXPECT_EQ(queue_.Capacity(), 4);
  Drain();
}

TEST_F(QueueModelTest, PutReplacesTheElementAtItsPosition) {
  queue_.SetCapacity(4);
  Push(4);
  Pop(2);
  Push(2);  // wrapped: positions 2 and 3 are in slots 0 and 1
  for (int i = 0; i < queue_.Count(); ++i) {
    queue_.Put(i, 100 + i);
    model_[static_cast<std::size_t>(i)] = 100 + i;
  }
  ExpectSameAsModel();
  Drain();
}

TEST_F(QueueModelTest, ClearEmptiesAndTheQueueIsReusable) {
  Push(10);
  Pop(3);
  queue_.Clear();
  model_.clear();
  EXPECT_EQ(queue_.Capacity(), 0);
  ExpectSameAsModel();
  EXPECT_EQ(QueueError([&] { queue_.Pop(); }), "List index out of bounds (0)");

  Push(5);
  EXPECT_EQ(queue_.Capacity(), 8);
  ExpectSameAsModel();
  Drain();
}

// A fixed pseudo-random mix of every operation, compared with std::deque after each step.
TEST_F(QueueModelTest, RandomOperationsMatchADeque) {
  std::mt19937 random(12345);
  for (int step = 0; step < 3000; ++step) {
    const auto choice = random() % 10;
    if (choice < 5) {
      Push(1);
    } else if (choice < 7 && !model_.empty()) {
      Pop(1);
    } else if (choice < 9 && !model_.empty()) {
      PopLast(1);
    } else {
      const int count = queue_.Count();
      queue_.SetCapacity(count + static_cast<int>(random() % 6));
    }
    ASSERT_NO_FATAL_FAILURE(ExpectSameAsModel()) << "step " << step;
  }
  Drain();
}

}  // namespace
