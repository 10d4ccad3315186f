// The device record's text fields never overflow.
#include "records/device_entry.h"

#include <gtest/gtest.h>

#include <string>

namespace tr350 {
namespace {

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

}  // namespace
}  // namespace tr350
