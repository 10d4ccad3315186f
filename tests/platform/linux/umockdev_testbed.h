// Set-up shared by the tests that run under umockdev-wrapper: the preload check and loading a
// testbed file (testbeds/*.umockdev, which may carry '#' comment lines).
#pragma once

#include <umockdev.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tr350::test {

// True when umockdev's preload is in place; without it the tests would reach the real /sys and
// /dev.
inline ::testing::AssertionResult UnderUmockdev() {
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "run this binary under umockdev-wrapper";
}

// Adds the devices of a testbed file and returns their sysfs paths in the file's order (parents
// before children).
inline std::vector<std::string> LoadTestbed(UMockdevTestbed* bed, const std::string& file) {
  std::ifstream in(file);
  EXPECT_TRUE(in) << file;
  std::string text;
  std::vector<std::string> paths;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("#")) continue;  // umockdev's format has no comments
    if (line.starts_with("P: ")) paths.push_back("/sys" + line.substr(3));
    text += line + "\n";
  }
  GError* error = nullptr;
  EXPECT_TRUE(umockdev_testbed_add_from_string(bed, text.c_str(), &error))
      << (error != nullptr ? error->message : "");
  if (error != nullptr) g_error_free(error);
  return paths;
}

}  // namespace tr350::test
