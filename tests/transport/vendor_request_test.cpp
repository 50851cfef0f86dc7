#include "transport/vendor_request.h"

#include <gtest/gtest.h>

#include <functional>

#include "fake_fixture.h"

namespace drover {
namespace {

using Bytes = std::vector<std::uint8_t>;

class VendorRequestTest : public test::FakeDeviceTest {
 protected:
  VendorRequestTest() : vr(record) {}
  CVendorRequestV2 vr;
};

TEST_F(VendorRequestTest, EveryCommandHasItsRequestEncoding) {
  Bytes buf4(4), id(8);
  const Bytes data4 = {1, 2, 3, 4};
  std::uint8_t b = 0;
  std::uint16_t w = 0;
  std::uint32_t count = 4;
  struct Case {
    const char* name;
    std::function<std::uint32_t()> call;
    std::uint8_t type, request;
    std::uint16_t value, index, length;
    std::uint32_t timeout;
  };
  const std::vector<Case> cases = {
      {"GetDevStatus", [&] { return vr.GetDevStatus(5, std::span(buf4)); }, 0xC0, 0x07, 5, 0, 8, 5000},
      {"ResetToUpdateFW", [&] { return vr.ResetToUpdateFW(0x0106); }, 0x40, 0x20, 0x06, 0, 0, 5000},
      {"ResetToUpdateFW2", [&] { return vr.ResetToUpdateFW2(2); }, 0x40, 0x21, 2, 0, 0, 5000},
      {"ResetToRom", [&] { return vr.ResetToRom(); }, 0x40, 0x22, 0, 0, 0, 5000},
      {"ReadIMem", [&] { return vr.ReadIMem(0x51234, buf4); }, 0xC0, 0x23, 0x0500, 0x1234, 4, 5000},
      {"ReadMem", [&] { return vr.ReadMem(0xFE21, buf4); }, 0xC0, 0x25, 0, 0xFE21, 4, 5000},
      {"WriteMem", [&] { return vr.WriteMem(0xC3BA, std::span(data4).first(1)); }, 0x40, 0x24, 0, 0xC3BA, 1, 5000},
      {"ReadCode", [&] { return vr.ReadCode(0x10, buf4); }, 0xC0, 0x26, 0, 0x10, 4, 5000},
      {"ReadPhy", [&] { return vr.ReadPhy(0x20, buf4); }, 0xC0, 0x27, 0, 0x20, 4, 5000},
      {"WritePhy", [&] { return vr.WritePhy(0x20, data4); }, 0x40, 0x28, 0, 0x20, 4, 5000},
      {"EraseFlash", [&] { return vr.EraseFlash(); }, 0x40, 0x29, 0, 0, 0, 5000},
      {"NorFlash_Read", [&] { return vr.NorFlash_Read(0x100, buf4); }, 0xC0, 0x2B, 0, 0x100, 4, 5000},
      {"WriteFlash", [&] { return vr.WriteFlash(0x100, data4); }, 0x40, 0x2A, 0, 0x100, 4, 5000},
      {"NorFlash_WriteTag", [&] { return vr.NorFlash_WriteTag(); }, 0x40, 0x2C, 0, 0, 0, 5000},
      {"SPI_SF_ReadID", [&] { return vr.SPI_SF_ReadID(id); }, 0xC0, 0x2D, 0, 0, 8, 5000},
      {"SPI_SF_Read", [&] { return vr.SPI_SF_Read(0x30010, buf4, 0xF7); }, 0xC0, 0x2E, 0x03F7, 0x0010, 4, 5000},
      {"SPI_SF_Write", [&] { return vr.SPI_SF_Write(0x120010, data4); }, 0x40, 0x2F, 0x1200, 0x0010, 4, 5000},
      {"SPI_SF_ReadSr", [&] { return vr.SPI_SF_ReadSr(b); }, 0xC0, 0x30, 0, 0, 1, 5000},
      {"SPI_SF_WriteSr", [&] { return vr.SPI_SF_WriteSr(0x8C); }, 0x40, 0x31, 0, 0, 1, 5000},
      {"SPI_SF_EraseChip", [&] { return vr.SPI_SF_EraseChip(30000); }, 0x40, 0x32, 0, 0, 0, 30000},
      {"SPI_SF_EraseSector", [&] { return vr.SPI_SF_EraseSector(0x11000, 0x1000); }, 0x40, 0x33, 0x0100, 0x1000, 0, 5000},
      {"SPI_SF_EraseBlock", [&] { return vr.SPI_SF_EraseBlock(0x20000, 0x10000, false); }, 0x40, 0x35, 0x0200, 0, 0, 5000},
      {"SPI_SF_WriteTag", [&] { return vr.SPI_SF_WriteTag(); }, 0x40, 0x34, 0, 0, 0, 5000},
      {"I2C_EEP8_Erase", [&] { return vr.I2C_EEP8_Erase(16); }, 0x40, 0x36, 0, 0, 16, 5000},
      {"I2C_EEP8_Read", [&] { return vr.I2C_EEP8_Read(0x40, buf4); }, 0xC0, 0x35, 0, 0x40, 4, 5000},
      {"I2C_EEP8_Write", [&] { return vr.I2C_EEP8_Write(0x40, data4); }, 0x40, 0x36, 0, 0x40, 4, 5000},
      {"I2C_EEP8_WriteTag", [&] { return vr.I2C_EEP8_WriteTag(); }, 0x40, 0x36, 0, 1, 1, 5000},
      {"I2C_EEP16_Erase", [&] { return vr.I2C_EEP16_Erase(16); }, 0x40, 0x38, 0, 0, 16, 5000},
      {"I2C_EEP16_Read", [&] { return vr.I2C_EEP16_Read(0x1234, buf4); }, 0xC0, 0x37, 0, 0x1234, 4, 5000},
      {"I2C_EEP16_Write", [&] { return vr.I2C_EEP16_Write(0x1234, data4); }, 0x40, 0x38, 0, 0x1234, 4, 5000},
      {"I2C_EEP16_WriteTag", [&] { return vr.I2C_EEP16_WriteTag(); }, 0x40, 0x38, 0, 1, 1, 5000},
      {"I2C_EEPN_Erase", [&] { return vr.I2C_EEPN_Erase(16); }, 0x40, 0x3A, 3, 0, 16, 5000},
      {"I2C_EEPN_Read", [&] { return vr.I2C_EEPN_Read(0x21234, buf4, 3); }, 0xC0, 0x39, 0x0200, 0x1234, 4, 5000},
      {"I2C_EEPN_Write", [&] { return vr.I2C_EEPN_Write(0x21234, data4, 2); }, 0x40, 0x3A, 0x0202, 0x1234, 4, 5000},
      {"I2C_EEPN_WriteTag", [&] { return vr.I2C_EEPN_WriteTag(); }, 0x40, 0x3A, 3, 1, 1, 5000},
      {"I2CRead", [&] { return vr.I2CRead(1, 0x31234, w); }, 0xC0, 0x50, 0x0300, 0x1234, 2, 5000},
      {"I2CWrite", [&] { return vr.I2CWrite(2, 0x31234, 0xBEEF); }, 0x40, 0x51, 0x0300, 0x1234, 2, 5000},
      {"I2CGenRead", [&] { return vr.I2CGenRead(0x50, buf4); }, 0xC0, 0x3D, 0, 0x50, 4, 5000},
      {"I2CGenWrite", [&] { return vr.I2CGenWrite(0x50, data4); }, 0x40, 0x3E, 0, 0x50, 4, 5000},
      {"I2CRandomRead", [&] { return vr.I2CRandomRead(0x51, buf4); }, 0xC0, 0x59, 0, 0x51, 4, 5000},
      {"I2CRandomWrite", [&] { return vr.I2CRandomWrite(0x51, data4); }, 0x40, 0x58, 0, 0x51, 4, 5000},
      {"VendorCtl70Out", [&] { return vr.VendorCtl70Out(99); }, 0x40, 0x70, 5, 0, 0, 5000},
      {"VendorCtl70In", [&] { return vr.VendorCtl70In(3, buf4, count); }, 0xC0, 0x70, 3, 0, 4, 5000},
      {"ReadByte06", [&] { return vr.ReadByte06(b); }, 0xC0, 0x06, 0, 0, 1, 5000},
      {"Command10", [&] { return vr.Command10(1); }, 0x40, 0x10, 1, 0, 0, 5000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rec->Clear();
    EXPECT_EQ(c.call(), 0u);
    const auto t = rec->Transfers();
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t[0].setup.bmRequestType, c.type);
    EXPECT_EQ(t[0].setup.bRequest, c.request);
    EXPECT_EQ(t[0].setup.wValue, c.value);
    EXPECT_EQ(t[0].setup.wIndex, c.index);
    EXPECT_EQ(t[0].wLength, c.length);
    EXPECT_EQ(t[0].timeoutMs, c.timeout);
  }
  EXPECT_EQ(count, 4u);
}

TEST_F(VendorRequestTest, RangesGoIn4096BytePiecesAndStopAtAFailure) {
  Bytes in(10000);
  std::vector<std::uint32_t> steps;
  ASSERT_EQ(vr.ReadMem(0x1F000, in, [&](std::uint32_t n) { steps.push_back(n); }), 0u);
  EXPECT_EQ(steps, (std::vector<std::uint32_t>{4096, 4096, 1808}));
  auto t = rec->Transfers();
  ASSERT_EQ(t.size(), 3u);
  // wIndex = address bits 0..15, wValue bits 8..11 = address bits 16..19.
  EXPECT_EQ(t[0].setup.wIndex, 0xF000);
  EXPECT_EQ(t[0].setup.wValue, 0x0100);
  EXPECT_EQ(t[1].setup.wIndex, 0x0000);
  EXPECT_EQ(t[1].setup.wValue, 0x0200);
  EXPECT_EQ(t[2].wLength, 1808);
  EXPECT_TRUE(std::equal(in.begin(), in.end(), chip->mem.begin() + 0x1F000));

  rec->Clear();
  chip->transfers = 0;
  chip->failAt = 2;
  Bytes again(10000);
  EXPECT_EQ(vr.ReadMem(0x1000, again), 0x8007001Fu);
  EXPECT_EQ(rec->TransferCount(), 2u);
  EXPECT_TRUE(std::equal(again.begin(), again.begin() + 4096, chip->mem.begin() + 0x1000));

  // A short answer is not data.
  chip->failAt = 0;
  chip->shortIn = 3;
  Bytes four(4);
  EXPECT_EQ(vr.ReadMem(0, four), 0x80070018u);
  std::uint32_t count = 4;
  EXPECT_EQ(vr.VendorCtl70In(1, four, count), 0u);
  EXPECT_EQ(count, 3u);
}

TEST_F(VendorRequestTest, EraseBlockPollsAtMostTwentyTimes) {
  chip->mem[0] = 0;  // the poll reads 0: the erase never reports done
  ASSERT_EQ(vr.SPI_SF_EraseBlock(0x10000, 0x10000, true), 0u);
  auto t = rec->Transfers();
  ASSERT_EQ(t.size(), 21u);
  for (std::size_t i = 1; i < t.size(); ++i) {
    EXPECT_EQ(t[i].setup.bmRequestType, 0xC0);
    EXPECT_EQ(t[i].setup.bRequest, 0x36);
    EXPECT_EQ(t[i].wLength, 1);
  }
  EXPECT_EQ(clock->SleptMs(), 19u * 500u);

  rec->Clear();
  chip->mem[0] = 1;
  ASSERT_EQ(vr.SPI_SF_EraseBlock(0, 0x10000, true), 0u);
  EXPECT_EQ(rec->TransferCount(), 2u);

  rec->Clear();
  EXPECT_EQ(vr.SPI_SF_EraseBlock(0x8000, 0x10000, true), kVcmdInvalidArg);
  EXPECT_EQ(vr.SPI_SF_EraseSector(0x1001, 0x1000), kVcmdInvalidArg);
  EXPECT_EQ(rec->TransferCount(), 0u);
}

TEST_F(VendorRequestTest, StatusPagesModesAndUnsupportedCommands) {
  Bytes status(12);
  ASSERT_EQ(vr.GetDevStatus(0, status), 0u);
  auto t = rec->Transfers();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[1].setup.wValue, 1);
  EXPECT_EQ(t[1].wLength, 8);
  EXPECT_TRUE(std::equal(status.begin(), status.end(), chip->statusArea.begin()));

  chip->mem[0x1234] = 0x34;
  chip->mem[0x1235] = 0x12;
  std::uint16_t v = 0;
  ASSERT_EQ(vr.I2CRead(1, 0x1234, v), 0u);
  EXPECT_EQ(v, 0x34);
  ASSERT_EQ(vr.I2CRead(2, 0x1234, v), 0u);
  EXPECT_EQ(v, 0x1234);

  rec->Clear();
  Bytes buf(4);
  const Bytes data(4, 1);
  const std::vector<std::function<std::uint32_t()>> unsupported = {
      [&] { return vr.OTPWrite(0, 8, data); },         [&] { return vr.OTPRead(0, buf); },
      [&] { return vr.OTPBlankCheck(0, buf); },        [&] { return vr.OTPAllBlankCheck(0, buf); },
      [&] { return vr.OTPPrgmFailAddr(buf); },         [&] { return vr.I2CReadSlave(0x50, buf); },
      [&] { return vr.I2CWriteSlave(0x50, data); },    [&] { return vr.I2CSuperRead(0x50, buf); },
      [&] { return vr.I2CSuperWrite(0x50, data); },    [&] { return vr.I2CLongRead(0x50, 0, buf); },
      [&] { return vr.I2CLongWrite(0x50, 0, 0, data); }, [&] { return vr.Reserved39(); },
  };
  for (std::size_t i = 0; i < unsupported.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(unsupported[i](), kVcmdNotImplemented);
  }
  EXPECT_EQ(rec->TransferCount(), 0u);
}

}  // namespace
}  // namespace drover
