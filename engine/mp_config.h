#pragma once
// The root data of the device-flow object: the open device handle with its command flag
// word, and the shared data record that every layer reads and writes (images, read-back
// buffer, identity, state and choices of the device).
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/image_format.h"
#include "transport/enumeration.h"

namespace drover {

// The device handle and the flag word passed unchanged with every vendor command.
class CKesLibExternalUse {
 public:
  // Handle of the open device (the transport's device instance); 0 when none is open.
  DevInst m_hDevice = 0;
  // 0x20 routes a command through the extension unit; 0x01 lets a reset of type 9 or 10
  // reuse the known transport capabilities; the worker sets 0x40 before a download.
  std::uint32_t m_dwCmdFlags = 0;
};

// The shared data record. Buffers are owned here; their length is the vector's size.
class CMpConfig {
 public:
  CMpConfig() = default;

  // The copy the factory hands from one device-flow object to the next: every setting and
  // string, but no image buffer and no parse result (the next object loads its own images).
  CMpConfig CopyForNextObject() const;
  // Drops every buffer and parse result (what destroying the object frees).
  void FreeBuffers();

  std::string m_strFwFile;                 // firmware file of the current job
  std::vector<std::uint8_t> m_pFileData;   // the firmware file (working copy)
  std::vector<std::uint8_t> m_pFileCopy;   // an untouched copy of the same bytes
  std::vector<std::uint8_t> m_pCodeData;   // the code image DEV_UpdateCode programs
  std::vector<std::uint8_t> m_pReadBuf;    // blank check, verify and dumps
  // Parse results: offset of the configuration region inside m_pCodeData / m_pFileData.
  std::optional<std::size_t> m_pCodeImage;
  std::optional<std::size_t> m_pFileImage;
  // What the image readers take from and give back to the flow (identity texts of the last
  // image read, configuration region, flags).
  ImageState m_imageState;
  bool m_bTagInImage = false;  // configuration block at image start: no separate tag

  std::array<std::uint16_t, 6> m_wImageVer{};  // version of the default image
  std::string m_strUpdateVersion;              // "Update FW version:" and that version

  // Device identity.
  std::uint16_t m_wVid = 0;
  std::uint16_t m_wPid = 0;
  std::uint16_t m_wRev = 0;
  std::string m_strManufacturer;
  std::string m_strSerial;
  std::string m_strVidPid;     // "VID_%04X&PID_%04X"
  std::string m_strVidPidRev;  // "VID_%04X&PID_%04X&REV_%04X"
  std::string m_strDeviceKey;  // "%s&%s": device path and m_strVidPidRev
  std::uint32_t m_dwPortAddr = 255;  // USB port address; 255 until read
  std::uint32_t m_dwHubInst = 255;   // parent hub's device instance; 255 until read

  // Device state.
  std::string m_strConnect;  // "USB Audio Connected" or "No USB Audio"
  std::string m_strFwVersion;
  std::array<std::uint16_t, 6> m_wFwVer{};
  std::string m_strFwVersionEx;
  std::string m_strDevStatus;               // "ROM", "SPI", ... or "Unknown"
  std::array<std::uint8_t, 2> m_byChipId{};  // identity register bytes, each masked with 0xF0
  std::uint8_t m_bNotCacheMode = 0;          // 1: the device does not run its downloaded code
  std::uint8_t m_bBootStatusChip = 0;        // 1: boot mode read from the boot status register
  std::uint8_t m_bChipFamily0010 = 0;

  std::uint8_t m_byChipCode = kNoChipCode;  // chip code of the loaded image
  std::uint8_t m_byResetMode = 6;           // 5 when "Normal Reset" is 0

  bool m_bBankCopy = false;
  bool m_bForceUpdateA = false;
  bool m_bForceUpdateB = false;

  std::array<std::uint8_t, 8> m_byStatusVer{};  // status version bytes after a download

  std::int32_t m_iSelDevice = -1;  // chosen candidate; -1 for none
  std::int32_t m_iSelRow = -1;     // chosen row of the dialog's list; -1 for none

  bool m_bFamilyF000Present = false;
  bool m_bFamily1010Present = false;

  std::string m_strDumpFile;  // file a read operation saves to
};

}  // namespace drover
