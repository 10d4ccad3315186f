// The libudev device tree and hot-plug notifications against umockdev testbeds kept in
// testbeds/*.umockdev. Run under umockdev-wrapper.
#include "platform/linux/udev_devices.h"
#include "platform/text.h"

#include <umockdev.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "tests/platform/device_walk.h"
#include "tests/platform/linux/sg_ioctl_script.h"
#include "tests/platform/linux/umockdev_testbed.h"

namespace tr350::platform {

// Found by argument-dependent lookup, so it lives beside the type.
void PrintTo(DeviceChange change, std::ostream* os) {
  *os << (change == DeviceChange::kArrival ? "arrival" : "removal");
}

namespace {

const std::u16string kUsb1 = u"/sys/devices/pci0000:00/0000:00:14.0/usb1";
const std::u16string kUsb2 = u"/sys/devices/pci0000:00/0000:00:14.0/usb2";
const std::u16string kReader = kUsb1 + u"/1-2";
const std::u16string kReaderInterface = kReader + u"/1-2:1.0";
const std::u16string kReaderDisk = kReaderInterface + u"/host3/target3:0:0/3:0:0:0";

// Instance ID and interface path.
using Member = std::pair<std::u16string, std::optional<std::u16string>>;

using Found = test::FoundDisks;

class UdevTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tr350::test::UnderUmockdev());
    bed_.reset(umockdev_testbed_new());
  }

  std::vector<std::string> Load(const char* name) {
    return tr350::test::LoadTestbed(bed_.get(), std::string(TR350_TESTBED_DIR) + "/" + name);
  }

  std::vector<Member> Members(InterfaceClass interfaceClass) {
    std::vector<Member> members;
    const std::unique_ptr<DeviceInfoSet> set = setup_.OpenPresent(interfaceClass);
    EXPECT_NE(set, nullptr);
    if (!set) return members;
    for (std::size_t i = 0; i < set->Size(); ++i) {
      const std::optional<std::u16string> id = set->InstanceId(i);
      EXPECT_TRUE(id.has_value()) << i;
      members.push_back({id.value_or(u""), set->InterfacePath(i)});
    }
    EXPECT_EQ(set->InstanceId(set->Size()), std::nullopt);
    return members;
  }

  Found FoundDisks() { return test::WalkForDisks(setup_); }

  tr350::test::GPtr<UMockdevTestbed> bed_;
  UdevDeviceSetup setup_;
};

TEST_F(UdevTest, OneReaderHangsBelowItsDeviceAndInterface) {
  Load("one_reader.umockdev");
  EXPECT_EQ(
      Members(InterfaceClass::kUsbDevice),
      (std::vector<Member>{{kUsb1, u"/dev/bus/usb/001/001"}, {kReader, u"/dev/bus/usb/001/002"}}));
  // The block disk sdb is not a member: the transport needs the generic node.
  EXPECT_EQ(Members(InterfaceClass::kDisk), (std::vector<Member>{{kReaderDisk, u"/dev/sg1"}}));

  EXPECT_EQ(setup_.FirstChild(kReader), kReaderInterface);
  EXPECT_EQ(setup_.NextSibling(kReaderInterface), std::nullopt);
  EXPECT_EQ(setup_.FirstChild(kReaderInterface), kReaderDisk);
  EXPECT_EQ(setup_.FirstChild(kReaderDisk), std::nullopt);
  EXPECT_EQ(setup_.NextSibling(kReaderDisk), std::nullopt);
  // The root hub holds its own interface and the reader; the disk is out of its walk's reach.
  EXPECT_EQ(setup_.FirstChild(kUsb1), kUsb1 + u"/1-0:1.0");
  EXPECT_EQ(setup_.FirstChild(kUsb1 + u"/1-0:1.0"), std::nullopt);
  EXPECT_EQ(setup_.NextSibling(kUsb1 + u"/1-0:1.0"), kReader);
  EXPECT_EQ(setup_.NextSibling(kReader), std::nullopt);
  EXPECT_EQ(setup_.NextSibling(kUsb1), std::nullopt);
  EXPECT_EQ(FoundDisks(), (Found{{kUsb1, {}}, {kReader, {u"/dev/sg1"}}}));
}

TEST_F(UdevTest, DetailsOfEachKindOfNode) {
  Load("one_reader.umockdev");
  auto details = [&](const std::u16string& id) {
    const DeviceNodeDetails d = setup_.Details(id);
    return std::tuple(d.description, d.manufacturer, d.parentInstanceId, d.hubNumber, d.portNumber);
  };
  using T = std::tuple<std::u16string, std::u16string, std::u16string, int, int>;
  EXPECT_EQ(details(kReader), T(u"SD Card Reader", u"Generic", kUsb1, 1, 2));
  EXPECT_EQ(details(kUsb1), T(u"xHCI Host Controller", u"Linux 6.1.0 xhci-hcd", u"", 1, 0));
  EXPECT_EQ(details(kReaderInterface), T(u"Bulk-Only Storage", u"", kReader, 0, 0));
  // SCSI inquiry strings come blank-padded.
  EXPECT_EQ(details(kReaderDisk), T(u"STORAGE DEVICE", u"Generic", kReaderInterface, 0, 0));
  EXPECT_EQ(details(kReaderInterface + u"/host3"), T());
}

TEST_F(UdevTest, IdsAreFoundOnlyAsHandedOut) {
  Load("one_reader.umockdev");
  ASSERT_EQ(setup_.FirstChild(kUsb1), kUsb1 + u"/1-0:1.0");
  const char16_t loneSurrogate[] = {u'/', 0xD800, u's'};
  const std::u16string variants[] = {
      u"/sys/bus/usb/devices/usb1",  // an alias through a link
      kUsb1 + u"/",
      u"/sys/devices/pci0000:00//0000:00:14.0/usb1",
      u"/sys/devices/pci0000:00/./0000:00:14.0/usb1",
      kReader + u"/../../usb1",
      u"/SYS/DEVICES/PCI0000:00/0000:00:14.0/USB1",  // sysfs names are case-sensitive
      u"sys/devices/pci0000:00/0000:00:14.0/usb1",
      kUsb1 + std::u16string(1, u'\0') + u"/1-2",
      std::u16string(loneSurrogate, 3),
      u"",
      kReaderInterface + u"/host3/target3:0:0",  // a level the tree folds away
  };
  for (const std::u16string& id : variants) {
    SCOPED_TRACE(testing::PrintToString(id));
    EXPECT_EQ(setup_.FirstChild(id), std::nullopt);
    EXPECT_EQ(setup_.NextSibling(id), std::nullopt);
    EXPECT_EQ(setup_.Details(id).hubNumber, 0);
  }
}

TEST_F(UdevTest, ReaderBehindAHubIsFoundAsItsOwnDevice) {
  Load("behind_hub.umockdev");
  const std::u16string hub = kUsb2 + u"/2-1";
  const std::u16string reader = hub + u"/2-1.3";
  EXPECT_EQ(FoundDisks(), (Found{{kUsb2, {}}, {hub, {}}, {reader, {u"/dev/sg3"}}}));
  // A hub's children are the devices on its ports and its own interface.
  EXPECT_EQ(setup_.FirstChild(hub), reader);
  EXPECT_EQ(setup_.NextSibling(reader), hub + u"/2-1:1.0");
  const DeviceNodeDetails details = setup_.Details(reader);
  EXPECT_EQ(details.parentInstanceId, hub);
  EXPECT_EQ(details.hubNumber, 2);
  EXPECT_EQ(details.portNumber, 3);
}

TEST_F(UdevTest, OnlyDisksWithAGenericNodeDirectlyBelowAnInterfaceAreReached) {
  Load("assorted.umockdev");
  const std::u16string sata =
      u"/sys/devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";
  const std::u16string flashDisk = kUsb1 + u"/1-3/1-3:1.0/host6/target6:0:0/6:0:0:0";
  const std::u16string secondLun = kUsb1 + u"/1-5/1-5:1.0/host8/target8:0:0/8:0:0:1";
  const std::u16string deep = kUsb1 + u"/1-6/1-6:1.0/bridge0/host9/target9:0:0/9:0:0:0";
  // Not members: the disk of 1-4 (no generic node) and the CD-ROM LUN of 1-5 (sg5).
  EXPECT_EQ(Members(InterfaceClass::kDisk), (std::vector<Member>{{flashDisk, u"/dev/sg4"},
                                                                 {secondLun, u"/dev/sg6"},
                                                                 {deep, u"/dev/sg7"},
                                                                 {sata, u"/dev/sg0"}}));
  // Any disk is found, reader or not; non-members do not hide the disk LUN behind them.
  EXPECT_EQ(FoundDisks(), (Found{{kUsb1, {}},
                                 {kUsb1 + u"/1-1", {}},
                                 {kUsb1 + u"/1-3", {u"/dev/sg4"}},
                                 {kUsb1 + u"/1-4", {}},
                                 {kUsb1 + u"/1-5", {u"/dev/sg6"}},
                                 {kUsb1 + u"/1-6", {}}}));
  EXPECT_EQ(setup_.FirstChild(kUsb1 + u"/1-5/1-5:1.0"), secondLun);
  EXPECT_EQ(setup_.FirstChild(kUsb1 + u"/1-4/1-4:1.0"), std::nullopt);
  EXPECT_EQ(setup_.FirstChild(kUsb1 + u"/1-6/1-6:1.0"), std::nullopt);
  // A disk outside USB is a member but stands alone in the tree.
  EXPECT_EQ(setup_.NextSibling(sata), std::nullopt);
  const DeviceNodeDetails sataDetails = setup_.Details(sata);
  EXPECT_EQ(sataDetails.description, u"SSD 512GB");
  EXPECT_EQ(sataDetails.manufacturer, u"ATA");
  EXPECT_EQ(sataDetails.parentInstanceId, u"");
  // A product string that is not UTF-8 keeps its readable part.
  EXPECT_EQ(setup_.Details(kUsb1 + u"/1-1").description, u"Keybd\uFFFDoard");
}

TEST_F(UdevTest, SetsAreSnapshotsAndRemovedNodesAreGone) {
  Load("one_reader.umockdev");
  const std::unique_ptr<DeviceInfoSet> usb = setup_.OpenPresent(InterfaceClass::kUsbDevice);
  const std::unique_ptr<DeviceInfoSet> disks = setup_.OpenPresent(InterfaceClass::kDisk);
  ASSERT_NE(usb, nullptr);
  ASSERT_NE(disks, nullptr);
  umockdev_testbed_remove_device(bed_.get(), "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2");

  ASSERT_EQ(usb->Size(), 2U);
  EXPECT_EQ(usb->InstanceId(1), kReader);
  ASSERT_EQ(disks->Size(), 1U);
  EXPECT_EQ(disks->InterfacePath(0), u"/dev/sg1");
  EXPECT_EQ(Members(InterfaceClass::kUsbDevice),
            (std::vector<Member>{{kUsb1, u"/dev/bus/usb/001/001"}}));
  EXPECT_TRUE(Members(InterfaceClass::kDisk).empty());
  EXPECT_EQ(setup_.FirstChild(kReader), std::nullopt);
  EXPECT_EQ(setup_.NextSibling(kUsb1 + u"/1-0:1.0"), std::nullopt);
  EXPECT_EQ(setup_.Details(kReader).description, u"");
}

TEST(Utf8ToUtf16, DecodesWellFormedTextAndRefusesOrReplacesTheRest) {
  EXPECT_EQ(Utf8ToUtf16("/dev/sg1", InvalidText::kReject), u"/dev/sg1");
  EXPECT_EQ(
      Utf8ToUtf16("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x92\xBE\xF4\x8F\xBF\xBF", InvalidText::kReject),
      u"\u00e9\u20ac\U0001F4BE\U0010FFFF");
  EXPECT_EQ(Utf8ToUtf16("", InvalidText::kReject), u"");
  struct Case {
    const char* text;
    const char16_t* replaced;
  };
  const Case illFormed[] = {
      {"a\x80z", u"a\uFFFDz"},            // stray continuation byte
      {"a\xC0\xAFz", u"a\uFFFD\uFFFDz"},  // overlong '/'
      {"a\xE0\x80\xAFz", u"a\uFFFD\uFFFD\uFFFDz"},
      {"a\xED\xA0\x80z", u"a\uFFFD\uFFFD\uFFFDz"},            // a surrogate
      {"a\xF4\x90\x80\x80z", u"a\uFFFD\uFFFD\uFFFD\uFFFDz"},  // above U+10FFFF
      {"a\xE2\x82z", u"a\uFFFDz"},                            // cut short: one replacement
      {"a\xF0\x9F\x92", u"a\uFFFD"},                          // cut short by the end
      {"\xFF", u"\uFFFD"},
  };
  for (const Case& c : illFormed) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Utf8ToUtf16(c.text, InvalidText::kReject), std::nullopt);
    EXPECT_EQ(Utf8ToUtf16(c.text, InvalidText::kReplace), c.replaced);
  }
}

// ---- Notifications ---------------------------------------------------------------------------

class Recorder {
 public:
  // `first` runs inside the first call, before it is recorded.
  DeviceNotifications::Listener Listener(std::function<void()> first = {}) {
    return [this, first = std::move(first)](DeviceChange change) {
      std::lock_guard lock(mutex_);
      if (events_.empty() && first) first();
      events_.push_back(change);
      changed_.notify_all();
    };
  }
  // The time-out only keeps a broken build from hanging; nothing depends on how long it takes.
  bool WaitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(60),
                             [&] { return events_.size() >= count; });
  }
  std::vector<DeviceChange> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<DeviceChange> events_;
};

using Changes = std::vector<DeviceChange>;
constexpr DeviceChange kArrival = DeviceChange::kArrival;
constexpr DeviceChange kRemoval = DeviceChange::kRemovalComplete;

class UdevNotificationsTest : public UdevTest {
 protected:
  void Send(const std::u16string& path, const char* action) {
    const std::string narrow(path.begin(), path.end());  // the paths here are ASCII
    umockdev_testbed_uevent(bed_.get(), narrow.c_str(), action);
  }

  std::optional<UdevNotifications> notifications_{std::in_place};
};

TEST_F(UdevNotificationsTest, UsbDeviceArrivalAndRemovalReachTheListener) {
  Load("one_reader.umockdev");  // present before the monitor: no events for these
  Recorder recorder;
  const auto subscription = notifications_->Subscribe(recorder.Listener());
  ASSERT_NE(subscription, nullptr);

  Send(kReader, "change");
  // Adding the devices sends their "add" events, parents first.
  std::vector<std::string> paths = Load("hotplug_reader.umockdev");
  umockdev_testbed_uevent(bed_.get(), paths.front().c_str(), "change");
  for (auto it = paths.rbegin(); it != paths.rend(); ++it)
    umockdev_testbed_uevent(bed_.get(), it->c_str(), "remove");
  umockdev_testbed_remove_device(bed_.get(), paths.front().c_str());
  // Events arrive in order: once this last one is seen, any call for the events before it (the
  // interfaces', the SCSI devices', the changes) would have been seen too.
  Send(kReader, "add");

  ASSERT_TRUE(recorder.WaitFor(3));
  EXPECT_EQ(recorder.Events(), (Changes{kArrival, kRemoval, kArrival}));
}

TEST_F(UdevNotificationsTest, EndedSubscriptionsAreNotCalledAgain) {
  Load("one_reader.umockdev");
  Recorder ended, self, sentinel;
  std::mutex selfMutex;
  std::unique_ptr<DeviceNotifications::Subscription> selfSubscription;
  auto endedSubscription = notifications_->Subscribe(ended.Listener());
  {
    std::lock_guard lock(selfMutex);
    selfSubscription = notifications_->Subscribe(self.Listener([&] {
      std::lock_guard inner(selfMutex);
      selfSubscription.reset();  // ends itself from inside its own call
    }));
  }
  const auto sentinelSubscription = notifications_->Subscribe(sentinel.Listener());
  ASSERT_NE(endedSubscription, nullptr);
  ASSERT_NE(sentinelSubscription, nullptr);

  Send(kReader, "add");
  ASSERT_TRUE(sentinel.WaitFor(1));
  ASSERT_TRUE(ended.WaitFor(1));
  ASSERT_TRUE(self.WaitFor(1));
  endedSubscription.reset();
  Send(kReader, "remove");
  ASSERT_TRUE(sentinel.WaitFor(2));

  EXPECT_EQ(sentinel.Events(), (Changes{kArrival, kRemoval}));
  EXPECT_EQ(ended.Events(), (Changes{kArrival}));
  EXPECT_EQ(self.Events(), (Changes{kArrival}));
  std::lock_guard lock(selfMutex);
  EXPECT_EQ(selfSubscription, nullptr);
}

TEST_F(UdevNotificationsTest, MonitorRestartsAfterTheLastSubscriptionEndedInItsOwnCall) {
  Load("one_reader.umockdev");
  Recorder first, second;
  std::mutex firstMutex;
  std::unique_ptr<DeviceNotifications::Subscription> firstSubscription;
  {
    std::lock_guard lock(firstMutex);
    firstSubscription = notifications_->Subscribe(first.Listener([&] {
      std::lock_guard inner(firstMutex);
      firstSubscription.reset();  // the last one: its thread is stopping under it
    }));
    ASSERT_NE(firstSubscription, nullptr);
  }
  Send(kReader, "add");
  ASSERT_TRUE(first.WaitFor(1));

  auto secondSubscription = notifications_->Subscribe(second.Listener());
  ASSERT_NE(secondSubscription, nullptr);
  Send(kReader, "remove");
  ASSERT_TRUE(second.WaitFor(1));
  EXPECT_EQ(second.Events(), (Changes{kRemoval}));
  EXPECT_EQ(first.Events(), (Changes{kArrival}));

  // The subscription may outlive the backend.
  notifications_.reset();
  secondSubscription.reset();
}

}  // namespace
}  // namespace tr350::platform
