// The backup folder, in a temporary directory: saving, the pending marker, choice, pruning,
// the default location and hostile identities.
#include "workflow/backup_store.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>

namespace tr350 {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

std::vector<std::uint8_t> MakeContent() {
  std::vector<std::uint8_t> b(1024 + 5 * 256);
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  const std::uint8_t header[] = {0x7E, 0x2A, 0x51, 0x3C, 0x08, 0x4D, 0, 0, 0, 0, 0, 3, 0, 2, 7, 0};
  std::copy(std::begin(header), std::end(header), b.begin());
  return b;
}

Backup MakeBackup(int minute, std::string port) {
  return {.created = sys_days{2024y / 5 / 1} + 12h + minutes{minute},
          .usbPort = std::move(port),
          .diskNode = "/dev/sg2",
          .flashPart = "W25Q40",
          .jedecId = 0xEF4013,
          .content = MakeContent()};
}

class BackupStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_root =
        fs::temp_directory_path() / ("tr350-backup-test-" + std::to_string(std::random_device{}()));
    ASSERT_TRUE(fs::create_directory(m_root));
  }
  void TearDown() override { fs::remove_all(m_root); }

  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_root / "backups")) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  BackupStore Store() const { return BackupStore(m_root / "backups"); }

  fs::path m_root;
};

TEST_F(BackupStoreTest, SavedBackupIsPendingUntilVerified) {
  const BackupStore store = Store();
  EXPECT_TRUE(store.Pending().backups.empty());  // no folder yet: nothing, and no complaint
  EXPECT_TRUE(store.Pending().problems.empty());

  const OrError<fs::path> saved = store.SavePending(MakeBackup(0, "usb1/1-2"));
  ASSERT_TRUE(saved) << saved.error;
  // Only where the file system keeps POSIX permissions can the folder be owner-only (on Windows
  // it lies in the user's own profile).
  const fs::path probe = m_root / "probe";
  fs::create_directory(probe);
  fs::permissions(probe, fs::perms::owner_read | fs::perms::owner_exec);
  if (fs::status(probe).permissions() == (fs::perms::owner_read | fs::perms::owner_exec)) {
    EXPECT_EQ(fs::status(store.Directory()).permissions(), fs::perms::owner_all);
  }
  fs::permissions(probe, fs::perms::owner_all);
  fs::remove(probe);
  EXPECT_EQ(Names(), std::vector<std::string>{"20240501T120000Z-usb1_1-2-pending.tr350bak"});
  const PendingBackups pending = store.Pending();
  ASSERT_EQ(pending.backups.size(), 1u);
  EXPECT_EQ(pending.backups[0].path, *saved.value);
  EXPECT_EQ(pending.backups[0].backup, MakeBackup(0, "usb1/1-2"));

  const OrError<fs::path> verified = store.MarkVerified(*saved.value);
  ASSERT_TRUE(verified) << verified.error;
  EXPECT_EQ(Names(), std::vector<std::string>{"20240501T120000Z-usb1_1-2.tr350bak"});
  EXPECT_TRUE(store.Pending().backups.empty());
  EXPECT_EQ(*BackupStore::Load(*verified.value).value, MakeBackup(0, "usb1/1-2"));
  EXPECT_FALSE(store.MarkVerified(*verified.value));
}

TEST_F(BackupStoreTest, BackupsOfTheSameSecondAndPortAreAllKept) {
  const BackupStore store = Store();
  Backup second = MakeBackup(0, "usb1/1-2");
  second.content[600] ^= 0xFF;
  const auto first = store.SavePending(MakeBackup(0, "usb1/1-2"));
  ASSERT_TRUE(first);
  ASSERT_TRUE(store.MarkVerified(*first.value));
  ASSERT_TRUE(store.SavePending(second));  // would take the verified one's name when marked
  ASSERT_TRUE(store.SavePending(second));
  EXPECT_EQ(Names(), (std::vector<std::string>{"20240501T120000Z-usb1_1-2-2-pending.tr350bak",
                                               "20240501T120000Z-usb1_1-2-3-pending.tr350bak",
                                               "20240501T120000Z-usb1_1-2.tr350bak"}));
}

TEST_F(BackupStoreTest, ChoosesTheSamePortElseTheNewestAndReportsDamagedFiles) {
  const BackupStore store = Store();
  for (const Backup& b :
       {MakeBackup(1, "port-a"), MakeBackup(3, "port-b"), MakeBackup(2, "port-a")}) {
    ASSERT_TRUE(store.SavePending(b));
  }
  std::ofstream(store.Directory() / "20240501T130000Z-x-pending.tr350bak") << "garbage\n";

  struct Case {
    std::string_view port;
    int minute;
    bool samePort;
  };
  for (const Case& c : {Case{"port-a", 2, true}, Case{"port-b", 3, true}, Case{"port-c", 3, false},
                        Case{"", 3, false}}) {
    SCOPED_TRACE(c.port);
    const BackupChoice choice = store.ChooseFor(c.port);
    ASSERT_TRUE(choice.chosen);
    EXPECT_EQ(choice.chosen->backup.created, MakeBackup(c.minute, "").created);
    EXPECT_EQ(choice.samePort, c.samePort);
    ASSERT_EQ(choice.problems.size(), 1u);
    EXPECT_NE(choice.problems[0].find("130000Z-x-pending.tr350bak\": not a firmware backup"),
              std::string::npos)
        << choice.problems[0];
  }
  EXPECT_EQ(store.Pending().backups.size(), 3u);
  EXPECT_FALSE(BackupStore(m_root / "elsewhere").ChooseFor("port-a").chosen);
}

TEST_F(BackupStoreTest, KeepsTheNewestVerifiedAndEveryPendingBackup) {
  const BackupStore store = Store();
  const auto pending = store.SavePending(MakeBackup(0, "old-pending"));
  ASSERT_TRUE(pending);
  for (int minute = 1; minute <= 23; ++minute) {
    const auto saved = store.SavePending(MakeBackup(minute, "p"));
    ASSERT_TRUE(saved && store.MarkVerified(*saved.value));
  }
  const std::vector<std::string> names = Names();
  ASSERT_EQ(names.size(), kVerifiedBackupsKept + 1);
  EXPECT_EQ(names.front(), pending.value->filename().string());
  EXPECT_EQ(names[1], "20240501T120400Z-p.tr350bak");  // minutes 1 to 3 went
  EXPECT_EQ(names.back(), "20240501T122300Z-p.tr350bak");
}

TEST_F(BackupStoreTest, HostileIdentityStaysInsideTheFolderAndIsKeptExactly) {
  const BackupStore store = Store();
  const std::string port = "../../x/..\\..\\\n\x01:*?<>|\xE5\x8F\xB0" + std::string(300, '/');
  const auto saved = store.SavePending(MakeBackup(0, port));
  ASSERT_TRUE(saved) << saved.error;
  EXPECT_EQ(saved.value->parent_path(), store.Directory());
  EXPECT_EQ(saved.value->filename().string(),
            "20240501T120000Z-______x" + std::string(41, '_') + "-pending.tr350bak");
  EXPECT_EQ(std::distance(fs::recursive_directory_iterator(m_root), {}), 2);  // folder and file
  EXPECT_EQ(store.ChooseFor(port).chosen->backup.usbPort, port);
}

TEST_F(BackupStoreTest, RefusesWhatCouldNeverBeRestored) {
  const BackupStore store = Store();
  Backup blank = MakeBackup(0, "p");
  std::fill(blank.content.begin(), blank.content.end(), 0xFF);
  const auto saved = store.SavePending(blank);
  EXPECT_FALSE(saved);
  EXPECT_EQ(saved.error,
            "the backup was not saved: the header's signature is ffff, not 2a7e: the "
            "firmware is blank or damaged");
  Backup farFuture = MakeBackup(0, "p");
  farFuture.created = sys_days{10000y / 1 / 1};  // would not load again
  EXPECT_FALSE(store.SavePending(farFuture));
  EXPECT_FALSE(fs::exists(store.Directory()));  // nothing written for either

  const fs::path huge = m_root / "huge.tr350bak";
  std::ofstream(huge).put('x');
  fs::resize_file(huge, kMaxBackupFileSize + 1);  // sparse: refused before it is read
  for (const auto& [path, reason] :
       std::map<fs::path, std::string>{{huge, "larger than any backup"},
                                       {m_root, "not a regular file"},
                                       {m_root / "none", "does not exist"}}) {
    const OrError<Backup> loaded = BackupStore::Load(path);
    EXPECT_FALSE(loaded);
    EXPECT_NE(loaded.error.find(reason), std::string::npos) << loaded.error;
  }
}

TEST(BackupStoreDefaultDirectory, StateHomeElseLocalAppDataElseHomeElseAnError) {
  // Absolute as the system the tests run on spells it ("/" or a drive's root).
  const std::string root = fs::temp_directory_path().root_path().string();
  const std::string s = root + "s", l = root + "l", h = root + "h";
  struct Case {
    std::map<std::string, std::string> environment;
    fs::path expected;  // empty: an error
  };
  const Case cases[] = {
      {{{"XDG_STATE_HOME", s}, {"LOCALAPPDATA", l}, {"HOME", h}}, fs::path(s) / "tr350-fwupdate"},
      {{{"XDG_STATE_HOME", "relative"}, {"LOCALAPPDATA", l}, {"HOME", h}},
       fs::path(l) / "tr350-fwupdate"},
      {{{"XDG_STATE_HOME", ""}, {"HOME", h}}, fs::path(h) / ".local" / "state" / "tr350-fwupdate"},
      {{{"LOCALAPPDATA", "rel"}, {"HOME", h}}, fs::path(h) / ".local" / "state" / "tr350-fwupdate"},
      {{{"XDG_STATE_HOME", "rel"}, {"HOME", "also-rel"}}, {}},
      {{}, {}},
  };
  for (const Case& c : cases) {
    const auto result = BackupStore::DefaultDirectory([&c](const char* name) -> const char* {
      const auto it = c.environment.find(name);
      return it == c.environment.end() ? nullptr : it->second.c_str();
    });
    if (c.expected.empty()) {
      EXPECT_FALSE(result);
      EXPECT_NE(result.error.find("neither XDG_STATE_HOME, LOCALAPPDATA nor HOME"),
                std::string::npos);
    } else {
      EXPECT_EQ(result.value.value_or(""), c.expected) << c.expected;
    }
  }
}

}  // namespace
}  // namespace tr350
