// A forked child process for the named-mutex tests, with one-byte messages each way.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <utility>

namespace tr350::platform {

// A forked child running `body`, and one-byte messages each way; Receive is false once the other
// side has gone.
class Child {
 public:
  struct Channel {
    int in, out;
    bool Send() const { return ::write(out, "x", 1) == 1; }
    bool Receive() const {
      char c;
      return ::read(in, &c, 1) == 1;
    }
  };
  explicit Child(const std::function<int(const Channel&)>& body) {
    int down[2], up[2];
    if (::pipe(down) != 0 || ::pipe(up) != 0 || (pid_ = ::fork()) < 0) return;
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a test that crashed
      ::close(down[1]);
      ::close(up[0]);
      ::_exit(body(Channel{down[0], up[1]}));  // skips every exit handler
    }
    ::close(down[0]);
    ::close(up[1]);
    channel_ = Channel{up[0], down[1]};
  }
  ~Child() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
    Join();
    ::close(channel_.in);
    ::close(channel_.out);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  const Channel& channel() const { return channel_; }
  // The exit code; -1 when the child did not exit normally.
  int Join() {
    int status = 0;
    if (pid_ <= 0 || ::waitpid(std::exchange(pid_, 0), &status, 0) <= 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  Channel channel_{-1, -1};
};

}  // namespace tr350::platform
