#pragma once
// Configuration blocks made by hand for the tests of the layers that read or write them.
#include <cstdint>
#include <vector>

#include "base/bytes.h"

namespace drover::testing_support {

// A block: kind, 0xA5, chip code << 3 | subMode, length (header + items, little-endian),
// item count (countOverride when not negative), items.
inline std::vector<std::uint8_t> Block(std::uint8_t kind, std::uint8_t chip,
                                       const std::vector<std::vector<std::uint8_t>>& items, std::uint8_t subMode = 0,
                                       int countOverride = -1) {
  std::vector<std::uint8_t> b{kind, 0xA5, static_cast<std::uint8_t>(chip << 3 | subMode), 0, 0,
                              static_cast<std::uint8_t>(countOverride >= 0 ? countOverride
                                                                           : static_cast<int>(items.size()))};
  for (const auto& item : items) b.insert(b.end(), item.begin(), item.end());
  WriteLE16(b, 3, static_cast<std::uint16_t>(b.size()));
  return b;
}

}  // namespace drover::testing_support
