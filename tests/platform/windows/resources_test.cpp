// The program's own resources read back: this test program carries a stand-in image and a version
// resource (test_resources.rc); the state and absence as the front ends see them.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/native.h"
#include "platform/windows/win_resources.h"

namespace tr350::platform::windows {
namespace {

TEST(WinModuleResourcesTest, ReadsTheCarriedImageAndVersion) {
  const auto resources = OpenProgramResources();
  EXPECT_EQ(resources->ResourceState(), ProgramResources::State::kPresent);

  const auto image = resources->Find(132, 131);
  ASSERT_TRUE(image);
  constexpr std::string_view kText("TR350 test image\0", 17);
  ASSERT_EQ(image->size(), kText.size() + 2);
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(image->data()), kText.size()), kText);
  EXPECT_EQ((*image)[kText.size()], 0x34);  // the rc compiler's words are little-endian
  EXPECT_EQ((*image)[kText.size() + 1], 0x12);

  // The fixed file information's file version, not the product version.
  EXPECT_EQ(resources->ProgramFileVersion(), (FileVersion{3, 1, 4, 159}));
  // The version resource is a resource like the others.
  EXPECT_TRUE(resources->Find(kResourceTypeVersion, 1));
}

TEST(WinModuleResourcesTest, ResourcesTheModuleDoesNotCarryAreAbsentWithoutFailure) {
  WinModuleResources resources;
  ClearLastCause();
  EXPECT_FALSE(resources.Find(132, 130));
  EXPECT_FALSE(resources.Find(133, 131));
  EXPECT_FALSE(LastCause());
}

TEST(WinModuleResourcesTest, AProgramBuiltWithoutResourcesSaysSo) {
  // The probe lies beside this program; it reports through its exit status (resource_probe.cpp).
  std::wstring probe(MAX_PATH, L'\0');
  probe.resize(::GetModuleFileNameW(nullptr, probe.data(), MAX_PATH));
  ASSERT_FALSE(probe.empty());
  probe = probe.substr(0, probe.find_last_of(L"\\/") + 1) + L"tr350_windows_resource_probe.exe";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  std::wstring command = L"\"" + probe + L"\"";
  ASSERT_TRUE(::CreateProcessW(probe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &child));
  ::CloseHandle(child.hThread);
  ASSERT_EQ(::WaitForSingleObject(child.hProcess, 20000), WAIT_OBJECT_0);
  DWORD found = 0xFF;
  ::GetExitCodeProcess(child.hProcess, &found);
  ::CloseHandle(child.hProcess);
  // No resources, no image, no version, and none of it counted as a failure.
  EXPECT_EQ(found, 0U);
}

}  // namespace
}  // namespace tr350::platform::windows
