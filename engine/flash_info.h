#pragma once
// The flash branch of the device flow: the flash update sequences (CMpFlow_Flash), the flash
// entry points (CFlashInfo) and the two flash leaves.
#include <string>
#include <vector>

#include "engine/config_info.h"

namespace drover {

// The flash update sequences (flash_update.cpp, nor_update.cpp).
class CMpFlow_Flash : public CEepromConfigInfo {
 public:
  using CEepromConfigInfo::CEepromConfigInfo;

  // The update entry of DEV_UpdateCode and FFU_Download: the simulated-OTP path for a 16 KiB
  // image on a boot-status chip, else the standard sequence. A failure restores the write
  // protection and posts the failing step's identifier once. The image is patched in place.
  int FF_Update(std::vector<std::uint8_t>& image);
  // The standard sequence; on failure 0 with the failing step's identifier in err.
  int FF_UpdateEx_Standard(std::vector<std::uint8_t>& image, std::uint32_t& err);
  // The sequence for chips that emulate OTP in flash (no blank check, no tag).
  int FF_UpdateEx_ForSimulateOTP(std::vector<std::uint8_t>& image, std::uint32_t& err);
  // The stand-alone erase of the SPI leaf (after MP_OpenRomDevice where the slot asks).
  int FF_EraseJob();
  // The dump read into m_pReadBuf (dump size bytes from `address`).
  int FF_ReadJob(std::uint32_t address = 0);
  // The download of the NOR leaf on m_pFileData.
  int NOR_Update();

 protected:
  // FF_ReadJob, then the dump file unless in command-line mode and the success posts.
  int FF_ReadCode(std::uint32_t address);
};

// The flash entry points (flash_download.cpp).
class CFlashInfo : public CMpFlow_Flash {
 public:
  using CMpFlow_Flash::CMpFlow_Flash;

  // The download of m_pFileData: serial-number pre-action, unit-data carry-overs, update
  // mode, FF_Update and the success posts.
  int FFU_Download();
  // Load, parse, chip rule, FFU_Download. WriteBin alone goes on with an already loaded
  // image of 64 KiB or more when the file cannot be loaded.
  int FFU_Silence_WriteBin(const std::string& path);
  int FFU_Silence_WriteSNBin(const std::string& path, const std::string& serial);
  // Loads the file, reads as many bytes of flash (through the image's bank mapping) and
  // compares; a difference leaves 41709 as the last status without posting it.
  int FFU_Silence_VerifyBin(const std::string& path);

 protected:
  // The unit data kept in the flash of certain devices goes into the image before the erase;
  // false (with err) when the image is too short to carry it.
  bool CarryOverConfigItem(std::uint32_t& err);
  bool CarryOverUnitSector(std::uint32_t& err);
};

// Leaf: SPI flash on USB.
class CSPIFlashInfo_USB : public CFlashInfo {
 public:
  using CFlashInfo::CFlashInfo;
  int DEV_ReadCode() override;
  int DEV_EraseCode() override;
  int DEV_UpdateCode() override;
  int DEV_Download() override;
  int DEV_Silence_WriteBin(const std::string& path) override;
  int DEV_Silence_WriteSNBin(const std::string& path, const std::string& serial) override;
  int DEV_Silence_ReadBin(const std::string& path) override;
  int DEV_Silence_VerifyBin(const std::string& path) override;
  int DEV_Silence_ReadText(const std::string& path) override;
  int DEV_Silence_Erase(std::uint32_t resetToCode) override;
};

// Leaf: NOR flash on USB. Reading, erasing and updating the code need nothing of the device
// here; the silent operations are not supported.
class CNORFlashInfo_USB : public CFlashInfo {
 public:
  using CFlashInfo::CFlashInfo;
  int DEV_ReadCode() override;
  int DEV_EraseCode() override;
  int DEV_UpdateCode() override;
  int DEV_Download() override;  // NOR_Update
};

}  // namespace drover
