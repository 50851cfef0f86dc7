#include "engine/update_rules.h"

#include <algorithm>

#include "image/config_block.h"

namespace drover {

FlashBank FlashBankOf(std::uint8_t chipCode) {
  for (const FlashBankRow& r : kFlashBankTable)
    if (r.chipCode == chipCode) return r.bank;
  return FlashBank::kFromZero;
}

std::uint32_t FlashImageBase(std::uint8_t chipCode, std::uint32_t len) {
  switch (FlashBankOf(chipCode)) {
    case FlashBank::kSecondBank: return kSecondBank;
    case FlashBank::kAboveImage: return len;
    case FlashBank::kFromZero: break;
  }
  return 0;
}

bool HasSecondBank(std::uint8_t chipCode) { return FlashBankOf(chipCode) != FlashBank::kFromZero; }

EraseKind EraseKindOf(std::uint8_t chipCode, bool whole) {
  if (whole) return EraseKind::kChip;
  for (const EraseRow& r : kEraseTable)
    if (r.chipCode == chipCode) return r.kind;
  return EraseKind::kChip;
}

bool RebootsWithoutAsking(std::uint16_t vid, std::uint16_t pid) {
  return std::any_of(kRebootWithoutAsking.begin(), kRebootWithoutAsking.end(),
                     [&](const VidPid& v) { return v.vid == vid && v.pid == pid; });
}

const RebootRegisters* RegisterRebootOf(std::uint8_t chipCode) {
  for (const RebootRegisters& r : kRegisterReboot)
    if (r.chipCode == chipCode) return &r;
  return nullptr;
}

namespace {

constexpr std::uint8_t kCodeBlockCount = 3;  // HW/AP version, EEPROM info, small cache code
constexpr std::uint8_t kCodeBlockSubMode = 3;
constexpr std::uint8_t kConfigBlockSubMode = 1;
constexpr std::uint8_t kCombinedSubMode = 2;
constexpr std::uint8_t kCodeBlockMark = 0x55;
constexpr std::uint8_t kConfigBlockMark = 0xAA;

void PutLength(std::vector<std::uint8_t>& out, std::size_t at, std::size_t length) {
  out[at + 3] = static_cast<std::uint8_t>(length & 0xFF);
  out[at + 4] = static_cast<std::uint8_t>(length >> 8);
}

}  // namespace

bool RearrangeSimulatedOtpImage(std::vector<std::uint8_t>& image, std::uint8_t chipCode) {
  if (image.size() != kSimOtpImageSize) return false;
  ConfigBlockParser parser;
  parser.LoadBlock(image);
  const CDescGlobal* header = parser.ReadHeader();
  if (header == nullptr || !header->HasSignature()) return false;
  const std::size_t blockLength = header->m_wBlockLength;
  if (blockLength < kBlockHeaderSize || blockLength > kSimOtpTable) return false;

  // The item walk by headers alone: the small cache code item is recognised by its type
  // number whatever class the chip code gives it, and it may only stand right after the
  // header and the two leading items, which the code block takes along as its bytes 0..14.
  const LeadingItems& lead = parser.Leading();
  const bool codeSlot = lead.bHwApVersion && lead.bEepInfo && !lead.bBankCopy && !lead.bForceUpdate &&
                        parser.Cursor() == kSimOtpCodeOffset;
  const std::span<const std::uint8_t> block(image.data(), blockLength);
  std::size_t pos = parser.Cursor();
  int left = parser.ItemsLeft();
  std::size_t c = 0;
  bool code = false;
  bool others = false;
  while (left > 0) {
    if (pos >= blockLength) return false;  // the count asks for more than the block holds
    const std::optional<ItemHeader> h = DecodeItemHeader(block.subspan(pos));
    if (!h || h->length == 0 || h->length > blockLength - pos) return false;
    if (h->byType == item_type::kSmallCacheCode) {
      if (code || !codeSlot || pos != kSimOtpCodeOffset) return false;
      code = true;
      c = h->length;
    } else {
      others = true;
    }
    pos += h->length;
    --left;
  }

  const std::size_t l1 = code ? c + kSimOtpCodeOffset : 0;
  const std::size_t l2 = others ? blockLength - c : 0;
  if (l1 + l2 > kSimOtpTable) return false;
  const std::uint8_t subMode = header->m_bySubMode;
  // An image read without a parse has no chip code of its own yet: its block header has it.
  if (chipCode > 31) chipCode = header->m_byChipCode;

  std::vector<std::uint8_t> out(kSimOtpImageSize, 0xFF);
  std::fill_n(out.begin() + kSimOtpTable, kSimOtpTableSize, std::uint8_t{0});
  if (code) {
    std::copy_n(image.begin(), l1, out.begin());
    PutLength(out, 0, l1);
    out[5] = kCodeBlockCount;
    if (subMode == kCombinedSubMode) out[2] = static_cast<std::uint8_t>(chipCode * 8 + kCodeBlockSubMode);
    out[0x3FBB] = 0;
    out[0x3FBC] = 0;
    out[0x3FBD] = static_cast<std::uint8_t>(l1 >> 8);
    out[0x3FBE] = static_cast<std::uint8_t>(l1 & 0xFF);
    out[0x3FBF] = kCodeBlockMark;
  }
  if (others) {
    if (code) {
      // Bytes 0..14 (header and leading items), then everything after the code item.
      std::copy_n(image.begin(), kSimOtpCodeOffset, out.begin() + static_cast<std::ptrdiff_t>(l1));
      std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(c + kSimOtpCodeOffset), l2 - kSimOtpCodeOffset,
                  out.begin() + static_cast<std::ptrdiff_t>(l1 + kSimOtpCodeOffset));
      // The item count the header read leaves after the leading items, which this block
      // carries again, less the code item it gave away.
      out[l1 + 5] = static_cast<std::uint8_t>(parser.ItemsLeft() + 1);
    } else {
      // Nothing was taken out: the block goes over whole, its item count included.
      std::copy_n(image.begin(), l2, out.begin());
    }
    if (subMode == kCombinedSubMode) out[l1 + 2] = static_cast<std::uint8_t>(chipCode * 8 + kConfigBlockSubMode);
    PutLength(out, l1, l2);
    if (code) {
      out[0x3FB6] = static_cast<std::uint8_t>(l1 >> 8);
      out[0x3FB7] = static_cast<std::uint8_t>(l1 & 0xFF);
      out[0x3FB8] = static_cast<std::uint8_t>(l2 >> 8);
      out[0x3FB9] = static_cast<std::uint8_t>(l2 & 0xFF);
      out[0x3FBA] = kConfigBlockMark;
    } else {
      out[0x3FBB] = 0;
      out[0x3FBC] = 0;
      out[0x3FBD] = static_cast<std::uint8_t>(l2 >> 8);
      out[0x3FBE] = static_cast<std::uint8_t>(l2 & 0xFF);
      out[0x3FBF] = kConfigBlockMark;
    }
  }
  image = std::move(out);
  return true;
}

}  // namespace drover
