#pragma once
// The flash branch of the device flow: the flash update sequences (CMpFlow_Flash), the flash
// entry points (CFlashInfo) and the two flash leaves.
#include "engine/config_info.h"

namespace drover {

// The flash update sequences join this layer with the flash update.
class CMpFlow_Flash : public CEepromConfigInfo {
 public:
  using CEepromConfigInfo::CEepromConfigInfo;
};

// The flash entry points join this layer with the download entry points.
class CFlashInfo : public CMpFlow_Flash {
 public:
  using CMpFlow_Flash::CMpFlow_Flash;
};

// Leaf: SPI flash on USB. Slots 1 to 10 give the base answers until the flash update and the
// download entry points answer them.
class CSPIFlashInfo_USB : public CFlashInfo {
 public:
  using CFlashInfo::CFlashInfo;
};

// Leaf: NOR flash on USB. Reading, erasing and updating the code need nothing of the device
// here; the silent operations are not supported.
class CNORFlashInfo_USB : public CFlashInfo {
 public:
  using CFlashInfo::CFlashInfo;
  int DEV_ReadCode() override;
  int DEV_EraseCode() override;
  int DEV_UpdateCode() override;
};

}  // namespace drover
