#pragma once
// The OTP space report: how much of the code area the blocks use, how much is free, and how
// many more times an image of a given size fits, as shown when a device is detected and by
// the command line's detect action.
#include <cstdint>
#include <string>

#include "otp/otp_commands.h"

namespace drover::otp {

inline constexpr std::uint32_t kCodeAreaSize = kCodeAreaEnd;  // 16224 bytes

struct OtpSpace {
  std::uint32_t dwUsed = 0;       // end of the last used block
  std::uint32_t dwFree = 0;       // 16224 - used, 0 when the table claims more than there is
  int iFreeEntries = 0;           // GetFreeVDEntryCount
  std::uint32_t dwRemaining = 0;  // free / image size, at most the free entries; 0 without image
  bool bTableRead = true;         // false when the block table could not be read
};

// The figures for an image of imageSize bytes (0: no image).
OtpSpace ComputeOtpSpace(CBlockTableQueries& queries, std::uint64_t imageSize);
// "Used OTP Space: %0.2f KB Free OTP Space: %0.2f KB Remaining Programmable Times: %d." with an
// image, "Used OTP Space: %0.2f KB, Remain OTP Space: %0.2f KB." without.
std::string OtpSpaceDetectionText(const OtpSpace& space, bool withImage);
// "Used OTP Space: %0.2f KB\nFree OTP Space: %0.2f KB\nRemaining Programmable Times: %d."
std::string OtpSpaceCommandLineText(const OtpSpace& space);

}  // namespace drover::otp
