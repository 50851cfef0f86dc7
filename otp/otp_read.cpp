// The read job of COTPInfo: the live code and configuration blocks read back, corrected by
// the ECC table and joined into the one image they were built from.
#include <algorithm>
#include <new>

#include "base/bytes.h"
#include "base/file_util.h"
#include "base/status.h"
#include "base/thread_flag.h"
#include "base/trace.h"
#include "image/config_block.h"
#include "otp/otp_download.h"

namespace drover::otp {

namespace {
constexpr std::uint8_t kSubModeDump = 2;
constexpr std::uint8_t kCodeBlockItems = 3;
}  // namespace

bool COTPInfo::OTP_ReadEx_Cmd2(std::uint16_t start, std::uint16_t length, std::span<std::uint8_t> buffer,
                               bool progress) {
  TraceScope scope("COTPInfo::OTP_ReadEx_Cmd2");
  PostToDialog(UM_STEP, status::kStepRead, 0);
  if (buffer.size() < length) return false;
  for (std::uint32_t done = 0; done < length;) {
    if (StopRequested()) return false;
    const std::uint32_t n = std::min<std::uint32_t>(kOtpChunk, length - done);
    if (!Otp().Read(start + done, buffer.subspan(done, n))) return false;
    done += n;
    if (progress) PostToDialog(UM_PROGRESS, done * 80 / length + 10, 0);
  }
  return true;
}

bool COTPInfo::FindLiveBlock(std::uint8_t flag, std::uint16_t& start, std::uint16_t& length) {
  start = 0;
  length = 0;
  Queries().ClearReadFailed();
  for (int i = kBlockEntries - 1; i >= 0; --i) {
    const VdEntry e = Queries().ReadEntry(i);
    // An entry that cannot be read might be the live one: the dump would miss a block.
    if (Queries().ReadFailed()) return false;
    if (e.byFlag == flag) {
      // Start and length of the same entry: a block of the other kind with the same length
      // must not stand in for it.
      start = e.wStart;
      length = e.wLength;
      return true;
    }
  }
  return true;
}

bool COTPInfo::ReadLiveBlock(const TraceScope& scope, std::uint16_t start, std::uint16_t length, bool progress,
                             std::vector<std::uint8_t>& out) {
  if (static_cast<std::uint32_t>(start) + length > kCodeAreaEnd) {
    TraceFail(scope, "A live block lies outside the code area\n");
    return false;
  }
  out.assign(length, 0xFF);
  if (!OTP_ReadEx_Cmd2(start, length, out, progress)) return false;
  return MP_OTPGetCorrectCodeData(start, length, out);
}

bool COTPInfo::AssembleDump(const std::vector<std::uint8_t>& code, const std::vector<std::uint8_t>& config) {
  if (code.empty() || config.empty()) {
    m_pReadBuf = code.empty() ? config : code;
    return true;
  }
  // Both: the code block, then the configuration block without its header and leading items.
  if (code.size() < kBlockHeaderSize || config.size() < kOtpBlockPrefix) return false;
  const std::size_t total = code.size() + config.size() - kOtpBlockPrefix;
  if (total > 0xFFFF) return false;
  ConfigBlockParser parser;
  parser.LoadBlock(config);
  if (parser.ReadHeader() == nullptr) return false;
  m_pReadBuf.assign(total, 0xFF);
  std::copy(code.begin(), code.end(), m_pReadBuf.begin());
  std::copy(config.begin() + static_cast<std::ptrdiff_t>(kOtpBlockPrefix), config.end(),
            m_pReadBuf.begin() + static_cast<std::ptrdiff_t>(code.size()));
  WriteLE16(m_pReadBuf, 3, static_cast<std::uint16_t>(total));
  m_pReadBuf[5] = static_cast<std::uint8_t>(kCodeBlockItems + parser.ItemsLeft());
  m_pReadBuf[2] = static_cast<std::uint8_t>(parser.Header().m_byChipCode * 8 + kSubModeDump);
  return true;
}

int COTPInfo::OTP_Read() {
  TraceScope scope("COTPInfo::OTP_Read");
  if (!MP_OpenRomDevice()) return 0;

  std::vector<std::uint8_t> parts[2];
  const std::uint8_t flags[2] = {kFlagCode, kFlagConfig};
  try {
    for (int part = 0; part < 2; ++part) {
      std::uint16_t start = 0, length = 0;
      if (!FindLiveBlock(flags[part], start, length) ||
          (length > 0 && !ReadLiveBlock(scope, start, length, part == 0, parts[part]))) {
        Fail(scope, status::kReadOtpFail);
        return 0;
      }
    }
    // A stale buffer of an earlier job must never pass for this OTP's dump.
    m_pReadBuf.clear();
    if (!AssembleDump(parts[0], parts[1])) {
      Fail(scope, status::kReadOtpFail);
      return 0;
    }
  } catch (const std::bad_alloc&) {
    Fail(scope, status::kMallocFail);
    return 0;
  }

  PostToDialog(UM_STEP, status::kStepResetToCode, 0);
  if (!MP_Reset(kResetToCode, 0)) {
    Fail(scope, status::kResetDeviceFail);
    return 0;
  }
  if (m_pReadBuf.empty()) {
    // No live block: there is nothing to dump, and no success to report.
    Fail(scope, status::kOtpCodeNotExist);
    return 0;
  }
  if (!m_ctx.bCommandLineMode && !m_strDumpFile.empty()) {
    CreateDirectoryChain(m_strDumpFile);
    WriteFileBytes(m_strDumpFile, m_pReadBuf);
  }
  PostToDialog(UM_PROGRESS, 100, 0);
  PostToDialog(UM_RESULT, status::kReadOtpOk, 0);
  return 1;
}

int COTPInfo::OTP_ReadToFile(const std::string& path) {
  TraceScope scope("COTPInfo::OTP_ReadToFile");
  if (path.empty()) {
    // Checked before the device is touched: a dump with nowhere to go is no dump.
    TraceFail(scope, "No dump file given\n");
    PostToDialog(UM_ERROR, status::kReadOtpFail, 0);
    return 0;
  }
  if (!OTP_Read()) return 0;
  CreateDirectoryChain(path);
  if (!WriteFileBytes(path, m_pReadBuf)) {
    TraceFail(scope, "Save dump file fail\n");
    PostToDialog(UM_ERROR, status::kReadOtpFail, 0);
    return 0;
  }
  return 1;
}

}  // namespace drover::otp
