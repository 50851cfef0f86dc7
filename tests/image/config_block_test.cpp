#include "image/config_block.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "image_test_util.h"

namespace drover {
namespace {

using image_test::Block;
using image_test::Bytes;
using image_test::HwApItem;
using image_test::StringItem;

// Walks a whole block, noting every item's class and, for strings, its text.
struct WalkedItem {
  std::string className;
  std::string text;
};
struct Walked {
  WalkResult result;
  std::vector<WalkedItem> items;
};

Walked Walk(ConfigBlockParser& parser) {
  Walked w;
  w.result = WalkItems(parser, [&](CDescriptor& item, std::size_t) {
    auto* s = dynamic_cast<CDescString*>(&item);
    w.items.push_back({std::string(item.ClassName()), s ? s->Text() : std::string()});
    return true;
  });
  return w;
}

Bytes Rebuild(ConfigBlockParser& parser, std::size_t capacity = 4096) {
  parser.BeginBuild(parser.Header(), true);
  WalkItems(parser, [&](CDescriptor& item, std::size_t) { return parser.AppendItem(item); });
  Bytes out(capacity, 0xFF);
  if (!parser.FinishBuild(out)) return {};
  out.resize(parser.BuildTotal());
  return out;
}

TEST(ConfigBlock, FifteenByteBlockReadsAndRebuildsWithHwIdOfItsChip) {
  const Bytes block = {0x55, 0xA5, 0xCA, 0x0F, 0x00, 0x02, 0x06, 0x2F, 0x00, 0x00, 0x60, 0x10, 0x03, 0x08, 0xC2};
  ConfigBlockParser parser;
  parser.LoadBlock(block);
  const CDescGlobal* header = parser.ReadHeader();
  ASSERT_NE(header, nullptr);
  EXPECT_TRUE(header->HasSignature());
  EXPECT_EQ(header->m_byChipCode, 25);
  EXPECT_EQ(header->m_bySubMode, 2);
  EXPECT_EQ(header->m_wBlockLength, 15);
  EXPECT_TRUE(parser.Leading().bHwApVersion);
  EXPECT_EQ(parser.Leading().wHwId, 0);
  EXPECT_EQ(parser.Leading().wApVersion, 0x1060);
  EXPECT_TRUE(parser.Leading().bEepInfo);
  EXPECT_EQ(parser.Leading().byEepInfo, 0xC2);
  EXPECT_EQ(parser.ItemsLeft(), 0);
  EXPECT_EQ(parser.Cursor(), 15u);

  // A second header read ends with the same count and cursor.
  parser.ReadHeader();
  EXPECT_EQ(parser.ItemsLeft(), 0);
  EXPECT_EQ(parser.Cursor(), 15u);
  Walked w = Walk(parser);
  EXPECT_EQ(w.result, WalkResult::kCompleted);
  EXPECT_TRUE(w.items.empty());

  parser.ReadHeader();
  const Bytes expected = {0x55, 0xA5, 0xCA, 0x0F, 0x00, 0x02, 0x06, 0x2F, 0x40, 0x73, 0x60, 0x10, 0x03, 0x08, 0xC2};
  EXPECT_EQ(Rebuild(parser), expected);
}

TEST(ConfigBlock, RebuildWritesDefaultApVersionAndKeepsLeadingItemsByChip) {
  struct Case {
    const char* name;
    std::uint8_t chip;
    std::vector<Bytes> items;
    Bytes expected_items;  // after the header
  };
  const Case cases[] = {
      {"AP version 0 becomes 0x1060, HW id by chip", 21, {HwApItem(0x1234, 0)}, {6, 47, 0x30, 0x73, 0x60, 0x10}},
      {"no HW/AP item: one is written", 24, {{3, 21, 0x10}}, {6, 47, 0x32, 0x73, 0x60, 0x10, 3, 21, 0x10}},
      {"bank copy kept for chip code 26",
       26,
       {HwApItem(0, 0x2222), {3, 8, 1}, {3, 20, 0x5A}, {3, 21, 0x40}},
       {6, 47, 0x70, 0x73, 0x22, 0x22, 3, 8, 1, 3, 20, 0x5A, 3, 21, 0x40}},
      {"chip code outside the table writes HW id 0", 9, {HwApItem(0x7330, 0x1111)}, {6, 47, 0, 0, 0x11, 0x11}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigBlockParser parser;
    parser.LoadBlock(Block(0x55, c.chip, c.items));
    ASSERT_NE(parser.ReadHeader(), nullptr);
    const Bytes out = Rebuild(parser);
    ASSERT_GE(out.size(), 6u);
    EXPECT_EQ(Bytes(out.begin() + 6, out.end()), c.expected_items);
    EXPECT_EQ(out[3] | out[4] << 8, static_cast<int>(out.size()));
  }
}

TEST(ConfigBlock, BankCopyIsALeadingItemOnlyForChipCodes25And26) {
  for (std::uint8_t chip : {21, 23, 24, 25, 26}) {
    SCOPED_TRACE(static_cast<int>(chip));
    ConfigBlockParser parser;
    parser.LoadBlock(Block(0x55, chip, {HwApItem(0, 0), {3, 20, 0x5A}}));
    ASSERT_NE(parser.ReadHeader(), nullptr);
    const bool leading = chip == 25 || chip == 26;
    EXPECT_EQ(parser.Leading().bBankCopy, leading);
    EXPECT_EQ(parser.ItemsLeft(), leading ? 0 : 1);
    Walked w = Walk(parser);
    EXPECT_EQ(w.result, WalkResult::kCompleted);
    EXPECT_EQ(w.items.size(), leading ? 0u : 1u);
  }
}

TEST(ConfigBlock, StringItemReadsItsText) {
  ConfigBlockParser parser;
  parser.LoadBlock(Block(0x55, 21, {{0x08, 0x03, 0x06, 0x03, 'A', 'B', 'C', 'D'}}));
  ASSERT_NE(parser.ReadHeader(), nullptr);
  Walked w = Walk(parser);
  ASSERT_EQ(w.result, WalkResult::kCompleted);
  ASSERT_EQ(w.items.size(), 1u);
  EXPECT_EQ(w.items[0].className, "CDescStringSN");
  EXPECT_EQ(w.items[0].text, "ABCD");
}

TEST(ConfigBlock, MalformedItemsMakeTheBlockCorrupt) {
  struct Case {
    const char* name;
    Bytes block;
  };
  const Case cases[] = {
      {"zero item length with no item counted", Block(0x55, 21, {{0, 1, 2, 3}}, 0, 0)},
      {"zero item length", Block(0x55, 21, {StringItem(1, "X"), {0, 1, 2, 3}})},
      {"item length 1", Block(0x55, 21, {{1, 1, 2, 3}})},
      {"string bLength 1", Block(0x55, 21, {{4, 1, 1, 3}})},
      {"string bLength 56", Block(0x55, 21, {[] {
                                               Bytes b = {58, 3, 56, 3};
                                               b.resize(58, 'x');
                                               return b;
                                             }()})},
      {"string text past its item", Block(0x55, 21, {{6, 1, 9, 3, 'a', 'b'}})},
      {"extended item shorter than its header", Block(0x55, 21, {{0xFF, 0xE7, 2, 0}})},
      {"small cache code outside the block", Block(0x55, 21, {{0xFF, 0xE7, 9, 0, 0x00, 0x10, 1, 0, 0xAA}})},
      {"code info outside the block", Block(0x55, 21, {{6, 15, 0x00, 0x01, 0x10, 0x00}})},
      {"count left and nothing to skip", Block(0x55, 21, {StringItem(1, "A")}, 0, 3)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigBlockParser parser;
    parser.LoadBlock(c.block);
    ASSERT_NE(parser.ReadHeader(), nullptr);
    EXPECT_EQ(Walk(parser).result, WalkResult::kCorrupt);
  }
}

TEST(ConfigBlock, ItemsBeyondTheBlockLengthAreSkippedWhileCounted) {
  // The header counts two items but its length covers one: the second is skipped by length.
  Bytes block = Block(0x55, 21, {StringItem(1, "A"), StringItem(3, "B")});
  block[3] = 6 + 5;
  ConfigBlockParser parser;
  parser.LoadBlock(block);
  ASSERT_NE(parser.ReadHeader(), nullptr);
  Walked w = Walk(parser);
  EXPECT_EQ(w.result, WalkResult::kCompleted);
  EXPECT_EQ(w.items.size(), 1u);
}

TEST(ConfigBlock, ClampsOfTypes64And71OnEncode) {
  struct Case {
    std::uint8_t type;
    std::uint8_t length;
    std::uint8_t p6;
    std::uint8_t encoded;
  };
  const Case cases[] = {{64, 18, 0, 1}, {64, 18, 20, 15}, {64, 18, 7, 7}, {71, 14, 1, 2}, {71, 14, 200, 127}, {71, 14, 9, 9}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << int(c.type) << " p6 " << int(c.p6));
    Bytes item(c.length, 0x11);
    item[0] = c.length;
    item[1] = c.type;
    item[2 + 6] = c.p6;
    auto d = CreateDescriptor(c.type, 21);
    ASSERT_TRUE(d->Parse(item));
    Bytes out;
    ASSERT_TRUE(d->Encode(out));
    Bytes expected = item;
    expected[2 + 6] = c.encoded;
    EXPECT_EQ(out, expected);
  }
}

TEST(ConfigBlock, FieldsKeepTheirByteOrder) {
  // UAC top: big-endian VID/PID; SLB: little-endian counters.
  Bytes uac = {18, 64, 0x01, 0x02, 1, 1, 1, 1, 5, 0, 0, 0, 0x0B, 0x05, 0x19, 0x96, 0x01, 0x00};
  auto top = CreateDescriptor(64, 24);
  ASSERT_TRUE(top->Parse(uac));
  auto* fixed = dynamic_cast<CDescFixed*>(top.get());
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(fixed->ClassName(), "CDescUACTop");
  EXPECT_EQ(fixed->Value("wUAVVersion"), 0x0102u);
  EXPECT_EQ(fixed->Value("wVID"), 0x0B05u);
  EXPECT_EQ(fixed->Value("wPID"), 0x1996u);
  EXPECT_EQ(fixed->Value("wRevID"), 0x0100u);

  Bytes slb = {15, 14, 0x03, 7, 0x78, 0x56, 0x34, 0x12, 0x22, 0x11, 1, 2, 3, 0x44, 0x33};
  auto s = CreateDescriptor(14, 21);
  ASSERT_TRUE(s->Parse(slb));
  fixed = dynamic_cast<CDescFixed*>(s.get());
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(fixed->Value("dwHSTstCnt"), 0x12345678u);
  EXPECT_EQ(fixed->Value("wHSFailTh"), 0x1122u);
  EXPECT_EQ(fixed->Value("wHSDlyTime"), 0x3344u);

  Bytes uart = {10, 73, 1, 1, 8, 0, 0x00, 0x01, 0xC2, 0x00};
  auto u = CreateDescriptor(73, 21);
  ASSERT_TRUE(u->Parse(uart));
  EXPECT_EQ(dynamic_cast<CDescFixed&>(*u).Value("dwBaudRate"), 115200u);

  Bytes vp = image_test::VidPidItem(0x0B05, 0x1996, 0x0100);
  auto id = CreateDescriptor(4, 23);
  ASSERT_TRUE(id->Parse(vp));
  auto* vidpid = dynamic_cast<CDescVIDPID*>(id.get());
  ASSERT_NE(vidpid, nullptr);
  EXPECT_EQ(vidpid->m_wVid, 0x0B05);
  EXPECT_EQ(vidpid->m_wPid, 0x1996);
  EXPECT_EQ(vidpid->m_wRevision, 0x0100);
}

TEST(ConfigBlock, AnItemOfAnotherLengthIsWrittenWithItsRowLength) {
  // A 5-byte I2S1 channel item (row length 6) gains its missing byte as 0; a longer one is cut.
  auto shorter = CreateDescriptor(11, 17);
  ASSERT_TRUE(shorter->Parse(Bytes{5, 11, 1, 2, 3}));
  Bytes out;
  ASSERT_TRUE(shorter->Encode(out));
  EXPECT_EQ(out, (Bytes{6, 11, 1, 2, 3, 0}));
  auto longer = CreateDescriptor(11, 17);
  ASSERT_TRUE(longer->Parse(Bytes{8, 11, 1, 2, 3, 4, 5, 6}));
  out.clear();
  ASSERT_TRUE(longer->Encode(out));
  EXPECT_EQ(out, (Bytes{6, 11, 1, 2, 3, 4}));
}

TEST(ConfigBlock, ChipsWithoutAClassCarryItemsThroughAsDummies) {
  for (std::uint8_t chip : {23, 25, 26}) {
    for (std::uint8_t type = 64; type <= 74; ++type) {
      SCOPED_TRACE(testing::Message() << "chip " << int(chip) << " type " << int(type));
      EXPECT_EQ(CreateDescriptor(type, chip)->ClassName(), "CDescDummy");
    }
    EXPECT_EQ(CreateDescriptor(14, chip)->ClassName(), "CDescDummy");
    // A block of such items rebuilds to the same bytes.
    const Bytes block = Block(0x55, chip,
                              {HwApItem(HwIdForChipCode(chip), 0x1060), {5, 64, 0xAB, 0xCD, 0xEF},
                               {9, 14, 1, 2, 3, 4, 5, 6, 7}, {4, 74, 0, 0}});
    ConfigBlockParser parser;
    parser.LoadBlock(block);
    ASSERT_NE(parser.ReadHeader(), nullptr);
    EXPECT_EQ(Rebuild(parser), block);
  }
  EXPECT_EQ(CreateDescriptor(64, 21)->ClassName(), "CDescUACTop");
  EXPECT_EQ(CreateDescriptor(14, 24)->ClassName(), "CDescSLB");
  EXPECT_EQ(CreateDescriptor(8, 17)->ClassName(), "CDescI2S0_7310");
  EXPECT_EQ(CreateDescriptor(8, 21)->ClassName(), "CDescDummy");
  EXPECT_EQ(CreateDescriptor(47, 17)->ClassName(), "CDescEndPointType");
  EXPECT_EQ(CreateDescriptor(99, 21)->ClassName(), "CDescDummy");
}

TEST(ConfigBlock, EveryRowOfTheItemClassTable) {
  std::set<std::pair<int, int>> seen;
  for (const ItemClassRow& row : ItemClassTable()) {
    SCOPED_TRACE(std::string(row.className));
    EXPECT_TRUE(seen.insert({row.type, static_cast<int>(row.chips)}).second) << "type listed twice for its chips";
    if (row.kind != ItemKind::kFixed) continue;
    // The fields cover the payload exactly once.
    std::vector<int> cover(row.length - 2u, 0);
    for (const FieldLayout& f : row.fields) {
      for (std::size_t i = 0; i < f.count; ++i) {
        for (std::size_t b = 0; b < f.width; ++b) {
          const std::size_t at = f.offset + i * (f.stride ? f.stride : f.width) + b;
          ASSERT_LT(at, cover.size()) << f.name;
          ++cover[at];
        }
      }
    }
    for (std::size_t at = 0; at < cover.size(); ++at) EXPECT_EQ(cover[at], 1) << "payload byte " << at;
    // A parsed item of the row's length encodes back to the same bytes (clamped byte in range).
    Bytes item(row.length);
    for (std::size_t i = 0; i < item.size(); ++i) item[i] = static_cast<std::uint8_t>(0x30 + i);
    item[0] = row.length;
    item[1] = row.type;
    if (row.clampOffset != 0xFF) item[2 + row.clampOffset] = row.clampMin;
    CDescFixed d(row);
    ASSERT_TRUE(d.Parse(item));
    Bytes out;
    ASSERT_TRUE(d.Encode(out));
    EXPECT_EQ(out, item);
  }
  EXPECT_EQ(seen.size(), ItemClassTable().size());
}

TEST(ConfigBlock, SmallCacheCodeIsReadThroughItsOffsetAndRebuiltWithTheCodeInside) {
  // Item at block offset 6: FF E7, total 12, code offset 14, code length 4, then the code.
  const Bytes block = Block(0x55, 21, {{0xFF, 0xE7, 12, 0, 14, 0, 4, 0, 0xDE, 0xAD, 0xBE, 0xEF}, StringItem(1, "M")});
  ConfigBlockParser parser;
  parser.LoadBlock(block);
  ASSERT_NE(parser.ReadHeader(), nullptr);
  std::vector<std::uint8_t> code;
  std::size_t end = 0;
  EXPECT_EQ(WalkItems(parser,
                      [&](CDescriptor& item, std::size_t e) {
                        if (auto* c = dynamic_cast<CDescSmallCachecode*>(&item)) {
                          code = c->m_code;
                          end = e;
                          EXPECT_EQ(c->m_wExtLength, 12);
                        }
                        return true;
                      }),
            WalkResult::kCompleted);
  EXPECT_EQ(code, (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
  EXPECT_EQ(end, 18u);

  // Rebuilt behind a HW/AP item, the offset follows the item to its new place.
  parser.ReadHeader();
  const Bytes out = Rebuild(parser);
  const Bytes expected = Block(0x55, 21,
                               {HwApItem(0x7330, 0x1060), {0xFF, 0xE7, 12, 0, 20, 0, 4, 0, 0xDE, 0xAD, 0xBE, 0xEF},
                                StringItem(1, "M")});
  EXPECT_EQ(out, expected);
}

TEST(ConfigBlock, CodecSequencesUseTheTenBitHeader) {
  auto seq = CreateDescriptor(30, 17);
  ASSERT_EQ(seq->ClassName(), "CDescI2SCodecStartOutSetting");
  const Bytes item = {8, 30, 0x10, 0x20, 0x30, 0x40, 0x00, 0x64};
  ASSERT_TRUE(seq->Parse(item));
  Bytes out;
  ASSERT_TRUE(seq->Encode(out));
  EXPECT_EQ(out, item);

  CDescCodecSequence fresh(27);
  EXPECT_EQ(fresh.m_wTrailer, 100);
  fresh.m_sequence.assign(300, 0x5A);
  out.clear();
  ASSERT_TRUE(fresh.Encode(out));
  ASSERT_EQ(out.size(), 304u);
  EXPECT_EQ(out[0], 304 & 0xFF);
  EXPECT_EQ(out[1], (1 << 6) | 27);  // bits 9..8 of the length above the type
  fresh.m_sequence.assign(1020, 0);
  out.clear();
  EXPECT_FALSE(fresh.Encode(out));
}

TEST(ConfigBlock, CodeInfoCodeFollowsTheLastItemOfTheRebuiltBlock) {
  // Code info at offset 6 points at 4 code bytes behind the items (offset 16, past length 16).
  Bytes block = Block(0x55, 21, {{6, 15, 16, 0, 4, 0}, StringItem(2, "")});
  block.insert(block.end(), {1, 2, 3, 4});
  ConfigBlockParser parser;
  parser.LoadBlock(block);
  ASSERT_NE(parser.ReadHeader(), nullptr);
  const Bytes out = Rebuild(parser);
  // HW/AP item first, so the items move by 6 and the code by 6 as well.
  const Bytes items = Block(0x55, 21, {HwApItem(0x7330, 0x1060), {6, 15, 22, 0, 4, 0}, StringItem(2, "")});
  Bytes expected = items;
  expected.insert(expected.end(), {1, 2, 3, 4});
  EXPECT_EQ(out, expected);
  EXPECT_EQ(parser.BuildTotal(), expected.size());

  CDescCodeInfo empty;
  Bytes none;
  EXPECT_FALSE(empty.Encode(none));
  parser.BeginBuild(parser.Header(), true);
  EXPECT_FALSE(parser.AppendItem(empty));
}

TEST(ConfigBlock, FinishBuildLeaves128BytesFree) {
  ConfigBlockParser parser;
  parser.LoadBlock(Block(0x55, 21, {StringItem(1, "0123456789")}));
  ASSERT_NE(parser.ReadHeader(), nullptr);
  parser.BeginBuild(parser.Header(), true);
  WalkItems(parser, [&](CDescriptor& item, std::size_t) { return parser.AppendItem(item); });
  const std::size_t total = parser.BuildTotal();
  EXPECT_EQ(total, 6u + 6u + 14u);
  Bytes exact(total + kBlockReserve, 0xFF);
  EXPECT_TRUE(parser.FinishBuild(exact));
  Bytes tight(total + kBlockReserve - 1, 0xFF);
  EXPECT_FALSE(parser.FinishBuild(tight));
  EXPECT_TRUE(std::all_of(tight.begin(), tight.end(), [](std::uint8_t b) { return b == 0xFF; }));
}

TEST(ConfigBlock, HostileBlocksNeverReadOutsideTheirBytes) {
  // Deterministic noise in place of items, counts and lengths: every walk ends.
  std::uint32_t s = 12345;
  auto next = [&] {
    s = s * 1103515245u + 12345u;
    return static_cast<std::uint8_t>(s >> 16);
  };
  for (int round = 0; round < 2000; ++round) {
    Bytes block(6 + next() % 64);
    for (auto& b : block) b = next();
    block[1] = 0xA5;
    if (round % 3 == 0) block[2] = static_cast<std::uint8_t>((21 + round % 6) << 3);
    if (round % 5 == 0 && block.size() > 8) {
      block[6] = 0xFF;
      block[7] = 0xE7;
    }
    ConfigBlockParser parser;
    parser.LoadBlock(block);
    ASSERT_NE(parser.ReadHeader(), nullptr);
    int visits = 0;
    WalkItems(parser, [&](CDescriptor& item, std::size_t end) {
      EXPECT_LE(end, block.size());
      Bytes out;
      item.Encode(out);
      return ++visits < 1000;
    });
    EXPECT_LT(visits, 1000);
    parser.ReadHeader();
    Rebuild(parser);
  }
  ConfigBlockParser tiny;
  tiny.LoadBlock(Bytes{0x55, 0xA5, 0xA8});
  EXPECT_EQ(tiny.ReadHeader(), nullptr);
  EXPECT_EQ(tiny.NextItem(), nullptr);
  EXPECT_FALSE(tiny.SkipItem());
}

}  // namespace
}  // namespace drover
