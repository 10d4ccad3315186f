// Identification block read and decode, access-mode choice and the controller reset.
#include "transport/reader_identification.h"

#include <algorithm>

#include "transport/flash_commands.h"
#include "transport/pass_through.h"

namespace tr350 {
namespace {

constexpr std::uint8_t kDeviceInfoCdbLength = 16;
constexpr std::uint8_t kResetCdbLength = 8;
// The product whose firmware version bytes are decimal numbers, shown as packed decimal digits.
constexpr std::uint16_t kDecimalVersionProduct = 0x4C3A;

enum class StorageType : std::uint8_t {
  kNotAccessed = 0,
  kSerialFlash = 1,
  kSectors = 2,
  kStorageType3 = 3,
};

std::uint16_t BigEndian16(std::span<const std::uint8_t> bytes) {
  return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

std::uint8_t PackedDecimal(std::uint8_t value) {
  return static_cast<std::uint8_t>(((value / 10) << 4) + value % 10);
}

// Writes value into field only while the field still holds zero: a record probed twice keeps
// the first answer.
template <typename Field, typename Value>
void FillIfZero(Field& field, Value value) {
  if (field == 0) field = static_cast<Field>(value);
}

void ClearFlashPart(DeviceEntry& entry) {
  entry.flashPart = nullptr;
  entry.flashPartIndex = -1;
}

}  // namespace

bool ReadDeviceInfo(DeviceEntry device, std::span<std::uint8_t> out) {
  if (FieldText(device.diskPath).empty() || out.data() == nullptr) return false;
  if (out.size() < kDeviceInfoLength) return false;
  const AccessLock lock(device);
  if (!lock.Held()) return false;
  PassThroughRequest request = MakePassThroughRequest();
  request.CdbLength = kDeviceInfoCdbLength;
  request.Cdb[0] = static_cast<std::uint8_t>(VendorOpcode::kReadDeviceInfo);
  request.Cdb[6] = kVendorSignature[0];
  request.Cdb[7] = kVendorSignature[1];
  return SendDataIn(device, request, out.first(kDeviceInfoLength));
}

bool ParseDeviceInfo(DeviceEntry& entry, std::span<const std::uint8_t, kDeviceInfoLength> block) {
  FillIfZero(entry.vendorId, BigEndian16(block.subspan(0, 2)));
  FillIfZero(entry.productId, BigEndian16(block.subspan(2, 2)));
  // Decided on the productId the entry now holds, which may be the one just filled.
  const bool decimal = entry.productId == kDecimalVersionProduct;
  std::uint32_t version = 0;
  for (const std::uint8_t b : block.subspan(4, 4)) {
    version = (version << 8) | (decimal ? PackedDecimal(b) : b);
  }
  FillIfZero(entry.firmwareVersion, version);
  FillIfZero(entry.infoWord, BigEndian16(block.subspan(8, 2)));
  FillIfZero(entry.infoFlag0, block[10] & 0x01);
  FillIfZero(entry.infoFlag1, (block[10] >> 1) & 0x01);
  FillIfZero(entry.infoFlag2, (block[10] >> 2) & 0x01);
  FillIfZero(entry.storageType, block[11]);
  FillIfZero(entry.infoWord2, BigEndian16(block.subspan(12, 2)));
  FillIfZero(entry.infoByte, block[14]);
  FillIfZero(entry.infoNibbleHigh, block[15] >> 4);
  FillIfZero(entry.infoNibbleLow, block[15] & 0x0F);
  return ApplyStorageType(entry, block);
}

bool ApplyStorageType(DeviceEntry& entry, std::span<const std::uint8_t, kDeviceInfoLength> block) {
  // An entry is identified once; mode 8 alone may be tried again.
  if (entry.accessMode != kAccessModeUnidentified && entry.accessMode != kAccessModeNotAccessed) {
    return false;
  }
  switch (static_cast<StorageType>(block[11])) {
    case StorageType::kNotAccessed:
      entry.accessMode = kAccessModeNotAccessed;
      ClearFlashPart(entry);
      return true;
    case StorageType::kSerialFlash: {
      entry.accessMode = kAccessModeSerialFlash;
      std::uint32_t id = 0;
      std::int32_t index = 0;
      if (IdentifyFlash(entry, id, index)) return true;
      ClearFlashPart(entry);
      return false;
    }
    case StorageType::kSectors:
      entry.accessMode = kAccessModeSectors;
      ClearFlashPart(entry);
      return true;
    case StorageType::kStorageType3:
      entry.accessMode = kAccessModeStorageType3;
      ClearFlashPart(entry);
      return true;
  }
  entry.accessMode = kAccessModeNotAccessed;
  ClearFlashPart(entry);
  return false;
}

bool ForceCpuReset(DeviceEntry device) {
  std::array<std::uint8_t, kDeviceInfoLength> scratch{};
  if (!ReadDeviceInfo(device, scratch)) return false;  // a reader that does not answer is not reset
  if (FieldText(device.diskPath).empty()) return false;
  const AccessLock lock(device);
  if (!lock.Held()) return false;
  PassThroughRequest request = MakePassThroughRequest();
  request.CdbLength = kResetCdbLength;
  request.Cdb[0] = static_cast<std::uint8_t>(VendorOpcode::kForceCpuReset);
  std::ranges::copy(kResetKey, request.Cdb + 1);
  request.Cdb[5] = static_cast<std::uint8_t>(VendorOpcode::kForceCpuReset);
  request.Cdb[6] = kVendorSignature[0];
  request.Cdb[7] = kVendorSignature[1];
  return SendPassThrough(device, request, {});
}

}  // namespace tr350
