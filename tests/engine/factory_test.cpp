// The factory table, the saved-record copy, the base answers of the virtual slots and the
// common image parse of slot 0.
#include "engine/devflow_factory.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/status.h"
#include "engine/eeprom_info.h"
#include "engine/engine_context.h"
#include "engine/flash_info.h"
#include "engine/otp_info.h"
#include "engine_test_support.h"
#include "image/config_block.h"
#include "image/ic_type.h"

namespace drover {
namespace {

using engine_test::MapSettings;

bool IsLeaf(const CDevFlow& flow, std::string_view leaf) {
  if (leaf == "CSPIFlashInfo_USB") return dynamic_cast<const CSPIFlashInfo_USB*>(&flow) != nullptr;
  if (leaf == "CNORFlashInfo_USB") return dynamic_cast<const CNORFlashInfo_USB*>(&flow) != nullptr;
  if (leaf == "CEepromInfo8_USB") return dynamic_cast<const CEepromInfo8_USB*>(&flow) != nullptr;
  if (leaf == "CEepromInfo16_USB") return dynamic_cast<const CEepromInfo16_USB*>(&flow) != nullptr;
  if (leaf == "COTPInfo_USB") return dynamic_cast<const COTPInfo_USB*>(&flow) != nullptr;
  return false;
}

TEST(DevFlowFactory, EveryRowBuildsItsLeafAndOtherPairsNone) {
  EngineContext ctx;
  for (const DevFlowFactoryRow& row : DevFlowFactoryTable()) {
    SCOPED_TRACE(std::string(row.leaf));
    SetLastStatus(41500);
    auto flow = CreateDevFlow(ctx, row.memoryType, row.busType);
    ASSERT_NE(flow, nullptr);
    EXPECT_TRUE(IsLeaf(*flow, row.leaf));
    EXPECT_EQ(GetLastStatus(), 0u);
  }
  EXPECT_EQ(DevFlowFactoryTable().size(), 5u);
  // The MTP pair, the other buses and unknown memory types have no leaf.
  for (std::uint32_t mem = 0; mem < 8; ++mem) {
    for (std::uint32_t bus = 0; bus < 3; ++bus) {
      bool listed = false;
      for (const auto& row : DevFlowFactoryTable()) listed |= row.memoryType == mem && row.busType == bus;
      if (listed) continue;
      SCOPED_TRACE(testing::Message() << mem << "," << bus);
      SetLastStatus(41500);
      EXPECT_EQ(CreateDevFlow(ctx, mem, bus), nullptr);
      EXPECT_EQ(GetLastStatus(), 0u);
    }
  }
}

TEST(DevFlowFactory, ConstructionDefaults) {
  EngineContext ctx;
  auto flow = CreateDevFlow(ctx, kMemorySpiFlash, kBusUsb);
  ASSERT_NE(flow, nullptr);
  EXPECT_EQ(flow->m_hDevice, 0u);
  EXPECT_EQ(flow->m_dwCmdFlags, 0u);
  EXPECT_EQ(flow->m_byResetMode, 6);
  EXPECT_EQ(flow->m_dwPortAddr, 255u);
  EXPECT_EQ(flow->m_dwHubInst, 255u);
  EXPECT_EQ(flow->m_bVidPidAllowed, 1u);
  EXPECT_TRUE(flow->m_strFwVersion.empty());
  EXPECT_TRUE(flow->m_pFileData.empty());
  EXPECT_EQ(ctx.dwDumpSize, 0x40000u);
  EXPECT_EQ(ctx.dwUpdateOptions, 0x13u);
}

TEST(DevFlowFactory, SavedRecordCarriesSettingsAndStringsButNoBuffers) {
  EngineContext ctx;
  std::shared_ptr<CDevFlow> current = CreateDevFlow(ctx, kMemorySpiFlash, kBusUsb);
  current->m_hDevice = 77;
  current->m_strVidPidRev = "VID_0B05&PID_1996&REV_0100";
  current->m_byResetMode = 5;
  current->m_dwPortAddr = 3;
  current->m_iSelDevice = 2;
  current->m_strFwFile = "/tmp/x.rfw";
  current->m_pFileData.assign(0x10000, 0x11);
  current->m_pReadBuf.assign(16, 0);
  current->m_pFileImage = 0xF000;

  ctx.uMemoryType = kMemoryEeprom16;
  RecreateDevFlow(current, ctx, true, false);
  ASSERT_NE(current, nullptr);
  EXPECT_TRUE(IsLeaf(*current, "CEepromInfo16_USB"));
  EXPECT_EQ(current->m_strVidPidRev, "VID_0B05&PID_1996&REV_0100");
  EXPECT_EQ(current->m_byResetMode, 5);
  EXPECT_EQ(current->m_dwPortAddr, 3u);
  EXPECT_EQ(current->m_iSelDevice, 2);
  EXPECT_EQ(current->m_strFwFile, "/tmp/x.rfw");
  EXPECT_TRUE(current->m_pFileData.empty());
  EXPECT_TRUE(current->m_pReadBuf.empty());
  EXPECT_FALSE(current->m_pFileImage.has_value());
  EXPECT_EQ(current->m_hDevice, 0u);

  current->m_hDevice = 77;
  ctx.uMemoryType = kMemorySpiFlash;
  RecreateDevFlow(current, ctx, false, true);
  EXPECT_EQ(current->m_hDevice, 77u);
  EXPECT_TRUE(current->m_strVidPidRev.empty());  // no record saved

  ctx.uMemoryType = kMemoryMtp;
  RecreateDevFlow(current, ctx, true, true);
  EXPECT_EQ(current, nullptr);
}

TEST(DevFlowFactory, OverrideBuildsAnotherLeafForItsPair) {
  struct OtpLeaf : COTPInfo_USB {
    using COTPInfo_USB::COTPInfo_USB;
    std::int32_t DEV_GetOtpUsage() override { return 42; }
  };
  EngineContext ctx;
  OverrideDevFlowLeaf(kMemoryOtp, kBusUsb, [](EngineContext& c) { return std::make_unique<OtpLeaf>(c); });
  auto flow = CreateDevFlow(ctx, kMemoryOtp, kBusUsb);
  EXPECT_EQ(flow->DEV_GetOtpUsage(), 42);
  OverrideDevFlowLeaf(kMemoryOtp, kBusUsb, nullptr);
  EXPECT_EQ(CreateDevFlow(ctx, kMemoryOtp, kBusUsb)->DEV_GetOtpUsage(), 0);
}

// Calls slot n of the flow.
int CallSlot(CDevFlow& f, int slot) {
  switch (slot) {
    case 1: return f.DEV_ReadCode();
    case 2: return f.DEV_EraseCode();
    case 3: return f.DEV_UpdateCode();
    case 4: return f.DEV_Download();
    case 5: return f.DEV_Silence_WriteBin("/nonexistent.rfw");
    case 6: return f.DEV_Silence_WriteSNBin("/nonexistent.rfw", "SN1");
    case 7: return f.DEV_Silence_ReadBin("/nonexistent.bin");
    case 8: return f.DEV_Silence_VerifyBin("/nonexistent.rfw");
    case 9: return f.DEV_Silence_ReadText("/nonexistent.txt");
    case 10: return f.DEV_Silence_Erase(0);
  }
  return -1;
}

TEST(DevFlowFactory, BaseAnswersAndTheNorLeafsSlots) {
  EngineContext ctx;
  const std::uint32_t options = ctx.dwUpdateOptions;
  CDevFlow base(ctx);
  auto nor = CreateDevFlow(ctx, kMemoryNorFlash, kBusUsb);
  for (int slot = 1; slot <= 10; ++slot) {
    SCOPED_TRACE(testing::Message() << "slot " << slot);
    // The base: failure alone for slots 1 to 4, failure with "Not Support!" from slot 5.
    SetLastStatus(7);
    EXPECT_EQ(CallSlot(base, slot), 0);
    EXPECT_EQ(GetLastStatus(), slot >= 5 ? 41500u : 7u);
    if (slot == 4) continue;  // the NOR download
    // NOR: reading, erasing and updating succeed without a device; the rest is not supported.
    SetLastStatus(7);
    EXPECT_EQ(CallSlot(*nor, slot), slot <= 3 ? 1 : 0);
    EXPECT_EQ(GetLastStatus(), slot >= 5 ? 41500u : 7u);
  }
  EXPECT_EQ(base.DEV_ParseImage(std::vector<std::uint8_t>(16, 0)), 0);
  EXPECT_EQ(ctx.dwUpdateOptions, options);
}

// A 64 KB image with a VQ7330 configuration block at 0xF000.
std::vector<std::uint8_t> Vq7330Image() {
  std::vector<std::uint8_t> image(0x10000, 0xFF);
  const std::uint8_t block[] = {0x55, 0xA5, static_cast<std::uint8_t>(21 << 3), 14, 0, 1,
                                8,    4,    0x05, 0x0B, 0x96, 0x19, 0x00, 0x01};
  std::copy(std::begin(block), std::end(block), image.begin() + 0xF000);
  return image;
}

TEST(DevFlowFactory, ParseImageTakesOnlyTheFlowsOwnBuffers) {
  EngineContext ctx;
  std::uint32_t bus = 0;
  ctx.pIcType = CreateIcTypeLayer(0, bus);  // VQ7330.INI by default
  auto flow = CreateDevFlow(ctx, kMemorySpiFlash, kBusUsb);
  flow->m_pFileData = Vq7330Image();
  const std::vector<std::uint8_t> foreign = flow->m_pFileData;

  EXPECT_EQ(flow->DEV_ParseImage(foreign), 0);
  EXPECT_EQ(flow->m_byChipCode, kNoChipCode);
  EXPECT_FALSE(flow->m_pFileImage.has_value());

  EXPECT_EQ(flow->DEV_ParseImage(flow->m_pFileData), 1);
  EXPECT_EQ(flow->m_byChipCode, 21);
  EXPECT_EQ(flow->m_pFileImage, std::optional<std::size_t>(0xF000));
  EXPECT_FALSE(flow->m_pCodeImage.has_value());
  EXPECT_EQ(flow->m_imageState.strVidPid, "VID_0B05&PID_1996");
  EXPECT_FALSE(flow->m_bTagInImage);

  flow->m_pCodeData = Vq7330Image();
  EXPECT_EQ(flow->DEV_ParseImage(flow->m_pCodeData), 1);
  EXPECT_EQ(flow->m_pCodeImage, std::optional<std::size_t>(0xF000));

  // The image's kind byte 0x12 makes the flow's memory type EEPROM16.
  flow->m_pFileData[0xF000] = 0x12;
  EXPECT_EQ(flow->DEV_ParseImage(flow->m_pFileData), 1);
  EXPECT_EQ(ctx.uMemoryType, kMemoryEeprom16);
  EXPECT_EQ(CreateDevFlow(ctx, kMemorySpiFlash, kBusUsb)->DEV_ParseImage({}), 0);
}

TEST(DevFlowFactory, UpdateOptionsAndResetModeFromSettings) {
  auto settings = std::make_shared<MapSettings>();
  SetSettingsStore(settings);
  EXPECT_EQ(UpdateOptionsFromSettings(), 0x13u);
  EXPECT_EQ(ResetModeFromSettings(), 6);
  settings->Set("ResetToCache", 0);
  settings->Set("Normal Reset", 0);
  EXPECT_EQ(UpdateOptionsFromSettings(), 0x16u);
  EXPECT_EQ(ResetModeFromSettings(), 5);
  SetSettingsStore(nullptr);
}

}  // namespace
}  // namespace drover
