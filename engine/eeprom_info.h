#pragma once
// The EEPROM branch of the device flow: the EEPROM entry points (CEepromInfo) and the two
// leaves, which differ only in the command family (16-bit or 8-bit addressing).
#include "engine/config_info.h"

namespace drover {

// The EEPROM entry points join this layer with the download entry points.
class CEepromInfo : public CEepromConfigInfo {
 public:
  using CEepromConfigInfo::CEepromConfigInfo;
};

// Leaf: I2C EEPROM with 16-bit addressing on USB. Slots 1 to 10 give the base answers until
// the EEPROM update and the download entry points answer them.
class CEepromInfo16_USB : public CEepromInfo {
 public:
  using CEepromInfo::CEepromInfo;
};

// Leaf: I2C EEPROM with 8-bit addressing on USB (slots as the 16-bit leaf).
class CEepromInfo8_USB : public CEepromInfo {
 public:
  using CEepromInfo::CEepromInfo;
};

}  // namespace drover
