// The virtual adapter's schedule of answers: when each leaves the adapter,
// how a USB bridge's latency timer and its 62-byte packets hand them to
// the host, and which paced answers leave together.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "onewire/sim/answer_schedule.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::sim::AnswerBatch;
using onewire::sim::bridge_packets;
using onewire::sim::paced_batches;

const rtl::TimePoint kOrigin{rtl::Duration(1'000'000'000)};

std::vector<rtl::TimePoint> due_at(std::initializer_list<rtl::Duration> offsets) {
  std::vector<rtl::TimePoint> due;
  for (rtl::Duration d : offsets) due.push_back(kOrigin + d);
  return due;
}

TEST(AnswerSchedule, ABridgeHandsAnswersOverOnTheTickAtOrAfterTheirTime) {
  // Three answers within the first tick, one exactly on the second, one
  // just after it.
  const auto packets = bridge_packets(due_at({1ms, 5ms, 15ms, 16ms, 16ms + 1us}), kOrigin, 16ms);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].begin, 0u);
  EXPECT_EQ(packets[0].end, 4u);  // the one due on the tick goes with it
  EXPECT_EQ(packets[0].at, kOrigin + 16ms);
  EXPECT_EQ(packets[1].begin, 4u);
  EXPECT_EQ(packets[1].end, 5u);
  EXPECT_EQ(packets[1].at, kOrigin + 32ms);
  // None at all: no packet.
  EXPECT_TRUE(bridge_packets({}, kOrigin, 16ms).empty());
}

TEST(AnswerSchedule, AFullPacketLeavesWhenItsLastByteIsDueNotOnTheTick) {
  std::vector<rtl::TimePoint> due;
  for (int i = 0; i < 70; ++i) due.push_back(kOrigin + 1us + i * 87us);
  const auto packets = bridge_packets(due, kOrigin, 16ms);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].end - packets[0].begin, 62u);
  EXPECT_EQ(packets[0].at, due[61]);
  EXPECT_EQ(packets[1].begin, 62u);
  EXPECT_EQ(packets[1].end, 70u);
  EXPECT_EQ(packets[1].at, kOrigin + 16ms);
}

TEST(AnswerSchedule, PacedAnswersCloseTogetherLeaveWithTheLastOfThem) {
  // Echoes 87 us apart go as one, at the last one's time; an answer after
  // a millisecond of bus work goes alone.
  const auto batches = paced_batches(due_at({0us, 87us, 174us, 1174us, 1424us, 1675us}));
  ASSERT_EQ(batches.size(), 3u);
  EXPECT_EQ(batches[0].begin, 0u);
  EXPECT_EQ(batches[0].end, 3u);
  EXPECT_EQ(batches[0].at, kOrigin + 174us);
  EXPECT_EQ(batches[1].end, 5u);  // 250 us apart still counts as together
  EXPECT_EQ(batches[1].at, kOrigin + 1424us);
  EXPECT_EQ(batches[2].begin, 5u);
  EXPECT_EQ(batches[2].at, kOrigin + 1675us);
}

}  // namespace
