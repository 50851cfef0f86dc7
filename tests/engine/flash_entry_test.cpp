// The flash entry points around the update: silent verify, the load fall-back and chip rule
// of the silent writes, the unit-data carry-overs, the serial-number countdown, the read and
// erase jobs and the command-line dispatcher.
#include <filesystem>

#include "download_fixture.h"
#include "engine/flash_info.h"
#include "engine/silence_dispatch.h"

namespace drover {
namespace {

using namespace engine_test;

class FlashEntry : public DownloadTest {
 protected:
  Bytes ReadFile(const std::string& path) {
    std::vector<std::uint8_t> data;
    EXPECT_TRUE(LoadFile(path, data));
    return data;
  }
};

// The verify reads as many bytes as the file holds from where the download put them (the
// second bank of chip code 23, above the image for 26); a difference is left as the last
// status without a post.
TEST_F(FlashEntry, SilentVerify) {
  struct Case {
    const char* ic;
    int image;
    std::uint32_t base;
  };
  for (const Case& c : {Case{"VQ7330", kImage7330, 0}, Case{"VQ7322", kImage7322, 0x10000},
                        Case{"VQ7370", kImage7370, 0x10000}}) {
    SCOPED_TRACE(c.ic);
    const int n = Open(Device(c.ic));
    ctx.bCommandLineMode = true;
    const std::string path = File("fw.rfw", BuiltInImage(c.image));
    ASSERT_EQ(flow->DEV_Silence_WriteBin(path), 1);

    posts.posts.clear();
    EXPECT_EQ(flow->DEV_Silence_VerifyBin(path), 1);
    EXPECT_EQ(Shows(), (std::vector<Shown>{Step(kIdStepRead), Progress(100), Result(kIdReadFlashOk)}));
    EXPECT_EQ(GetLastStatus(), 0u);
    EXPECT_EQ(ctx.dwDumpSize, 0x10000u);

    ASSERT_TRUE(bus->WriteMemory(n, sim::Memory::Flash, c.base + 0x100, Bytes{0x00}));
    posts.posts.clear();
    EXPECT_EQ(flow->DEV_Silence_VerifyBin(path), 0);
    EXPECT_EQ(GetLastStatus(), kIdCompareFail);
    EXPECT_TRUE(Errors().empty());
    EXPECT_EQ(Shows().back(), Result(kIdReadFlashOk));
    flow->DEV_CloseDevice();
  }
}

TEST_F(FlashEntry, LoadFallBackOfTheSilentWrites) {
  struct Case {
    const char* name;
    bool serialForm;
    std::size_t loaded;  // bytes of the built-in image already in the flow
    int result;
  };
  for (const Case& c : {Case{"WriteBin, 64 KiB loaded", false, 0x10000, 1},
                        Case{"WriteSNBin, 64 KiB loaded", true, 0x10000, 0},
                        Case{"WriteBin, less loaded", false, 0xFFFF, 0}, Case{"WriteBin, nothing", false, 0, 0}}) {
    SCOPED_TRACE(c.name);
    const int n = Open(Device("VQ7330"));
    ctx.bCommandLineMode = true;
    Bytes image = BuiltInImage(kImage7330);
    image.resize(c.loaded);
    flow->m_pFileData = image;
    const std::string missing = ProgramDir() + "/missing.rfw";
    const int result = c.serialForm ? flow->DEV_Silence_WriteSNBin(missing, "SN") : flow->DEV_Silence_WriteBin(missing);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(flow->m_strFwFile, missing);
    if (c.result) {
      EXPECT_EQ(Flash(n, 0, 0x10000), image);
    } else {
      EXPECT_EQ(Errors(), (std::vector<std::uintptr_t>{kIdLoadFileFail}));
      EXPECT_EQ(Flash(n, 0, 0x10000), Bytes(0x10000, 0xFF));
    }
    flow->DEV_CloseDevice();
  }
}

// The flash entry points take chip code 8 for 9 and the other way round.
TEST_F(FlashEntry, ChipRule) {
  struct Case {
    std::uint8_t imageChip;
    std::uint32_t error;  // 0: the download runs
  };
  for (const Case& c : {Case{8, 0}, Case{9, 0}, Case{7, kIdWrongFirmware}}) {
    SCOPED_TRACE(c.imageChip);
    const int n = Open(Device("VQ7330"));
    ctx.pIcType = std::make_unique<CICTypeIni>(0);
    ctx.pIcType->ReadFromText(std::string("[Camera_Register_00]\nICRegister1=0x10\nICRegister2=0xB0\nChipInfo=") +
                              (c.imageChip == 9 ? "8" : "9") +
                              "\n[Vendor Info M1]\nConfigAddress=0xF000\nConfigSize=4096\nTagAddress=0xEFFE\n");
    ASSERT_EQ(ctx.pIcType->MatchRegisters(0x10, 0xB0), 1);
    ctx.bCommandLineMode = true;
    const Bytes image = FlashImage(0xF000, Block(0x55, c.imageChip, {VidPidItem(0x0BDA, 0x7330)}), {0xFF, 0xFF});
    EXPECT_EQ(flow->DEV_Silence_WriteBin(File("fw.rfw", image)), c.error ? 0 : 1);
    if (c.error) {
      EXPECT_EQ(Errors(), (std::vector<std::uintptr_t>{c.error}));
    } else {
      EXPECT_EQ(Flash(n, 0, 0x10000), image);
    }
    flow->DEV_CloseDevice();
  }
}

// Unit data kept in a configuration item: the extended item 0xFF 0x50 of the flash's block at
// 0xF000 goes into the image's block before the erase.
TEST_F(FlashEntry, UnitDataItemIsCarriedOver) {
  const Bytes unit{0xFF, 0x50, 20, 0, 'u', 'n', 'i', 't', '-', 'd', 'a', 't', 'a', '-', '0', '0', '0', '0', '0', '1'};
  const Bytes other{0xFF, 0x50, 20, 0, 'i', 'm', 'a', 'g', 'e', '-', 'd', 'e', 'f', 'a', 'u', 'l', 't', '0', '0', '0'};
  const Bytes head = HwAp(0x7330);
  const Bytes ids = VidPidItem(0x0B05, 0x18A6);
  struct Case {
    const char* name;
    Bytes imageBlock;
    Bytes expectedBlock;
  };
  const Case cases[] = {
      {"replaced in place", Block(0x55, 21, {head, ids, other}), Block(0x55, 21, {head, ids, unit})},
      {"appended", Block(0x55, 21, {head, ids}), Block(0x55, 21, {head, ids, unit})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::DeviceOptions o = Device("VQ7330");
    o.pid = 0x18A6;
    o.image = FlashImage(0xF000, Block(0x55, 21, {head, unit, ids}), {0xFF, 0xFF}, 5);
    const int n = Open(o);
    flow->m_pFileData = FlashImage(0xF000, c.imageBlock, {0xFF, 0xFF}, 6);
    ASSERT_EQ(flow->DEV_Download(), 1);
    EXPECT_EQ(Flash(n, 0, 0x10000), FlashImage(0xF000, c.expectedBlock, {0xFF, 0xFF}, 6));
    EXPECT_TRUE(box->texts.empty());
    flow->DEV_CloseDevice();
  }

  // No code in the flash: the operator is told, and the image goes down as it is.
  sim::DeviceOptions o = Device("VQ7330");
  o.pid = 0x1965;
  const int n = Open(o);
  const Bytes image = FlashImage(0xF000, Block(0x55, 21, {head, ids}), {0xFF, 0xFF}, 6);
  flow->m_pFileData = image;
  ASSERT_EQ(flow->DEV_Download(), 1);
  EXPECT_EQ(box->texts, (std::vector<std::string>{"SPI code not exist."}));
  EXPECT_EQ(Flash(n, 0, 0x10000), image);
  flow->DEV_CloseDevice();

  // An image that ends before the block cannot take the unit data: refused untouched.
  o.pid = 0x18A6;
  o.image = FlashImage(0xF000, Block(0x55, 21, {head, unit, ids}), {0xFF, 0xFF}, 5);
  const int m = Open(o);
  const Bytes before = Flash(m, 0, 0x10000);
  flow->m_pFileData = Bytes(image.begin(), image.begin() + 0xF000);
  EXPECT_EQ(flow->DEV_Download(), 0);
  EXPECT_EQ(Errors(), (std::vector<std::uintptr_t>{kIdWrongFirmware}));
  EXPECT_EQ(Flash(m, 0, 0x10000), before);
}

// Unit data kept in the sector at 0x1F000 of 0x0BDA 0x4C15 devices.
TEST_F(FlashEntry, UnitSectorIsCarriedOver) {
  const Bytes unit = Filler(0x1000, 11);
  for (bool shortImage : {false, true}) {
    SCOPED_TRACE(shortImage);
    sim::DeviceOptions o = Device("VQ7330");
    o.vid = 0x0BDA;
    o.pid = 0x4C15;
    const int n = Open(o);
    ASSERT_TRUE(bus->WriteMemory(n, sim::Memory::Flash, 0x1F000, unit));
    const Bytes image = BuiltInImage(shortImage ? kImage7330 : kImage4C15);
    flow->m_pFileData = image;
    if (shortImage) {
      EXPECT_EQ(flow->DEV_Download(), 0);
      EXPECT_EQ(Errors(), (std::vector<std::uintptr_t>{kIdWrongFirmware}));
      EXPECT_EQ(Flash(n, 0, 0x10000), Bytes(0x10000, 0xFF));
    } else {
      ASSERT_EQ(flow->DEV_Download(), 1);
      Bytes expected = image;
      std::copy(unit.begin(), unit.end(), expected.begin() + 0x1F000);
      EXPECT_EQ(Flash(n, 0, static_cast<std::uint32_t>(image.size())), expected);
    }
    EXPECT_EQ(Flash(n, 0x1F000, 0x1000), unit);
    flow->DEV_CloseDevice();
  }
}

// With "SaveSN" the serial text goes into the image, and dialog mode counts down "2", "1"
// before the result; a failed update keeps its identifier as the last status.
TEST_F(FlashEntry, SerialNumberAndCountdown) {
  settings->Set("SaveSN", 1);
  std::vector<std::string> verdicts;
  ctx.setVerdictText = [&](std::string_view t) { verdicts.emplace_back(t); };
  for (bool fail : {false, true}) {
    SCOPED_TRACE(fail);
    verdicts.clear();
    const int n = Open(Device("VQ7330"));
    ctx.bCommandLineMode = false;
    if (fail) {
      sim::Faults f;
      ASSERT_TRUE(bus->GetFaults(n, f));
      f.stall.push_back({sim::FaultTarget::Vendor, 0x2F, 0, 0});
      ASSERT_TRUE(bus->SetFaults(n, f));
    }
    flow->m_strManufacturer = "ACME01";
    flow->m_pFileData = BuiltInImage(kImage7330);
    const std::uint64_t slept = Clock().SleptMs();
    EXPECT_EQ(flow->DEV_Download(), fail ? 0 : 1);
    EXPECT_EQ(verdicts, (std::vector<std::string>{"2", "1"}));
    EXPECT_GE(Clock().SleptMs() - slept, 2000u);
    const auto shows = Shows();
    if (fail) {
      EXPECT_EQ(std::vector<Shown>(shows.end() - 3, shows.end()),
                (std::vector<Shown>{Error(kIdUpdateFlashFail), Step(0), Step(0)}));
      EXPECT_EQ(GetLastStatus(), kIdUpdateFlashFail);
    } else {
      EXPECT_EQ(std::vector<Shown>(shows.end() - 5, shows.end()),
                (std::vector<Shown>{Step(kIdStepResetToCode), Step(0), Step(0), Progress(100), Result(kIdFirmwareUpdateOk)}));
      const Bytes block = Flash(n, 0xF000, 0x200);
      const std::string text(block.begin(), block.end());
      EXPECT_NE(text.find("ACME01"), std::string::npos);
    }
    flow->DEV_CloseDevice();
  }

  // Command-line mode writes the text too, but counts nothing down.
  verdicts.clear();
  const int n = Open(Device("VQ7330"));
  ctx.bCommandLineMode = true;
  flow->m_strManufacturer = "ACME02";
  flow->m_pFileData = BuiltInImage(kImage7330);
  ASSERT_EQ(flow->DEV_Download(), 1);
  EXPECT_TRUE(verdicts.empty());
  EXPECT_FALSE(posts.Has(UM_STEP, 0));
  EXPECT_EQ(Shows().back(), Result(kIdFirmwareUpdateOk));
  const Bytes block = Flash(n, 0xF000, 0x200);
  EXPECT_NE(std::string(block.begin(), block.end()).find("ACME02"), std::string::npos);
}

TEST_F(FlashEntry, ReadJobs) {
  sim::DeviceOptions o = Device("VQ7330");
  o.image = BuiltInImage(kImage7330);
  const int n = Open(o);
  ctx.dwDumpSize = 0x10000;
  const std::string bin = ProgramDir() + "/dump/spi.bin";
  bus->RecordTransfers(n, true);
  ASSERT_EQ(flow->DEV_Silence_ReadBin(bin), 1);
  EXPECT_EQ(ReadFile(bin), Flash(n, 0, 0x10000));
  EXPECT_EQ(Shows(), (std::vector<Shown>{Step(kIdStepRead), Progress(100), Result(kIdReadFlashOk)}));
  // The dump goes through the extension unit with 64-byte data chunks, then back to 8.
  std::vector<std::uint16_t> sizes;
  std::size_t spiReads = 0;
  for (const auto& t : bus->TakeTransfers(n)) {
    if ((t.bmRequestType & 0x60) != 0x20 || t.bRequest != 0x01 || t.wValue != 0x0A00 || t.data.size() < 6) continue;
    if (t.data[0] == 0x00 && t.data[1] == 0x16) sizes.push_back(ReadLE16(t.data, 4));
    if (t.data[0] == 0x02 && t.data[1] == 0xC2) ++spiReads;
  }
  EXPECT_EQ(sizes, (std::vector<std::uint16_t>{64, 8}));
  EXPECT_EQ(spiReads, 0x10000u / 4096);
  EXPECT_EQ(flow->m_dwCmdFlags & 0x20, 0u);

  const std::string text = ProgramDir() + "/spi.txt";
  ASSERT_EQ(flow->DEV_Silence_ReadText(text), 1);
  const Bytes hex = ReadFile(text);
  EXPECT_EQ(hex.size(), 0x10000u * 3 + (0x10000u / 16 - 1) * 2);

  // Dialog mode saves the dump to the flow's dump file.
  flow->m_strDumpFile = ProgramDir() + "/saved.bin";
  ASSERT_EQ(flow->DEV_ReadCode(), 1);
  EXPECT_EQ(ReadFile(flow->m_strDumpFile), Flash(n, 0, 0x10000));
  ctx.bCommandLineMode = true;
  std::filesystem::remove(flow->m_strDumpFile);
  ASSERT_EQ(flow->DEV_ReadCode(), 1);
  EXPECT_FALSE(std::filesystem::exists(flow->m_strDumpFile));
}

TEST_F(FlashEntry, EraseJobs) {
  struct Case {
    const char* name;
    const char* ic;
    std::uint8_t romBootStatus;
    int image;
    std::uint32_t resetOption;
    std::uint32_t restarts;
    std::uint32_t keptFrom;  // flash below this stays (the chip-specific erase of chip code 23)
  };
  for (const Case& c : {Case{"whole, restart", "VQ7330", 0, kImage7330, 1, 1, 0},
                        Case{"whole, no restart", "VQ7330", 0, kImage7330, 0, 0, 0},
                        Case{"chip-specific (ROM&&OTP)", "VQ7322", 16, kImage7322, 0, 1, 0x10000}}) {
    SCOPED_TRACE(c.name);
    sim::DeviceOptions o = Device(c.ic);
    o.romBootStatus = c.romBootStatus;
    const int n = Open(o);
    const Bytes bank0 = Filler(0x10000, 2);
    ASSERT_TRUE(bus->WriteMemory(n, sim::Memory::Flash, 0, bank0));
    ASSERT_TRUE(bus->WriteMemory(n, sim::Memory::Flash, 0x10000, BuiltInImage(c.image)));
    ASSERT_EQ(flow->DEV_Silence_Erase(c.resetOption), 1);
    EXPECT_EQ(ctx.dwUpdateOptions & kOptResetToCache, c.resetOption);
    EXPECT_EQ(Flash(n, 0x10000, 0x10000), Bytes(0x10000, 0xFF));
    EXPECT_EQ(Flash(n, 0, 0x10000), c.keptFrom ? bank0 : Bytes(0x10000, 0xFF));
    EXPECT_EQ(Restarts(n), c.restarts);
    const std::vector<Shown> expected =
        c.restarts ? std::vector<Shown>{Step(kIdStepErasing), Progress(5), Step(kIdStepResetToCode), Progress(100),
                                        Result(kIdEraseFlashOk)}
                   : std::vector<Shown>{Step(kIdStepErasing), Progress(100), Result(kIdEraseFlashOk)};
    EXPECT_EQ(Shows(), expected);
    flow->DEV_CloseDevice();
  }
}

TEST_F(FlashEntry, CommandLineDispatcher) {
  const int n = Open(Device("VQ7330"));
  ctx.bCommandLineMode = true;
  const std::string path = File("fw.rfw", BuiltInImage(kImage7330));
  SetLastStatus(5);
  EXPECT_EQ(DEV_SilenceDispatch(*flow, 'X', path, "SN"), 0);
  EXPECT_EQ(GetLastStatus(), kIdNotSupport);
  EXPECT_EQ(Flash(n, 0, 0x10000), Bytes(0x10000, 0xFF));
  EXPECT_EQ(DEV_SilenceDispatch(*flow, 'S', path, "SN"), 1);
  EXPECT_EQ(GetLastStatus(), 0u);
  EXPECT_EQ(Flash(n, 0, 0x10000), BuiltInImage(kImage7330));
}

}  // namespace
}  // namespace drover
