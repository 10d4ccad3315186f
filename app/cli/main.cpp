// Entry point of the terminal front end: the process set up so that neither a signal nor an
// output error cuts a write to the reader short, the command, then the exit status.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string_view>
#include <vector>

#include "app/cli/cli.h"
#include "platform/native.h"
#include "platform/termination.h"

int main(int argc, char** argv) {
  // Before anything is opened: no reader's node may become the standard output.
  if (!tr350::platform::PrepareStandardStreams()) return tr350::cli::kExitFailure;
  tr350::platform::IgnoreBrokenPipe();
  tr350::platform::InstallTerminationHandlers(tr350::cli::kProgramName);

  const std::vector<std::string_view> args(argv + 1, argv + argc);
  int code = tr350::cli::RunMain(args, std::cout, std::cerr);

  // Output errors only set the stream's state while the command runs; they count now.
  errno = 0;
  std::cout.flush();
  const bool flushed = std::fflush(stdout) == 0;
  const int cause = errno;
  if (!std::cout.good() || !flushed || std::ferror(stdout) != 0) {
    std::cerr << tr350::cli::kProgramName << ": the output could not be written";
    if (cause != 0) std::cerr << " (" << std::strerror(cause) << ")";
    std::cerr << "\n";
    if (code == tr350::cli::kExitOk) code = tr350::cli::kExitFailure;
  }
  if (const auto status = tr350::platform::DeferredTermination()) return *status;
  return code;
}
