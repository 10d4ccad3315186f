// The thread-exit slot on Windows: each thread's value is cleaned up as that thread ends, and the
// emulated mutexes that rest on it abandon what an ending thread owned.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/emulated/emulated_mutexes.h"
#include "platform/emulated/virtual_clock.h"
#include "platform/thread_exit.h"

namespace tr350::platform {
namespace {

std::atomic<int> g_cleaned{0};

TEST(ThreadExitSlotTest, EachEndingThreadCleansUpItsOwnValue) {
  static ThreadExitSlot* const slot = new ThreadExitSlot([](void* value) {
    g_cleaned += *static_cast<int*>(value);
    delete static_cast<int*>(value);
  });
  EXPECT_EQ(slot->Get(), nullptr);
  std::vector<std::thread> threads;
  for (int i = 1; i <= 4; ++i) {
    threads.emplace_back([i] {
      ASSERT_TRUE(slot->Set(new int(i)));
      EXPECT_EQ(*static_cast<int*>(slot->Get()), i);
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(g_cleaned, 1 + 2 + 3 + 4);
  EXPECT_EQ(slot->Get(), nullptr);  // this thread set nothing
}

TEST(ThreadExitSlotTest, AThreadEndingOwningAnEmulatedMutexAbandonsIt) {
  VirtualClock clock;
  EmulatedMutexes mutexes(clock);
  const MutexHandle handle = mutexes.Open(u"[Device0000]");
  ASSERT_TRUE(handle);
  std::thread([&] { ASSERT_EQ(mutexes.Wait(handle, 0), WaitResult::kSignaled); }).join();
  EXPECT_EQ(mutexes.Wait(handle, 0), WaitResult::kAbandoned);
  EXPECT_TRUE(mutexes.Release(handle));
  mutexes.Close(handle);
}

}  // namespace
}  // namespace tr350::platform
