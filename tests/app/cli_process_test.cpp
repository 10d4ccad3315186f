// The terminal front end as a process: output that cannot be written (a full disk, a closed pipe,
// a closed descriptor) and a damaged program file, with the exit statuses a script sees.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/platform/linux/damaged_program.h"

namespace tr350::test {
namespace {

enum class Output { kDevFull, kClosedPipe, kClosed };

struct Finished {
  int status = 0;
  std::string err;
  bool Exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

// Runs the program with the arguments, its output as chosen, its error output captured.
Finished RunProgram(const std::string& program, std::vector<std::string> args, Output output) {
  std::array<int, 2> err{};
  std::array<int, 2> out{};
  EXPECT_EQ(::pipe(err.data()), 0);
  EXPECT_EQ(::pipe(out.data()), 0);
  ::close(out[0]);  // the reader of the output is gone before anything is written
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(err[1], STDERR_FILENO);
    if (output == Output::kDevFull) {
      ::dup2(::open("/dev/full", O_WRONLY), STDOUT_FILENO);
    } else if (output == Output::kClosedPipe) {
      ::dup2(out[1], STDOUT_FILENO);
    } else {
      ::close(STDOUT_FILENO);
    }
    ::signal(SIGPIPE, SIG_DFL);  // as a shell starts it, whatever this test process does
    std::string path = program;
    std::vector<char*> argv{path.data()};
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(err[1]);
  ::close(out[1]);
  Finished run;
  char buffer[256];
  for (ssize_t n; (n = ::read(err[0], buffer, sizeof buffer)) > 0;) {
    run.err.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(err[0]);
  ::waitpid(pid, &run.status, 0);
  return run;
}

constexpr std::string_view kOutputError = "tr350-fwupdate-cli: the output could not be written";

TEST(CliProcess, OutputErrorsMakeTheStatusNonZeroWithoutCuttingTheCommandShort) {
  // The check still reaches its verdict: "not latest" is kept, success becomes failure.
  const Finished notLatest =
      RunProgram(TR350_CLI_PROGRAM, {"--simulate", "check", "--progress=none"}, Output::kDevFull);
  EXPECT_TRUE(notLatest.Exited(3)) << notLatest.status << notLatest.err;
  EXPECT_NE(notLatest.err.find(kOutputError), std::string::npos) << notLatest.err;

  for (const Output output : {Output::kDevFull, Output::kClosedPipe}) {
    const Finished update =
        RunProgram(TR350_CLI_PROGRAM, {"--simulate", "update", "--progress=lines"}, output);
    ASSERT_FALSE(WIFSIGNALED(update.status)) << "ended by signal " << WTERMSIG(update.status);
    EXPECT_TRUE(update.Exited(1)) << update.err;
    EXPECT_NE(update.err.find(kOutputError), std::string::npos) << update.err;
  }
  const Finished info = RunProgram(TR350_CLI_PROGRAM, {"info"}, Output::kClosedPipe);
  EXPECT_TRUE(info.Exited(1)) << info.status << info.err;
}

// Closed at start, the standard output is /dev/null: writing to it is no error.
TEST(CliProcess, AClosedStandardOutputIsNotAnError) {
  const Finished run = RunProgram(TR350_CLI_PROGRAM, {"--simulate", "list"}, Output::kClosed);
  EXPECT_TRUE(run.Exited(0)) << run.status << run.err;
  EXPECT_EQ(run.err, "");
}

TEST(CliProcess, ADamagedProgramFileSaysSoAndExits1) {
  ProgramFile program = ProgramFile::Load(TR350_CLI_PROGRAM);
  ASSERT_NE(program.sectionHeader, 0u);
  // A section size of nearly 2^64: it used to be allocated before it was checked.
  program.Put<std::uint64_t>(program.sectionHeader + offsetof(Elf64_Shdr, sh_size), ~0ull << 8);
  const std::string path = ::testing::TempDir() + "damaged_cli_" + std::to_string(::getpid());
  program.Save(path);
  for (const char* command : {"--version", "info"}) {
    const Finished run = RunProgram(path, {command}, Output::kDevFull);
    EXPECT_TRUE(run.Exited(1)) << run.status << run.err;
    EXPECT_EQ(run.err,
              "tr350-fwupdate-cli: the program file is damaged: its resources cannot be read; "
              "reinstall the tool\n");
  }
  std::remove(path.c_str());
}

}  // namespace
}  // namespace tr350::test
