#pragma once
// CDevFlow: the polymorphic device-flow object. It adds the fixed virtual operations that
// every memory leaf answers (slots 0 to 10, in this order), the DEV_ operations that find,
// open and close the device and fill the dialog's device list, and the allow-list checks.
#include <cstdint>
#include <span>
#include <string>

#include "engine/mp_flow4.h"

namespace drover {

// Two members the worker and the dialog keep on the object.
class CDataInfo {
 public:
  std::int32_t m_iDataValue = 0;  // set by the worker thread
  std::string m_strDataText;
};

class CDevTypeInfo : public CMpFlow_Customize, public CDataInfo {
 public:
  using CMpFlow_Customize::CMpFlow_Customize;
};

inline constexpr std::uint32_t kStatusNotSupport = 41500;      // "Not Support!"
inline constexpr std::uint32_t kStatusDetectFail = 41511;      // "Detect Device Fail!"
inline constexpr std::uint32_t kStatusVidPidMismatch = 41714;  // "The Vid/Pid does not Match!"
inline constexpr std::uint32_t kStatusDeviceInfoOk = 41906;    // "Check Device Info Succeed."

inline constexpr const char* kVidPidListFile = "VidPidList.ini";
inline constexpr const char* kTextNoDevice = "Cannot find Corvane USB Audio!\n";
inline constexpr const char* kTextVidPidMismatch = "Check VID/PID Mismatch!\n";

class CDevFlow : public CDevTypeInfo {
 public:
  explicit CDevFlow(EngineContext& context) : CDevTypeInfo(context) {}
  // Frees the image buffers; the device stays open (DEV_CloseDevice closes it).
  virtual ~CDevFlow();

  // ---- the virtual operations, in slot order ----
  // Slots 0 to 4 answer failure alone, slots 5 to 10 failure with the last status 41500
  // ("Not Support!"), unless a leaf answers them.
  // 0: parses m_pCodeData or m_pFileData (given as the very buffer); nonzero when it parsed.
  virtual int DEV_ParseImage(std::span<const std::uint8_t> image);
  virtual int DEV_ReadCode();    // 1
  virtual int DEV_EraseCode();   // 2
  virtual int DEV_UpdateCode();  // 3
  virtual int DEV_Download();    // 4
  virtual int DEV_Silence_WriteBin(const std::string& path);                             // 5
  virtual int DEV_Silence_WriteSNBin(const std::string& path, const std::string& serial);  // 6
  virtual int DEV_Silence_ReadBin(const std::string& path);                              // 7
  virtual int DEV_Silence_VerifyBin(const std::string& path);                            // 8
  virtual int DEV_Silence_ReadText(const std::string& path);                             // 9
  // 10: nonzero sets UpdateOptions bit 0, zero clears it; then erases.
  virtual int DEV_Silence_Erase(std::uint32_t resetToCode);

  // The OTP usage value of the open device (used OTP space); 0 for a flow without OTP.
  virtual std::int32_t DEV_GetOtpUsage();

  // ---- discovery and open ----
  // Opens the first of candidates 0, 1, 2 that opens.
  int DEV_OpenDevice();
  // As DEV_OpenDevice, then identity, port, chip identity and a refresh of the IC type.
  int DEV_OpenDeviceByICIni();
  // The same for one given candidate.
  int DEV_OpenDeviceByICIni(int index);
  // Opens the first candidate that passes the built-in allow-list and the port lock.
  int DEV_OpenDeviceByVIDPID();
  // Survey all candidates, fill the dialog's list and choose one; the device is left closed.
  int DEV_GetDefaultDeviceForAllInOne();
  int DEV_GetDeviceListForAllInOne(std::intptr_t param);
  // Finds the chosen device again by its identity after it was reset.
  int DEV_GetDeviceListAfterReset();
  // Opens the chosen device again, found by the dialog's remembered port.
  int Dev_OpenDeviceForMultiCamera();
  // Notes which chip families are connected; the last candidate stays open.
  int DEV_GetDeviceListExist();
  int DEV_CloseDevice();
  // The full device read and UM_STATUS with 0.
  int DEV_RefreshDeviceInfo();
  // Reads the chip identity, chooses the IC type and the built-in default image of the open
  // device and takes the image's version and flags.
  int DEV_SelectDefaultImage();

  // ---- allow-list ----
  // The built-in copy: entries cut before "&REV", matched anywhere in identity, any case.
  int DEV_CheckVidPidBuiltIn(const std::string& identity);
  // "VidPidList.ini" beside the program: only entries that carry "REV" match.
  int DEV_CheckVidPidFile(const std::string& identity);
  // m_strVidPid against the VID/PID text of the loaded image's configuration block.
  int DEV_CheckVidPidBin();

  std::uint32_t m_bVidPidAllowed = 1;  // result of the last allow-list check
  std::int32_t m_iOtpInfo = 0;         // OTP usage value kept for the OTP flows

 protected:
  // Clears m_byChipId and reads the chip identity register into it (masked with 0xF0).
  void DEV_ReadChipIdentity();
  // Reloads the IC-type selection from the settings and the definitions.
  void DEV_RefreshIcType();
  // Hands m_dwPortAddr and m_dwHubInst to the dialog as its remembered port.
  void DEV_HandPortToDialog();
  // The allow-list decision of the survey: file (CheckVIDPID_INI 2), built-in copy (other
  // nonzero values), or the image (only CheckVIDPID_BIN set).
  std::uint32_t DEV_CheckAllowed();
  // Whether the survey is to check devices at all (CheckVIDPID_INI or CheckVIDPID_BIN set).
  static bool DEV_ChecksEnabled();
  // Loads the built-in image `resourceId` into m_pCodeData; false when the program has none.
  bool DEV_LoadBuiltInImage(int resourceId);
};

}  // namespace drover
