// Requests to end the process while the reader is written, each in a forked child of its own (the
// state is process-wide): deferred by a guard until the write is done, at once without one,
// refused writes once the process is ending; a closed pipe; the standard descriptors repaired.
#include "platform/termination.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include "platform/linux/standard_streams.h"

namespace tr350::platform {
namespace {

struct Pipe {
  Pipe() { EXPECT_EQ(::pipe(fds.data()), 0); }
  ~Pipe() {
    for (int fd : fds) {
      if (fd >= 0) ::close(fd);
    }
  }
  void CloseRead() { ::close(std::exchange(fds[0], -1)); }
  void CloseWrite() { ::close(std::exchange(fds[1], -1)); }
  int Read() const { return fds[0]; }
  int Write() const { return fds[1]; }
  std::array<int, 2> fds{-1, -1};
};

std::string ReadAll(int fd) {
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

char WaitByte(int fd) {
  char byte = 0;
  return ::read(fd, &byte, 1) == 1 ? byte : '\0';
}

void SendByte(int fd, char byte) {
  ASSERT_EQ(::write(fd, &byte, 1), 1);
}

// A child whose error output is captured: runs `body` and exits with what it returns.
struct Child {
  explicit Child(const std::function<int()>& body) {
    pid = ::fork();
    if (pid == 0) {
      ::dup2(err.Write(), STDERR_FILENO);
      ::_exit(body());
    }
    err.CloseWrite();
  }
  // The wait status, and the child's error output.
  int Wait() {
    errors = ReadAll(err.Read());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
  }
  Pipe err;
  pid_t pid = -1;
  std::string errors;
};

std::string MarkerPath() {
  return ::testing::TempDir() + "write_done_" + std::to_string(::getpid());
}

bool Exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

constexpr std::array kEndSignals = {SIGINT, SIGTERM, SIGHUP};

TEST(Termination, ARequestDuringAWriteWaitsForItsEnd) {
  for (const int signal : kEndSignals) {
    SCOPED_TRACE(signal);
    const std::string marker = MarkerPath();
    std::remove(marker.c_str());
    Pipe entered;
    Pipe proceed;
    Child child([&] {
      InstallTerminationHandlers("probe");
      int status = 99;
      {
        CriticalWrite guard;
        if (!guard.Entered()) return 98;
        SendByte(entered.Write(), 'e');
        // The "write": blocked in a read while the request comes; the read resumes after it.
        if (WaitByte(proceed.Read()) != 'g') return 97;
        ::kill(::getpid(), signal);            // a second request: recorded, no second notice
        if (DeferredTermination()) return 96;  // still writing
        if (std::FILE* done = std::fopen(marker.c_str(), "w")) std::fclose(done);
      }
      status = DeferredTermination().value_or(95);
      return status;
    });
    ASSERT_EQ(WaitByte(entered.Read()), 'e');
    ASSERT_EQ(::kill(child.pid, signal), 0);
    SendByte(proceed.Write(), 'g');
    const int status = child.Wait();
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
    EXPECT_TRUE(Exists(marker));
    EXPECT_EQ(child.errors,
              "probe: the reader is being written; the tool will stop when the write is done\n");
    std::remove(marker.c_str());
  }
}

TEST(Termination, WithoutAWriteARequestEndsTheProcessAtOnce) {
  for (const int signal : kEndSignals) {
    SCOPED_TRACE(signal);
    Child child([&] {
      InstallTerminationHandlers("probe");
      { CriticalWrite finished; }  // a write that is over defers nothing
      ::kill(::getpid(), signal);
      return 0;
    });
    const int status = child.Wait();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), signal);
    EXPECT_EQ(child.errors, "");
  }
}

// Once a request is pending, a write that has not started yet never starts, on this thread after
// the guard or on another thread meanwhile; a guard nested in the running write still enters.
// The exit status packs what the child saw.
TEST(Termination, NoNewWriteStartsOnceTheProcessIsEnding) {
  Child child([] {
    InstallTerminationHandlers("probe");
    int seen = 0;
    {
      CriticalWrite outer;
      ::kill(::getpid(), SIGTERM);
      CriticalWrite nested;
      if (nested.Entered()) seen |= 1;
      bool otherEntered = true;
      std::thread([&] { otherEntered = CriticalWrite().Entered(); }).join();
      if (!otherEntered) seen |= 2;
    }
    if (!CriticalWrite().Entered()) seen |= 4;
    if (DeferredTermination() == 128 + SIGTERM) seen |= 8;
    return seen;
  });
  const int status = child.Wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1 | 2 | 4 | 8);
}

TEST(Termination, AClosedPipeIsAnOutputErrorNotTheEnd) {
  Pipe pipe;
  pipe.CloseRead();
  Child child([&] {
    IgnoreBrokenPipe();
    CriticalWrite guard;
    const ssize_t written = ::write(pipe.Write(), "x", 1);
    return written == -1 && errno == EPIPE ? 0 : 1;
  });
  const int status = child.Wait();
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A program started with its standard input and output closed: what it opens next must not take
// their places, and what it writes goes nowhere.
TEST(StandardDescriptors, ClosedOnesAreOpenedOnDevNull) {
  Child child([] {
    ::close(STDIN_FILENO);
    ::close(STDOUT_FILENO);
    if (!OpenMissingStandardDescriptors()) return 1;
    const int opened = ::open("/proc/self/exe", O_RDONLY);
    if (opened <= STDERR_FILENO) return 2;
    struct stat out {};
    struct stat null {};
    if (::fstat(STDOUT_FILENO, &out) != 0 || ::stat("/dev/null", &null) != 0) return 3;
    if (out.st_rdev != null.st_rdev) return 4;
    if (::write(STDOUT_FILENO, "x", 1) != 1 || ::read(STDIN_FILENO, &out, 1) != 0) return 5;
    return 0;
  });
  const int status = child.Wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tr350::platform
