#pragma once
// The layers above CDevFlow that every leaf shares: the EEPROM update sequences
// (CMpFlow_Eeprom) and the configuration-block handling of the loaded image
// (CEepromConfigInfo), which answers slot 0 for all leaves.
#include <span>
#include <string>
#include <vector>

#include "base/trace.h"
#include "engine/dev_flow.h"

namespace drover {

// The EEPROM update sequences (eeprom_update.cpp).
class CMpFlow_Eeprom : public CDevFlow {
 public:
  using CDevFlow::CDevFlow;

  // The 16-bit update entry: read-back buffer, stop flag, EE16_UpdateEx_Cmd2; a failure
  // restores the WP line and posts the failing step's identifier.
  int EE16_Update(std::vector<std::uint8_t>& image);
  // The 16-bit update sequence (image byte 1 held at 0xFF until the tag); on failure 0 with
  // the failing step's identifier in err.
  int EE16_UpdateEx_Cmd2(std::vector<std::uint8_t>& image, std::uint32_t& err);
  // The 8-bit update sequence, posting its own failures; m_pReadBuf must hold the image's
  // length. With fromDownload the option bits choose the blank check, the write and the
  // reset (EEU8_Download); without, every step but the blank check runs (DEV_UpdateCode).
  int EE8_UpdateEx_Cmd2(std::span<const std::uint8_t> image, bool fromDownload);
  // The read and erase jobs of the two EEPROM leaves (wide: 16-bit addressing).
  int EE_ReadJob(bool wide);
  int EE_EraseJob(bool wide);

 protected:
  // Writes m_pReadBuf to m_strDumpFile unless in command-line mode.
  void SaveDumpFile();
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
  // The first steps of every silent write (entry_common.cpp): m_strFwFile, load (with
  // fallBack, an image of at least 64 KiB already loaded is kept when the file cannot be
  // loaded), parse, chip rule. 1 when the download may run; otherwise the failure is posted
  // and traced under `scope` and the answer is 0.
  int SilentLoadAndCheck(const TraceScope& scope, const std::string& path, bool fallBack, bool allow8and9);
  // The first step of every silent verify: m_strFwFile, load; the failure posted as above.
  int SilentLoad(const TraceScope& scope, const std::string& path);
  // Loads path whole into m_pFileData and m_pFileCopy; on failure both stay as they were.
  bool LoadFirmwareFile(const std::string& path);
  // The serial-number pre-action on m_pFileData with the serial text the flow holds
  // (m_strManufacturer); err starts as `initial`.
  int RunPreAction(std::uint32_t initial, std::uint32_t& err);
  // Dialog mode with "SaveSN" set: the verdict text counts down "2", "1", a second each.
  void SaveSnCountdown();
  // The silent verify's comparison: 1 when m_pReadBuf starts with m_pFileData; else the
  // last status becomes 41709 (not posted).
  int CompareWithFile();
  // The silent read of every leaf: DEV_ReadCode, then m_pReadBuf to path (its folders made
  // first), as the bytes or, asText, as a hex dump. A dump that cannot be saved posts
  // saveFailId, so that the run never ends on the read's cleared success status.
  int ReadCodeToFile(const std::string& path, bool asText, std::uint32_t saveFailId);
  // The silent erase's choice whether the device restarts into the code afterwards.
  void SetResetToCode(std::uint32_t resetToCode);

  // Hands the image readers the current definition, dump size and memory type; call before
  // every image read or rewrite, since the device search may replace the definition.
  ImageState& PrepareImageState();
  // Takes the memory type back from the image readers.
  void TakeImageState();
};

}  // namespace drover
