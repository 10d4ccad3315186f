// The system's named mutexes behind the Mutexes interface: handle values, ownership by thread, and
// a second process (this test program started again) that holds a mutex and dies owning it.
#include <gtest/gtest.h>

#include <windows.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "platform/windows/win_handles.h"
#include "platform/windows/win_mutexes.h"

namespace tr350::platform::windows {
namespace {

constexpr const char* kChildFlag = "--hold-mutex-and-exit";
constexpr DWORD kPatienceMs = 20000;  // a generous bound for a process to start or end, never met

// Names unique to this run, so that runs side by side never share a mutex.
std::wstring UniqueName(const wchar_t* purpose) {
  return L"tr350-test-" + std::wstring(purpose) + L"-" + std::to_wstring(::GetCurrentProcessId());
}

std::u16string U16(const std::wstring& text) {
  return FromWide(text);
}

// The child's part: owns the mutex, says so through the "held" event, waits for "go", and ends the
// process without releasing it.
int HoldAndExit(const std::wstring& name) {
  WinMutexes mutexes;
  const MutexHandle handle = mutexes.Open(U16(name));
  UniqueHandle held(::OpenEventW(EVENT_MODIFY_STATE, FALSE, (name + L"-held").c_str()));
  UniqueHandle go(::OpenEventW(SYNCHRONIZE, FALSE, (name + L"-go").c_str()));
  if (!handle || !held || !go || mutexes.Wait(handle, kPatienceMs) != WaitResult::kSignaled) {
    return 2;
  }
  ::SetEvent(held.get());
  ::WaitForSingleObject(go.get(), kPatienceMs);
  ::ExitProcess(0);  // owning it: the mutex is abandoned
}

TEST(WinMutexesTest, ClosedHandlesStayInvalidAndValuesAreNotReused) {
  WinMutexes mutexes;
  const std::u16string name = U16(UniqueName(L"stale"));
  const MutexHandle first = mutexes.Open(name);
  ASSERT_TRUE(first);
  mutexes.Close(first);
  const MutexHandle second = mutexes.Open(name);
  ASSERT_TRUE(second);
  EXPECT_NE(first, second);
  ClearLastCause();
  EXPECT_EQ(mutexes.Wait(first, 0), WaitResult::kFailed);
  ASSERT_TRUE(LastCause());
  EXPECT_EQ(LastCause()->operation, "mutex wait");
  EXPECT_FALSE(mutexes.Release(first));
  EXPECT_EQ(mutexes.Wait(second, 0), WaitResult::kSignaled);
  EXPECT_TRUE(mutexes.Release(second));
  mutexes.Close(second);

  EXPECT_FALSE(mutexes.Open(u""));
  EXPECT_FALSE(mutexes.Open(std::u16string(261, u'x')));
  EXPECT_EQ(LastCause()->operation, "mutex open");
  EXPECT_EQ(LastCause()->osError, EINVAL);
}

TEST(WinMutexesTest, OwnershipBelongsToTheThreadAndIsRecursive) {
  WinMutexes mutexes;
  const std::u16string name = U16(UniqueName(L"threads"));
  const MutexHandle mine = mutexes.Open(name);
  const MutexHandle other = mutexes.Open(name);  // a second handle on the same object
  ASSERT_TRUE(mine);
  ASSERT_TRUE(other);
  ASSERT_EQ(mutexes.Wait(mine, 0), WaitResult::kSignaled);
  ASSERT_EQ(mutexes.Wait(other, 0), WaitResult::kSignaled);  // the owner enters again

  WaitResult elsewhere = WaitResult::kSignaled;
  bool releasedElsewhere = true;
  std::thread([&] {
    elsewhere = mutexes.Wait(other, 0);
    releasedElsewhere = mutexes.Release(mine);
  }).join();
  EXPECT_EQ(elsewhere, WaitResult::kTimedOut);
  EXPECT_FALSE(releasedElsewhere);

  EXPECT_TRUE(mutexes.Release(mine));
  EXPECT_TRUE(mutexes.Release(other));
  EXPECT_FALSE(mutexes.Release(mine));  // no level left

  // A thread that ends owning the mutex leaves it abandoned to the next waiter, who owns it.
  std::thread([&] { ASSERT_EQ(mutexes.Wait(mine, 0), WaitResult::kSignaled); }).join();
  EXPECT_EQ(mutexes.Wait(other, kPatienceMs), WaitResult::kAbandoned);
  EXPECT_TRUE(mutexes.Release(other));
  mutexes.Close(mine);
  mutexes.Close(other);
}

TEST(WinMutexesTest, AnotherProcessHoldsThenDiesOwning) {
  const std::wstring name = UniqueName(L"process");
  UniqueHandle held(::CreateEventW(nullptr, TRUE, FALSE, (name + L"-held").c_str()));
  UniqueHandle go(::CreateEventW(nullptr, TRUE, FALSE, (name + L"-go").c_str()));
  ASSERT_TRUE(held && go);

  wchar_t program[MAX_PATH] = {};
  ASSERT_NE(::GetModuleFileNameW(nullptr, program, MAX_PATH), 0U);
  std::wstring command = L"\"" + std::wstring(program) + L"\" " +
                         std::wstring(kChildFlag, kChildFlag + std::strlen(kChildFlag)) + L" " +
                         name;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  ASSERT_TRUE(::CreateProcessW(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &child));
  UniqueHandle process(child.hProcess);
  UniqueHandle thread(child.hThread);

  const HANDLE waitFor[] = {held.get(), process.get()};
  ASSERT_EQ(::WaitForMultipleObjects(2, waitFor, FALSE, kPatienceMs), WAIT_OBJECT_0)
      << "the child did not take the mutex";

  WinMutexes mutexes;
  const MutexHandle handle = mutexes.Open(U16(name));
  ASSERT_TRUE(handle);
  EXPECT_EQ(mutexes.Wait(handle, 50), WaitResult::kTimedOut);
  EXPECT_FALSE(mutexes.Release(handle));

  ::SetEvent(go.get());
  ASSERT_EQ(::WaitForSingleObject(process.get(), kPatienceMs), WAIT_OBJECT_0);
  DWORD exitCode = 1;
  ::GetExitCodeProcess(process.get(), &exitCode);
  EXPECT_EQ(exitCode, 0U);

  EXPECT_EQ(mutexes.Wait(handle, kPatienceMs), WaitResult::kAbandoned);
  EXPECT_TRUE(mutexes.Release(handle));  // the abandoned wait made this thread the owner
  EXPECT_EQ(mutexes.Wait(handle, 0), WaitResult::kSignaled);  // clean from now on
  EXPECT_TRUE(mutexes.Release(handle));
  mutexes.Close(handle);
}

}  // namespace
}  // namespace tr350::platform::windows

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], tr350::platform::windows::kChildFlag) == 0) {
    const std::string name = argv[2];
    return tr350::platform::windows::HoldAndExit(std::wstring(name.begin(), name.end()));
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
