#pragma once
// The EEPROM branch of the device flow: the EEPROM entry points (CEepromInfo) and the two
// leaves, which differ only in the command family (16-bit or 8-bit addressing).
#include <string>

#include "engine/config_info.h"

namespace drover {

// The EEPROM entry points (eeprom_download.cpp).
class CEepromInfo : public CEepromConfigInfo {
 public:
  using CEepromConfigInfo::CEepromConfigInfo;

  // The downloads of m_pFileData: pre-action, read-back buffer, update mode, the update of
  // the command family, the success posts.
  int EEU16_Download();
  int EEU8_Download();
  // Load, parse, chip rule (equal codes only), the download.
  int EEU16_Silence_WriteBin(const std::string& path);
  int EEU16_Silence_WriteSNBin(const std::string& path, const std::string& serial);
  int EEU8_Silence_WriteBin(const std::string& path);
  int EEU8_Silence_WriteSNBin(const std::string& path, const std::string& serial);
  // Load, read as many bytes of EEPROM, compare (41709 stored, not posted).
  int EEU16_Silence_VerifyBin(const std::string& path);
  int EEU8_Silence_VerifyBin(const std::string& path);
};

// Leaf: I2C EEPROM with 16-bit addressing on USB.
class CEepromInfo16_USB : public CEepromInfo {
 public:
  using CEepromInfo::CEepromInfo;
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

// Leaf: I2C EEPROM with 8-bit addressing on USB (the same slots with the 8-bit commands).
class CEepromInfo8_USB : public CEepromInfo {
 public:
  using CEepromInfo::CEepromInfo;
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

}  // namespace drover
