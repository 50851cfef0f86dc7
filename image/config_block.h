#pragma once
// The configuration block inside an image: a 6-byte header (kind, 0xA5, chip code and
// sub-mode, block length, item count) followed by typed items that the firmware reads at boot.
// The descriptor classes represent the items in memory; ConfigBlockParser walks a block item
// by item and assembles a new one. No input, however malformed, is read or written outside
// its buffer.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace drover {

inline constexpr std::size_t kMaxBlockBytes = 0x200000;  // no parse looks further than 2 MB
inline constexpr std::size_t kBlockHeaderSize = 6;
inline constexpr std::uint8_t kBlockSignature = 0xA5;
inline constexpr std::size_t kBlockReserve = 128;  // a rebuilt block leaves this much of its area free
inline constexpr std::uint16_t kDefaultApVersion = 0x1060;

// Item type numbers with a meaning of their own for the tool.
namespace item_type {
inline constexpr std::uint8_t kManufacturer = 1;
inline constexpr std::uint8_t kProduct = 2;
inline constexpr std::uint8_t kSerialNumber = 3;
inline constexpr std::uint8_t kVidPid = 4;
inline constexpr std::uint8_t kUBistName = 6;
inline constexpr std::uint8_t kIAD = 7;
inline constexpr std::uint8_t kEepInfo = 8;
inline constexpr std::uint8_t kSLB = 14;
inline constexpr std::uint8_t kCodeInfo = 15;
inline constexpr std::uint8_t kBankCopy = 20;
inline constexpr std::uint8_t kForceUpdate = 21;
inline constexpr std::uint8_t kSmallCacheCode = 39;
inline constexpr std::uint8_t kHwApVersion = 47;
}  // namespace item_type

// HW id written into the HW/AP version item of a rebuilt block, by chip code.
struct ChipHwId {
  std::uint8_t byChipCode;
  std::uint16_t wHwId;
};
inline constexpr std::array<ChipHwId, 12> kHwIdByChipCode{{{17, 0x7310},
                                                           {21, 0x7330},
                                                           {22, 0x7320},
                                                           {23, 0x7322},
                                                           {24, 0x7332},
                                                           {25, 0x7340},
                                                           {26, 0x7370},
                                                           {27, 0x0930},
                                                           {28, 0x6473},
                                                           {29, 0x6475},
                                                           {30, 0x6477},
                                                           {31, 0x0A31}}};
// 0 for a chip code outside the table.
std::uint16_t HwIdForChipCode(std::uint8_t chipCode);

// An item header. Short form: byte 0 = L, byte 1 = type. Extended form (type 39 only): bytes
// 0..1 = 0xFF 0xE7 (a 10-bit length of 1023 with type 39), bytes 2..3 = L little-endian.
struct ItemHeader {
  std::uint8_t byType = 0;
  std::size_t length = 0;      // L, header included
  std::size_t headerSize = 2;  // 4 for the extended form
  bool bExtended = false;
};
// The header at the start of bytes; none when bytes are too short to hold it.
std::optional<ItemHeader> DecodeItemHeader(std::span<const std::uint8_t> bytes);

// CDescGlobal: the 6-byte block header.
struct CDescGlobal {
  std::uint8_t m_byKind = 0;        // image kind byte (memory kind the image is made for)
  std::uint8_t m_bySignature = 0;   // 0xA5 for a configuration block
  std::uint8_t m_byChipCode = 0;    // byte 2 bits 7..3
  std::uint8_t m_bySubMode = 0;     // byte 2 bits 2..0, carried unchanged
  std::uint16_t m_wBlockLength = 0; // header and all items, little-endian
  std::uint8_t m_byItemCount = 0;

  bool HasSignature() const { return m_bySignature == kBlockSignature; }
  // bytes must hold at least 6 bytes.
  static CDescGlobal Decode(std::span<const std::uint8_t> bytes);
  void Encode(std::span<std::uint8_t> out) const;
};

// Base of every item class.
class CDescriptor {
 public:
  explicit CDescriptor(std::uint8_t type) : m_byType(type) {}
  virtual ~CDescriptor() = default;
  // Decodes the item from exactly its L bytes; false when it is malformed (a corrupt block).
  virtual bool Parse(std::span<const std::uint8_t> item);
  // Appends the whole item, header included, to out; false when there is nothing to write.
  virtual bool Encode(std::vector<std::uint8_t>& out) const = 0;
  // The class name of the type-to-class table.
  virtual std::string_view ClassName() const = 0;

  std::uint16_t m_wPayloadLength = 0;  // L minus the header
  bool m_bFilled = false;              // taken from an image
  std::uint16_t m_wLength = 0;         // L, header included
  std::uint16_t m_wExtLength = 0;      // L of an extended item; stored total of a small cache code item
  std::uint8_t m_byType = 0;
  bool m_bInline = false;              // type 39: false means the code is fetched through its offset
};

// Field layout of the fixed-length item classes. Offsets count from payload byte 0 (item
// byte 2); `count` repeats a field at consecutive places (entries of width*count bytes).
enum class FieldOrder : std::uint8_t { kByte, kLE, kBE };
struct FieldLayout {
  std::string_view name;
  std::uint8_t offset;
  std::uint8_t width;  // 1, 2 or 4 bytes
  FieldOrder order;
  std::uint8_t count = 1;
  std::uint8_t stride = 0;  // bytes between repeats; 0 means width
};

// Which chip codes a row applies to.
enum class ChipGroup : std::uint8_t {
  kAll,      // every chip code
  k7310,     // chip code 17
  k7330,     // chip codes 21 and 24
  kLeading,  // leading items, recognised by the header reader by position
};
enum class ItemKind : std::uint8_t { kString, kVidPid, kCodeInfo, kSmallCacheCode, kCodecSequence, kFixed };

// One row of the type-to-class table.
struct ItemClassRow {
  std::uint8_t type;
  ChipGroup chips;
  ItemKind kind;
  std::string_view className;
  std::uint8_t length;                 // fixed L; 0 where the length varies
  std::span<const FieldLayout> fields;   // kFixed rows
  std::uint8_t clampOffset = 0xFF;     // payload byte clamped on Encode (0xFF: none)
  std::uint8_t clampMin = 0;
  std::uint8_t clampMax = 0;
};
std::span<const ItemClassRow> ItemClassTable();
// The row for an item of `type` in a block of `chipCode` (leading rows excluded); null means
// the item is a CDescDummy.
const ItemClassRow* FindItemClass(std::uint8_t type, std::uint8_t chipCode);
// The row of a leading item (types 47, 8, 20, 21).
const ItemClassRow& LeadingItemClass(std::uint8_t type);

// Items of a fixed length whose fields the table describes. Encode writes the row's L and the
// fields in order, so a parsed item of that length encodes back to the same bytes (apart from
// the clamps of types 64 and 71); an item read with another length is written with the row's.
class CDescFixed : public CDescriptor {
 public:
  explicit CDescFixed(const ItemClassRow& row);
  bool Parse(std::span<const std::uint8_t> item) override;
  bool Encode(std::vector<std::uint8_t>& out) const override;
  std::string_view ClassName() const override { return m_row->className; }
  const ItemClassRow& Row() const { return *m_row; }

  // Field values by name (index for repeated fields); 0 / false for an unknown name.
  std::uint32_t Value(std::string_view name, std::size_t index = 0) const;
  bool SetValue(std::string_view name, std::uint32_t value, std::size_t index = 0);

 private:
  // Position of a field's value in m_values; none for an unknown name or index.
  std::optional<std::size_t> Slot(std::string_view name, std::size_t index) const;

  const ItemClassRow* m_row;
  std::vector<std::uint32_t> m_values;  // flattened, in field order
};

// CDescString family (types 1 Manufacturer, 2 Product, 3 serial number, 6 UBist name, 7 IAD):
// a USB string descriptor with 8-bit characters after the item header.
class CDescString : public CDescriptor {
 public:
  static constexpr std::size_t kTextArea = 54;  // 53 characters and the zero byte
  static constexpr std::uint8_t kMinLength = 2;
  static constexpr std::uint8_t kMaxLength = 55;  // bLength that still fits the text area

  explicit CDescString(std::uint8_t type);
  // bLength below 2 or above 55, or a text reaching past the item, is malformed.
  bool Parse(std::span<const std::uint8_t> item) override;
  bool Encode(std::vector<std::uint8_t>& out) const override;
  std::string_view ClassName() const override;

  // The text up to its first zero byte.
  std::string Text() const;
  // Replaces the text (at most 53 bytes, else false) and sets bLength to its size + 2.
  bool SetText(std::string_view text);

  std::uint8_t m_byLength = 2;         // bLength: text bytes + 2
  std::uint8_t m_byDescriptorType = 3; // bDescriptorType, carried unchanged
  std::array<char, kTextArea> m_text{};
};

// Type 4: VID, PID and revision, little-endian.
class CDescVIDPID : public CDescriptor {
 public:
  CDescVIDPID() : CDescriptor(item_type::kVidPid) {}
  bool Parse(std::span<const std::uint8_t> item) override;
  bool Encode(std::vector<std::uint8_t>& out) const override;
  std::string_view ClassName() const override { return "CDescVIDPID"; }
  std::uint16_t m_wVid = 0;
  std::uint16_t m_wPid = 0;
  std::uint16_t m_wRevision = 0;
};

// Type 15: offset (from the block start) and length of a code that lies after the last item.
class CDescCodeInfo : public CDescriptor {
 public:
  CDescCodeInfo() : CDescriptor(item_type::kCodeInfo) {}
  bool Parse(std::span<const std::uint8_t> item) override;
  // False without code: there is nothing the offset could point at.
  bool Encode(std::vector<std::uint8_t>& out) const override;
  std::string_view ClassName() const override { return "CDescCodeInfo"; }
  std::uint16_t m_wCodeOffset = 0;
  std::uint16_t m_wCodeLength = 0;
  std::vector<std::uint8_t> m_code;
};

// Type 39 in the extended form: code offset and length, then the code itself. A rebuilt
// block always carries the code right after the item's 8 header bytes.
class CDescSmallCachecode : public CDescriptor {
 public:
  CDescSmallCachecode() : CDescriptor(item_type::kSmallCacheCode) {}
  bool Parse(std::span<const std::uint8_t> item) override;
  bool Encode(std::vector<std::uint8_t>& out) const override;
  std::string_view ClassName() const override { return "CDescSmallCachecode"; }
  std::uint16_t m_wCodeOffset = 0;
  std::uint16_t m_wCodeLength = 0;
  std::vector<std::uint8_t> m_code;
};

// Types 27 to 33 (chip code 17): a codec register sequence and a big-endian trailer word, with
// the 10-bit header form.
class CDescCodecSequence : public CDescriptor {
 public:
  explicit CDescCodecSequence(std::uint8_t type);
  bool Parse(std::span<const std::uint8_t> item) override;
  bool Encode(std::vector<std::uint8_t>& out) const override;
  std::string_view ClassName() const override;
  std::vector<std::uint8_t> m_sequence;
  std::uint16_t m_wTrailer = 100;  // 100 for a new item
};

// Any item without a class for its chip: the header decoded, the bytes carried unchanged.
class CDescDummy : public CDescriptor {
 public:
  explicit CDescDummy(std::uint8_t type) : CDescriptor(type) {}
  bool Parse(std::span<const std::uint8_t> item) override;
  bool Encode(std::vector<std::uint8_t>& out) const override;
  std::string_view ClassName() const override { return "CDescDummy"; }
  std::vector<std::uint8_t> m_raw;
};

// The object for an item of `type` in a block of `chipCode` (CDescDummy where the table has no
// class). Leading items are recognised before this by the header reader.
std::unique_ptr<CDescriptor> CreateDescriptor(std::uint8_t type, std::uint8_t chipCode);
// A leading item (HW/AP version 47, EEPROM info 8, bank copy 20, force update 21).
std::unique_ptr<CDescFixed> CreateLeadingItem(std::uint8_t type);

// What the header reader found in the leading items.
struct LeadingItems {
  bool bHwApVersion = false;
  std::uint16_t wHwId = 0;
  std::uint16_t wApVersion = 0;
  bool bEepInfo = false;
  std::uint8_t byEepInfo = 0;
  bool bBankCopy = false;  // only read for chip codes 25 and 26
  std::uint8_t byBankCopy = 0;
  bool bForceUpdate = false;
  std::uint8_t byForceUpdate = 0;
};

// Walks one block and builds another. Short-lived: one per operation.
class ConfigBlockParser {
 public:
  // Copies min(bytes.size(), 2 MB) bytes; the cursor goes to offset 6.
  void LoadBlock(std::span<const std::uint8_t> bytes);
  // Decodes the header and consumes the leading items; null when no block is loaded or it is
  // shorter than the header. Reading it again gives the same header, count and cursor.
  const CDescGlobal* ReadHeader();
  // The next item as a new object, or null: no block, cursor at or past the bytes available
  // or the header's block length, an item reaching past the bytes, or a malformed item (which
  // also marks the block corrupt).
  std::unique_ptr<CDescriptor> NextItem();
  // Moves the cursor past the next item by its header alone.
  bool SkipItem();

  bool Loaded() const { return m_bLoaded; }
  // A malformed item was met (zero or short length, bad string, code outside the block).
  bool Corrupt() const { return m_bCorrupt; }
  const CDescGlobal& Header() const { return m_header; }
  const LeadingItems& Leading() const { return m_leading; }
  // Items counted by the header that the leading items left (may go below 0).
  int ItemsLeft() const { return m_iItemsLeft; }
  std::size_t Cursor() const { return m_cursor; }
  std::size_t Available() const { return m_block.size(); }
  std::span<const std::uint8_t> Block() const { return m_block; }

  // Starts a new block: kind, signature, chip code and sub-mode from source; with withVersion
  // a HW/AP version item (HW id by chip code; the source's AP version, or 0x1060); then the
  // EEPROM info, bank copy (chip codes 25, 26) and force update items the source had.
  void BeginBuild(const CDescGlobal& source, bool withVersion);
  // Encodes one item at the builder's cursor; false when Encode fails or the block would
  // outgrow its 16-bit length.
  bool AppendItem(const CDescriptor& item);
  // Completes the block (code of a type-15 item appended and its offset patched) and copies
  // it to out; false when block, code and the 128 free bytes do not fit out.size().
  bool FinishBuild(std::span<std::uint8_t> out);
  // Block length plus appended code of the block being built.
  std::size_t BuildTotal() const { return m_build.size() + m_buildCode.size(); }
  std::uint16_t BuildBlockLength() const { return static_cast<std::uint16_t>(m_build.size()); }
  std::uint8_t BuildItemCount() const { return m_byBuildCount; }

 private:
  bool ConsumeLeading(std::uint8_t type, std::size_t length, std::uint8_t& value);

  bool m_bLoaded = false;
  bool m_bCorrupt = false;
  std::vector<std::uint8_t> m_block;
  std::size_t m_cursor = 0;
  CDescGlobal m_header;
  LeadingItems m_leading;
  int m_iItemsLeft = 0;

  CDescGlobal m_buildHeader;
  std::vector<std::uint8_t> m_build;      // the block being built, header included
  std::uint8_t m_byBuildCount = 0;
  std::vector<std::uint8_t> m_buildCode;  // code of the last type-15 item appended
  std::optional<std::size_t> m_codeOffsetPatch;
};

enum class WalkResult { kCompleted, kCorrupt, kStopped };
// The item walk shared by the readers: every item the parser yields is visited (with the
// cursor offset just past it); an item that cannot be read is skipped by its length while the
// header still counts items; a failed skip with items counted, or a malformed item, is a
// corrupt block. The visitor returns false to stop the walk.
WalkResult WalkItems(ConfigBlockParser& parser,
                     const std::function<bool(CDescriptor& item, std::size_t endOffset)>& visit);

}  // namespace drover
