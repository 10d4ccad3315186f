// The main of the Qt window tests: the QApplication on the main thread, which is the window's
// thread; offscreen unless the environment names a display platform.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <QtWidgets/QApplication>

// Read by ThreadSanitizer at start-up, before TSAN_OPTIONS. Qt's raster engine fills large areas
// on a thread pool of its own that synchronises through futexes, which ThreadSanitizer cannot see
// inside the uninstrumented Qt libraries, so it would report Qt's own allocations. With this it
// ignores what those libraries do by themselves; our code, locks and threads are still checked.
extern "C" const char* __tsan_default_options() {
  return "ignore_noninstrumented_modules=1";
}

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // The windows' updates keep backups: in a folder of this run's own, never the user's.
  const std::filesystem::path state =
      std::filesystem::temp_directory_path() / ("tr350-qt-state-" + std::to_string(::getpid()));
  std::filesystem::create_directories(state);
  qputenv("XDG_STATE_HOME", QByteArray::fromStdString(state.string()));
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  const int status = RUN_ALL_TESTS();
  std::error_code ignored;
  std::filesystem::remove_all(state, ignored);
  return status;
}
