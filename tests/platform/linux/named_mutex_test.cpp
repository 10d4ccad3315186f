// Linux named mutexes: ownership between threads, the same between processes (forked children),
// owner death, racing creation, removed names, leftovers of dead creators, and the mapping of
// awkward names. Sharing between users is in named_mutex_users_test.cpp.
#include "platform/linux/named_mutex.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/platform/linux/child_process.h"

namespace tr350::platform {
namespace {

constexpr std::uint32_t kDeviceWaitMs = 5000;  // what every device command waits

template <class F>
auto OnOtherThread(F f) {
  return std::async(std::launch::async, std::move(f)).get();
}

class NamedMutexTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto& name : names_) LinuxMutexes::RemoveName(name);
  }
  // A name of this process and test ending in `suffix`, at least `length` units long; cleared of
  // leftovers from a crashed run first and removed after the test.
  std::u16string Name(std::u16string_view suffix, std::size_t length = 0) {
    std::string prefix = "tr350-test-" + std::to_string(::getpid()) + "-" +
                         ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-";
    std::u16string name(prefix.begin(), prefix.end());
    if (name.size() + suffix.size() < length) name.resize(length - suffix.size(), u'n');
    name += suffix;
    LinuxMutexes::RemoveName(name);
    return names_.emplace_back(name);
  }

  LinuxMutexes mutexes_;
  std::vector<std::u16string> names_;
};

TEST_F(NamedMutexTest, OwnershipIsPerThreadRecursiveAndSharedByHandlesOfOneName) {
  std::u16string name = Name(u"[Device check chip]");
  MutexHandle h = mutexes_.Open(name);
  MutexHandle second = mutexes_.Open(name);
  ASSERT_TRUE(h && second);
  EXPECT_NE(h, second);
  EXPECT_FALSE(mutexes_.Release(h));  // owned by nobody

  for (int i = 0; i < 3; ++i) ASSERT_EQ(mutexes_.Wait(h, 0), WaitResult::kSignaled);
  EXPECT_FALSE(OnOtherThread([&] { return mutexes_.Release(h); }));
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(mutexes_.Release(h));
    EXPECT_EQ(OnOtherThread([&] { return mutexes_.Wait(second, 0); }), WaitResult::kTimedOut);
  }
  ASSERT_TRUE(mutexes_.Release(second));  // any handle of the name releases for its owner
  EXPECT_FALSE(mutexes_.Release(h));

  // Threads with their own instances count without losing an update; ThreadSanitizer also sees a
  // race on `count` should the mutex ever fail to exclude.
  int count = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      LinuxMutexes own;
      MutexHandle mine = own.Open(name);
      for (int i = 0; i < 500 && own.Wait(mine, kDeviceWaitMs) == WaitResult::kSignaled; ++i) {
        ++count;
        own.Release(mine);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(count, 2000);
}

TEST_F(NamedMutexTest, ClosedStaleAndForeignHandlesFail) {
  std::u16string name = Name(u"[Device0000]");
  MutexHandle h = mutexes_.Open(name);
  MutexHandle second = mutexes_.Open(name);
  ASSERT_EQ(mutexes_.Wait(h, 0), WaitResult::kSignaled);
  const MutexHandle staleCopy = h;
  mutexes_.Close(h);
  mutexes_.Close(staleCopy);  // a second close does nothing

  EXPECT_EQ(mutexes_.Wait(staleCopy, 0), WaitResult::kFailed);
  EXPECT_FALSE(mutexes_.Release(staleCopy));
  EXPECT_EQ(OnOtherThread([&] { return mutexes_.Wait(second, 0); }), WaitResult::kTimedOut);
  EXPECT_TRUE(mutexes_.Release(second));  // closing did not release

  EXPECT_NE(mutexes_.Open(name), staleCopy);  // values are not reused
  EXPECT_EQ(mutexes_.Wait(MutexHandle{}, 0), WaitResult::kFailed);
  LinuxMutexes other;
  EXPECT_EQ(mutexes_.Wait(other.Open(name), 0), WaitResult::kFailed);
}

TEST_F(NamedMutexTest, ThreadThatEndsOwningLeavesItAbandoned) {
  MutexHandle h = mutexes_.Open(Name(u"[Device0001]"));
  std::thread([&] { mutexes_.Wait(h, 0); }).join();

  EXPECT_EQ(mutexes_.Wait(h, kDeviceWaitMs), WaitResult::kAbandoned);
  EXPECT_EQ(OnOtherThread([&] { return mutexes_.Wait(h, 0); }), WaitResult::kTimedOut);
  EXPECT_TRUE(mutexes_.Release(h));
  EXPECT_EQ(mutexes_.Wait(h, 0), WaitResult::kSignaled);  // consistent again
  EXPECT_TRUE(mutexes_.Release(h));
}

TEST_F(NamedMutexTest, AwkwardNamesOpenAndStayApart) {
  std::vector<std::u16string> names = {
      Name(u"a/b"),        Name(u"a_b"),    Name(u"a\\b"),   Name(u"../x y"),
      Name(u"\U0001F512"), Name(u"\xD800"), Name(u"1", 100), Name(u"1", 101),  // to hashing
      Name(u"1", 260),     Name(u"2", 260),
  };
  std::vector<MutexHandle> handles;
  for (const auto& name : names) {
    handles.push_back(mutexes_.Open(name));
    ASSERT_TRUE(handles.back()) << handles.size() - 1;
  }
  for (std::size_t held = 0; held < names.size(); ++held) {
    ASSERT_EQ(mutexes_.Wait(handles[held], 0), WaitResult::kSignaled);
    OnOtherThread([&] {
      for (std::size_t i = 0; i < names.size(); ++i) {
        auto expected = i == held ? WaitResult::kTimedOut : WaitResult::kSignaled;
        EXPECT_EQ(mutexes_.Wait(handles[i], 0), expected) << "held " << held << ", tried " << i;
        if (expected == WaitResult::kSignaled) mutexes_.Release(handles[i]);
      }
    });
    mutexes_.Release(handles[held]);
  }
  EXPECT_FALSE(mutexes_.Open(u""));
  EXPECT_FALSE(mutexes_.Open(Name(u"1", 261)));
}

TEST_F(NamedMutexTest, LeftoversOfADeadCreatorAreFinishedAndForeignObjectsRefused) {
  auto makeObject = [](const std::u16string& name, off_t size) {
    int fd = ::shm_open(LinuxMutexes::SharedObjectName(name).c_str(), O_RDWR | O_CREAT, 0600);
    bool made = fd >= 0 && ::ftruncate(fd, size) == 0;
    ::close(fd);
    return made;
  };
  std::u16string halfMade = Name(u"[Device0005]");
  ASSERT_TRUE(makeObject(halfMade, 0));  // a creator that died before it got further
  MutexHandle h = mutexes_.Open(halfMade);
  ASSERT_EQ(mutexes_.Wait(h, 0), WaitResult::kSignaled);
  EXPECT_EQ(OnOtherThread([&] { return mutexes_.Wait(mutexes_.Open(halfMade), 0); }),
            WaitResult::kTimedOut);
  EXPECT_TRUE(mutexes_.Release(h));

  std::u16string foreign = Name(u"[Device0006]");
  ASSERT_TRUE(makeObject(foreign, 4096));
  EXPECT_FALSE(mutexes_.Open(foreign));
}

TEST_F(NamedMutexTest, WaitTimesOutWhileAnotherProcessHolds) {
  std::u16string name = Name(u"[Device0002]");
  Child holder([&](const Child::Channel& parent) {
    LinuxMutexes own;
    MutexHandle h = own.Open(name);
    if (own.Wait(h, 0) != WaitResult::kSignaled || !parent.Send()) return 1;
    parent.Receive();
    return own.Release(h) ? 0 : 2;
  });
  ASSERT_TRUE(holder.channel().Receive());

  MutexHandle h = mutexes_.Open(name);
  EXPECT_FALSE(mutexes_.Release(h));
  EXPECT_EQ(mutexes_.Wait(h, kDeviceWaitMs), WaitResult::kTimedOut);
  holder.channel().Send();
  EXPECT_EQ(holder.Join(), 0);
  EXPECT_EQ(mutexes_.Wait(h, kDeviceWaitMs), WaitResult::kSignaled);
  EXPECT_TRUE(mutexes_.Release(h));
}

TEST_F(NamedMutexTest, ProcessThatDiesOwningLeavesItAbandonedToTheWaiter) {
  std::u16string name = Name(u"[Device0003]");
  Child holder([&](const Child::Channel& parent) {
    LinuxMutexes own;
    MutexHandle h = own.Open(name);
    if (own.Wait(h, 0) != WaitResult::kSignaled || own.Wait(h, 0) != WaitResult::kSignaled) {
      return 1;
    }
    parent.Send();
    parent.Receive();
    return 0;  // exits owning it twice
  });
  ASSERT_TRUE(holder.channel().Receive());
  MutexHandle h = mutexes_.Open(name);
  holder.channel().Send();
  // Whether the child dies before or during the wait, the wait ends abandoned.
  EXPECT_EQ(mutexes_.Wait(h, kDeviceWaitMs), WaitResult::kAbandoned);
  EXPECT_EQ(holder.Join(), 0);
  EXPECT_EQ(OnOtherThread([&] { return mutexes_.Wait(h, 0); }), WaitResult::kTimedOut);
  EXPECT_TRUE(mutexes_.Release(h));  // owned once, whatever the dead owner's count was
  EXPECT_FALSE(mutexes_.Release(h));
}

TEST_F(NamedMutexTest, ThreadThatEndsOwningLeavesItAbandonedToOtherProcesses) {
  std::u16string name = Name(u"[Device0007]");
  Child process([&](const Child::Channel& parent) {
    LinuxMutexes own;
    MutexHandle h = own.Open(name);
    WaitResult taken = WaitResult::kFailed;
    std::thread([&] { taken = own.Wait(h, 0); }).join();
    if (taken != WaitResult::kSignaled || !parent.Send()) return 1;
    parent.Receive();  // stays alive while the parent waits
    return 0;
  });
  ASSERT_TRUE(process.channel().Receive());
  MutexHandle h = mutexes_.Open(name);
  EXPECT_EQ(mutexes_.Wait(h, kDeviceWaitMs), WaitResult::kAbandoned);
  EXPECT_TRUE(mutexes_.Release(h));
  EXPECT_EQ(mutexes_.Wait(h, 0), WaitResult::kSignaled);
  EXPECT_TRUE(mutexes_.Release(h));
  process.channel().Send();
  EXPECT_EQ(process.Join(), 0);
}

TEST_F(NamedMutexTest, HolderOfARemovedNameMovesToItsNewFile) {
  std::u16string name = Name(u"[Device0008]");
  MutexHandle h = mutexes_.Open(name);
  ASSERT_TRUE(h);
  ASSERT_TRUE(LinuxMutexes::RemoveName(name));
  Child holder([&](const Child::Channel& parent) {
    LinuxMutexes own;
    MutexHandle mine = own.Open(name);  // makes a new file
    if (own.Wait(mine, 0) != WaitResult::kSignaled || !parent.Send()) return 1;
    parent.Receive();
    return own.Release(mine) ? 0 : 2;
  });
  ASSERT_TRUE(holder.channel().Receive());
  EXPECT_EQ(mutexes_.Wait(h, 0), WaitResult::kTimedOut);
  holder.channel().Send();
  EXPECT_EQ(holder.Join(), 0);
  EXPECT_EQ(mutexes_.Wait(h, kDeviceWaitMs), WaitResult::kSignaled);
  EXPECT_TRUE(mutexes_.Release(h));
}

TEST_F(NamedMutexTest, ProcessesRacingToCreateANameShareOneMutex) {
  constexpr int kChildren = 6;
  constexpr int kWon = 10;
  constexpr int kLost = 11;
  for (char16_t attempt = u'a'; attempt <= u'h'; ++attempt) {
    std::u16string name = Name(std::u16string(u"[Device0004] ") + attempt);
    int gun[2];
    ASSERT_EQ(::pipe(gun), 0);
    std::vector<std::unique_ptr<Child>> children;
    for (int c = 0; c < kChildren; ++c) {
      children.push_back(std::make_unique<Child>([&](const Child::Channel& parent) {
        char go;
        if (::read(gun[0], &go, 1) != 1) return 1;
        LinuxMutexes own;
        MutexHandle h = own.Open(name);
        if (!h) return 2;
        // Whoever is first keeps it until every child has tried, so exactly one may win.
        WaitResult result = own.Wait(h, 0);
        if (!parent.Send() || !parent.Receive()) return 3;
        if (result == WaitResult::kSignaled) return own.Release(h) ? kWon : 4;
        return result == WaitResult::kTimedOut ? kLost : 5;
      }));
    }
    ASSERT_EQ(::write(gun[1], "xxxxxx", kChildren), kChildren);  // all start at once
    for (auto& child : children) ASSERT_TRUE(child->channel().Receive());
    MutexHandle h = mutexes_.Open(name);
    EXPECT_EQ(mutexes_.Wait(h, 0), WaitResult::kTimedOut);
    for (auto& child : children) child->channel().Send();
    std::vector<int> codes;
    for (auto& child : children) codes.push_back(child->Join());
    EXPECT_EQ(std::count(codes.begin(), codes.end(), kWon), 1);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), kLost), kChildren - 1);
    EXPECT_EQ(mutexes_.Wait(h, 0), WaitResult::kSignaled);
    EXPECT_TRUE(mutexes_.Release(h));
    ::close(gun[0]);
    ::close(gun[1]);
  }
}

}  // namespace
}  // namespace tr350::platform
