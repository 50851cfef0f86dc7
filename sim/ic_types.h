#pragma once
// The chip model's own table of the six IC types (kept apart from the host's definitions so
// that a mistake there is not mirrored here).
#include <array>
#include <cstdint>
#include <string_view>

namespace drover::sim {

struct SimIcType {
  std::string_view name;
  std::array<std::uint8_t, 2> chipId;  // identity bytes at 0xFE21, 0xFE22 (first register section)
  std::uint32_t configAddress;         // configuration block offset within a 64 KiB bank
  std::uint32_t configSize;
  std::uint32_t tagAddress;            // the two tag bytes, read without bank mapping
  std::uint8_t chipCode;
};

inline constexpr std::array<SimIcType, 6> kSimIcTypes{{
    {"VQ7310", {0x00, 0x00}, 0xAE00, 512, 0xEFFE, 17},
    {"VQ7322", {0x10, 0xE0}, 0xF000, 4096, 0xEFFE, 23},
    {"VQ7330", {0x10, 0xB0}, 0xF000, 4096, 0xEFFE, 21},
    {"VQ7332", {0x10, 0xF0}, 0xF000, 4096, 0xEFFE, 24},
    {"VQ7340", {0x10, 0xD0}, 0xF000, 4096, 0xEFFE, 25},
    {"VQ7370", {0x10, 0x10}, 0xF000, 4096, 0xEFFE, 26},
}};

// nullptr for an unknown name (compared exactly).
inline const SimIcType* FindSimIcType(std::string_view name) {
  for (const SimIcType& t : kSimIcTypes)
    if (t.name == name) return &t;
  return nullptr;
}

}  // namespace drover::sim
