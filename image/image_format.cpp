#include "image/image_format.h"

#include <algorithm>

#include "base/bytes.h"
#include "base/message_box.h"
#include "base/strfmt.h"
#include "base/trace.h"
#include "image/config_block.h"
#include "image/ic_type.h"

namespace drover {

namespace {

constexpr const char* kVq7330IcName = "VQ7330";

struct IcView {
  std::uint32_t configAddress = 0;
  bool isVq7330 = false;
};

IcView ReadIc(const ImageState& state) {
  IcView v;
  if (state.pIcType) {
    v.configAddress = state.pIcType->ConfigAddress();
    v.isVq7330 = state.pIcType->IcName() == kVq7330IcName;
  }
  return v;
}

// Loads the block at `offset` into the parser and reads its header; true when the signature
// is there. An offset at or beyond the end loads no bytes.
bool ParseAt(ConfigBlockParser& parser, std::span<const std::uint8_t> image, std::size_t offset) {
  parser.LoadBlock(offset < image.size() ? image.subspan(offset) : std::span<const std::uint8_t>());
  const CDescGlobal* header = parser.ReadHeader();
  return header && header->HasSignature();
}

void ReportCorrupt() { ShowMessageBox(kConfigCorruptedText, "Drover", MB_OK | MB_ICONERROR); }

// Bank copy and force update flags from the leading items of a parse.
void TakeLeadingFlags(ImageState& state, const ConfigBlockParser& parser) {
  const LeadingItems& lead = parser.Leading();
  if (lead.bBankCopy && lead.byBankCopy == 0x5A) state.bBankCopy = true;
  if (lead.byForceUpdate & 0x10) state.bForceUpdateA = true;
  state.bForceUpdateB = (lead.byForceUpdate & 0x40) != 0;
}

std::string StringText(const CDescriptor& item) {
  const auto* s = dynamic_cast<const CDescString*>(&item);
  return s ? s->Text() : std::string();
}

}  // namespace

bool IsBlankImage(std::span<const std::uint8_t> image) {
  return AllBlank(image);
}

std::optional<std::uint32_t> MemoryTypeOfImageKind(std::uint8_t imageKind) {
  switch (imageKind) {
    case 0x11: return kMemoryEeprom8;
    case 0x12: return kMemoryEeprom16;
    case 0x30:
    case 0x55:
    case 0x61: return kMemorySpiFlash;
    case 0x40: return kMemoryMtp;
    case 0x60: return kMemoryOtp;
    default: return std::nullopt;
  }
}

void ApplyImageKind(ImageState& state, std::uint8_t imageKind) {
  if (std::optional<std::uint32_t> type = MemoryTypeOfImageKind(imageKind)) state.uMemoryType = *type;
}

bool ChipCodesMatch(std::uint8_t imageChipCode, std::uint8_t icTypeChipCode, bool allow8and9) {
  if (imageChipCode == kNoChipCode) return false;
  if (imageChipCode == icTypeChipCode) return true;
  return allow8and9 && ((imageChipCode == 8 && icTypeChipCode == 9) || (imageChipCode == 9 && icTypeChipCode == 8));
}

int ReadImageIdentity(ImageState& state, std::span<const std::uint8_t> image) {
  TraceScope scope("ReadImageIdentity", false);
  state.strManufacturer.clear();
  state.strSerial.clear();
  state.strIAD.clear();
  state.strVidPid.clear();
  state.strRevision.clear();
  state.strCodeIdentity.clear();
  if (IsBlankImage(image)) return 0;

  const IcView ic = ReadIc(state);
  std::size_t offset = ic.configAddress;
  if (ic.isVq7330 && (image.size() == kEepromImageSize || state.uMemoryType == kMemoryOtp ||
                      (state.uMemoryType == kMemorySpiFlash && image.size() < kEepromImageSize))) {
    offset = 0;
  }
  if (image.size() < offset) return 0;

  ConfigBlockParser parser;
  if (!ParseAt(parser, image, offset) && !ParseAt(parser, image, 0)) {
    // Without a block neither here nor at the start there is nothing to identify, and the
    // kind byte of whatever code stands at offset 0 must not change the memory type.
    TraceFail(scope, "No configuration block\n");
    return 0;
  }
  ApplyImageKind(state, parser.Header().m_byKind);
  state.dwConfigLength = parser.Header().m_wBlockLength;

  const WalkResult walk = WalkItems(parser, [&](CDescriptor& item, std::size_t) {
    switch (item.m_byType) {
      case item_type::kManufacturer: state.strManufacturer = StringText(item); break;
      case item_type::kSerialNumber: state.strSerial = StringText(item); break;
      case item_type::kIAD: state.strIAD = StringText(item); break;
      case item_type::kVidPid:
        if (const auto* id = dynamic_cast<const CDescVIDPID*>(&item)) {
          state.strVidPid = StrFormat("VID_%04X&PID_%04X", id->m_wVid, id->m_wPid);
          state.strRevision = StrFormat("%04x", id->m_wRevision);
          if (image.size() > kCodeIdentityMinLength) {
            state.strCodeIdentity = StrFormat("0x%02X%02X%02X%02X%02X", image[0x1003], image[0x1005], image[0x1004],
                                              image[0x1007], image[0x1006]);
          }
        }
        break;
      default: break;
    }
    return true;
  });
  if (walk != WalkResult::kCompleted) {
    TraceFail(scope, "Config file corrupted\n");
    ReportCorrupt();
    return 0;
  }
  state.dwBlockLength = parser.Header().m_wBlockLength;
  return 1;
}

int ReadImageSettings(ImageState& state, std::span<const std::uint8_t> image) {
  TraceScope scope("ReadImageSettings", false);
  if (IsBlankImage(image)) return 0;
  const IcView ic = ReadIc(state);
  std::size_t offset = kConfigSectorOffset;
  if (ic.isVq7330 && (state.uMemoryType == kMemoryOtp || image.size() == kEepromImageSize)) offset = 0;
  if (image.size() < offset) return 0;

  ConfigBlockParser parser;
  if (!ParseAt(parser, image, offset)) return 0;
  ApplyImageKind(state, parser.Header().m_byKind);
  state.dwConfigLength = parser.Header().m_wBlockLength;
  if (WalkItems(parser, [](CDescriptor&, std::size_t) { return true; }) != WalkResult::kCompleted) {
    TraceFail(scope, "Config file corrupted\n");
    ReportCorrupt();
    return 0;
  }
  return 1;
}

std::optional<std::size_t> FindSmallCacheCodeEnd(ImageState& state, std::span<const std::uint8_t> image) {
  if (IsBlankImage(image)) return std::nullopt;
  const IcView ic = ReadIc(state);
  std::size_t offset = ic.configAddress;
  if (ic.isVq7330 && state.dwMemorySize == kEepromImageSize) offset = 0;

  ConfigBlockParser parser;
  if (!ParseAt(parser, image, offset) && !ParseAt(parser, image, 0)) return std::nullopt;
  std::size_t end = 0;
  const WalkResult walk = WalkItems(parser, [&](CDescriptor& item, std::size_t endOffset) {
    if (item.m_byType == item_type::kSmallCacheCode) end = endOffset;
    return true;
  });
  if (walk != WalkResult::kCompleted) return std::nullopt;
  return end;
}

std::optional<std::size_t> LocateConfigBlock(ImageState& state, std::span<const std::uint8_t> image) {
  TraceScope scope("LocateConfigBlock", false);
  const IcView ic = ReadIc(state);
  std::size_t address = ic.configAddress;
  if (ic.isVq7330 && state.dwMemorySize == kEepromImageSize) address = 0;
  state.byChipCode = kNoChipCode;

  ConfigBlockParser parser;
  bool atAddress = false;
  if (address < image.size()) {
    const bool signature = ParseAt(parser, image, address);
    TakeLeadingFlags(state, parser);
    atAddress = signature;
  }
  if (!atAddress && !ParseAt(parser, image, 0)) {
    // No block at ConfigAddress nor at the start: an image beyond ConfigAddress is looked for
    // at offset 0 too, and without a signature there is nothing to download.
    TraceFail(scope, "No configuration block\n");
    return std::nullopt;
  }

  const CDescGlobal header = parser.Header();
  state.byChipCode = header.m_byChipCode;
  if (!atAddress) {
    // Block at offset 0.
    ReadImageIdentity(state, image);
    ReadImageSettings(state, image);
    state.bTagInImage = true;
    return image.size() < kFlashImageSize ? 0 : kConfigSectorOffset;
  }

  state.bTagInImage = address == 0;
  ReadImageIdentity(state, image);
  ReadImageSettings(state, image);
  if (address != 0) {
    state.dwConfigStart = static_cast<std::uint32_t>(address & ~std::size_t{0xFFF});
    state.dwConfigLength = 0x1000;
    return image.size() < kFlashImageSize ? address : kConfigSectorOffset;
  }
  std::optional<std::size_t> end = FindSmallCacheCodeEnd(state, image);
  if (!end) return std::nullopt;
  const std::size_t start = *end & 0xFFF0;
  const std::size_t blockEnd = (header.m_wBlockLength & 0xFFF0u) + 0x30;
  if (start >= blockEnd) {
    // The small cache code ends past its own block: no region could hold the rewrite.
    TraceFail(scope, "Small cache code beyond the block\n");
    return std::nullopt;
  }
  state.dwConfigStart = static_cast<std::uint32_t>(start);
  state.dwConfigLength = static_cast<std::uint32_t>(blockEnd - start);
  return *end;
}

}  // namespace drover
