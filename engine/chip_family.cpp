#include "engine/chip_family.h"

#include <algorithm>

#include "base/bytes.h"
#include "base/strfmt.h"

namespace drover {

namespace {

// Families whose boot mode sits in the boot status register (besides the special rules).
constexpr std::uint16_t kBootStatusFamilies[] = {0xB010, 0xC010, 0xD010, 0xE010, 0xF010, 0x1010};

struct BootStatusEntry {
  std::uint8_t value;
  std::string_view text;
};
constexpr BootStatusEntry kBootStatusTexts[] = {
    {0, "ROM"}, {8, "SPI"}, {16, "ROM&&OTP"}, {24, "SPI&&OTP"}, {32, "ROM&&SPI"},
};

// The fixed pairs, first matching row wins.
enum class WpMatch { Raw56FFOr8050, Family7010Not11, FamilyE010, FamilyBCDF010, Any };
struct WpRow {
  WpMatch match;
  WpPass pass;
};
constexpr WpRow kWpRows[] = {
    {WpMatch::Raw56FFOr8050, {0x0404, 0x0406, 0x01}},
    {WpMatch::Family7010Not11, {0x0650, 0x0652, 0x01}},
    {WpMatch::FamilyE010, {0x0505, 0x0507, 0x01}},
    {WpMatch::FamilyBCDF010, {0xFEC0, 0xFEC6, 0x01}},
    {WpMatch::Any, {0xFEA0, 0xFEA6, 0x01}},
};

bool WpRowMatches(WpMatch m, std::uint8_t b0, std::uint8_t b1) {
  const std::uint16_t f = ChipFamily(b0, b1);
  switch (m) {
    case WpMatch::Raw56FFOr8050: return ChipRaw(b0, b1) == 0x56FF || f == 0x8050;
    case WpMatch::Family7010Not11: return f == 0x7010 && b0 != 0x11;
    case WpMatch::FamilyE010: return f == 0xE010;
    case WpMatch::FamilyBCDF010: return f == 0xB010 || f == 0xC010 || f == 0xD010 || f == 0xF010;
    case WpMatch::Any: return true;
  }
  return true;
}

std::uint16_t Be(std::span<const std::uint8_t> b, std::size_t at) { return ReadBE16(b, at); }

}  // namespace

bool IsBootStatusChip(std::uint8_t b0, std::uint8_t b1) {
  const std::uint16_t f = ChipFamily(b0, b1);
  if (std::find(std::begin(kBootStatusFamilies), std::end(kBootStatusFamilies), f) != std::end(kBootStatusFamilies))
    return true;
  return (f == 0x7010 && b0 != 0x11) || ChipRaw(b0, b1) == 0x56FF || f == 0x8050;
}

std::uint32_t BootStatusAddress(std::uint8_t b0, std::uint8_t b1) {
  return ChipRaw(b0, b1) == 0x1071 ? kBootStatusRegister1071 : kBootStatusRegister;
}

std::string_view BootStatusText(std::uint8_t bootStatus) {
  for (const auto& e : kBootStatusTexts)
    if (e.value == bootStatus) return e.text;
  return "Unknown";
}

std::size_t ChooseVersionSlot(std::span<const std::uint8_t> s) {
  const std::uint8_t a = s[kSlotA] & 0x0F;
  const std::uint8_t b = s[kSlotB] & 0x0F;
  return (a == 0 && b != 0 && b != 0x0B) ? kSlotB : kSlotA;
}

int VersionFormat(std::span<const std::uint8_t> s) {
  switch (s[ChooseVersionSlot(s)] >> 4) {
    case 2: return 1;
    case 3: return 2;
    default: return 0;
  }
}

std::uint8_t SlotModeNibble(std::span<const std::uint8_t> s) { return s[ChooseVersionSlot(s)] & 0x0F; }

bool RunsDownloadedCode(std::uint8_t b0, std::uint8_t b1, std::span<const std::uint8_t> s, std::uint8_t bootStatus) {
  const std::uint16_t f = ChipFamily(b0, b1);
  if (f == 0x0000 || f == 0x7010) return SlotModeNibble(s) == 1;
  return bootStatus != 0;
}

VersionInfo BuildVersion(std::span<const std::uint8_t> s, std::span<const std::uint8_t> t, std::uint8_t bootStatus,
                         bool withIds, std::uint16_t vid, std::uint16_t pid) {
  VersionInfo v;
  const std::size_t slot = ChooseVersionSlot(s);
  if (BootStatusHasExtVersion(bootStatus)) {
    v.numbers = {static_cast<std::uint16_t>(t[12] >> 4), static_cast<std::uint16_t>(t[12] & 0x0F), t[13],
                 Be(t, 14), Be(t, 16), Be(t, 18)};
  } else {
    switch (VersionFormat(s)) {
      case 1:
        v.numbers = {s[77], s[76], s[79], s[78], 0, 0};
        break;
      case 2:
        v.numbers = {static_cast<std::uint16_t>(s[79] >> 4), static_cast<std::uint16_t>(s[79] & 0x0F), s[78],
                     static_cast<std::uint16_t>(s[77] * 256 + s[76]), static_cast<std::uint16_t>(s[83] * 256 + s[82]),
                     static_cast<std::uint16_t>(s[81] * 256 + s[80])};
        break;
      default: {
        const std::uint16_t w = ReadLE16(s, slot + 6);
        v.numbers = {s[slot + 3], static_cast<std::uint16_t>(w & 0xFF), static_cast<std::uint16_t>(w >> 8), s[5],
                     s[4], 0};
        break;
      }
    }
  }
  const auto& n = v.numbers;
  const bool dotted = BootStatusHasExtVersion(bootStatus) || VersionFormat(s) == 2;
  if (dotted) {
    v.text = withIds ? StrFormat("%01X.%01X%02X.%04X-%04X.%04X-VID%04X&&PID%04X", n[0], n[1], n[2], n[3], n[4], n[5],
                                 vid, pid)
                     : StrFormat("%01X.%01X%02X.%04X-%04X.%04X", n[0], n[1], n[2], n[3], n[4], n[5]);
    v.textEx = v.text;
  } else if (VersionFormat(s) == 1) {
    v.text = withIds ? StrFormat("0x%02X%02X-%02X%02X-VID%04X&&PID%04X", n[0], n[1], n[2], n[3], vid, pid)
                     : StrFormat("0x%02X%02X-%02X%02X", n[0], n[1], n[2], n[3]);
    v.textEx = v.text;
  } else {
    v.text = withIds ? StrFormat("0x%02X-%02X%02X-%02X%02X-VID%04X&&PID%04X", n[0], n[1], n[2], n[3], n[4], vid, pid)
                     : StrFormat("0x%02X-%02X%02X-%02X%02X", n[0], n[1], n[2], n[3], n[4]);
    v.textEx = StrFormat("0x%02X-%02X%02X-%02X%02X", s[slot + 3], s[slot + 4], s[slot + 5], s[slot + 6],
                         s[slot + 7]);
  }
  return v;
}

std::array<std::uint8_t, 8> StatusVersionBytes(std::span<const std::uint8_t> s) {
  std::array<std::uint8_t, 8> out{};
  if (ChooseVersionSlot(s) == kSlotB) {
    std::copy_n(s.begin() + kSlotB, 8, out.begin());
  } else if ((s[kSlotA] >> 4) == 2) {
    out = {s[77], s[76], s[79], s[78], 0, 0, 0, 0};
  } else if ((s[kSlotA] >> 4) == 3) {
    std::copy_n(s.begin() + 76, 8, out.begin());
  } else {
    std::copy_n(s.begin() + kSlotA, 8, out.begin());
  }
  return out;
}

ImageVersion DecodeImageVersion(std::span<const std::uint8_t> e) {
  ImageVersion v;
  v.numbers = {static_cast<std::uint16_t>(e[0] >> 4), static_cast<std::uint16_t>(e[0] & 0x0F), e[1], Be(e, 2),
               Be(e, 4), Be(e, 6)};
  const auto& n = v.numbers;
  v.text = StrFormat("%01X.%01X%02X.%04X-%04X.%04X", n[0], n[1], n[2], n[3], n[4], n[5]);
  return v;
}

WpKind WriteProtectKind(std::uint8_t b0, std::uint8_t b1) {
  // The fixed rows before 0x1010 cannot match a 0x1010 chip, so the question comes first.
  return ChipFamily(b0, b1) == 0x1010 ? WpKind::Query1010 : WpKind::Fixed;
}

WpPass WpFixedPass(std::uint8_t b0, std::uint8_t b1) {
  for (const auto& row : kWpRows)
    if (WpRowMatches(row.match, b0, b1)) return row.pass;
  return kWpRows[std::size(kWpRows) - 1].pass;
}

}  // namespace drover
