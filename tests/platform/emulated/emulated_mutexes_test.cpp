// The emulated mutex service: the semantics of the real kind within one instance, waits that time
// out only on the virtual clock, and the fault hooks.
#include "platform/emulated/emulated_mutexes.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <thread>

#include "platform/emulated/virtual_clock.h"

namespace tr350::platform {
namespace {

constexpr std::uint32_t kDeviceWaitMs = 5000;
constexpr std::u16string_view kName = u"[Device0000]";

template <class F>
auto OnOtherThread(F f) {
  return std::async(std::launch::async, std::move(f)).get();
}

class EmulatedMutexesTest : public ::testing::Test {
 protected:
  // Holds the mutex on another thread until the returned promise is set.
  std::promise<void> HoldOnOtherThread(MutexHandle h) {
    std::promise<void> owned, letGo;
    std::future<void> isOwned = owned.get_future();
    holder_ = std::thread([this, h, owned = std::move(owned), done = letGo.get_future()]() mutable {
      mutexes_.Wait(h, 0);
      owned.set_value();
      done.wait();
      mutexes_.Release(h);
    });
    isOwned.wait();
    return letGo;
  }
  void TearDown() override {
    if (holder_.joinable()) holder_.join();
  }

  VirtualClock clock_;
  EmulatedMutexes mutexes_{clock_};
  std::thread holder_;
};

TEST_F(EmulatedMutexesTest, OwnershipIsPerThreadRecursiveAndSharedByHandlesOfOneName) {
  MutexHandle h = mutexes_.Open(kName);
  MutexHandle second = mutexes_.Open(kName);
  MutexHandle other = mutexes_.Open(u"[Device check chip]");
  EmulatedMutexes separate(clock_);
  MutexHandle elsewhere = separate.Open(kName);
  ASSERT_TRUE(h && second && other && elsewhere);
  EXPECT_FALSE(mutexes_.Release(h));

  for (int i = 0; i < 3; ++i) ASSERT_EQ(mutexes_.Wait(h, 0), WaitResult::kSignaled);
  EXPECT_FALSE(OnOtherThread([&] { return mutexes_.Release(h); }));
  EXPECT_EQ(OnOtherThread([&] { return mutexes_.Wait(other, 0); }), WaitResult::kSignaled);
  EXPECT_EQ(OnOtherThread([&] { return separate.Wait(elsewhere, 0); }), WaitResult::kSignaled);
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(mutexes_.Release(h));
    EXPECT_EQ(OnOtherThread([&] { return mutexes_.Wait(second, 0); }), WaitResult::kTimedOut);
  }
  ASSERT_TRUE(mutexes_.Release(second));
  EXPECT_FALSE(mutexes_.Release(h));
  EmulatedMutexes::NameState state = mutexes_.State(kName);
  EXPECT_EQ(state.waits, 5u);
  EXPECT_EQ(state.releases, 3u);
  EXPECT_EQ(state.failedReleases, 3u);
}

TEST_F(EmulatedMutexesTest, ClosedHandlesFailAndTheLastCloseForgetsTheMutex) {
  MutexHandle h = mutexes_.Open(kName);
  MutexHandle second = mutexes_.Open(kName);
  ASSERT_EQ(mutexes_.Wait(h, 0), WaitResult::kSignaled);
  mutexes_.Close(h);
  EXPECT_EQ(mutexes_.Wait(h, 0), WaitResult::kFailed);
  EXPECT_FALSE(mutexes_.Release(h));
  EXPECT_EQ(mutexes_.Wait(MutexHandle{}, 0), WaitResult::kFailed);
  EXPECT_EQ(OnOtherThread([&] { return mutexes_.Wait(second, 0); }), WaitResult::kTimedOut);

  // With no handle left the name starts afresh, though the old owner never released.
  mutexes_.Close(second);
  MutexHandle fresh = mutexes_.Open(kName);
  EXPECT_TRUE(fresh != h && fresh != second);
  EXPECT_EQ(OnOtherThread([&] { return mutexes_.Wait(fresh, 0); }), WaitResult::kSignaled);
  EXPECT_FALSE(mutexes_.Open(u""));
  EXPECT_FALSE(mutexes_.Open(std::u16string(261, u'x')));
}

TEST_F(EmulatedMutexesTest, WaitEndsOnReleaseOrWhenTheVirtualClockPassesItsDeadline) {
  MutexHandle h = mutexes_.Open(kName);
  std::promise<void> letGo = HoldOnOtherThread(h);

  auto waiter = std::async(std::launch::async, [&] { return mutexes_.Wait(h, kDeviceWaitMs); });
  mutexes_.AwaitBlockedWaiters(kName, 1);
  clock_.Advance(kDeviceWaitMs - 1);
  EXPECT_EQ(waiter.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  clock_.Advance(1);
  EXPECT_EQ(waiter.get(), WaitResult::kTimedOut);

  // A holder that sleeps on the clock (a long erase) times the waiter out the same way.
  std::thread sleeper([&] {
    mutexes_.AwaitBlockedWaiters(kName, 1);
    clock_.Sleep(kDeviceWaitMs);
  });
  EXPECT_EQ(mutexes_.Wait(h, kDeviceWaitMs), WaitResult::kTimedOut);
  sleeper.join();
  EXPECT_EQ(clock_.NowMs(), 2 * kDeviceWaitMs);  // waiters moved no time themselves

  waiter = std::async(std::launch::async, [&] {
    WaitResult r = mutexes_.Wait(h, kDeviceWaitMs);
    mutexes_.Release(h);
    return r;
  });
  mutexes_.AwaitBlockedWaiters(kName, 1);
  letGo.set_value();
  EXPECT_EQ(waiter.get(), WaitResult::kSignaled);
  EXPECT_EQ(clock_.NowMs(), 2 * kDeviceWaitMs);
}

TEST_F(EmulatedMutexesTest, InjectedWaitResultsAndOpenFailures) {
  MutexHandle h = mutexes_.Open(kName);
  MutexHandle other = mutexes_.Open(u"[Device0001]");

  mutexes_.InjectWaitResult(WaitResult::kTimedOut);
  EXPECT_EQ(mutexes_.Wait(h, kDeviceWaitMs), WaitResult::kTimedOut);
  EXPECT_EQ(clock_.SleptMs(), kDeviceWaitMs);  // took its full time
  mutexes_.InjectWaitResult(WaitResult::kFailed);
  EXPECT_EQ(mutexes_.Wait(h, kDeviceWaitMs), WaitResult::kFailed);
  EXPECT_FALSE(mutexes_.State(kName).owned);
  mutexes_.InjectWaitResult(WaitResult::kAbandoned);
  EXPECT_EQ(mutexes_.Wait(h, 0), WaitResult::kAbandoned);
  EXPECT_TRUE(mutexes_.State(kName).ownedByCaller);
  EXPECT_TRUE(mutexes_.Release(h));

  // Name-scoped injections touch only that name, come before general ones, and run out.
  mutexes_.InjectWaitResult(WaitResult::kTimedOut);
  mutexes_.InjectWaitResult(kName, WaitResult::kFailed, 2);
  EXPECT_EQ(mutexes_.Wait(other, 0), WaitResult::kTimedOut);
  EXPECT_EQ(mutexes_.Wait(h, 0), WaitResult::kFailed);
  EXPECT_EQ(mutexes_.Wait(h, 0), WaitResult::kFailed);
  EXPECT_EQ(mutexes_.Wait(h, 0), WaitResult::kSignaled);
  EXPECT_TRUE(mutexes_.Release(h));

  mutexes_.InjectWaitResult(kName, WaitResult::kFailed, EmulatedMutexes::kEveryTime);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(mutexes_.Wait(h, 0), WaitResult::kFailed);
  mutexes_.FailOpens(kName);
  EXPECT_FALSE(mutexes_.Open(kName));
  mutexes_.ClearInjections();
  EXPECT_TRUE(mutexes_.Open(kName));
  EXPECT_EQ(mutexes_.Wait(h, 0), WaitResult::kSignaled);
}

TEST_F(EmulatedMutexesTest, DeadOwnersLeaveTheMutexAbandonedToTheNextWaiter) {
  MutexHandle h = mutexes_.Open(kName);
  std::promise<void> letGo = HoldOnOtherThread(h);
  auto waiter = std::async(std::launch::async, [&] {
    WaitResult r = mutexes_.Wait(h, kDeviceWaitMs);
    return std::pair(r, mutexes_.Release(h));
  });
  mutexes_.AwaitBlockedWaiters(kName, 1);
  EXPECT_TRUE(mutexes_.SimulateOwnerDeath(kName));
  EXPECT_EQ(waiter.get(), std::pair(WaitResult::kAbandoned, true));
  letGo.set_value();
  holder_.join();
  EXPECT_EQ(mutexes_.State(kName).failedReleases, 1u);  // the "dead" holder owned it no more

  EXPECT_TRUE(mutexes_.SimulateOwnerDeath(kName));  // nobody owned it: another process did
  EXPECT_EQ(mutexes_.Wait(h, 0), WaitResult::kAbandoned);
  EXPECT_TRUE(mutexes_.Release(h));
  EXPECT_FALSE(mutexes_.SimulateOwnerDeath(u"never opened"));

  std::thread([&] { mutexes_.Wait(h, 0); }).join();  // really ends while owning
  EXPECT_EQ(mutexes_.Wait(h, 0), WaitResult::kAbandoned);
  EXPECT_EQ(mutexes_.Wait(h, 0), WaitResult::kSignaled);

  // A thread may outlive the service whose mutex it owns.
  auto service = std::make_unique<EmulatedMutexes>(clock_);
  std::promise<void> serviceGone;
  std::promise<void> owned;
  std::thread late([&, h2 = service->Open(kName)] {
    service->Wait(h2, kDeviceWaitMs);
    owned.set_value();
    serviceGone.get_future().wait();
  });
  owned.get_future().wait();
  service.reset();
  serviceGone.set_value();
  late.join();
}

}  // namespace
}  // namespace tr350::platform
