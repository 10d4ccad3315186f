// The virtual clock: sleeping moves time and is counted, advancing only moves time, threads lose
// nothing, and time saturates instead of wrapping.
#include "platform/emulated/virtual_clock.h"

#include <gtest/gtest.h>

#include <limits>
#include <thread>
#include <vector>

namespace tr350::platform {
namespace {

TEST(VirtualClockTest, SleepsAndAdvancesFromManyThreadsAddUp) {
  VirtualClock clock(1000);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        clock.Sleep(3);
        clock.Advance(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(clock.NowMs(), 1000u + 4 * 1000 * 4);
  EXPECT_EQ(clock.SleptMs(), 4u * 1000 * 3);
  EXPECT_EQ(clock.SleepCalls(), 4u * 1000);

  clock.Advance(std::numeric_limits<std::uint64_t>::max());
  clock.Sleep(1);
  EXPECT_EQ(clock.NowMs(), std::numeric_limits<std::uint64_t>::max());
}

}  // namespace
}  // namespace tr350::platform
