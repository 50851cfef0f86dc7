#include "image/config_block.h"

#include <algorithm>

#include "base/bytes.h"

namespace drover {

namespace {

constexpr FieldOrder B = FieldOrder::kByte;
constexpr FieldOrder LE = FieldOrder::kLE;
constexpr FieldOrder BE = FieldOrder::kBE;

// Largest block the 16-bit block length can describe.
constexpr std::size_t kMaxBuiltBlock = 0xFFFF;
// A 10-bit item length of 1023 with type 39 marks the extended form.
constexpr std::size_t kExtendedMarkerLength = 1023;
constexpr std::size_t kMaxTenBitLength = 1022;

// Leading items.
constexpr FieldLayout kHwApFields[] = {{"wHWId", 0, 2, LE}, {"wAPVersion", 2, 2, LE}};
constexpr FieldLayout kOneByteFields[] = {{"byValue", 0, 1, B}};

// Chip codes 21 and 24.
constexpr FieldLayout kSlbFields[] = {{"bySLBFlags", 0, 1, B},  {"bFSTstCnt", 1, 1, B},   {"dwHSTstCnt", 2, 4, LE},
                                    {"wHSFailTh", 6, 2, LE},  {"bFixPattern", 8, 1, B}, {"bSeed", 9, 1, B},
                                    {"bFSFailTh", 10, 1, B},  {"wHSDlyTime", 11, 2, LE}};
constexpr FieldLayout kUacTopFields[] = {{"wUAVVersion", 0, 2, BE},      {"byUSBSpeedMode", 2, 1, B},
                                       {"byHIDEnable", 3, 1, B},       {"byUAC2INInterval", 4, 1, B},
                                       {"byUAC2OUTInterval", 5, 1, B}, {"byU2PhySensitivity", 6, 1, B},
                                       {"byJackDetectEvent", 7, 1, B}, {"byRemoteWakeup", 8, 1, B},
                                       {"byEndpointEnable", 9, 1, B},  {"wVID", 10, 2, BE},
                                       {"wPID", 12, 2, BE},            {"wRevID", 14, 2, BE}};
constexpr FieldLayout kEpInfoFields[] = {{"byConnectType", 0, 1, B}, {"wSampleRate", 1, 2, BE},
                                       {"byBitResolution", 3, 1, B}, {"wChLocation", 4, 2, BE},
                                       {"wTerminalType", 6, 2, BE}, {"wVolumeMin", 8, 2, BE},
                                       {"wVolumeMax", 10, 2, BE},   {"wVolumeRes", 12, 2, BE},
                                       {"bySupportLoudness", 14, 1, B}};
constexpr FieldLayout kEpInfoNoLoudnessFields[] = {{"byConnectType", 0, 1, B}, {"wSampleRate", 1, 2, BE},
                                                 {"byBitResolution", 3, 1, B}, {"wChLocation", 4, 2, BE},
                                                 {"wTerminalType", 6, 2, BE}, {"wVolumeMin", 8, 2, BE},
                                                 {"wVolumeMax", 10, 2, BE},   {"wVolumeRes", 12, 2, BE}};
constexpr FieldLayout kInterCodecFields[] = {
    {"bySSCSelect", 0, 1, B},        {"byJD1ConnectEP", 1, 1, B},       {"byJD2ConnectEP", 2, 1, B},
    {"byADStereoConType", 3, 1, B},  {"byADMonoConType", 4, 1, B},      {"byButtonIntEnable", 5, 1, B},
    {"byGBtnDetectWinCtl", 6, 1, B}, {"byGBtnClkDiv", 7, 1, B},         {"byGBtnDeglitchClkDiv", 8, 1, B},
    {"byJD3Ttime", 9, 1, B},         {"byJD3Duty", 10, 1, B},           {"byJD3DetectCnt", 11, 1, B}};
constexpr FieldLayout kInterSpdifFields[] = {{"bySSCSelect", 0, 1, B},       {"byDataFmt", 1, 1, B},
                                           {"byEmphasisofPro", 2, 1, B},   {"byCopyProtection", 3, 1, B},
                                           {"byLevelofConsumer", 4, 1, B}, {"byCategoryCodeofConsumer", 5, 1, B}};
constexpr FieldLayout kInterUartFields[] = {{"bySSCSelect", 0, 1, B},
                                          {"byStopBitNum", 1, 1, B},
                                          {"byDataLen", 2, 1, B},
                                          {"byParity", 3, 1, B},
                                          {"dwBaudRate", 4, 4, BE}};
constexpr FieldLayout kGpioDrivingFields[] = {{"byDriving", 0, 1, B, 10}};

// Chip code 17.
constexpr FieldLayout kI2S0Fields[] = {{"wI2SSetting", 0, 2, BE}, {"byI2SData", 2, 1, B, 25}};
constexpr FieldLayout kI2S0ChannelFields[] = {{"byChannel", 0, 1, B, 8}};
constexpr FieldLayout kI2S1Fields[] = {{"wI2SSetting", 0, 2, BE}, {"byI2SData", 2, 1, B, 13}};
constexpr FieldLayout kI2S1ChannelFields[] = {{"byChannel", 0, 1, B, 4}};
constexpr FieldLayout kCodec0SettingFields[] = {{"bySetting", 0, 1, B, 4},
                                              {"wRegAddr", 4, 2, BE, 14, 3},
                                              {"byRegValue", 6, 1, B, 14, 3},
                                              {"wDelay", 46, 2, BE}};
constexpr FieldLayout kCodec1SettingFields[] = {{"bySetting", 0, 1, B, 4},
                                              {"wRegAddr", 4, 2, BE, 6, 3},
                                              {"byRegValue", 6, 1, B, 6, 3},
                                              {"wDelay", 22, 2, BE}};
constexpr FieldLayout kEndPointTypeFields[] = {{"wEndPointType", 0, 2, BE, 8}};
// Register words come as (read, write, mask) per channel.
constexpr FieldLayout kVolume4Fields[] = {{"dwRegister", 0, 4, BE, 12},
                                        {"wVolumeMax", 48, 2, BE},
                                        {"wVolumeMin", 50, 2, BE},
                                        {"wVolumeRes", 52, 2, BE}};
constexpr FieldLayout kVolume2Fields[] = {{"dwRegister", 0, 4, BE, 6},
                                        {"wVolumeMax", 24, 2, BE},
                                        {"wVolumeMin", 26, 2, BE},
                                        {"wVolumeRes", 28, 2, BE}};
constexpr FieldLayout kMute3Fields[] = {{"dwRegister", 0, 4, BE, 9}};
constexpr FieldLayout kMute2Fields[] = {{"dwRegister", 0, 4, BE, 6}};

using K = ItemKind;
using G = ChipGroup;

constexpr ItemClassRow kItemClasses[] = {
    // Recognised by position right after the header.
    {47, G::kLeading, K::kFixed, "CDescHWAPVersion", 6, kHwApFields},
    {8, G::kLeading, K::kFixed, "CDescEEPInfo", 3, kOneByteFields},
    {20, G::kLeading, K::kFixed, "CDescBankCopyInfo", 3, kOneByteFields},
    {21, G::kLeading, K::kFixed, "CDescForceUpdateInfo", 3, kOneByteFields},
    // Every chip.
    {1, G::kAll, K::kString, "CDescStringManu", 0, {}},
    {2, G::kAll, K::kString, "CDescStringProd", 0, {}},
    {3, G::kAll, K::kString, "CDescStringSN", 0, {}},
    {6, G::kAll, K::kString, "CDescStringUBistName", 0, {}},
    {7, G::kAll, K::kString, "CDescStringIAD", 0, {}},
    {4, G::kAll, K::kVidPid, "CDescVIDPID", 8, {}},
    {15, G::kAll, K::kCodeInfo, "CDescCodeInfo", 6, {}},
    // Chip code 17.
    {8, G::k7310, K::kFixed, "CDescI2S0_7310", 29, kI2S0Fields},
    {9, G::k7310, K::kFixed, "CDescI2S0Channel", 10, kI2S0ChannelFields},
    {10, G::k7310, K::kFixed, "CDescI2S1_7310", 17, kI2S1Fields},
    {11, G::k7310, K::kFixed, "CDescI2S1Channel", 6, kI2S1ChannelFields},
    {12, G::k7310, K::kFixed, "CDescI2SCodec0Setting", 50, kCodec0SettingFields},
    {16, G::k7310, K::kFixed, "CDescI2SCodec1Setting", 26, kCodec1SettingFields},
    {27, G::k7310, K::kCodecSequence, "CDescI2SCodecCommonSetting", 0, {}},
    {28, G::k7310, K::kCodecSequence, "CDescI2SCodecStartInSetting", 0, {}},
    {29, G::k7310, K::kCodecSequence, "CDescI2SCodecCloseInSetting", 0, {}},
    {30, G::k7310, K::kCodecSequence, "CDescI2SCodecStartOutSetting", 0, {}},
    {31, G::k7310, K::kCodecSequence, "CDescI2SCodecCloseOutSetting", 0, {}},
    {32, G::k7310, K::kCodecSequence, "CDescI2SCodecCloseAllSetting", 0, {}},
    {33, G::k7310, K::kCodecSequence, "CDescI2SCodecSuspendSetting", 0, {}},
    {47, G::k7310, K::kFixed, "CDescEndPointType", 18, kEndPointTypeFields},
    {48, G::k7310, K::kFixed, "CDescI2SEPAVolumeSetting", 56, kVolume4Fields},
    {49, G::k7310, K::kFixed, "CDescI2SEPBVolumeSetting", 32, kVolume2Fields},
    {50, G::k7310, K::kFixed, "CDescI2SEPCVolumeSetting", 32, kVolume2Fields},
    {51, G::k7310, K::kFixed, "CDescI2SEPDVolumeSetting", 32, kVolume2Fields},
    {52, G::k7310, K::kFixed, "CDescI2SEPGVolumeSetting", 56, kVolume4Fields},
    {53, G::k7310, K::kFixed, "CDescI2SEPHVolumeSetting", 32, kVolume2Fields},
    {54, G::k7310, K::kFixed, "CDescI2SEPIVolumeSetting", 32, kVolume2Fields},
    {55, G::k7310, K::kFixed, "CDescI2SEPJVolumeSetting", 32, kVolume2Fields},
    {56, G::k7310, K::kFixed, "CDescI2SCodec0InMuteSetting", 38, kMute3Fields},
    {57, G::k7310, K::kFixed, "CDescI2SCodec0OutMuteSetting", 38, kMute3Fields},
    {58, G::k7310, K::kFixed, "CDescI2SCodec1MuteSetting", 26, kMute2Fields},
    // Chip codes 21 and 24.
    {14, G::k7330, K::kFixed, "CDescSLB", 15, kSlbFields},
    {39, G::k7330, K::kSmallCacheCode, "CDescSmallCachecode", 0, {}},
    // The PHY sensitivity (p6) only works from 1 to 15.
    {64, G::k7330, K::kFixed, "CDescUACTop", 18, kUacTopFields, 6, 1, 15},
    {65, G::k7330, K::kFixed, "CDescEPAInfo", 17, kEpInfoFields},
    {66, G::k7330, K::kFixed, "CDescEPBInfo", 17, kEpInfoFields},
    {67, G::k7330, K::kFixed, "CDescEPCInfo", 17, kEpInfoFields},
    {68, G::k7330, K::kFixed, "CDescEPGInfo", 16, kEpInfoNoLoudnessFields},
    {69, G::k7330, K::kFixed, "CDescEPHInfo", 16, kEpInfoNoLoudnessFields},
    {70, G::k7330, K::kFixed, "CDescEPIInfo", 16, kEpInfoNoLoudnessFields},
    // The button detection window (p6) only works from 2 to 127.
    {71, G::k7330, K::kFixed, "CDescInterCodecInfo", 14, kInterCodecFields, 6, 2, 127},
    {72, G::k7330, K::kFixed, "CDescInterSPDIFInfo", 8, kInterSpdifFields},
    {73, G::k7330, K::kFixed, "CDescInterUartInfo", 10, kInterUartFields},
    {74, G::k7330, K::kFixed, "CDescGPIODrivingInfo", 12, kGpioDrivingFields},
};

bool GroupHolds(ChipGroup group, std::uint8_t chipCode) {
  switch (group) {
    case ChipGroup::kAll: return true;
    case ChipGroup::k7310: return chipCode == 17;
    case ChipGroup::k7330: return chipCode == 21 || chipCode == 24;
    case ChipGroup::kLeading: return false;
  }
  return false;
}

// Chips whose header reader takes a bank copy item.
bool HasBankCopy(std::uint8_t chipCode) { return chipCode == 25 || chipCode == 26; }

std::uint32_t ReadField(std::span<const std::uint8_t> b, std::size_t at, const FieldLayout& f) {
  switch (f.width) {
    case 1: return b[at];
    case 2: return f.order == FieldOrder::kBE ? ReadBE16(b, at) : ReadLE16(b, at);
    default: return f.order == FieldOrder::kBE ? ReadBE32(b, at) : ReadLE32(b, at);
  }
}

void WriteField(std::span<std::uint8_t> b, std::size_t at, const FieldLayout& f, std::uint32_t v) {
  switch (f.width) {
    case 1: b[at] = static_cast<std::uint8_t>(v); break;
    case 2:
      if (f.order == FieldOrder::kBE) WriteBE16(b, at, static_cast<std::uint16_t>(v));
      else WriteLE16(b, at, static_cast<std::uint16_t>(v));
      break;
    default:
      if (f.order == FieldOrder::kBE) WriteBE32(b, at, v);
      else WriteLE32(b, at, v);
      break;
  }
}

std::size_t Stride(const FieldLayout& f) { return f.stride ? f.stride : f.width; }

void AppendLE16(std::vector<std::uint8_t>& out, std::size_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}

}  // namespace

std::uint16_t HwIdForChipCode(std::uint8_t chipCode) {
  for (const ChipHwId& row : kHwIdByChipCode) {
    if (row.byChipCode == chipCode) return row.wHwId;
  }
  return 0;
}

std::optional<ItemHeader> DecodeItemHeader(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 2) return std::nullopt;
  const std::size_t tenBitLength = bytes[0] | (static_cast<std::size_t>(bytes[1] >> 6) << 8);
  const std::uint8_t sixBitType = bytes[1] & 0x3F;
  ItemHeader h;
  if (tenBitLength == kExtendedMarkerLength && sixBitType == item_type::kSmallCacheCode) {
    if (bytes.size() < 4) return std::nullopt;
    h.byType = item_type::kSmallCacheCode;
    h.length = ReadLE16(bytes, 2);
    h.headerSize = 4;
    h.bExtended = true;
    return h;
  }
  h.byType = bytes[1];
  h.length = bytes[0];
  h.headerSize = 2;
  return h;
}

CDescGlobal CDescGlobal::Decode(std::span<const std::uint8_t> bytes) {
  CDescGlobal g;
  g.m_byKind = bytes[0];
  g.m_bySignature = bytes[1];
  g.m_byChipCode = static_cast<std::uint8_t>(bytes[2] >> 3);
  g.m_bySubMode = bytes[2] & 0x07;
  g.m_wBlockLength = ReadLE16(bytes, 3);
  g.m_byItemCount = bytes[5];
  return g;
}

void CDescGlobal::Encode(std::span<std::uint8_t> out) const {
  out[0] = m_byKind;
  out[1] = m_bySignature;
  out[2] = static_cast<std::uint8_t>(((m_byChipCode & 0x1F) << 3) | (m_bySubMode & 0x07));
  WriteLE16(out, 3, m_wBlockLength);
  out[5] = m_byItemCount;
}

// ---- Type-to-class table ---------------------------------------------------------------

std::span<const ItemClassRow> ItemClassTable() { return kItemClasses; }

const ItemClassRow* FindItemClass(std::uint8_t type, std::uint8_t chipCode) {
  for (const ItemClassRow& row : kItemClasses) {
    if (row.type == type && GroupHolds(row.chips, chipCode)) return &row;
  }
  return nullptr;
}

const ItemClassRow& LeadingItemClass(std::uint8_t type) {
  for (const ItemClassRow& row : kItemClasses) {
    if (row.chips == ChipGroup::kLeading && row.type == type) return row;
  }
  return kItemClasses[0];
}

// ---- Items -------------------------------------------------------------------------------

bool CDescriptor::Parse(std::span<const std::uint8_t> item) {
  std::optional<ItemHeader> h = DecodeItemHeader(item);
  if (!h || h->length < h->headerSize || h->length > item.size()) return false;
  m_byType = h->byType;
  m_wLength = static_cast<std::uint16_t>(h->length);
  m_wPayloadLength = static_cast<std::uint16_t>(h->length - h->headerSize);
  if (h->bExtended) m_wExtLength = static_cast<std::uint16_t>(h->length);
  m_bFilled = true;
  return true;
}

CDescFixed::CDescFixed(const ItemClassRow& row) : CDescriptor(row.type), m_row(&row) {
  std::size_t n = 0;
  for (const FieldLayout& f : row.fields) n += f.count;
  m_values.assign(n, 0);
  m_wLength = row.length;
  m_wPayloadLength = static_cast<std::uint16_t>(row.length - 2);
}

bool CDescFixed::Parse(std::span<const std::uint8_t> item) {
  if (!CDescriptor::Parse(item)) return false;
  // Fields beyond a shorter item read as 0; the item is written back with the row's length.
  const std::span<const std::uint8_t> bytes = item.first(m_wLength);
  std::size_t slot = 0;
  for (const FieldLayout& f : m_row->fields) {
    for (std::size_t i = 0; i < f.count; ++i, ++slot) {
      const std::size_t at = 2 + f.offset + i * Stride(f);
      m_values[slot] = at + f.width <= bytes.size() ? ReadField(bytes, at, f) : 0;
    }
  }
  return true;
}

bool CDescFixed::Encode(std::vector<std::uint8_t>& out) const {
  std::vector<std::uint8_t> item(m_row->length, 0);
  item[0] = m_row->length;
  item[1] = m_row->type;
  std::size_t slot = 0;
  for (const FieldLayout& f : m_row->fields) {
    for (std::size_t i = 0; i < f.count; ++i, ++slot) {
      WriteField(item, 2 + f.offset + i * Stride(f), f, m_values[slot]);
    }
  }
  if (m_row->clampOffset != 0xFF) {
    std::uint8_t& b = item[2 + m_row->clampOffset];
    b = std::clamp(b, m_row->clampMin, m_row->clampMax);
  }
  out.insert(out.end(), item.begin(), item.end());
  return true;
}

std::optional<std::size_t> CDescFixed::Slot(std::string_view name, std::size_t index) const {
  std::size_t slot = 0;
  for (const FieldLayout& f : m_row->fields) {
    if (f.name == name) {
      if (index >= f.count) return std::nullopt;
      return slot + index;
    }
    slot += f.count;
  }
  return std::nullopt;
}

std::uint32_t CDescFixed::Value(std::string_view name, std::size_t index) const {
  std::optional<std::size_t> s = Slot(name, index);
  return s ? m_values[*s] : 0;
}

bool CDescFixed::SetValue(std::string_view name, std::uint32_t value, std::size_t index) {
  std::optional<std::size_t> s = Slot(name, index);
  if (!s) return false;
  m_values[*s] = value;
  return true;
}

CDescString::CDescString(std::uint8_t type) : CDescriptor(type) {}

std::string_view CDescString::ClassName() const {
  const ItemClassRow* row = FindItemClass(m_byType, 0);
  return row && row->kind == ItemKind::kString ? row->className : std::string_view("CDescString");
}

bool CDescString::Parse(std::span<const std::uint8_t> item) {
  if (!CDescriptor::Parse(item) || m_wLength < 4) return false;
  const std::uint8_t bLength = item[2];
  // A text that does not fit the text area, or that reaches past its item, is corrupt.
  if (bLength < kMinLength || bLength > kMaxLength || bLength + 2u > m_wLength) return false;
  m_byLength = bLength;
  m_byDescriptorType = item[3];
  m_text.fill(0);
  std::copy_n(item.begin() + 4, bLength - 2, m_text.begin());
  return true;
}

bool CDescString::Encode(std::vector<std::uint8_t>& out) const {
  if (m_byLength < kMinLength || m_byLength > kMaxLength) return false;
  out.push_back(static_cast<std::uint8_t>(m_byLength + 2));
  out.push_back(m_byType);
  out.push_back(m_byLength);
  out.push_back(m_byDescriptorType);
  out.insert(out.end(), m_text.begin(), m_text.begin() + (m_byLength - 2));
  return true;
}

std::string CDescString::Text() const {
  const std::size_t n = std::min<std::size_t>(m_byLength - 2u, kTextArea - 1);
  std::string text(m_text.begin(), m_text.begin() + static_cast<std::ptrdiff_t>(n));
  const std::size_t zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
  return text;
}

bool CDescString::SetText(std::string_view text) {
  if (text.size() > kTextArea - 1) return false;
  m_text.fill(0);
  std::copy(text.begin(), text.end(), m_text.begin());
  m_byLength = static_cast<std::uint8_t>(text.size() + 2);
  m_wLength = static_cast<std::uint16_t>(m_byLength + 2);
  m_wPayloadLength = m_byLength;
  return true;
}

bool CDescVIDPID::Parse(std::span<const std::uint8_t> item) {
  if (!CDescriptor::Parse(item)) return false;
  const std::span<const std::uint8_t> b = item.first(m_wLength);
  m_wVid = b.size() >= 4 ? ReadLE16(b, 2) : 0;
  m_wPid = b.size() >= 6 ? ReadLE16(b, 4) : 0;
  m_wRevision = b.size() >= 8 ? ReadLE16(b, 6) : 0;
  return true;
}

bool CDescVIDPID::Encode(std::vector<std::uint8_t>& out) const {
  out.push_back(8);
  out.push_back(item_type::kVidPid);
  AppendLE16(out, m_wVid);
  AppendLE16(out, m_wPid);
  AppendLE16(out, m_wRevision);
  return true;
}

bool CDescCodeInfo::Parse(std::span<const std::uint8_t> item) {
  if (!CDescriptor::Parse(item)) return false;
  const std::span<const std::uint8_t> b = item.first(m_wLength);
  m_wCodeOffset = b.size() >= 4 ? ReadLE16(b, 2) : 0;
  m_wCodeLength = b.size() >= 6 ? ReadLE16(b, 4) : 0;
  return true;
}

bool CDescCodeInfo::Encode(std::vector<std::uint8_t>& out) const {
  if (m_code.empty() || m_code.size() > 0xFFFF) return false;
  out.push_back(6);
  out.push_back(item_type::kCodeInfo);
  AppendLE16(out, m_wCodeOffset);
  AppendLE16(out, m_code.size());
  return true;
}

bool CDescSmallCachecode::Parse(std::span<const std::uint8_t> item) {
  if (!CDescriptor::Parse(item)) return false;
  if (m_wExtLength == 0 || m_wLength < 8) return false;
  m_wCodeOffset = ReadLE16(item, 4);
  m_wCodeLength = ReadLE16(item, 6);
  return true;
}

bool CDescSmallCachecode::Encode(std::vector<std::uint8_t>& out) const {
  const std::size_t total = m_code.size() + 8;
  if (total > 0xFFFF) return false;
  out.push_back(0xFF);
  out.push_back(0xE7);
  AppendLE16(out, total);
  AppendLE16(out, m_wCodeOffset);
  AppendLE16(out, m_code.size());
  out.insert(out.end(), m_code.begin(), m_code.end());
  return true;
}

CDescCodecSequence::CDescCodecSequence(std::uint8_t type) : CDescriptor(type) {}

std::string_view CDescCodecSequence::ClassName() const {
  const ItemClassRow* row = FindItemClass(m_byType, 17);
  return row && row->kind == ItemKind::kCodecSequence ? row->className : std::string_view("CDescCodecSequence");
}

bool CDescCodecSequence::Parse(std::span<const std::uint8_t> item) {
  if (!CDescriptor::Parse(item) || m_wLength < 4) return false;
  m_sequence.assign(item.begin() + 2, item.begin() + (m_wLength - 2));
  m_wTrailer = ReadBE16(item, m_wLength - 2u);
  return true;
}

bool CDescCodecSequence::Encode(std::vector<std::uint8_t>& out) const {
  const std::size_t length = m_sequence.size() + 4;
  if (length > kMaxTenBitLength) return false;
  // 10-bit length: the low 8 bits in byte 0, bits 9..8 in the top of byte 1 above the type.
  out.push_back(static_cast<std::uint8_t>(length & 0xFF));
  out.push_back(static_cast<std::uint8_t>(((length >> 8) & 0x03) << 6 | (m_byType & 0x3F)));
  out.insert(out.end(), m_sequence.begin(), m_sequence.end());
  out.push_back(static_cast<std::uint8_t>(m_wTrailer >> 8));
  out.push_back(static_cast<std::uint8_t>(m_wTrailer & 0xFF));
  return true;
}

bool CDescDummy::Parse(std::span<const std::uint8_t> item) {
  if (!CDescriptor::Parse(item)) return false;
  m_raw.assign(item.begin(), item.begin() + m_wLength);
  return true;
}

bool CDescDummy::Encode(std::vector<std::uint8_t>& out) const {
  if (m_raw.empty()) return false;
  out.insert(out.end(), m_raw.begin(), m_raw.end());
  return true;
}

std::unique_ptr<CDescriptor> CreateDescriptor(std::uint8_t type, std::uint8_t chipCode) {
  const ItemClassRow* row = FindItemClass(type, chipCode);
  if (!row) return std::make_unique<CDescDummy>(type);
  switch (row->kind) {
    case ItemKind::kString: return std::make_unique<CDescString>(type);
    case ItemKind::kVidPid: return std::make_unique<CDescVIDPID>();
    case ItemKind::kCodeInfo: return std::make_unique<CDescCodeInfo>();
    case ItemKind::kSmallCacheCode: return std::make_unique<CDescSmallCachecode>();
    case ItemKind::kCodecSequence: return std::make_unique<CDescCodecSequence>(type);
    case ItemKind::kFixed: return std::make_unique<CDescFixed>(*row);
  }
  return std::make_unique<CDescDummy>(type);
}

std::unique_ptr<CDescFixed> CreateLeadingItem(std::uint8_t type) {
  return std::make_unique<CDescFixed>(LeadingItemClass(type));
}

// ---- Parser ------------------------------------------------------------------------------

void ConfigBlockParser::LoadBlock(std::span<const std::uint8_t> bytes) {
  const std::size_t n = std::min(bytes.size(), kMaxBlockBytes);
  m_block.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
  m_bLoaded = true;
  m_bCorrupt = false;
  m_cursor = kBlockHeaderSize;
  m_header = CDescGlobal{};
  m_leading = LeadingItems{};
  m_iItemsLeft = 0;
}

bool ConfigBlockParser::ConsumeLeading(std::uint8_t type, std::size_t length, std::uint8_t& value) {
  if (m_cursor + length > m_block.size()) return false;
  if (m_block[m_cursor] != length || m_block[m_cursor + 1] != type) return false;
  value = m_block[m_cursor + 2];
  m_cursor += length;
  --m_iItemsLeft;
  return true;
}

const CDescGlobal* ConfigBlockParser::ReadHeader() {
  if (!m_bLoaded || m_block.size() < kBlockHeaderSize) return nullptr;
  // Reading again starts over, so a second read ends with the same count and cursor.
  m_header = CDescGlobal::Decode(m_block);
  m_leading = LeadingItems{};
  m_bCorrupt = false;
  m_cursor = kBlockHeaderSize;
  m_iItemsLeft = m_header.m_byItemCount;

  if (m_cursor + 6 <= m_block.size() && m_block[m_cursor] == 6 && m_block[m_cursor + 1] == item_type::kHwApVersion) {
    m_leading.bHwApVersion = true;
    m_leading.wHwId = ReadLE16(m_block, m_cursor + 2);
    m_leading.wApVersion = ReadLE16(m_block, m_cursor + 4);
    m_cursor += 6;
    --m_iItemsLeft;
  }
  m_leading.bEepInfo = ConsumeLeading(item_type::kEepInfo, 3, m_leading.byEepInfo);
  if (HasBankCopy(m_header.m_byChipCode)) {
    m_leading.bBankCopy = ConsumeLeading(item_type::kBankCopy, 3, m_leading.byBankCopy);
  }
  m_leading.bForceUpdate = ConsumeLeading(item_type::kForceUpdate, 3, m_leading.byForceUpdate);
  return &m_header;
}

std::unique_ptr<CDescriptor> ConfigBlockParser::NextItem() {
  if (!m_bLoaded || m_cursor >= m_block.size() || m_cursor >= m_header.m_wBlockLength) return nullptr;
  const std::span<const std::uint8_t> rest = std::span<const std::uint8_t>(m_block).subspan(m_cursor);
  std::optional<ItemHeader> h = DecodeItemHeader(rest);
  if (!h) return nullptr;
  if (h->length < h->headerSize) {
    // A zero length would hold the cursor in place for ever.
    m_bCorrupt = true;
    return nullptr;
  }
  if (h->length > rest.size()) return nullptr;
  const std::span<const std::uint8_t> bytes = rest.first(h->length);

  std::unique_ptr<CDescriptor> item;
  if (h->byType == item_type::kSmallCacheCode && !h->bExtended) {
    item = std::make_unique<CDescDummy>(h->byType);  // no code fields without the extended form
  } else {
    item = CreateDescriptor(h->byType, m_header.m_byChipCode);
  }
  if (!item->Parse(bytes)) {
    m_bCorrupt = true;
    return nullptr;
  }

  if (auto* code = dynamic_cast<CDescCodeInfo*>(item.get())) {
    if (std::size_t(code->m_wCodeOffset) + code->m_wCodeLength > m_block.size()) {
      m_bCorrupt = true;
      return nullptr;
    }
    code->m_code.assign(m_block.begin() + code->m_wCodeOffset,
                        m_block.begin() + code->m_wCodeOffset + code->m_wCodeLength);
  } else if (auto* cache = dynamic_cast<CDescSmallCachecode*>(item.get())) {
    if (!cache->m_bInline) {
      if (std::size_t(cache->m_wCodeOffset) + cache->m_wCodeLength > m_block.size()) {
        m_bCorrupt = true;
        return nullptr;
      }
      cache->m_code.assign(m_block.begin() + cache->m_wCodeOffset,
                           m_block.begin() + cache->m_wCodeOffset + cache->m_wCodeLength);
      cache->m_wExtLength = static_cast<std::uint16_t>(std::min<std::size_t>(cache->m_wCodeLength + 8u, 0xFFFF));
    }
  }
  m_cursor += h->length;
  return item;
}

bool ConfigBlockParser::SkipItem() {
  if (!m_bLoaded || m_cursor >= m_block.size()) return false;
  const std::span<const std::uint8_t> rest = std::span<const std::uint8_t>(m_block).subspan(m_cursor);
  std::optional<ItemHeader> h = DecodeItemHeader(rest);
  if (!h) return false;
  if (h->length < h->headerSize) {
    m_bCorrupt = true;
    return false;
  }
  if (h->length > rest.size()) return false;
  m_cursor += h->length;
  return true;
}

void ConfigBlockParser::BeginBuild(const CDescGlobal& source, bool withVersion) {
  m_buildHeader = source;
  m_buildHeader.m_bySignature = kBlockSignature;
  m_build.assign(kBlockHeaderSize, 0);
  m_byBuildCount = 0;
  m_buildCode.clear();
  m_codeOffsetPatch.reset();
  const LeadingItems source_leading = m_leading;
  if (withVersion) {
    auto item = CreateLeadingItem(item_type::kHwApVersion);
    item->SetValue("wHWId", HwIdForChipCode(source.m_byChipCode));
    item->SetValue("wAPVersion", source_leading.wApVersion ? source_leading.wApVersion : kDefaultApVersion);
    AppendItem(*item);
  }
  if (source_leading.bEepInfo) {
    auto item = CreateLeadingItem(item_type::kEepInfo);
    item->SetValue("byValue", source_leading.byEepInfo);
    AppendItem(*item);
  }
  if (source_leading.bBankCopy && HasBankCopy(source.m_byChipCode)) {
    auto item = CreateLeadingItem(item_type::kBankCopy);
    item->SetValue("byValue", source_leading.byBankCopy);
    AppendItem(*item);
  }
  if (source_leading.bForceUpdate) {
    auto item = CreateLeadingItem(item_type::kForceUpdate);
    item->SetValue("byValue", source_leading.byForceUpdate);
    AppendItem(*item);
  }
}

bool ConfigBlockParser::AppendItem(const CDescriptor& item) {
  if (m_build.empty()) return false;  // no BeginBuild
  std::vector<std::uint8_t> bytes;
  if (!item.Encode(bytes) || bytes.empty()) return false;
  if (m_build.size() + bytes.size() > kMaxBuiltBlock || m_byBuildCount == 0xFF) return false;
  const bool extended = bytes.size() >= 8 && bytes[0] == 0xFF && bytes[1] == 0xE7;
  if (item.m_byType == item_type::kSmallCacheCode && extended && !item.m_bInline) {
    // The code always follows the item's 8 header bytes in a rebuilt block.
    WriteLE16(bytes, 4, static_cast<std::uint16_t>(m_build.size() + 8));
  }
  m_build.insert(m_build.end(), bytes.begin(), bytes.end());
  ++m_byBuildCount;
  if (auto* code = dynamic_cast<const CDescCodeInfo*>(&item)) {
    m_buildCode = code->m_code;
    m_codeOffsetPatch = m_build.size() - 4;
  }
  return true;
}

bool ConfigBlockParser::FinishBuild(std::span<std::uint8_t> out) {
  if (m_build.size() < kBlockHeaderSize) return false;
  if (m_codeOffsetPatch) {
    // The code of a code info item goes right after the last item.
    WriteLE16(m_build, *m_codeOffsetPatch, static_cast<std::uint16_t>(m_build.size()));
  }
  m_buildHeader.m_wBlockLength = static_cast<std::uint16_t>(m_build.size());
  m_buildHeader.m_byItemCount = m_byBuildCount;
  m_buildHeader.Encode(m_build);
  const std::size_t total = BuildTotal();
  if (out.size() < total + kBlockReserve) return false;
  std::copy(m_build.begin(), m_build.end(), out.begin());
  std::copy(m_buildCode.begin(), m_buildCode.end(), out.begin() + static_cast<std::ptrdiff_t>(m_build.size()));
  return true;
}

WalkResult WalkItems(ConfigBlockParser& parser,
                     const std::function<bool(CDescriptor& item, std::size_t endOffset)>& visit) {
  int left = parser.ItemsLeft();
  for (;;) {
    std::unique_ptr<CDescriptor> item = parser.NextItem();
    if (parser.Corrupt()) return WalkResult::kCorrupt;
    if (item) {
      if (!visit(*item, parser.Cursor())) return WalkResult::kStopped;
      --left;  // counted down past 0 too: items beyond the count are still read
      continue;
    }
    if (left <= 0) return WalkResult::kCompleted;
    if (parser.SkipItem()) {
      --left;
      continue;
    }
    return WalkResult::kCorrupt;
  }
}

}  // namespace drover
