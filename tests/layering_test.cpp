// The layering of the product's folders: every project include of every product file must point
// to its own module or to one the table below allows. The table is the one statement of the
// allowed directions (the README's architecture paragraph repeats it).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Module -> the modules its files may include. A module is a folder, or one header of records/.
// A file belongs to the module with the longest matching path prefix.
const std::map<std::string, std::set<std::string>> kAllowed = {
    {"ids", {}},
    {"image", {}},
    {"records/pass_through_request", {}},
    {"platform", {"records/pass_through_request"}},
    {"records/device_entry", {"platform"}},
    {"transport", {"platform", "records/pass_through_request", "records/device_entry"}},
    {"discovery",
     {"transport", "platform", "records/pass_through_request", "records/device_entry"}},
    {"workflow",
     {"ids", "image", "discovery", "transport", "platform", "records/pass_through_request",
      "records/device_entry"}},
    {"platform/linux", {"platform", "records/pass_through_request"}},
    {"platform/windows", {"platform", "records/pass_through_request"}},
    {"emulator", {"platform"}},
    {"platform/emulated", {"platform", "records/pass_through_request", "emulator", "ids"}},
    {"platform/trace", {"platform", "records/pass_through_request"}},
    {"ui", {"platform"}},
    {"ui/headless", {"ui", "platform"}},
    {"ui/qt", {"ui", "platform"}},
    {"ui/win32", {"ui", "platform"}},
    {"res", {"ids", "ui"}},
    {"app",
     {"ids", "image", "records/pass_through_request", "records/device_entry", "platform",
      "transport", "discovery", "workflow", "ui", "res"}},
    {"app/cli",
     {"app", "ids", "image", "records/pass_through_request", "records/device_entry", "platform",
      "platform/emulated", "platform/trace", "emulator", "transport", "discovery", "workflow", "ui",
      "ui/headless", "res"}},
    {"app/gui",
     {"app", "ids", "image", "records/pass_through_request", "records/device_entry", "platform",
      "platform/linux", "platform/emulated", "emulator", "transport", "discovery", "workflow", "ui",
      "ui/qt", "res", "app/desktop"}},
    {"app/win32",
     {"app", "ids", "image", "records/pass_through_request", "records/device_entry", "platform",
      "platform/emulated", "emulator", "transport", "discovery", "workflow", "ui", "ui/win32",
      "res", "app/desktop"}},
    {"app/desktop",
     {"app", "ids", "image", "records/pass_through_request", "records/device_entry", "platform",
      "platform/emulated", "emulator", "transport", "discovery", "workflow", "ui", "res"}},
    {"tools", {"image", "ui", "res", "ids"}},
};

// The module a path (relative to the source root, without extension for records/) belongs to.
std::string ModuleOf(const std::string& path) {
  std::string best;
  for (const auto& [module, allowed] : kAllowed) {
    const bool matches =
        path.rfind(module, 0) == 0 &&
        (path.size() == module.size() || path[module.size()] == '/' || path[module.size()] == '.');
    if (matches && module.size() > best.size()) best = module;
  }
  return best;
}

TEST(LayeringTest, NoProductFileIncludesAModuleItMayNot) {
  const fs::path root = TR350_SOURCE_DIR;
  const std::regex include(R"re(^\s*#\s*include\s*"([a-z_]+/[^"]+)")re");
  std::vector<std::string> violations;
  std::size_t files = 0;
  for (const char* product : {"ids",
                              "image",
                              "records",
                              "platform",
                              "platform/linux",
                              "platform/windows",
                              "platform/emulated",
                              "platform/trace",
                              "transport",
                              "discovery",
                              "workflow",
                              "emulator",
                              "ui",
                              "ui/headless",
                              "ui/qt",
                              "ui/win32",
                              "res",
                              "app",
                              "app/cli",
                              "app/desktop",
                              "app/gui",
                              "app/win32",
                              "tools"}) {
    for (const fs::directory_entry& entry : fs::directory_iterator(root / product)) {
      const std::string ext = entry.path().extension().string();
      if (ext != ".h" && ext != ".cpp") continue;
      const std::string path = fs::relative(entry.path(), root).generic_string();
      const std::string from = ModuleOf(path);
      EXPECT_FALSE(from.empty()) << path << " belongs to no module of the table";
      if (from.empty()) continue;
      ++files;
      std::ifstream in(entry.path());
      std::string line;
      while (std::getline(in, line)) {
        std::smatch match;
        if (!std::regex_search(line, match, include)) continue;
        const std::string target = ModuleOf(match[1].str());
        if (target.empty() || target == from) continue;  // not a project module, or its own
        if (!kAllowed.at(from).contains(target)) {
          violations.push_back(path + " -> " + match[1].str() + " (" + from + " may not use " +
                               target + ")");
        }
      }
    }
  }
  EXPECT_GT(files, 100u);  // the walk found the product
  for (const std::string& violation : violations) ADD_FAILURE() << violation;
}

// Nothing in the table may point at a module it does not define, nor at itself through a cycle.
TEST(LayeringTest, TheAllowedDirectionsFormNoCycle) {
  std::map<std::string, int> state;  // 0 new, 1 on the path, 2 done
  std::function<bool(const std::string&)> visit = [&](const std::string& module) {
    if (state[module] == 1) return false;
    if (state[module] == 2) return true;
    state[module] = 1;
    for (const std::string& next : kAllowed.at(module)) {
      EXPECT_TRUE(kAllowed.contains(next)) << module << " -> " << next;
      if (kAllowed.contains(next) && !visit(next)) return false;
    }
    state[module] = 2;
    return true;
  };
  for (const auto& [module, allowed] : kAllowed) EXPECT_TRUE(visit(module)) << module;
}

}  // namespace
