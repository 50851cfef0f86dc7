#include "otp/otp_space.h"

#include "base/strfmt.h"

namespace drover::otp {

namespace {
// Kilobytes as the report prints them: single precision, two decimals.
double Kb(std::uint32_t bytes) { return static_cast<double>(static_cast<float>(bytes) / 1024.0f); }
}  // namespace

OtpSpace ComputeOtpSpace(CBlockTableQueries& queries, std::uint64_t imageSize) {
  queries.ClearReadFailed();
  OtpSpace s;
  s.dwUsed = queries.UsedCodeArea();
  s.iFreeEntries = queries.GetFreeVDEntryCount();
  s.bTableRead = !queries.ReadFailed();
  // A table that claims more than the code area holds has no space left, not 4 GB of it.
  s.dwFree = s.dwUsed > kCodeAreaSize ? 0 : kCodeAreaSize - s.dwUsed;
  if (imageSize != 0) {
    const std::uint64_t times = s.dwFree / imageSize;
    const auto entries = static_cast<std::uint64_t>(s.iFreeEntries);
    s.dwRemaining = static_cast<std::uint32_t>(times < entries ? times : entries);
  }
  return s;
}

std::string OtpSpaceDetectionText(const OtpSpace& space, bool withImage) {
  if (withImage) {
    return StrFormat("Used OTP Space: %0.2f KB Free OTP Space: %0.2f KB Remaining Programmable Times: %d.",
                     Kb(space.dwUsed), Kb(space.dwFree), static_cast<int>(space.dwRemaining));
  }
  return StrFormat("Used OTP Space: %0.2f KB, Remain OTP Space: %0.2f KB.", Kb(space.dwUsed), Kb(space.dwFree));
}

std::string OtpSpaceCommandLineText(const OtpSpace& space) {
  return StrFormat("Used OTP Space: %0.2f KB\nFree OTP Space: %0.2f KB\nRemaining Programmable Times: %d.",
                   Kb(space.dwUsed), Kb(space.dwFree), static_cast<int>(space.dwRemaining));
}

}  // namespace drover::otp
