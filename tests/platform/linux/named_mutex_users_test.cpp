// Linux named mutexes shared between users: processes of root and of two unprivileged users
// taking the same mutex in every order, under each fs.protected_regular setting; objects left by
// earlier versions; files that another user truncated or filled with garbage.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/linux/named_mutex.h"
#include "tests/platform/linux/child_process.h"

namespace tr350::platform {
namespace {

constexpr std::uint32_t kDeviceWaitMs = 5000;  // what every device command waits
constexpr char kProtectedRegular[] = "/proc/sys/fs/protected_regular";

struct User {
  uid_t id;
  const char* label;
};
constexpr User kRoot{0, "root"};
constexpr User kUserA{65534, "user A"};
constexpr User kUserB{65533, "user B"};

// `body` in a child process running as `user` (group of the same number), under the tightest umask
// a user might have. Exit code 100 when the switch failed.
std::function<int(const Child::Channel&)> As(User user,
                                             std::function<int(const Child::Channel&)> body) {
  return [user, body = std::move(body)](const Child::Channel& parent) {
    ::umask(077);
    if (user.id != 0 &&
        (::setgroups(0, nullptr) != 0 || ::setresgid(user.id, user.id, user.id) != 0 ||
         ::setresuid(user.id, user.id, user.id) != 0)) {
      return 100;
    }
    return body(parent);
  };
}

// One run of the tool taking the mutex once: 0 when it opened, took and released it.
int TakeOnce(const std::u16string& name) {
  LinuxMutexes mutexes;
  MutexHandle h = mutexes.Open(name);
  if (!h) return 1;
  if (mutexes.Wait(h, kDeviceWaitMs) != WaitResult::kSignaled) return 2;
  return mutexes.Release(h) ? 0 : 3;
}

std::string ReadSetting() {
  std::ifstream in(kProtectedRegular);
  std::string value;
  in >> value;
  return value;
}

bool WriteSetting(const std::string& value) {
  std::ofstream out(kProtectedRegular);
  out << value << '\n';
  out.close();
  return out.good() && ReadSetting() == value;
}

class NamedMutexUsersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to run processes as other users";
    saved_ = ReadSetting();
  }
  void TearDown() override {
    for (const auto& name : names_) LinuxMutexes::RemoveName(name);
    for (const auto& object : oldObjects_) ::shm_unlink(object.c_str());
    if (!saved_.empty()) WriteSetting(saved_);
  }

  // A name unique to this process, test and `tag`, removed after the test.
  std::u16string Name(const std::string& tag) {
    std::string text = "tr350-test-" + std::to_string(::getpid()) + "-" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" + tag;
    return names_.emplace_back(text.begin(), text.end());
  }
  std::string FilePath(const std::u16string& name) {
    return "/dev/shm" + LinuxMutexes::SharedObjectName(name);
  }

  std::string saved_;
  std::vector<std::u16string> names_;
  std::vector<std::string> oldObjects_;
};

TEST_F(NamedMutexUsersTest, EveryUserSharesTheMutexInEveryOrder) {
  const std::vector<std::pair<User, User>> orders = {
      {kRoot, kUserA}, {kUserA, kRoot}, {kUserA, kUserB}};
  for (const char* setting : {"0", "1", "2"}) {
    if (!WriteSetting(setting)) GTEST_SKIP() << kProtectedRegular << " cannot be written here";
    for (const auto& [first, second] : orders) {
      SCOPED_TRACE(std::string("protected_regular ") + setting + ", " + first.label + " then " +
                   second.label);
      const std::u16string name =
          Name(std::string(setting) + "-" + first.label + "-" + second.label);
      // A finished run of the first user leaves the file behind.
      ASSERT_EQ(Child(As(first, [&](const Child::Channel&) { return TakeOnce(name); })).Join(), 0);

      // The first user holds it; the second is shut out until the first lets go.
      Child holder(As(first, [&](const Child::Channel& parent) {
        LinuxMutexes mutexes;
        MutexHandle h = mutexes.Open(name);
        if (!h || mutexes.Wait(h, 0) != WaitResult::kSignaled || !parent.Send()) return 1;
        parent.Receive();
        return mutexes.Release(h) ? 0 : 2;
      }));
      ASSERT_TRUE(holder.channel().Receive());
      Child waiter(As(second, [&](const Child::Channel& parent) {
        LinuxMutexes mutexes;
        MutexHandle h = mutexes.Open(name);
        if (!h) return 1;
        if (mutexes.Wait(h, 0) != WaitResult::kTimedOut || !parent.Send()) return 2;
        parent.Receive();
        if (mutexes.Wait(h, kDeviceWaitMs) != WaitResult::kSignaled) return 3;
        return mutexes.Release(h) ? 0 : 4;
      }));
      ASSERT_TRUE(waiter.channel().Receive());
      holder.channel().Send();
      EXPECT_EQ(holder.Join(), 0);
      waiter.channel().Send();
      EXPECT_EQ(waiter.Join(), 0);

      // And the first user's next run after the second's.
      EXPECT_EQ(Child(As(first, [&](const Child::Channel&) { return TakeOnce(name); })).Join(), 0);
    }
  }
}

TEST_F(NamedMutexUsersTest, PrivateObjectOfAnEarlierVersionLocksNoOneOut) {
  if (!WriteSetting("2")) GTEST_SKIP() << kProtectedRegular << " cannot be written here";
  const std::u16string name = Name("old");
  // Earlier versions named the object after the name's bytes in hex, kept a page in it, mode 0600.
  std::string old = "/tr350-mutex-x";
  for (char16_t c : name) {
    static constexpr char kDigits[] = "0123456789abcdef";
    old += kDigits[(c >> 4) & 0xF];
    old += kDigits[c & 0xF];
  }
  oldObjects_.push_back(old);
  ASSERT_EQ(Child(As(kUserB,
                     [&](const Child::Channel&) {
                       const int fd = ::shm_open(old.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
                       return fd >= 0 && ::ftruncate(fd, 4096) == 0 ? 0 : 1;
                     }))
                .Join(),
            0);
  for (User user : {kRoot, kUserA, kUserB}) {
    EXPECT_EQ(Child(As(user, [&](const Child::Channel&) { return TakeOnce(name); })).Join(), 0)
        << user.label;
  }
}

TEST_F(NamedMutexUsersTest, TamperedFilesNeverCrashAndAreMendedByTheHolder) {
  const std::u16string name = Name("tampered");
  const std::string path = FilePath(name);
  // What another user does to the world-writable file; 0 when it could.
  auto tamper = [&](const std::function<bool(int)>& act) {
    return Child(As(kUserA,
                    [&](const Child::Channel&) {
                      const int fd = ::open(path.c_str(), O_RDWR);
                      return fd >= 0 && act(fd) ? 0 : 1;
                    }))
        .Join();
  };
  auto truncate = [](off_t size) { return [size](int fd) { return ::ftruncate(fd, size) == 0; }; };
  auto runAs = [&](User user) {
    return Child(As(user, [&](const Child::Channel&) { return TakeOnce(name); })).Join();
  };

  LinuxMutexes mutexes;
  MutexHandle h = mutexes.Open(name);
  ASSERT_EQ(mutexes.Wait(h, 0), WaitResult::kSignaled);
  // Emptied, then grown huge, while this process holds it.
  ASSERT_EQ(tamper(truncate(0)), 0);
  ASSERT_EQ(tamper(truncate(off_t{1} << 40)), 0);
  EXPECT_NE(runAs(kUserB), 0);  // refused while it is not ours
  EXPECT_TRUE(mutexes.Release(h));
  EXPECT_EQ(runAs(kUserB), 0);  // the release wrote it whole again
  ASSERT_EQ(tamper(truncate(0)), 0);
  EXPECT_EQ(runAs(kUserB), 0);  // an empty file is taken over

  // Garbage of the right size: not opened anew; a holder cannot vouch for the last owner.
  ASSERT_EQ(tamper([](int fd) {
              std::vector<char> junk(4096, '\xA5');
              return ::ftruncate(fd, 0) == 0 && ::write(fd, junk.data(), 796) == 796;
            }),
            0);
  EXPECT_NE(runAs(kUserB), 0);
  EXPECT_EQ(mutexes.Wait(h, 0), WaitResult::kAbandoned);
  EXPECT_TRUE(mutexes.Release(h));
  EXPECT_EQ(runAs(kUserB), 0);
  EXPECT_EQ(mutexes.Wait(h, 0), WaitResult::kSignaled);
  EXPECT_TRUE(mutexes.Release(h));
}

}  // namespace
}  // namespace tr350::platform
