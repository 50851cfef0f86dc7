#pragma once
// Multi-byte fields are read and written through these helpers, which name the byte order;
// raw bytes are never cast to structs. Callers check bounds before calling.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <vector>

namespace drover {

inline std::uint16_t ReadLE16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
inline std::uint16_t ReadBE16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}
inline std::uint32_t ReadLE32(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
         (static_cast<std::uint32_t>(b[at + 2]) << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
inline std::uint32_t ReadBE32(std::span<const std::uint8_t> b, std::size_t at) {
  return (static_cast<std::uint32_t>(b[at]) << 24) | (static_cast<std::uint32_t>(b[at + 1]) << 16) |
         (static_cast<std::uint32_t>(b[at + 2]) << 8) | static_cast<std::uint32_t>(b[at + 3]);
}
inline void WriteLE16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void WriteBE16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v >> 8);
  b[at + 1] = static_cast<std::uint8_t>(v);
}
inline void WriteLE32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void WriteBE32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * (3 - i)));
}

// Every byte 0xFF, the value of erased flash, EEPROM and OTP (an empty span is blank).
inline bool AllBlank(std::span<const std::uint8_t> b) {
  return std::all_of(b.begin(), b.end(), [](std::uint8_t v) { return v == 0xFF; });
}

// Makes buffer n zero bytes; false, with buffer as it was, when the memory cannot be had.
inline bool AllocateZeroed(std::vector<std::uint8_t>& buffer, std::size_t n) {
  try {
    std::vector<std::uint8_t> fresh(n, 0);
    buffer.swap(fresh);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace drover
