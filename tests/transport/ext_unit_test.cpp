#include "transport/ext_unit.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "fake_fixture.h"

namespace drover {
namespace {

using Bytes = std::vector<std::uint8_t>;

class ExtUnitTest : public test::FakeDeviceTest {
 protected:
  ExtUnitTest() : unit(record, 6) {}
  CExtUnit unit;
};

TEST_F(ExtUnitTest, EveryCommandSendsItsPresetWithItsFields) {
  Bytes buf4(4), buf16(16), buf19(19), id(8);
  const Bytes data4 = {1, 2, 3, 4};
  std::uint8_t sr = 0;
  std::uint16_t word = 0;
  struct Case {
    const char* name;
    std::function<std::uint32_t()> call;
    Bytes block;
  };
  const std::vector<Case> cases = {
      {"GetDevStatus", [&] { return unit.GetDevStatus(3, std::span(buf4)); }, {0x00, 0xCD, 3, 0, 8, 0, 0, 0}},
      {"ResetToUpdateFW", [&] { return unit.ResetToUpdateFW(0x0102); }, {0x00, 0x07, 2, 1, 0, 0, 0, 0}},
      {"ResetToUpdateFW2", [&] { return unit.ResetToUpdateFW2(5); }, {0x00, 0x08, 5, 0, 0, 0, 0, 0}},
      {"ResetToRom", [&] { return unit.ResetToRom(); }, {0x00, 0x09, 0, 0, 0, 0, 0, 0}},
      {"ReadIMem", [&] { return unit.ReadIMem(0x1234, buf4); }, {0x00, 0xC1, 0x34, 0x12, 4, 0, 0, 0}},
      {"ReadMem", [&] { return unit.ReadMem(0xFE21, buf4); }, {0x00, 0xC2, 0x21, 0xFE, 4, 0, 0, 0}},
      {"WriteMem", [&] { return unit.WriteMem(0xC3BA, data4); }, {0x00, 0x82, 0xBA, 0xC3, 4, 0, 0, 0}},
      {"ReadCode", [&] { return unit.ReadCode(0x10, buf4); }, {0x00, 0xC3, 0x10, 0, 4, 0, 0, 0}},
      {"ReadPhy", [&] { return unit.ReadPhy(0x20, std::span(buf4).first(1)); }, {0x00, 0xCC, 0x20, 0, 1, 0, 0, 0}},
      {"WritePhy", [&] { return unit.WritePhy(0x21, std::span(data4).first(1)); }, {0x00, 0x8C, 0x21, 0, 1, 0, 0, 0}},
      {"EraseFlash", [&] { return unit.EraseFlash(); }, {0x00, 0x04, 0, 0, 0, 0, 0, 0}},
      {"NorFlash_Read", [&] { return unit.NorFlash_Read(0x100, buf4); }, {0x00, 0xC5, 0, 1, 4, 0, 0, 0}},
      {"WriteFlash", [&] { return unit.WriteFlash(0x200, data4); }, {0x00, 0x85, 0, 2, 4, 0, 0, 0}},
      {"NorFlash_WriteTag", [&] { return unit.NorFlash_WriteTag(); }, {0x00, 0x06, 0, 0, 0, 0, 0, 0}},
      {"SPI_SF_ReadID", [&] { return unit.SPI_SF_ReadID(id); }, {0x02, 0xC1, 0, 0, 8, 0, 0, 0}},
      {"SPI_SF_Read", [&] { return unit.SPI_SF_Read(0x12345, buf4, 9); }, {0x02, 0xC2, 0x45, 0x23, 4, 0, 1, 0}},
      {"SPI_SF_Write", [&] { return unit.SPI_SF_Write(0x23456, data4); }, {0x02, 0x82, 0x56, 0x34, 4, 0, 2, 0}},
      {"SPI_SF_ReadSr", [&] { return unit.SPI_SF_ReadSr(sr); }, {0x02, 0xC3, 0, 0, 1, 0, 0, 0}},
      {"SPI_SF_WriteSr", [&] { return unit.SPI_SF_WriteSr(0x8C); }, {0x02, 0x83, 0, 0, 1, 0, 0, 0}},
      {"SPI_SF_EraseChip", [&] { return unit.SPI_SF_EraseChip(30000); }, {0x02, 0x04, 0, 0, 0, 0, 0, 0}},
      {"SPI_SF_EraseSector", [&] { return unit.SPI_SF_EraseSector(0x11000, 0x1000); }, {0x02, 0x05, 0x00, 0x10, 0, 0, 1, 0}},
      {"SPI_SF_WriteTag", [&] { return unit.SPI_SF_WriteTag(); }, {0x02, 0x13, 0, 0, 0, 0, 0, 0}},
      {"I2C_EEP8_Read", [&] { return unit.I2C_EEP8_Read(0x10203, buf4); }, {0x02, 0xCB, 3, 2, 4, 0, 1, 0}},
      {"I2C_EEP8_Write", [&] { return unit.I2C_EEP8_Write(0x40, data4); }, {0x02, 0x8B, 0x40, 0, 4, 0, 0, 0}},
      {"I2C_EEP8_WriteTag", [&] { return unit.I2C_EEP8_WriteTag(); }, {0x02, 0x8B, 1, 0, 1, 0, 0, 0}},
      {"I2C_EEP8_Erase", [&] { return unit.I2C_EEP8_Erase(16); }, {0x02, 0x8B, 0, 0, 16, 0, 0, 0}},
      {"I2C_EEP16_Read", [&] { return unit.I2C_EEP16_Read(0x1234, buf4); }, {0x02, 0xD1, 0x34, 0x12, 4, 0, 0, 0}},
      {"I2C_EEP16_Write", [&] { return unit.I2C_EEP16_Write(0x1234, data4); }, {0x02, 0x91, 0x34, 0x12, 4, 0, 0, 0}},
      {"I2C_EEP16_WriteTag", [&] { return unit.I2C_EEP16_WriteTag(); }, {0x02, 0x91, 1, 0, 1, 0, 0, 0}},
      {"I2C_EEP16_Erase", [&] { return unit.I2C_EEP16_Erase(16); }, {0x02, 0x91, 0, 0, 16, 0, 0, 0}},
      {"I2CReadSlave", [&] { return unit.I2CReadSlave(0x50, buf4); }, {0x00, 0xEA, 0x50, 0, 4, 0, 0, 0}},
      {"I2CRead", [&] { return unit.I2CRead(1, 0x30012, word); }, {0x00, 0xCA, 0x12, 0, 2, 0, 3, 0}},
      {"I2CWriteSlave", [&] { return unit.I2CWriteSlave(0x51, data4); }, {0x00, 0xAA, 0x51, 0, 4, 0, 0, 0}},
      {"I2CWrite", [&] { return unit.I2CWrite(2, 0x12, 0xBEEF); }, {0x00, 0x8A, 0x12, 0, 2, 0, 0, 0}},
      {"I2CGenRead", [&] { return unit.I2CGenRead(0x50, buf16); }, {0x00, 0xEA, 0x50, 0, 16, 0, 0, 0}},
      {"I2CGenWrite", [&] { return unit.I2CGenWrite(0x50, data4); }, {0x00, 0xAA, 0x50, 0, 4, 0, 0, 0}},
      {"I2CRandomRead", [&] { return unit.I2CRandomRead(0x52, buf4); }, {0x00, 0xF1, 0x52, 0, 4, 0, 0, 0}},
      {"I2CRandomWrite", [&] { return unit.I2CRandomWrite(0x52, data4); }, {0x00, 0xB1, 0x52, 0, 4, 0, 0, 0}},
      {"I2CSuperRead", [&] { return unit.I2CSuperRead(0x53, buf16); }, {0x00, 0xF2, 0x53, 0, 16, 0, 0, 0}},
      {"I2CSuperWrite", [&] { return unit.I2CSuperWrite(0x53, data4); }, {0x00, 0xB2, 0x53, 0, 4, 0, 0, 0}},
      {"I2CLongRead", [&] { return unit.I2CLongRead(0x54, 0x100, buf4); }, {0x00, 0xF0, 0, 1, 4, 0, 0x54, 0}},
      {"I2CLongWrite", [&] { return unit.I2CLongWrite(0x54, 0x100, 7, data4); }, {0x00, 0xB0, 0, 1, 4, 0, 0x54, 0}},
      {"OTPWrite", [&] { return unit.OTPWrite(0x100, 8, data4); }, {0x02, 0x97, 0, 1, 4, 0, 8, 0}},
      {"OTPRead", [&] { return unit.OTPRead(0x200, buf4); }, {0x02, 0xD7, 0, 2, 4, 0, 0, 0}},
      {"OTPBlankCheck", [&] { return unit.OTPBlankCheck(0x210, buf4); }, {0x02, 0xD8, 0x10, 2, 4, 0, 0, 0}},
      {"OTPAllBlankCheck", [&] { return unit.OTPAllBlankCheck(0x300, buf16); }, {0x02, 0xDF, 0, 3, 8, 0, 16, 0}},
      {"OTPPrgmFailAddr", [&] { return unit.OTPPrgmFailAddr(buf19); }, {0x02, 0xDC, 0, 0, 0x13, 0, 0, 0}},
      {"DevQualify", [&] { return unit.DevQualify() ? 0u : 1u; }, {0x00, 0xD0, 0, 0, 8, 0, 0, 0}},
      {"OTPTestDec", [&] { return unit.OTPTestDec(0x400, buf4); }, {0x02, 0xD9, 0, 4, 4, 0, 0, 0}},
      {"OTPWriteST", [&] { return unit.OTPWriteST(0x500, 3, data4); }, {0x02, 0x9A, 0, 5, 4, 0, 3, 0}},
      {"ChangeDataControlSize", [&] { std::uint32_t s = 64; return unit.ChangeDataControlSize(s) ? 0u : 1u; },
       {0x00, 0x16, 0, 0, 64, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rec->Clear();
    EXPECT_EQ(c.call(), 0u);
    const auto blocks = Blocks();
    ASSERT_FALSE(blocks.empty());
    EXPECT_EQ(blocks[0], c.block);
    // Every transfer goes to the unit on the audio-control interface with a 5000 ms limit.
    for (const auto& t : rec->Transfers()) {
      EXPECT_EQ(t.setup.wIndex, 0x0600);
      EXPECT_EQ(t.timeoutMs, 5000u);
    }
    std::uint32_t eight = 8;
    unit.ChangeDataControlSize(eight);
  }
}

TEST_F(ExtUnitTest, ThirteenBytesMoveAsTwoChunksBothWays) {
  Bytes in(13);
  std::vector<std::uint32_t> steps;
  ASSERT_EQ(unit.ReadMem(0x1000, in, [&](std::uint32_t n) { steps.push_back(n); }), 0u);
  EXPECT_EQ(steps, (std::vector<std::uint32_t>{8, 5}));
  EXPECT_TRUE(std::equal(in.begin(), in.end(), chip->mem.begin() + 0x1000));
  auto t = rec->Transfers();
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[1].setup.bmRequestType, 0xA1);
  EXPECT_EQ(t[1].setup.bRequest, 0x81);
  EXPECT_EQ(t[1].setup.wValue, 0x0B00);
  EXPECT_EQ(t[1].wLength, 8);
  EXPECT_EQ(t[2].wLength, 8);

  rec->Clear();
  chip->dataOut.clear();
  const Bytes out = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
  ASSERT_EQ(unit.WriteMem(0x2000, out), 0u);
  ASSERT_EQ(chip->dataOut.size(), 2u);
  EXPECT_EQ(chip->dataOut[0], Bytes(out.begin(), out.begin() + 8));
  EXPECT_EQ(chip->dataOut[1], (Bytes{9, 10, 11, 12, 13, 0, 0, 0}));
  t = rec->Transfers();
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[2].setup.bmRequestType, 0x21);
  EXPECT_EQ(t[2].setup.wValue, 0x0B00);
}

TEST_F(ExtUnitTest, FailedPhaseReportsReadsStatusAndAborts) {
  struct Case {
    const char* name;
    std::uint32_t failError;
    bool failStatus;
    std::uint8_t statusByte;
    std::uint32_t expectRc;
    std::uint8_t expectLast;
    const char* text;
    std::size_t transfers;  // command, chunk 1, failed chunk 2, then status read and abort
  };
  const Case cases[] = {
      {"status byte 5", 31, false, 5, 0x8007001F, 5, "ReadMem GetData 0x1008 error 8007001f, VCMD_STS_ERR_LEN", 5},
      {"failed status read", 31, true, 0, 0x8007001F, 0xFF,
       "ReadMem GetData 0x1008 error 8007001f, and fail to get err_code 8007001f", 5},
      {"undefined status", 1460, false, 0x42, 0x800705B4, 0x42,
       "ReadMem GetData 0x1008 error 800705b4, Undefined ExtUnit error code\n", 5},
      {"device gone", 1167, false, 0, 0x8007048F, 0xFF, "ReadMem GetData 0x1008Device not connected", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rec->Clear();
    chip->transfers = 0;
    chip->failAt = 3;
    chip->failError = c.failError;
    chip->failStatusRead = c.failStatus;
    chip->statusByte = c.statusByte;
    Bytes in(16);
    EXPECT_EQ(unit.ReadMem(0x1000, in), c.expectRc);
    EXPECT_EQ(unit.LastStatus(), c.expectLast);
    EXPECT_EQ(unit.LastDiagnostic(), c.text);
    const auto t = rec->Transfers();
    ASSERT_EQ(t.size(), c.transfers);
    if (c.transfers == 5) {
      EXPECT_EQ(t[3].setup.bmRequestType, 0xA1);
      EXPECT_EQ(t[3].setup.wValue, 0x0A00);
      EXPECT_EQ(t[4].data, (Bytes{0xFF, 0, 0, 0, 0, 0, 0, 0}));
    }
  }
  // A failed command block reports the command's own text.
  chip->transfers = 0;
  chip->failAt = 1;
  chip->failError = 31;
  chip->failStatusRead = false;
  chip->statusByte = 9;
  Bytes in(4);
  EXPECT_EQ(unit.SPI_SF_Read(0x30000, in, 0), 0x8007001Fu);
  EXPECT_EQ(unit.LastDiagnostic(), "SPI_SF_Read SetCmd error 8007001f, VCMD_STS_HW_ERR");
  EXPECT_EQ(unit.LastStatus(), 9);
}

TEST_F(ExtUnitTest, RangesSplitIntoCommandsOf0x8000) {
  Bytes big(0x18000);
  ASSERT_EQ(unit.ReadMem(0x1000, big), 0u);
  auto blocks = Blocks();
  ASSERT_EQ(blocks.size(), 3u);
  const std::uint16_t addrs[] = {0x1000, 0x9000, 0x1000};  // start + 0x10000 has low half 0x1000
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(ReadLE16(blocks[i], 2), addrs[i]);
    EXPECT_EQ(ReadLE16(blocks[i], 4), 0x8000);
  }
  EXPECT_TRUE(std::equal(big.begin(), big.end(), chip->mem.begin() + 0x1000));

  rec->Clear();
  Bytes ffff(0xFFFF);
  ASSERT_EQ(unit.ReadMem(0, ffff), 0u);
  blocks = Blocks();
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(ReadLE16(blocks[0], 4), 0xFFFF);

  rec->Clear();
  Bytes spi(0x20000);
  ASSERT_EQ(unit.SPI_SF_Read(0x30000, spi, 0), 0u);
  blocks = Blocks();
  ASSERT_EQ(blocks.size(), 4u);
  const std::uint16_t a[] = {0x0000, 0x8000, 0x0000, 0x8000};
  const std::uint16_t p[] = {3, 3, 4, 4};
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(ReadLE16(blocks[i], 2), a[i]);
    EXPECT_EQ(ReadLE16(blocks[i], 4), 0x8000);
    EXPECT_EQ(ReadLE16(blocks[i], 6), p[i]);
  }
  EXPECT_TRUE(std::equal(spi.begin(), spi.end(), chip->mem.begin() + 0x30000));

  // An EEPROM erase past 64 KiB keeps the high address half with every piece.
  rec->Clear();
  ASSERT_EQ(unit.I2C_EEP16_Erase(0x18000), 0u);
  blocks = Blocks();
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(ReadLE16(blocks[2], 2), 0x0000);
  EXPECT_EQ(ReadLE16(blocks[2], 6), 1);
}

TEST_F(ExtUnitTest, ArgumentsRefusedBeforeAnyTraffic) {
  Bytes nine(9), big(0x10000), small(4);
  struct Case {
    const char* name;
    std::function<std::uint32_t()> call;
    std::uint32_t expect;
  };
  const std::vector<Case> cases = {
      {"sector misaligned", [&] { return unit.SPI_SF_EraseSector(0x1001, 0x1000); }, kVcmdInvalidArg},
      {"sector size 0", [&] { return unit.SPI_SF_EraseSector(0, 0); }, kVcmdInvalidArg},
      {"slave read above the chunk", [&] { return unit.I2CReadSlave(0x50, nine); }, kVcmdInvalidArg},
      {"random write above the chunk", [&] { return unit.I2CRandomWrite(0x50, nine); }, kVcmdInvalidArg},
      {"OTP read of 64 KiB", [&] { return unit.OTPRead(0, big); }, kVcmdInvalidArg},
      {"short id buffer", [&] { return unit.SPI_SF_ReadID(small); }, kVcmdInvalidArg},
      {"block erase", [&] { return unit.SPI_SF_EraseBlock(0, 0x10000, true); }, kVcmdNotImplemented},
      {"EEPN read", [&] { return unit.I2C_EEPN_Read(0, small, 3); }, kVcmdNotImplemented},
      {"vendor 0x70", [&] { return unit.VendorCtl70Out(0); }, kVcmdNotImplemented},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(), c.expect);
  }
  EXPECT_EQ(rec->TransferCount(), 0u);
}

TEST_F(ExtUnitTest, DataControlSizeNegotiation) {
  std::uint32_t size = 8;
  EXPECT_TRUE(unit.ChangeDataControlSize(size));
  EXPECT_EQ(rec->TransferCount(), 0u);

  size = 2048;
  EXPECT_FALSE(unit.ChangeDataControlSize(size));
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(rec->TransferCount(), 0u);

  chip->reportedSize = 256;
  size = 512;
  EXPECT_FALSE(unit.ChangeDataControlSize(size));
  EXPECT_EQ(size, 256u);
  EXPECT_EQ(unit.DataControlSize(), 256u);
  const auto t = rec->Transfers();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[1].setup.bRequest, 0x85);
  EXPECT_EQ(t[1].setup.wValue, 0x0B00);
  EXPECT_EQ(t[1].wLength, 2);

  chip->reportedSize = 4096;  // more than the scratch buffer holds: clamped
  size = 1024;
  EXPECT_FALSE(unit.ChangeDataControlSize(size));
  EXPECT_EQ(unit.DataControlSize(), 1024u);

  chip->reportedSize = 0;
  size = 64;
  EXPECT_TRUE(unit.ChangeDataControlSize(size));
  Bytes in(100);
  rec->Clear();
  ASSERT_EQ(unit.ReadMem(0, in), 0u);
  EXPECT_EQ(rec->TransferCount(), 3u);  // command and two 64-byte chunks
  EXPECT_TRUE(std::equal(in.begin(), in.end(), chip->mem.begin()));
}

// A device that agrees to a chunk smaller than a status page or the flash ID: the single-chunk
// reads cannot carry their answer, so they fail before sending rather than answer success
// with bytes the device never sent.
TEST_F(ExtUnitTest, ChunkSmallerThanTheAnswerIsRefused) {
  chip->reportedSize = 4;
  std::uint32_t size = 64;
  EXPECT_FALSE(unit.ChangeDataControlSize(size));
  ASSERT_EQ(unit.DataControlSize(), 4u);
  rec->Clear();
  Bytes page(8, 0xEE), id(8, 0xEE);
  EXPECT_EQ(unit.GetDevStatus(0, page), kVcmdInvalidArg);
  EXPECT_EQ(unit.SPI_SF_ReadID(id), kVcmdInvalidArg);
  EXPECT_FALSE(unit.DevQualify());
  EXPECT_EQ(rec->TransferCount(), 0u);
  EXPECT_EQ(page, Bytes(8, 0xEE));
  // A read that fits the chunk still goes out.
  Bytes four(4);
  ASSERT_EQ(unit.GetDevStatus(0, four), 0u);
  EXPECT_TRUE(std::equal(four.begin(), four.end(), chip->statusArea.begin()));
}

TEST_F(ExtUnitTest, StatusPagesQualificationAndI2CModes) {
  Bytes status(12);
  ASSERT_EQ(unit.GetDevStatus(0, status), 0u);
  auto blocks = Blocks();
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(ReadLE16(blocks[1], 2), 1);
  EXPECT_TRUE(std::equal(status.begin(), status.end(), chip->statusArea.begin()));

  EXPECT_TRUE(unit.DevQualify());

  chip->mem[0x12] = 0x34;
  chip->mem[0x13] = 0x12;
  std::uint16_t v = 0xFFFF;
  ASSERT_EQ(unit.I2CRead(1, 0x12, v), 0u);
  EXPECT_EQ(v, 0x0034);
  ASSERT_EQ(unit.I2CRead(2, 0x12, v), 0u);
  EXPECT_EQ(v, 0x1234);

  chip->dataOut.clear();
  ASSERT_EQ(unit.I2CWrite(1, 0x12, 0xBEEF), 0u);
  ASSERT_EQ(unit.I2CWrite(2, 0x12, 0xBEEF), 0u);
  ASSERT_EQ(chip->dataOut.size(), 2u);
  EXPECT_EQ(chip->dataOut[0], (Bytes{0xEF, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(chip->dataOut[1], (Bytes{0xEF, 0xBE, 0, 0, 0, 0, 0, 0}));
}

TEST_F(ExtUnitTest, LongFormsSplitIn64BytePiecesWithTheAddressMask) {
  Bytes data(150);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
  ASSERT_EQ(unit.I2CLongWrite(0x50, 0x8010, 0, data), 0u);
  auto blocks = Blocks();
  ASSERT_EQ(blocks.size(), 3u);
  const std::uint16_t wa[] = {0x8010, 0x8050, 0x0090};
  const std::uint16_t wl[] = {64, 64, 22};
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(ReadLE16(blocks[i], 2), wa[i]);
    EXPECT_EQ(ReadLE16(blocks[i], 4), wl[i]);
    EXPECT_EQ(ReadLE16(blocks[i], 6), 0x50);
  }

  rec->Clear();
  Bytes in(150);
  ASSERT_EQ(unit.I2CLongRead(0x50, 0x8010, in), 0u);
  blocks = Blocks();
  ASSERT_EQ(blocks.size(), 3u);
  const std::uint16_t ra[] = {0x8010, 0x8050, 0x8090};
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(ReadLE16(blocks[i], 2), ra[i]);
  EXPECT_TRUE(std::equal(in.begin(), in.end(), chip->mem.begin() + 0x8010));

  // One full piece keeps its address; a short single piece is masked.
  rec->Clear();
  ASSERT_EQ(unit.I2CLongWrite(0x50, 0x8010, 0, std::span(data).first(64)), 0u);
  ASSERT_EQ(unit.I2CLongWrite(0x50, 0x8010, 0, std::span(data).first(20)), 0u);
  blocks = Blocks();
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(ReadLE16(blocks[0], 2), 0x8010);
  EXPECT_EQ(ReadLE16(blocks[1], 2), 0x0010);
}

TEST_F(ExtUnitTest, AbandonedLockFailsOneCommandThenProceeds) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    CNamedMutex lock(kVendorCmdLockName);
    lock.Wait(0);
    ::_exit(0);  // dies holding the vendor command lock
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  Bytes in(4);
  EXPECT_EQ(unit.ReadMem(0, in), kVcmdLockFailed);
  EXPECT_EQ(rec->TransferCount(), 0u);
  EXPECT_EQ(unit.ReadMem(0, in), 0u);
  EXPECT_EQ(rec->TransferCount(), 2u);
}

}  // namespace
}  // namespace drover
