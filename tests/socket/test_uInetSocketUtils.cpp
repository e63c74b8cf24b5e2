#include "socket/uInetSocketUtils.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "support/Loopback.h"

namespace {

using uInetSocketUtils::TInetSocketPacket;
using uInetSocketUtils::TInetSocketPacketQueue;

std::vector<std::string> Drain(TInetSocketPacketQueue& queue) {
  std::vector<std::string> data;
  TInetSocketPacket packet;
  while (queue.Pop(packet)) data.push_back(packet.Data);
  return data;
}

void PushAll(TInetSocketPacketQueue& queue, const std::string& names) {
  for (char c : names) queue.Push({"127.0.0.1", 1, std::string(1, c)});
}

TEST(InetSocketPacketQueue, KeepsTheNewestPacketsItsCapacityAllows) {
  struct TCase {
    int capacity;
    const char* pushed;
    int newCapacity;  // applied after the pushes; 99: none
    const char* pushedAfter;
    std::vector<std::string> kept;
  };
  const TCase cases[] = {
      {-1, "ABC", 99, "", {"A", "B", "C"}},
      {-7, "ABC", 99, "", {"A", "B", "C"}},
      {0, "ABC", 99, "", {}},
      {1, "ABC", 99, "", {"C"}},
      {2, "ABC", 99, "", {"B", "C"}},
      {2, "ABC", 1, "", {"C"}},
      {2, "ABC", 0, "D", {}},
      {3, "AB", -1, "CDE", {"A", "B", "C", "D", "E"}},
      {-1, "ABCDE", 3, "F", {"D", "E", "F"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.capacity) + " " + c.pushed + " -> " +
                 std::to_string(c.newCapacity));
    TInetSocketPacketQueue queue;
    queue.SetCapacity(c.capacity);
    PushAll(queue, c.pushed);
    if (c.newCapacity != 99) queue.SetCapacity(c.newCapacity);
    PushAll(queue, c.pushedAfter);
    EXPECT_EQ(queue.Count(), static_cast<int>(c.kept.size()));
    EXPECT_EQ(Drain(queue), c.kept);
  }
}

TEST(InetSocketPacketQueue, PopsCopiesWithTheirSenderAndEveryByte) {
  TInetSocketPacketQueue queue;
  EXPECT_EQ(queue.Capacity(), -1);
  TInetSocketPacket packet{"10.1.2.3", 65535, testsupport::AllByteValues()};
  queue.Push(packet);
  packet.Data = "changed";
  TInetSocketPacket popped;
  ASSERT_TRUE(queue.Pop(popped));
  EXPECT_EQ(popped.Host, "10.1.2.3");
  EXPECT_EQ(popped.Port, 65535);
  EXPECT_EQ(popped.Data, testsupport::AllByteValues());
  EXPECT_FALSE(queue.Pop(popped));
  queue.Push(packet);
  queue.Clear();
  EXPECT_FALSE(queue.Pop(popped));
}

TEST(InetSocketPacketQueue, OneWriterAndOneReaderLoseNothing) {
  TInetSocketPacketQueue queue;
  constexpr int kPackets = 20000;
  std::thread writer([&] {
    for (int i = 0; i < kPackets; ++i) queue.Push({"h", i, std::to_string(i)});
  });
  int next = 0;
  TInetSocketPacket packet;
  testsupport::WaitUntil([&] {
    while (queue.Pop(packet)) {
      EXPECT_EQ(packet.Port, next);
      ++next;
    }
    return next == kPackets;
  });
  writer.join();
  EXPECT_EQ(next, kPackets);
}

}  // namespace
