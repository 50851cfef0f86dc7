// The SPI flash leaf end to end on the simulated chip: standard downloads, the banks of chip
// codes 23 and 26, the simulated-OTP path, the signature check, the restart rules, and the
// faults an update must survive without leaving a bootable half image.
#include "download_fixture.h"
#include "engine/flash_info.h"

namespace drover {
namespace {

using namespace engine_test;

// The standard sequence of a 64 KiB image on a chip that is restarted without a question.
const std::vector<Shown> kStandardShows{Step(kIdStepErasing),  Progress(5),  Step(kIdStepCheckEmpty), Progress(35),
                                        Step(kIdStepDownload), Progress(65), Step(kIdStepVerify),     Progress(95),
                                        Step(kIdStepResetToCode), Progress(100), Result(kIdFirmwareUpdateOk)};

// A VQ7310 image with its block at 0xAE00 that marks itself valid with 0x55 0xAA at 0xEFFE:
// the chip starts it only with that tag, so the update writes it last.
Bytes TaggedVq7310Image() { return FlashImage(0xAE00, Block(0x55, 17, {VidPidItem(0x0BDA, 0x7310)}), {0x55, 0xAA}); }

class FlashDownload : public DownloadTest {
 protected:
  std::size_t Count(const std::vector<sim::TransferRecord>& log, std::uint8_t request, bool in) {
    return static_cast<std::size_t>(std::count_if(log.begin(), log.end(), [&](const sim::TransferRecord& t) {
      return t.bRequest == request && (t.bmRequestType & 0x60) == 0x40 && ((t.bmRequestType & 0x80) != 0) == in;
    }));
  }
};

TEST_F(FlashDownload, StandardDownloadOfAVq7330) {
  const Bytes image = BuiltInImage(kImage7330);
  const int n = Open(Device("VQ7330"));
  flow->m_pFileData = image;
  ASSERT_EQ(flow->DEV_Download(), 1);

  EXPECT_EQ(Flash(n, 0, 0x10000), image);
  EXPECT_EQ(Shows(), kStandardShows);
  EXPECT_EQ(GetLastStatus(), 0u);  // the success identifier clears the status
  const auto info = Info(n);
  EXPECT_TRUE(info.runningCode);
  EXPECT_EQ(info.versionText, VersionOfImage(image));
  EXPECT_NE(flow->m_strFwVersion.find(VersionOfImage(image)), std::string::npos);
}

TEST_F(FlashDownload, AChipThatNeedsItsTagGetsItLast) {
  const Bytes image = TaggedVq7310Image();
  const int n = Open(Device("VQ7310"));
  ctx.bCommandLineMode = true;
  ASSERT_EQ(flow->DEV_Silence_WriteBin(File("fw.rfw", image)), 1);

  EXPECT_EQ(Flash(n, 0, 0x10000), image);
  // A chip outside the boot-status set is asked into update mode (it runs ROM: no reset).
  std::vector<Shown> shows = kStandardShows;
  shows.insert(shows.begin(), Step(41718));
  EXPECT_EQ(Shows(), shows);
  EXPECT_TRUE(Info(n).runningCode);
  EXPECT_EQ(Info(n).versionText, VersionOfImage(image));
}

// Chip code 23 keeps its code in the second bank and erases only that block; chip code 26
// puts an image of len bytes at len. Neither is switched to update mode, and in
// command-line mode neither is restarted.
TEST_F(FlashDownload, BanksOfChipCodes23And26) {
  struct Case {
    const char* ic;
    int image;
    std::uint8_t eraseRequest;  // the erase request seen, 0x35 block erase
  };
  for (const Case& c : {Case{"VQ7322", kImage7322, 0x35}, Case{"VQ7370", kImage7370, 0x35}}) {
    SCOPED_TRACE(c.ic);
    const Bytes image = BuiltInImage(c.image);
    const int n = Open(Device(c.ic));
    const Bytes bank0 = Filler(0x10000, 7);
    ASSERT_TRUE(bus->WriteMemory(n, sim::Memory::Flash, 0, bank0));
    ctx.bCommandLineMode = true;
    bus->RecordTransfers(n, true);
    ASSERT_EQ(flow->DEV_Silence_WriteBin(File("fw.rfw", image)), 1);
    const auto log = bus->TakeTransfers(n);

    Bytes expected = image;
    expected[0xEFFE] = expected[0xEFFF] = 0xFF;  // boot-status chips keep no tag
    EXPECT_EQ(Flash(n, 0x10000, 0x10000), expected);
    EXPECT_EQ(Flash(n, 0, 0x10000), bank0);  // the running bank is left alone
    EXPECT_EQ(Count(log, 0x32, false), 0u);  // no chip erase
    EXPECT_EQ(Count(log, c.eraseRequest, false), 1u);
    EXPECT_EQ(Count(log, 0x20, false), 0u);  // no update mode
    EXPECT_EQ(Restarts(n), 0u);
    EXPECT_EQ(Shows().back(), Result(kIdFirmwareUpdateOk));
    flow->DEV_CloseDevice();
  }
}

TEST_F(FlashDownload, ChipCode26ImageShorterThanABlockFailsTheErase) {
  for (std::size_t size : {std::size_t{0xF000}, std::size_t{0xFFFF}}) {
    SCOPED_TRACE(size);
    Bytes image = BuiltInImage(kImage7370);
    image.resize(size);
    const int n = Open(Device("VQ7370"));
    flow->m_pFileData = image;
    EXPECT_EQ(flow->DEV_Download(), 0);
    EXPECT_EQ(Shows(), (std::vector<Shown>{Step(kIdStepErasing), Progress(5), Error(kIdEraseFlashFail)}));
    EXPECT_EQ(GetLastStatus(), kIdEraseFlashFail);
    EXPECT_EQ(Flash(n, 0, 0x30000), Bytes(0x30000, 0xFF));
    flow->DEV_CloseDevice();
  }
}

// A 16 KiB EEPROM-style image on a boot-status chip is rearranged into the OTP-emulating
// layout and written without blank check or tag.
TEST_F(FlashDownload, SimulatedOtpPathFor16KiBImages) {
  Bytes image = Filler(0x4000, 3);
  Bytes code{0xFF, 0xE7, 0, 0, 0, 0, 0, 0};
  code.resize(0x40, 0x11);
  WriteLE16(code, 2, 0x40);
  WriteLE16(code, 4, 15 + 8);
  WriteLE16(code, 6, 0x40 - 8);
  const Bytes block = Block(0x55, 21, {HwAp(0x7330), {3, 8, 0x01}, code, VidPidItem(0x0BDA, 0x7330)});
  std::copy(block.begin(), block.end(), image.begin());
  Bytes expected = image;
  ASSERT_TRUE(RearrangeSimulatedOtpImage(expected, 21));

  const int n = Open(Device("VQ7330"));
  flow->m_pFileData = image;
  ASSERT_EQ(flow->DEV_ParseImage(flow->m_pFileData), 1);
  ASSERT_EQ(flow->DEV_Download(), 1);
  EXPECT_EQ(Flash(n, 0, 0x4000), expected);
  EXPECT_EQ(Shows(), (std::vector<Shown>{Step(kIdStepErasing), Progress(5), Step(kIdStepDownload), Progress(65),
                                         Step(kIdStepVerify), Progress(95), Step(kIdStepResetToCode), Progress(100),
                                         Result(kIdFirmwareUpdateOk)}));
  EXPECT_EQ(Restarts(n), 1u);

  // The same image on a chip that is no boot-status chip takes the standard path, whose tag
  // at 0xEFFE lies beyond it: refused before anything is touched.
  const int m = Open(Device("VQ7310"));
  flow->m_pFileData = image;
  bus->RecordTransfers(m, true);
  EXPECT_EQ(flow->DEV_Download(), 0);
  EXPECT_EQ(Count(bus->TakeTransfers(m), 0x32, false), 0u);
  EXPECT_EQ(Errors(), (std::vector<std::uintptr_t>{kIdParseFileFail}));
  EXPECT_EQ(GetLastStatus(), kIdParseFileFail);
  EXPECT_EQ(Flash(m, 0, 0x10000), Bytes(0x10000, 0xFF));
}

// Chip code 26 with force update flag B checks the signature of the new code while it still
// runs the old one (boot status 8).
TEST_F(FlashDownload, SignatureCheck) {
  const Bytes image =
      FlashImage(0xF000, Block(0x55, 26, {HwAp(0x7370), {3, 21, 0x40}, VidPidItem(0x0BDA, 0x7370)}), {0xFF, 0xFF});
  struct Case {
    sim::SignatureResult answer;
    int result;
    std::size_t queries;
    std::uint64_t minimumWaitMs;
  };
  for (const Case& c : {Case{sim::SignatureResult::Pass, 1, 2, 5000}, Case{sim::SignatureResult::Fail, 0, 2, 5000},
                        Case{sim::SignatureResult::Busy, 0, 8, 8 * 5000}}) {
    SCOPED_TRACE(static_cast<int>(c.answer));
    sim::DeviceOptions o = Device("VQ7370");
    o.image = image;
    o.signature = c.answer;
    const int n = Open(o);
    ASSERT_EQ(Info(n).bootStatus, 8);
    ctx.bCommandLineMode = true;
    bus->RecordTransfers(n, true);
    const std::uint64_t slept = Clock().SleptMs();
    EXPECT_EQ(flow->DEV_Silence_WriteBin(File("fw.rfw", image)), c.result);
    EXPECT_EQ(Count(bus->TakeTransfers(n), 0x06, true), c.queries);
    EXPECT_GE(Clock().SleptMs() - slept, c.minimumWaitMs);
    EXPECT_EQ(Flash(n, 0x10000, 0x10000), image);  // the new code stays either way
    if (c.result) {
      EXPECT_EQ(Shows().back(), Result(kIdFirmwareUpdateOk));
      EXPECT_EQ(Flash(n, 0xEFFE, 2), (Bytes{0xFF, 0xFF}));
    } else {
      EXPECT_EQ(Errors(), (std::vector<std::uintptr_t>{kIdSignatureFail}));
      EXPECT_EQ(GetLastStatus(), kIdSignatureFail);
      EXPECT_EQ(Flash(n, 0xEFFE, 2), (Bytes{0x00, 0x00}));  // the tag is spoilt
      EXPECT_EQ(Flash(n, 0xF000, 2), (Bytes{0xFF, 0xFF}));  // and nothing after it
    }
    flow->DEV_CloseDevice();
  }
}

// Chip codes 23, 26 and 30 restart into new code only after the register reboot, which
// dialog mode asks for (unless the device is on the no-ask list); command-line mode leaves
// them for the operator unless "Disable Reboot Check" is set.
TEST_F(FlashDownload, RestartRules) {
  struct Case {
    const char* name;
    bool commandLine;
    std::uint16_t pid;
    int answer;
    int disableCheck;
    std::uint32_t restarts;
    std::size_t questions;
    int loopTest = 0;
    int loopTestReboot = 0;
  };
  const Case cases[] = {
      {"dialog, answered No", false, 0x2001, IDNO, 0, 0, 1},
      {"dialog, answered Yes", false, 0x2001, IDYES, 0, 1, 1},
      {"dialog, no-ask device", false, 0x1996, IDNO, 0, 1, 0},
      {"dialog, loop test", false, 0x2001, IDYES, 0, 0, 0, 1, 0},
      {"dialog, loop test with reboot", false, 0x2001, IDNO, 0, 1, 0, 1, 1},
      {"command line", true, 0x2001, IDYES, 0, 0, 0},
      {"command line, check disabled", true, 0x2001, IDYES, 1, 1, 0},
  };
  for (const Case& c : cases) {
    for (const char* ic : {"VQ7322", "VQ7370"}) {
      SCOPED_TRACE(std::string(c.name) + " " + ic);
      auto answers = std::make_shared<AnswerBox>(c.answer);
      SetMessageBox(answers);
      settings->Set("Disable Reboot Check", c.disableCheck);
      settings->Set("Loop Test", c.loopTest);
      settings->Set("Loop Test Reboot", c.loopTestReboot);
      sim::DeviceOptions o = Device(ic);
      o.pid = c.pid;
      const int n = Open(o);
      ctx.bCommandLineMode = c.commandLine;
      flow->m_pFileData = BuiltInImage(std::string(ic) == "VQ7322" ? kImage7322 : kImage7370);
      ASSERT_EQ(flow->DEV_Download(), 1);
      EXPECT_EQ(Restarts(n), c.restarts);
      ASSERT_EQ(answers->asked.size(), c.questions);
      if (c.questions) {
        EXPECT_EQ(answers->asked[0].text, "Reboot the device to launch new FW?");
        EXPECT_EQ(answers->asked[0].caption, "Warning");
        EXPECT_EQ(answers->asked[0].type, MB_YESNO | MB_ICONWARNING | MB_SYSTEMMODAL);
      }
      const auto shows = Shows();
      ASSERT_GE(shows.size(), 3u);
      EXPECT_EQ(std::vector<Shown>(shows.end() - 3, shows.end()),
                (std::vector<Shown>{Step(kIdStepResetToCode), Progress(100), Result(kIdFirmwareUpdateOk)}));
      EXPECT_EQ(Info(n).runningCode, c.restarts == 1);
      flow->DEV_CloseDevice();
    }
  }
}

// Chip code 30 (a definition of its own on a chip of the same family) erases by register
// 0x0409 and is not restarted in command-line mode either.
TEST_F(FlashDownload, ChipCode30) {
  for (std::uint8_t select : {std::uint8_t{0x00}, std::uint8_t{0x80}}) {
    SCOPED_TRACE(select);
    const int n = Open(Device("VQ7330"));
    ctx.pIcType = std::make_unique<CICTypeIni>(0);
    ctx.pIcType->ReadFromText(
        "[Drover Config]\nIc Name=VQ7330\n[Camera_Register_00]\nICRegister1=0x10\nICRegister2=0xB0\nChipInfo=30\n"
        "[Vendor Info M1]\nConfigAddress=0xF000\nConfigSize=4096\nTagAddress=0xEFFE\n");
    ASSERT_EQ(ctx.pIcType->MatchRegisters(0x10, 0xB0), 1);
    ASSERT_EQ(ctx.pIcType->ChipCode(), 30);
    ASSERT_TRUE(bus->WriteMemory(n, sim::Memory::Regs, kEraseSelectRegister, Bytes{select}));
    ctx.bCommandLineMode = true;
    flow->m_pFileData = BuiltInImage(kImage7330);
    bus->RecordTransfers(n, true);
    ASSERT_EQ(flow->DEV_Download(), 1);
    const auto log = bus->TakeTransfers(n);
    EXPECT_EQ(Count(log, 0x32, false), select ? 0u : 1u);
    EXPECT_EQ(Count(log, 0x35, false), select ? 1u : 0u);
    EXPECT_EQ(Restarts(n), 0u);
    EXPECT_EQ(Flash(n, 0, 0x10000), BuiltInImage(kImage7330));
    flow->DEV_CloseDevice();
  }
}

// Chip code 30 with bit 7 of 0x0409 erases only the block at 0. Old bytes left beyond it, in a
// piece the blank check would take as blank below that block, fail the update whether the
// image has code there or is blank there, with or without the blank check; the chip that
// needs its tag gets none.
TEST_F(FlashDownload, OldBytesTheEraseLeftFailTheUpdateAndWriteNoTag) {
  const std::vector<Shown> toVerify{Step(41718),          Step(kIdStepErasing), Progress(5),  Step(kIdStepCheckEmpty),
                                    Progress(35),         Step(kIdStepDownload), Progress(65), Step(kIdStepVerify),
                                    Progress(95)};
  struct Case {
    const char* name;
    bool blankInImage;
    bool blankCheck;
    std::uint32_t id;
  };
  for (const Case& c : {Case{"code over old bytes", false, true, kIdCheckEmptyFail},
                        Case{"code over old bytes, no blank check", false, false, kIdCompareFail},
                        Case{"blank over old bytes", true, true, kIdCheckEmptyFail},
                        Case{"blank over old bytes, no blank check", true, false, kIdCompareFail}}) {
    SCOPED_TRACE(c.name);
    const int n = Open(Device("VQ7310"));
    ctx.pIcType = std::make_unique<CICTypeIni>(0);
    ctx.pIcType->ReadFromText(
        "[Drover Config]\nIc Name=VQ7310\n[Camera_Register_00]\nICRegister1=0x00\nICRegister2=0x00\nChipInfo=30\n"
        "[Vendor Info M1]\nConfigAddress=0xAE00\nConfigSize=512\nTagAddress=0xEFFE\n");
    ASSERT_EQ(ctx.pIcType->MatchRegisters(0x00, 0x00), 1);
    ASSERT_EQ(ctx.pIcType->ChipCode(), 30);
    ASSERT_TRUE(bus->WriteMemory(n, sim::Memory::Regs, kEraseSelectRegister, Bytes{0x80}));
    ASSERT_TRUE(bus->WriteMemory(n, sim::Memory::Flash, 0x11000, Bytes(0x1000, 0x00)));
    Bytes image = FlashImage(0xAE00, Block(0x55, 17, {VidPidItem(0x0BDA, 0x7310)}), {0x55, 0xAA}, 4, 0x20000);
    if (c.blankInImage) std::fill_n(image.begin() + 0x11000, 0x1000, 0xFF);
    flow->m_pFileData = image;
    ASSERT_EQ(flow->DEV_ParseImage(flow->m_pFileData), 1);
    ASSERT_FALSE(flow->m_bTagInImage);
    ctx.dwUpdateOptions = c.blankCheck ? kInitialUpdateOptions : kInitialUpdateOptions & ~kOptBlankCheck;

    EXPECT_EQ(flow->DEV_Download(), 0);
    std::vector<Shown> shows = toVerify;
    if (c.id == kIdCheckEmptyFail) shows.resize(5);
    if (!c.blankCheck) shows.erase(shows.begin() + 3, shows.begin() + 5);
    shows.push_back(Error(c.id));
    EXPECT_EQ(Shows(), shows);
    EXPECT_EQ(GetLastStatus(), c.id);
    EXPECT_EQ(Flash(n, 0xEFFE, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_FALSE(Info(n).runningCode);
    flow->DEV_CloseDevice();
  }
}

// An image with its block at the start marks itself valid: no separate tag, and the bytes at
// the tag address are written as the image has them.
TEST_F(FlashDownload, ImageWithItsBlockAtTheStartIsWrittenExactly) {
  const Bytes image = FlashImage(0, Block(0x55, 17, {VidPidItem(0x0BDA, 0x7310)}), {0x12, 0x34});
  const int n = Open(Device("VQ7310"));
  flow->m_pFileData = image;
  ASSERT_EQ(flow->DEV_ParseImage(flow->m_pFileData), 1);
  ASSERT_TRUE(flow->m_bTagInImage);
  ASSERT_EQ(flow->DEV_Download(), 1);
  EXPECT_EQ(Flash(n, 0, 0x10000), image);
  EXPECT_TRUE(Info(n).runningCode);
}

// Such an image holds its block's signature byte back like a tag: a write cut off at its last
// piece leaves a chip that starts any block at 0 without code to start.
TEST_F(FlashDownload, ImageWithItsBlockAtTheStartCutOffNeverStarts) {
  const Bytes image = FlashImage(0, Block(0x55, 17, {VidPidItem(0x0BDA, 0x7310)}), {0x12, 0x34});
  const int ref = Open(Device("VQ7310"));
  flow->m_pFileData = image;
  ASSERT_EQ(flow->DEV_ParseImage(flow->m_pFileData), 1);
  bus->RecordTransfers(ref, true);
  ASSERT_EQ(flow->DEV_Download(), 1);
  const std::size_t writes = Count(bus->TakeTransfers(ref), 0x2F, false);
  flow->DEV_CloseDevice();

  const int n = Open(Device("VQ7310"));
  flow->m_pFileData = image;
  ASSERT_EQ(flow->DEV_ParseImage(flow->m_pFileData), 1);
  sim::Faults f;
  ASSERT_TRUE(bus->GetFaults(n, f));
  f.stall.push_back({sim::FaultTarget::Vendor, 0x2F, static_cast<std::uint32_t>(writes - 2), 0});
  ASSERT_TRUE(bus->SetFaults(n, f));
  EXPECT_EQ(flow->DEV_Download(), 0);
  EXPECT_EQ(Errors(), (std::vector<std::uintptr_t>{kIdUpdateFlashFail}));
  EXPECT_EQ(Flash(n, 0, 4), (Bytes{0x55, 0xFF, image[2], image[3]}));
  EXPECT_TRUE(flow->m_pFileData == image);
  ASSERT_TRUE(bus->Unplug(n));
  ASSERT_TRUE(bus->Plug(n));
  EXPECT_FALSE(Info(n).runningCode);
}

// Force update flag A of chip codes 23 and 26 clears four flash bytes at 0x1010 after the
// update; other chip codes leave them.
TEST_F(FlashDownload, ForceUpdateFlagA) {
  for (const char* ic : {"VQ7322", "VQ7330"}) {
    SCOPED_TRACE(ic);
    const bool secondBank = std::string(ic) == "VQ7322";
    const Bytes image = FlashImage(
        0xF000, Block(0x55, secondBank ? 23 : 21, {HwAp(0x7330), {3, 21, 0x10}, VidPidItem(0x0BDA, 0x7322)}), {0xFF, 0xFF});
    const int n = Open(Device(ic));
    const Bytes bank0 = Filler(0x10000, 8);
    if (secondBank) {
      ASSERT_TRUE(bus->WriteMemory(n, sim::Memory::Flash, 0, bank0));
    }
    ctx.bCommandLineMode = true;
    ASSERT_EQ(flow->DEV_Silence_WriteBin(File("fw.rfw", image)), 1);
    ASSERT_TRUE(flow->m_bForceUpdateA);
    if (secondBank) {
      Bytes expected = bank0;
      std::fill_n(expected.begin() + kForceUpdateAddress, 4, 0x00);
      EXPECT_EQ(Flash(n, 0, 0x10000), expected);
      EXPECT_EQ(Flash(n, 0x10000, 0x10000), image);
    } else {
      EXPECT_EQ(Flash(n, 0, 0x10000), image);
    }
    flow->DEV_CloseDevice();
  }
}

// A stop asked for by the dialog before the update ends it before anything is written.
TEST_F(FlashDownload, StopFlagBeforeTheUpdate) {
  CThreadFlag stop;
  stop.SetStopFlag(1);
  const int n = Open(Device("VQ7322"));
  SetMainDialogThreadFlag(&stop);
  flow->m_pFileData = BuiltInImage(kImage7322);
  EXPECT_EQ(flow->DEV_Download(), 0);
  EXPECT_EQ(Errors(), (std::vector<std::uintptr_t>{kIdResetFail}));
  EXPECT_EQ(Flash(n, 0, 0x20000), Bytes(0x20000, 0xFF));
  SetMainDialogThreadFlag(nullptr);
}

// The device leaves the bus at a chosen transfer: the update fails with the identifier of the
// step it was in, and the chip never starts the partial image.
TEST_F(FlashDownload, UnpluggedDuringTheUpdate) {
  const Bytes image = TaggedVq7310Image();
  // A reference run gives the transfer numbers of each step.
  const int ref = Open(Device("VQ7310"));
  flow->m_pFileData = image;
  ASSERT_EQ(flow->DEV_ParseImage(flow->m_pFileData), 1);
  bus->RecordTransfers(ref, true);
  ASSERT_EQ(flow->DEV_Download(), 1);
  const auto log = bus->TakeTransfers(ref);
  const auto first = [&](auto pred, std::size_t from = 0) {
    for (std::size_t i = from; i < log.size(); ++i)
      if (pred(log[i])) return i;
    ADD_FAILURE() << "no such transfer";
    return log.size();
  };
  const auto vendor = [](std::uint8_t request, bool in) {
    return [=](const sim::TransferRecord& t) {
      return (t.bmRequestType & 0x60) == 0x40 && ((t.bmRequestType & 0x80) != 0) == in && t.bRequest == request;
    };
  };
  const std::size_t erase = first(vendor(0x32, false));
  const std::size_t write = first(vendor(0x2F, false)) + 5;
  const std::size_t readBack = first(vendor(0x2E, true), write) + 3;
  const std::size_t tag = first([](const sim::TransferRecord& t) {
    return (t.bmRequestType & 0xE0) == 0x40 && t.bRequest == 0x2F && t.wLength == 2 && t.wIndex == 0xEFFE;
  });
  flow->DEV_CloseDevice();

  struct Case {
    const char* step;
    std::size_t transfer;
    std::uint32_t id;
  };
  for (const Case& c : {Case{"erase", erase, kIdEraseFlashFail}, Case{"write", write, kIdUpdateFlashFail},
                        Case{"read-back", readBack, kIdReadFlashFail}, Case{"tag", tag, kIdWriteTagFail}}) {
    SCOPED_TRACE(c.step);
    const int n = Open(Device("VQ7310"));
    flow->m_pFileData = image;
    ASSERT_EQ(flow->DEV_ParseImage(flow->m_pFileData), 1);
    sim::Faults f;
    ASSERT_TRUE(bus->GetFaults(n, f));
    f.leaveAfter = static_cast<std::int64_t>(c.transfer);
    ASSERT_TRUE(bus->SetFaults(n, f));
    EXPECT_EQ(flow->DEV_Download(), 0);
    EXPECT_EQ(Errors(), (std::vector<std::uintptr_t>{c.id}));
    EXPECT_EQ(GetLastStatus(), c.id);
    EXPECT_NE(Flash(n, 0xEFFE, 2), (Bytes{0x55, 0xAA}));
    // The loaded image keeps its tag for the next run on the same buffer.
    EXPECT_EQ(Bytes(flow->m_pFileData.begin() + 0xEFFE, flow->m_pFileData.begin() + 0xF000), (Bytes{0x55, 0xAA}));
    EXPECT_TRUE(flow->m_pFileData == image);
    ASSERT_TRUE(bus->Plug(n));
    EXPECT_FALSE(Info(n).runningCode);
    flow->DEV_CloseDevice();
  }
}

// Write protection that stays on fails the update at the step that meets it, never PASS.
TEST_F(FlashDownload, WriteProtectionLeftOn) {
  struct Case {
    const char* name;
    std::uint8_t stalledRequest;  // vendor request the chip refuses (0: none)
    std::uint32_t busyReads;
    std::uint32_t id;
  };
  for (const Case& c : {Case{"WP registers refused", 0x24, 1, kIdDisableWpFail},
                        Case{"status register refused", 0x31, 1, kIdDisableWpFail},
                        Case{"status register stays busy", 0, 40, kIdDisableWpFail},
                        Case{"flash writes refused", 0x2F, 1, kIdUpdateFlashFail}}) {
    SCOPED_TRACE(c.name);
    sim::DeviceOptions o = Device("VQ7310");
    o.srBusyReads = c.busyReads;
    const int n = Open(o);
    if (c.stalledRequest) {
      sim::Faults f;
      ASSERT_TRUE(bus->GetFaults(n, f));
      f.stall.push_back({sim::FaultTarget::Vendor, c.stalledRequest, 0, 0});
      ASSERT_TRUE(bus->SetFaults(n, f));
    }
    flow->m_pFileData = TaggedVq7310Image();
    ASSERT_EQ(flow->DEV_ParseImage(flow->m_pFileData), 1);
    EXPECT_EQ(flow->DEV_Download(), 0);
    EXPECT_EQ(Errors(), (std::vector<std::uintptr_t>{c.id}));
    EXPECT_EQ(GetLastStatus(), c.id);
    EXPECT_FALSE(posts.Has(UM_RESULT, kIdFirmwareUpdateOk));
    EXPECT_NE(Flash(n, 0xEFFE, 2), (Bytes{0x55, 0xAA}));
    flow->DEV_CloseDevice();
  }
}

// A chip that does not come back in cache mode fails with 41935, posted once, and the last
// status keeps it.
TEST_F(FlashDownload, DeviceNotInCacheModeAfterTheRestart) {
  Bytes image = Filler(0x10000, 9);  // no configuration block anywhere: nothing to start
  image[0xEFFE] = image[0xEFFF] = 0xFF;
  const int n = Open(Device("VQ7330"));
  flow->m_pFileData = image;
  EXPECT_EQ(flow->DEV_Download(), 0);
  EXPECT_EQ(Flash(n, 0, 0x10000), image);
  EXPECT_EQ(Errors(), (std::vector<std::uintptr_t>{kIdNotCacheMode}));
  EXPECT_EQ(GetLastStatus(), kIdNotCacheMode);
  EXPECT_EQ(posts.posts.back().message, UM_ERROR);
}

}  // namespace
}  // namespace drover
