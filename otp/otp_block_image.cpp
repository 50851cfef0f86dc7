// The block builder of COTPInfo: an image's configuration block turned into the code block
// (header and leading items, then the small cache code item) and the configuration block
// (header and leading items, then every other item).
#include <algorithm>
#include <memory>

#include "base/bytes.h"
#include "image/config_block.h"
#include "otp/otp_download.h"

namespace drover::otp {

namespace {

// Header bytes 2 of the OTP blocks: chip code and the sub-mode that tells the blocks apart.
constexpr std::uint8_t kSubModeCode = 3;
constexpr std::uint8_t kSubModeConfig = 1;
constexpr std::uint8_t kCodeBlockItems = 3;  // the two leading items and the small cache code
constexpr std::size_t kCacheItemHeader = 8;

std::uint8_t HeaderByte2(std::uint8_t chipCode, std::uint8_t subMode) {
  return static_cast<std::uint8_t>(chipCode * 8 + subMode);
}

}  // namespace

int COTPInfo::BuildOTPBlockImage(int part) {
  TraceScope scope("COTPInfo::BuildOTPBlockImage");
  return BuildBlock(scope, m_pFileData, part);
}

int COTPInfo::BuildOTPBlockImageDefault(int part) {
  TraceScope scope("COTPInfo::BuildOTPBlockImageDefault");
  return BuildBlock(scope, m_pCodeData, part);
}

int COTPInfo::BuildBlock(const TraceScope& scope, std::span<const std::uint8_t> source, int part) {
  ConfigBlockParser parser;
  parser.LoadBlock(source);
  const CDescGlobal* header = parser.ReadHeader();
  if (header == nullptr || !header->HasSignature()) {
    TraceFail(scope, "No configuration block\n");
    return kBuildNotUsable;
  }
  const std::span<const std::uint8_t> block = parser.Block();

  bool code = false;
  bool config = false;
  bool usable = true;
  std::size_t c = 0;  // whole length of the small cache code item
  int left = parser.ItemsLeft();
  for (;;) {
    const std::size_t start = parser.Cursor();
    const std::unique_ptr<CDescriptor> item = parser.NextItem();
    if (parser.Corrupt()) {
      TraceFail(scope, "Config file corrupted\n");
      return kBuildNotUsable;
    }
    if (item) {
      const std::size_t end = parser.Cursor();
      // Recognised by its number, whatever class the chip code gives the type.
      if (item->m_byType == item_type::kSmallCacheCode) {
        // The code block copies bytes 0 .. 15 + c of the source: the item must stand right
        // after the header and the two leading items, and the code it points at must lie
        // inside it, or wrong bytes would go into memory that cannot be erased.
        if (code || start != kOtpBlockPrefix) usable = false;
        code = true;
        c = end - start;
        if (c >= kCacheItemHeader && block[start] == 0xFF && block[start + 1] == 0xE7) {
          const std::size_t offset = ReadLE16(block, start + 4);
          const std::size_t length = ReadLE16(block, start + 6);
          if (offset < start + kCacheItemHeader || offset + length > end) usable = false;
        }
      } else {
        config = true;
      }
      --left;
      continue;
    }
    if (left <= 0) break;
    // An item the reader cannot take but can step over lies beyond the block's length.
    if (parser.SkipItem()) {
      --left;
      continue;
    }
    TraceFail(scope, "Config file corrupted\n");
    return kBuildNotUsable;
  }

  const std::size_t blockLength = header->m_wBlockLength;
  const LeadingItems& lead = parser.Leading();
  if (blockLength < kBlockHeaderSize || blockLength > block.size()) usable = false;
  if (code && (!lead.bHwApVersion || !lead.bEepInfo || lead.bBankCopy || lead.bForceUpdate ||
               kOtpBlockPrefix + c > blockLength || parser.ItemsLeft() < 1))
    usable = false;
  if (!usable) {
    TraceFail(scope, "The small cache code item does not stand after the two leading items\n");
    return kBuildNotUsable;
  }
  const std::uint8_t chipCode = header->m_byChipCode;

  int result = kBuildNoPart;
  if (part == kPartCode) {
    m_pOtpCodeImage.clear();
    if (code) {
      const std::size_t length = kOtpBlockPrefix + c;
      m_pOtpCodeImage.assign(length, 0xFF);
      std::copy_n(block.begin(), length, m_pOtpCodeImage.begin());
      m_pOtpCodeImage[2] = HeaderByte2(chipCode, kSubModeCode);
      WriteLE16(m_pOtpCodeImage, 3, static_cast<std::uint16_t>(length));
      m_pOtpCodeImage[5] = kCodeBlockItems;
      m_pFileCopy = m_pOtpCodeImage;
      result = kBuildDone;
    }
    SetCurrentBlock(kKindCode, m_pOtpCodeImage);
    m_iOtpInfo = static_cast<std::int32_t>(m_pOtpCodeImage.size());
    return result;
  }

  m_pOtpCfgImage.clear();
  if (config) {
    if (code) {
      const std::size_t length = blockLength - c;
      m_pOtpCfgImage.assign(length, 0xFF);
      std::copy_n(block.begin(), kOtpBlockPrefix, m_pOtpCfgImage.begin());
      std::copy(block.begin() + static_cast<std::ptrdiff_t>(kOtpBlockPrefix + c),
                block.begin() + static_cast<std::ptrdiff_t>(blockLength),
                m_pOtpCfgImage.begin() + static_cast<std::ptrdiff_t>(kOtpBlockPrefix));
      m_pOtpCfgImage[2] = HeaderByte2(chipCode, kSubModeConfig);
      WriteLE16(m_pOtpCfgImage, 3, static_cast<std::uint16_t>(length));
      // The source's items after the leading ones, less the small cache code item, plus the
      // two leading items.
      m_pOtpCfgImage[5] = static_cast<std::uint8_t>(parser.ItemsLeft() + 1);
    } else {
      m_pOtpCfgImage.assign(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(blockLength));
    }
    m_pFileCopy = m_pOtpCfgImage;
    result = kBuildDone;
  }
  SetCurrentBlock(kKindConfig, m_pOtpCfgImage);
  m_iOtpInfo = static_cast<std::int32_t>(m_pOtpCfgImage.size());
  return result;
}

}  // namespace drover::otp
