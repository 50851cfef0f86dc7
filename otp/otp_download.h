#pragma once
// The OTP entry points of the device flow: a firmware image turned into the one or two OTP
// blocks it needs (code block from the small cache code item, configuration block from the
// other items), the pre-checks and confirmations before a block is written, the download,
// update and read jobs, the command-line variants and the space report; and the OTP leaf,
// which answers the device flow's slots with them.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "otp/mp_flow_otp.h"
#include "otp/otp_space.h"

namespace drover::otp {

// Results of the block builder.
inline constexpr int kBuildNotUsable = 0;  // the configuration block cannot be turned into OTP blocks
inline constexpr int kBuildDone = 1;       // built and made the current block
inline constexpr int kBuildNoPart = 2;     // the image has no such part

inline constexpr int kPartCode = 0;
inline constexpr int kPartConfig = 1;

// The pre-check texts.
inline constexpr const char* kTextNoVdBlock = "No Available VD Block!";
inline constexpr const char* kTextSpaceLow = "OTP Code Size Less than 5K,\nContinue to Update!";
inline constexpr const char* kTextVdBlocksLow = "OTP VD Block Less than 4,\nContinue to Update!";
inline constexpr std::uint32_t kSpaceQuestionLimit = 5120;  // free bytes at or below which the operator is asked
inline constexpr int kVdQuestionLimit = 4;                  // free entries at or below which the operator is asked

class COTPConfigInfo : public CMpFlow_OTP {
 public:
  using CMpFlow_OTP::CMpFlow_OTP;
};

class COTPInfo : public COTPConfigInfo {
 public:
  using COTPConfigInfo::COTPConfigInfo;

  // Part kPartCode or kPartConfig of m_pFileData / m_pCodeData: kBuildDone, kBuildNoPart or
  // kBuildNotUsable. Either of the first two makes the part's buffer the current block.
  int BuildOTPBlockImage(int part);
  int BuildOTPBlockImageDefault(int part);
  // The space and entry questions, then the block update; a refusal resets the device to the
  // new code and posts 41914.
  bool OTP_UpdateChecked(std::span<const std::uint8_t> image);
  // Code block, then configuration block, of the loaded file; then the reset to the new code.
  bool OTP_ForNormalDownload();
  // The interactive download of the loaded file (slot 4).
  int OTP_Download();
  // Writes the built-in default image m_pCodeData (slot 3).
  int OTP_Update();
  // The live blocks as one image in m_pReadBuf (slot 1).
  int OTP_Read();
  // Reads length bytes at start in 4096-byte pieces; UM_PROGRESS with progress.
  bool OTP_ReadEx_Cmd2(std::uint16_t start, std::uint16_t length, std::span<std::uint8_t> buffer, bool progress);
  // OTP_Read, then m_pReadBuf as a binary file (slot 7).
  int OTP_ReadToFile(const std::string& path);
  // Command-line downloads of a file (slots 5 and 6); the serial number reaches the image
  // through the serial-number pre-action of the download.
  int Silence_OTPWriteBin(const std::string& path);
  int Silence_OTPWriteSNBin(const std::string& path, const std::string& serial);

  // The space report for an image of imageSize bytes.
  OtpSpace OTP_GetSpace(std::uint64_t imageSize);

  std::vector<std::uint8_t> m_pOtpCodeImage;  // m_dwOtpCodeSize is its size
  std::vector<std::uint8_t> m_pOtpCfgImage;   // m_dwOtpCfgSize is its size

 private:
  int BuildBlock(const TraceScope& scope, std::span<const std::uint8_t> source, int part);
  // Highest entry with the flag; false when an entry could not be read.
  bool FindLiveBlock(std::uint8_t flag, std::uint16_t& start, std::uint16_t& length);
  bool ReadLiveBlock(const TraceScope& scope, std::uint16_t start, std::uint16_t length, bool progress,
                     std::vector<std::uint8_t>& out);
  bool AssembleDump(const std::vector<std::uint8_t>& code, const std::vector<std::uint8_t>& config);
  int SilentWrite(const TraceScope& scope, const std::string& path);
};

// Leaf: OTP on USB.
class COTPInfo_USB final : public COTPInfo {
 public:
  using COTPInfo::COTPInfo;
  int DEV_ReadCode() override;
  // OTP cannot be erased: fails without a message.
  int DEV_EraseCode() override;
  int DEV_UpdateCode() override;
  int DEV_Download() override;
  int DEV_Silence_WriteBin(const std::string& path) override;
  int DEV_Silence_WriteSNBin(const std::string& path, const std::string& serial) override;
  int DEV_Silence_ReadBin(const std::string& path) override;
  // Slots 8 to 10 keep the base answers: failure with "Not Support!" as the last status.
  // The used OTP space, with the detection form of the report in m_strConnect.
  std::int32_t DEV_GetOtpUsage() override;
};

}  // namespace drover::otp
