// The extension-unit command form: command block, chunked data phases, GET_LEN and the
// data control size, the status block and the abort block.
#include "tests/sim/sim_fixture.h"

namespace drover::sim::testing {
namespace {

class ExtUnitTest : public SimTest {
 protected:
  void SetUp() override {
    DeviceOptions o;
    o.unitId = 9;
    o.maxDataControlSize = 256;
    n = Add(o);
    OpenDevice(n);
  }
  int n = 0;
};

TEST_F(ExtUnitTest, QualificationAndStatusPagesAnswerThroughTheUnit) {
  std::vector<std::uint8_t> q;
  ASSERT_EQ(ExtRead(0x00, 0xD0, 0, 8, 0, q), 0u);
  EXPECT_EQ(q, (std::vector<std::uint8_t>{'Q', 'U', 'O', 'R', 'L', 'A', 'N', 0}));
  // ROM: version format 2 in slot A, 0xBB in s72..s83.
  std::vector<std::uint8_t> record;
  for (std::uint16_t page = 0; page < 13; ++page) {
    std::vector<std::uint8_t> p;
    ASSERT_EQ(ExtRead(0x00, 0xCD, page, 8, 0, p), 0u);
    record.insert(record.end(), p.begin(), p.end());
  }
  EXPECT_EQ(std::string(record.begin() + 24, record.begin() + 31), "QUORLAN");
  EXPECT_EQ(record[64], 0x30);
  for (int i = 72; i < 84; ++i) EXPECT_EQ(record[i], 0xBB) << i;
  std::vector<std::uint8_t> t;
  ASSERT_EQ(ExtRead(0x00, 0xCD, 129, 8, 0, t), 0u);
  EXPECT_EQ(t, (std::vector<std::uint8_t>{0, 0, 0, 0, 0xBB, 0xBB, 0xBB, 0xBB}));  // t12..t15
}

// 13 bytes with chunks of 8: two GET_CUR transfers, the second padded with zeros; a write's
// second chunk carries 5 data bytes, and the padding does not reach the memory.
TEST_F(ExtUnitTest, ChunkedDataPhasesMoveExactlyTheCommandLength) {
  std::vector<std::uint8_t> data{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
  std::vector<std::uint8_t> guard{0xAA, 0xAA, 0xAA};
  ASSERT_EQ(VendorOut(0x24, 0, 0x200D, guard), 0u);
  m_bus->RecordTransfers(n, true);
  ASSERT_EQ(ExtWrite(0x00, 0x82, 0x2000, 0, data), 0u);
  const auto writes = m_bus->TakeTransfers(n);
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[2].data, (std::vector<std::uint8_t>{9, 10, 11, 12, 13, 0, 0, 0}));
  EXPECT_EQ(Status(), kStsRetNoErr);

  std::vector<std::uint8_t> back;
  ASSERT_EQ(ExtRead(0x00, 0xC2, 0x2000, 16, 0, back), 0u);
  EXPECT_EQ(std::vector<std::uint8_t>(back.begin(), back.begin() + 13), data);
  EXPECT_EQ(std::vector<std::uint8_t>(back.begin() + 13, back.end()), guard);

  m_bus->TakeTransfers(n);
  ASSERT_EQ(ExtRead(0x00, 0xC2, 0x2000, 13, 0, back), 0u);
  const auto reads = m_bus->TakeTransfers(n);
  ASSERT_EQ(reads.size(), 3u);  // command block and two chunks
  EXPECT_EQ(reads[2].data, (std::vector<std::uint8_t>{9, 10, 11, 12, 13, 0, 0, 0}));
  // The phase is over: a further chunk is refused.
  std::vector<std::uint8_t> extra(8);
  EXPECT_EQ(GetChunk(extra), usb::kErrGenFailure);
  EXPECT_EQ(Status(), kStsErrLen);
}

TEST_F(ExtUnitTest, DataControlSizeIsNegotiatedUpToTheChipsMaximum) {
  std::uint16_t size = 0;
  ASSERT_EQ(GetLen(size), 0u);
  EXPECT_EQ(size, 8);
  EXPECT_TRUE(ChangeDcs(64));
  EXPECT_EQ(Info(n).dataControlSize, 64u);
  // Larger than the chip allows: it reports its maximum instead.
  ASSERT_EQ(SetCmd(0x00, 0x16, 0, 1024), 0u);
  ASSERT_EQ(GetLen(size), 0u);
  EXPECT_EQ(size, 256);

  std::vector<std::uint8_t> mem(600);
  for (std::size_t i = 0; i < mem.size(); ++i) mem[i] = static_cast<std::uint8_t>(i);
  ASSERT_EQ(ExtWrite(0x00, 0x82, 0x1000, 0, mem, 256), 0u);
  std::vector<std::uint8_t> back;
  ASSERT_EQ(ExtRead(0x00, 0xC2, 0x1000, 600, 0, back, 256), 0u);
  EXPECT_EQ(back, mem);
  // A chunk larger than the agreed size is refused; one shorter is taken (the raw path reads
  // its last piece with the remaining length).
  ASSERT_EQ(SetCmd(0x00, 0xC2, 0x1000, 300), 0u);
  std::vector<std::uint8_t> big(512), small(44);
  EXPECT_EQ(GetChunk(big), usb::kErrGenFailure);
  EXPECT_EQ(Status(), kStsErrLen);
  ASSERT_EQ(SetCmd(0x00, 0xC2, 0x1000, 300), 0u);
  ASSERT_EQ(GetChunk(std::span(big).first(256)), 0u);
  ASSERT_EQ(GetChunk(small), 0u);
  EXPECT_EQ(small[0], mem[256]);
  EXPECT_EQ(Status(), kStsRetNoErr);
}

// Failures stall the transfer and leave their code in the status block until the abort block.
TEST_F(ExtUnitTest, StatusBlockReportsFailuresUntilAborted) {
  struct Case {
    const char* what;
    std::uint8_t group, op;
    std::uint16_t a, l, p;
    std::uint8_t status;
  };
  const Case cases[] = {
      {"unknown group", 0x05, 0xC2, 0, 8, 0, kStsUnknownCmd},
      {"unknown opcode", 0x00, 0xC9, 0, 8, 0, kStsUnknownScmd},
      {"register range", 0x00, 0xC2, 0xFFF0, 0x20, 0, kStsErrOutrange},
      {"flash range", 0x02, 0xC2, 0x0000, 0x10, 0x0008, kStsErrOutrange},
      {"flash write protected", 0x02, 0x82, 0x0000, 0x10, 0, kStsHwErr},
      {"no EEPROM behind the chip", 0x02, 0xD1, 0, 8, 0, kStsHwErr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(SetCmd(c.group, c.op, c.a, c.l, c.p), usb::kErrGenFailure);
    EXPECT_EQ(Status(), c.status);
    EXPECT_EQ(Status(), c.status);  // reading it does not clear it
    EXPECT_EQ(Abort(), 0u);
    EXPECT_EQ(Status(), kStsCmd);
  }
  // A data chunk in the wrong direction.
  ASSERT_EQ(SetCmd(0x00, 0xC2, 0, 8), 0u);
  EXPECT_EQ(Status(), kStsDataIn);
  std::vector<std::uint8_t> chunk(8);
  EXPECT_EQ(SetChunk(chunk), usb::kErrGenFailure);
  EXPECT_EQ(Status(), kStsErrDir);
  // The status byte to report can be chosen.
  Faults f;
  f.statusAfterFailure = 5;
  ASSERT_TRUE(m_bus->SetFaults(n, f));
  EXPECT_EQ(SetCmd(0x00, 0xC9), usb::kErrGenFailure);
  EXPECT_EQ(Status(), 5);
}

// Requests to another unit or interface, a short command block and other controls stall.
TEST_F(ExtUnitTest, ForeignAddressingStalls) {
  std::vector<std::uint8_t> block{0x00, 0xC2, 0, 0, 8, 0, 0, 0};
  EXPECT_EQ(Raw(0x21, 0x01, 0x0A00, (8 << 8) | 0, block, false), usb::kErrGenFailure);
  EXPECT_EQ(Raw(0x21, 0x01, 0x0A00, (9 << 8) | 1, block, false), usb::kErrGenFailure);
  EXPECT_EQ(Raw(0x21, 0x01, 0x0C00, Index(), block, false), usb::kErrGenFailure);
  EXPECT_EQ(Raw(0x21, 0x01, 0x0A00, Index(), std::span(block).first(6), false), usb::kErrGenFailure);
  EXPECT_EQ(Status(), kStsErrLen);
  // The raw path passes 0xA1 with the direction out: the direction flag decides.
  EXPECT_EQ(Raw(0xA1, 0x01, 0x0A00, Index(), block, false), 0u);
  EXPECT_EQ(Status(), kStsDataIn);
}

}  // namespace
}  // namespace drover::sim::testing
