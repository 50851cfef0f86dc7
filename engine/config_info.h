#pragma once
// The layers above CDevFlow that every leaf shares: the EEPROM update sequences
// (CMpFlow_Eeprom) and the configuration-block handling of the loaded image
// (CEepromConfigInfo), which answers slot 0 for all leaves.
#include <string>

#include "engine/dev_flow.h"

namespace drover {

// The EEPROM update sequences join this layer with the EEPROM update.
class CMpFlow_Eeprom : public CDevFlow {
 public:
  using CDevFlow::CDevFlow;
};

class CEepromConfigInfo : public CMpFlow_Eeprom {
 public:
  using CMpFlow_Eeprom::CMpFlow_Eeprom;

  // Slot 0, common to all leaves: parses m_pCodeData into m_pCodeImage or m_pFileData into
  // m_pFileImage (the argument must be that very buffer; anything else fails unparsed).
  int DEV_ParseImage(std::span<const std::uint8_t> image) override;

  std::string m_strConfigText;     // text kept with the configuration block handling
  std::int32_t m_iConfigValue = 0;

 protected:
  // Hands the image readers the current definition, dump size and memory type; call before
  // every image read or rewrite, since the device search may replace the definition.
  ImageState& PrepareImageState();
  // Takes the memory type back from the image readers.
  void TakeImageState();
};

}  // namespace drover
