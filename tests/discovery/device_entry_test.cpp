// The device record: a plain value whose text fields never overflow.
#include "discovery/device_entry.h"

#include <gtest/gtest.h>

#include <string>

namespace tr350 {
namespace {

TEST(DeviceEntry, ZeroFilledRecordIsUnidentified) {
  const DeviceEntry e = MakeEmptyDeviceEntry();
  EXPECT_EQ(e.accessMode, kAccessModeUnidentified);
  EXPECT_EQ(e.flashPart, nullptr);
  EXPECT_EQ(e.driveLetterCount, 0);
  EXPECT_FALSE(e.accessMutex);
  EXPECT_TRUE(FieldText(e.diskPath).empty());
  EXPECT_TRUE(FieldText(e.usbInstanceId).empty());
}

TEST(DeviceEntry, TextFieldsAreCutToLeaveTheTerminator) {
  DeviceEntry e = MakeEmptyDeviceEntry();
  const std::u16string longText(400, u'x');
  SetFieldText(e.diskPath, longText);
  EXPECT_EQ(FieldText(e.diskPath).size(), kDeviceTextLength - 1);
  EXPECT_EQ(e.diskPath[kDeviceTextLength - 1], u'\0');
  SetFieldText(e.diskPath, u"/dev/sg1");
  EXPECT_EQ(FieldText(e.diskPath), u"/dev/sg1");
  EXPECT_EQ(e.diskPath[9], u'\0');  // the old text is cleared behind the new one
}

TEST(DeviceEntry, CopiesAreIndependentSnapshots) {
  DeviceEntry table = MakeEmptyDeviceEntry();
  SetFieldText(table.diskPath, u"/dev/sg2");
  table.tableIndex = 3;
  const DeviceEntry snapshot = table;
  SetFieldText(table.diskPath, u"");
  table.tableIndex = 0;
  EXPECT_EQ(FieldText(snapshot.diskPath), u"/dev/sg2");
  EXPECT_EQ(snapshot.tableIndex, 3);
}

}  // namespace
}  // namespace tr350
