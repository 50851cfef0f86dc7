#include "otp/otp_layout.h"

#include "base/bytes.h"

namespace drover::otp {

VdEntry DecodeEntry(std::span<const std::uint8_t> bytes) {
  VdEntry e;
  e.wStart = ReadBE16(bytes, 0);
  e.wLength = ReadBE16(bytes, 2);
  e.byFlag = bytes[4];
  e.bBlank = bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 0 && bytes[4] == 0;
  return e;
}

std::array<std::uint8_t, kBlockEntrySize> EncodeEntry(std::uint16_t start, std::uint16_t length, std::uint8_t flag) {
  std::array<std::uint8_t, kBlockEntrySize> out{};
  WriteBE16(out, 0, start);
  WriteBE16(out, 2, length);
  out[4] = flag;
  return out;
}

EccRecord DecodeRecord(std::span<const std::uint8_t> bytes) {
  EccRecord r;
  r.wAddress = ReadBE16(bytes, 0);
  r.byValue = bytes[2];
  r.byMark = bytes[3];
  return r;
}

std::array<std::uint8_t, kEccRecordSize> EncodeRecord(std::uint16_t address, std::uint8_t value, std::uint8_t mark) {
  std::array<std::uint8_t, kEccRecordSize> out{};
  WriteBE16(out, 0, address);
  out[2] = value;
  out[3] = mark;
  return out;
}

FailRecord DecodeFailRecord(std::span<const std::uint8_t> bytes) {
  FailRecord f;
  f.byCount = bytes[0];
  for (int j = 0; j < kFailRecordAddresses; ++j) f.wAddress[static_cast<std::size_t>(j)] = ReadBE16(bytes, 1 + 2 * static_cast<std::size_t>(j));
  f.wCurrent = ReadBE16(bytes, 17);
  return f;
}

}  // namespace drover::otp
