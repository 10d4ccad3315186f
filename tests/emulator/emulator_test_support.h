// Test helpers for the reader emulator: CDBs written out from the vendor command layouts, a host
// that sends them to a reader, and request blocks sent through an emulated disk.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "emulator/reader.h"
#include "platform/emulated/emulated_storage.h"

namespace tr350::emulator::testing {

using Bytes = std::vector<std::uint8_t>;

// 16 bytes: 0xD0, signature 0x2A 0x7E in bytes 6-7.
inline Bytes IdentifyCdb() {
  Bytes cdb(16, 0);
  cdb[0] = 0xD0;
  cdb[6] = 0x2A;
  cdb[7] = 0x7E;
  return cdb;
}

// 8 bytes: 0xE2, the key in bytes 1-4, 0xE2 again in byte 5, then the signature.
inline Bytes ResetCdb(const ResetKey& key) {
  return {0xE2, key[0], key[1], key[2], key[3], 0xE2, 0x2A, 0x7E};
}

// 9 bytes: opcode, 0, first sector big-endian in 2-5, 0, count big-endian in 7-8.
inline Bytes SectorCdb(std::uint8_t opcode, std::uint32_t first, std::uint16_t count) {
  Bytes cdb = {opcode, 0, 0, 0, 0, 0, 0, 0, 0};
  for (std::size_t i = 0; i < 4; ++i) cdb[2 + i] = static_cast<std::uint8_t>(first >> (24 - 8 * i));
  cdb[7] = static_cast<std::uint8_t>(count >> 8);
  cdb[8] = static_cast<std::uint8_t>(count);
  return cdb;
}

// 16 bytes: opcode, count of flash bytes, transfer length big-endian in 4-5, signature in 6-7,
// the flash bytes from byte 8.
inline Bytes FlashCdb(std::uint8_t opcode, const Bytes& flash, std::uint16_t length) {
  Bytes cdb(16, 0);
  cdb[0] = opcode;
  cdb[1] = static_cast<std::uint8_t>(flash.size());
  cdb[4] = static_cast<std::uint8_t>(length >> 8);
  cdb[5] = static_cast<std::uint8_t>(length);
  cdb[6] = 0x2A;
  cdb[7] = 0x7E;
  for (std::size_t i = 0; i < flash.size() && 8 + i < cdb.size(); ++i) cdb[8 + i] = flash[i];
  return cdb;
}

struct Host {
  Reader& reader;

  ScsiOutcome Send(const Bytes& cdb, DataDirection direction, std::span<std::uint8_t> data = {}) {
    return reader.Execute(ScsiCommand{cdb, direction, data});
  }
  ScsiOutcome FlashOut(const Bytes& flash, Bytes data = {}) {
    const auto direction = data.empty() ? DataDirection::kNone : DataDirection::kToDevice;
    return Send(FlashCdb(0xE7, flash, static_cast<std::uint16_t>(data.size())), direction, data);
  }
  // The bytes read, or none when the command did not complete well.
  std::optional<Bytes> FlashIn(const Bytes& flash, std::size_t length) {
    Bytes data(length, 0);
    const ScsiOutcome outcome = Send(FlashCdb(0xE8, flash, static_cast<std::uint16_t>(length)),
                                     DataDirection::kFromDevice, data);
    if (!outcome.IsGood()) return std::nullopt;
    return data;
  }
  // The first status byte; a read status travels as a 2-byte transfer.
  std::uint8_t Status() { return FlashIn({0x05}, 2).value_or(Bytes{0, 0})[0]; }
  Bytes Read(std::uint32_t address, std::size_t length) {
    return FlashIn({0x03, static_cast<std::uint8_t>(address >> 16),
                    static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)},
                   length)
        .value_or(Bytes{});
  }
  ScsiOutcome Program(std::uint32_t address, Bytes data) {
    return FlashOut({0x02, static_cast<std::uint8_t>(address >> 16),
                     static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)},
                    std::move(data));
  }
};

// A request block filled in as the host fills it.
inline PassThroughRequest Request(const Bytes& cdb, std::uint8_t dataIn, std::uint32_t length) {
  PassThroughRequest r{};
  r.Length = 44;
  r.TargetId = 1;
  r.CdbLength = static_cast<std::uint8_t>(cdb.size());
  r.SenseInfoLength = 32;
  r.DataIn = dataIn;
  r.DataTransferLength = length;
  r.TimeOutValue = 5;
  r.SenseInfoOffset = 48;
  std::copy_n(cdb.begin(), std::min<std::size_t>(cdb.size(), sizeof r.Cdb), r.Cdb);
  return r;
}

// One command through the disk at `path`: the completed block, or none when the disk cannot be
// opened or the call fails.
inline std::optional<PassThroughRequest> SendThrough(platform::EmulatedStorage& storage,
                                                     const std::u16string& path, const Bytes& cdb,
                                                     std::span<std::uint8_t> data,
                                                     bool dataIn = true) {
  auto disk = storage.OpenDisk(path);
  PassThroughRequest r =
      Request(cdb, dataIn ? kDataIn : kDataOut, static_cast<std::uint32_t>(data.size()));
  if (!disk || !disk->SendRequest(r, data)) return std::nullopt;
  return r;
}

// The SCSI status of an identification, or of a reset when `reset`; -1 when not sent.
inline int StatusThrough(platform::EmulatedStorage& storage, const std::u16string& path,
                         bool reset = false) {
  Bytes block(reset ? 0 : 16);
  const auto r =
      SendThrough(storage, path, reset ? ResetCdb(kDefaultResetKey) : IdentifyCdb(), block, !reset);
  return r ? r->ScsiStatus : -1;
}

}  // namespace tr350::emulator::testing
