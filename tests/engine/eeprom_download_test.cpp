// The two EEPROM leaves end to end on the simulated chip: downloads, the tag held back until
// the read-back matched, the option bits, verify, read, erase and the update of the code image.
#include "download_fixture.h"
#include "engine/eeprom_info.h"

namespace drover {
namespace {

using namespace engine_test;

// A 16 KiB EEPROM image for the VQ7330: the block at 0 (its signature byte 1 is the tag).
Bytes EepromImage(std::uint8_t kind, std::uint8_t chip = 21, std::uint8_t seed = 4) {
  Bytes image = Filler(0x4000, seed);
  const Bytes block = Block(kind, chip, {HwAp(0x7330), {3, 8, 0x01}, VidPidItem(0x0BDA, 0x7330)});
  std::copy(block.begin(), block.end(), image.begin());
  const std::uint8_t version[8] = {0x12, 0x41, 0x24, 0x05, 0x01, 0x09, 0x00, seed};
  std::copy(std::begin(version), std::end(version), image.begin() + 0x11B);
  return image;
}

struct Family {
  const char* name;
  std::uint32_t memoryType;
  sim::MemoryKind memory;
  std::uint8_t kind;
  std::uint8_t writeOpcode;  // extension-unit opcode of the EEPROM write
  std::uint8_t writeRequest; // vendor request of the EEPROM write
};
const Family kFamilies[] = {
    {"16-bit", kMemoryEeprom16, sim::MemoryKind::Eeprom16, 0x12, 0x91, 0x38},
    {"8-bit", kMemoryEeprom8, sim::MemoryKind::Eeprom8, 0x11, 0x8B, 0x36},
};

class EepromDownload : public DownloadTest {
 protected:
  int OpenEeprom(const Family& f, sim::DeviceOptions o = Device("VQ7330")) {
    o.memory = f.memory;
    return Open(o, f.memoryType);
  }
  bool IsWrite(const Family& f, const sim::TransferRecord& t) {
    const bool vendor = (t.bmRequestType & 0xE0) == 0x40 && t.bRequest == f.writeRequest;
    const bool ext = (t.bmRequestType & 0x60) == 0x20 && t.bRequest == 0x01 && t.wValue == 0x0A00 &&
                     t.data.size() >= 2 && t.data[0] == 0x02 && t.data[1] == f.writeOpcode;
    return vendor || ext;
  }
};

TEST_F(EepromDownload, Downloads) {
  const std::vector<Shown> shows16{Step(kIdStepDownload), Progress(70), Step(kIdStepVerify), Progress(90),
                                   Step(kIdStepWriteTag), Step(kIdStepResetToCode), Progress(100),
                                   Result(kIdDownloadEepromOk)};
  const std::vector<Shown> shows8{Progress(30), Step(kIdStepCheckEmpty), Progress(50), Step(kIdStepDownload),
                                  Progress(70), Step(kIdStepRead), Progress(90), Step(kIdStepWriteTag),
                                  Step(kIdStepResetToCode), Progress(100), Result(kIdDownloadEepromOk)};
  for (const Family& f : kFamilies) {
    SCOPED_TRACE(f.name);
    const Bytes image = EepromImage(f.kind);
    const int n = OpenEeprom(f);
    ctx.bCommandLineMode = true;
    ASSERT_EQ(flow->DEV_Silence_WriteBin(File("fw.rfw", image)), 1);
    EXPECT_EQ(Eeprom(n, 0, 0x4000), image);
    EXPECT_EQ(Shows(), f.memoryType == kMemoryEeprom16 ? shows16 : shows8);
    EXPECT_EQ(GetLastStatus(), 0u);
    // The 16-bit update holds byte 1 at 0xFF in the image buffer itself.
    EXPECT_EQ(flow->m_pFileData[1], f.memoryType == kMemoryEeprom16 ? 0xFF : 0xA5);
    const auto info = Info(n);
    EXPECT_TRUE(info.runningCode);
    EXPECT_EQ(info.versionText, VersionOfImage(image));
    EXPECT_FALSE(info.eepromWpReleased);
    flow->DEV_CloseDevice();
  }
}

// Cut off while the image goes down, neither family leaves the tag byte on the EEPROM.
TEST_F(EepromDownload, UnpluggedDuringTheWrite) {
  for (const Family& f : kFamilies) {
    SCOPED_TRACE(f.name);
    const Bytes image = EepromImage(f.kind);
    const int ref = OpenEeprom(f);
    flow->m_pFileData = image;
    bus->RecordTransfers(ref, true);
    ASSERT_EQ(flow->DEV_Download(), 1);
    const auto log = bus->TakeTransfers(ref);
    const auto write = std::find_if(log.begin(), log.end(), [&](const auto& t) { return IsWrite(f, t); });
    ASSERT_NE(write, log.end());

    const int n = OpenEeprom(f);
    flow->m_pFileData = image;
    sim::Faults faults;
    ASSERT_TRUE(bus->GetFaults(n, faults));
    faults.leaveAfter = (write - log.begin()) + 300;
    ASSERT_TRUE(bus->SetFaults(n, faults));
    EXPECT_EQ(flow->DEV_Download(), 0);
    EXPECT_EQ(Errors(), (std::vector<std::uintptr_t>{kIdUpdateEepromFail}));
    EXPECT_EQ(GetLastStatus(), kIdUpdateEepromFail);
    EXPECT_EQ(Eeprom(n, 0, 2), (Bytes{image[0], 0xFF}));
    ASSERT_TRUE(bus->Plug(n));
    EXPECT_FALSE(Info(n).runningCode);
    flow->DEV_CloseDevice();
  }
}

// Without the read-back option the 16-bit update only lifts and restores the WP line and
// restarts; the 8-bit update still erases its 64 bytes.
TEST_F(EepromDownload, WithoutTheVerifyOption) {
  for (const Family& f : kFamilies) {
    SCOPED_TRACE(f.name);
    const Bytes old = EepromImage(f.kind, 21, 8);
    const int n = OpenEeprom(f);
    ASSERT_TRUE(bus->WriteMemory(n, sim::Memory::Eeprom, 0, old));
    ctx.dwUpdateOptions = kOptResetToCache | kOptBlankCheck;
    flow->m_pFileData = EepromImage(f.kind);
    ASSERT_EQ(flow->DEV_Download(), 1);
    Bytes expected = old;
    if (f.memoryType == kMemoryEeprom8) {
      std::fill_n(expected.begin(), 64, 0xFF);
      EXPECT_EQ(Shows(), (std::vector<Shown>{Progress(30), Step(kIdStepCheckEmpty), Progress(50),
                                             Step(kIdStepResetToCode), Progress(100), Result(kIdDownloadEepromOk)}));
    } else {
      EXPECT_EQ(Shows(), (std::vector<Shown>{Step(kIdStepResetToCode), Progress(100), Result(kIdDownloadEepromOk)}));
    }
    EXPECT_EQ(Eeprom(n, 0, 0x4000), expected);
    EXPECT_EQ(Restarts(n), 1u);
    ctx.dwUpdateOptions = kInitialUpdateOptions;
    flow->DEV_CloseDevice();
  }
}

TEST_F(EepromDownload, VerifyPassAndMismatch) {
  for (const Family& f : kFamilies) {
    SCOPED_TRACE(f.name);
    const Bytes image = EepromImage(f.kind);
    const int n = OpenEeprom(f);
    ctx.bCommandLineMode = true;
    const std::string path = File("fw.rfw", image);
    ASSERT_EQ(flow->DEV_Silence_WriteBin(path), 1);
    posts.posts.clear();
    EXPECT_EQ(flow->DEV_Silence_VerifyBin(path), 1);
    EXPECT_EQ(ctx.dwDumpSize, 0x4000u);
    EXPECT_EQ(GetLastStatus(), 0u);
    EXPECT_EQ(Shows().back(), Result(kIdReadEepromOk));

    ASSERT_TRUE(bus->WriteMemory(n, sim::Memory::Eeprom, 0x3FFF, Bytes{static_cast<std::uint8_t>(~image[0x3FFF])}));
    posts.posts.clear();
    EXPECT_EQ(flow->DEV_Silence_VerifyBin(path), 0);
    EXPECT_EQ(GetLastStatus(), kIdCompareFail);
    EXPECT_TRUE(Errors().empty());
    ctx.dwDumpSize = kDefaultDumpSize;
    flow->DEV_CloseDevice();
  }
}

// The read and erase jobs work on the dump size, 256 KiB by default.
TEST_F(EepromDownload, ReadAndEraseAtTheDefaultDumpSize) {
  for (const Family& f : kFamilies) {
    SCOPED_TRACE(f.name);
    const int n = OpenEeprom(f);
    const Bytes content = Filler(kDefaultDumpSize, 12);
    ASSERT_TRUE(bus->WriteMemory(n, sim::Memory::Eeprom, 0, content));
    const std::string path = ProgramDir() + "/eeprom.bin";
    ASSERT_EQ(flow->DEV_Silence_ReadBin(path), 1);
    Bytes dumped;
    ASSERT_TRUE(LoadFile(path, dumped));
    EXPECT_EQ(dumped, content);
    EXPECT_EQ(Shows(), (std::vector<Shown>{Step(kIdStepRead), Progress(90), Step(kIdStepResetToCode), Progress(100),
                                           Result(kIdReadEepromOk)}));

    // The 8-bit erase leaves the WP line as it finds it: released here by hand.
    posts.posts.clear();
    flow->MP_GetDeviceInfo();
    if (f.memoryType == kMemoryEeprom8) {
      ASSERT_TRUE(bus->WriteMemory(n, sim::Memory::Regs, 0xFEA0, Bytes{0x20, 0x02}));
    }
    ASSERT_EQ(flow->DEV_EraseCode(), 1);
    EXPECT_EQ(Eeprom(n, 0, kDefaultDumpSize), Bytes(kDefaultDumpSize, 0xFF));
    EXPECT_EQ(Shows(), (std::vector<Shown>{Progress(30), Step(kIdStepResetToCode), Progress(100),
                                           Result(kIdEraseEepromOk)}));
    flow->DEV_CloseDevice();
  }
}

TEST_F(EepromDownload, EightBitEraseWithTheLineAsserted) {
  const int n = OpenEeprom(kFamilies[1]);
  const Bytes content = Filler(0x100, 13);
  ASSERT_TRUE(bus->WriteMemory(n, sim::Memory::Eeprom, 0, content));
  EXPECT_EQ(flow->DEV_Silence_Erase(0), 0);
  EXPECT_EQ(Errors(), (std::vector<std::uintptr_t>{kIdEraseEepromFail}));
  EXPECT_EQ(Eeprom(n, 0, 0x100), content);
  EXPECT_EQ(ctx.dwUpdateOptions & kOptResetToCache, 0u);
}

TEST_F(EepromDownload, UpdateOfTheCodeImage) {
  for (const Family& f : kFamilies) {
    SCOPED_TRACE(f.name);
    const Bytes image = EepromImage(f.kind);
    const int n = OpenEeprom(f);
    ctx.dwUpdateOptions = 0;  // the 8-bit update tests no option, the 16-bit one its own
    if (f.memoryType == kMemoryEeprom16) ctx.dwUpdateOptions = kInitialUpdateOptions;
    flow->m_pCodeData = image;
    ASSERT_EQ(flow->DEV_UpdateCode(), 1);
    EXPECT_EQ(Eeprom(n, 0, 0x4000), image);
    EXPECT_EQ(Shows().back(), Result(kIdUpdateEepromOk));
    EXPECT_EQ(Restarts(n), 1u);
    ctx.dwUpdateOptions = kInitialUpdateOptions;
    flow->DEV_CloseDevice();
  }
}

// The EEPROM entry points take only an equal chip code (8 is not taken for 9).
TEST_F(EepromDownload, ChipRule) {
  const int n = OpenEeprom(kFamilies[0]);
  ctx.pIcType = std::make_unique<CICTypeIni>(0);
  ctx.pIcType->ReadFromText(
      "[Camera_Register_00]\nICRegister1=0x10\nICRegister2=0xB0\nChipInfo=9\n[Vendor Info M1]\nConfigAddress=0\n");
  ASSERT_EQ(ctx.pIcType->MatchRegisters(0x10, 0xB0), 1);
  ctx.bCommandLineMode = true;
  EXPECT_EQ(flow->DEV_Silence_WriteSNBin(File("fw.rfw", EepromImage(0x12, 8)), "SN"), 0);
  EXPECT_EQ(Errors(), (std::vector<std::uintptr_t>{kIdWrongFirmware}));
  EXPECT_EQ(Eeprom(n, 0, 0x10), Bytes(0x10, 0xFF));
}

// Only the flash write goes on with an image already loaded when the file cannot be loaded.
TEST_F(EepromDownload, NoLoadFallBack) {
  for (const Family& f : kFamilies) {
    SCOPED_TRACE(f.name);
    const int n = OpenEeprom(f);
    ctx.bCommandLineMode = true;
    flow->m_pFileData = Filler(0x10000, 3);
    EXPECT_EQ(flow->DEV_Silence_WriteBin(ProgramDir() + "/missing.rfw"), 0);
    EXPECT_EQ(Errors(), (std::vector<std::uintptr_t>{kIdLoadFileFail}));
    EXPECT_EQ(Eeprom(n, 0, 0x10), Bytes(0x10, 0xFF));
    flow->DEV_CloseDevice();
  }
}

}  // namespace
}  // namespace drover
