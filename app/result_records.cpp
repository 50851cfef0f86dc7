#include "app/result_records.h"

#include <sys/stat.h>

#include <mutex>

#include "base/message_box.h"
#include "base/strfmt.h"

namespace drover {

namespace {

std::mutex g_timeLock;
std::function<std::time_t()> g_timeSource;

void WriteBytes(std::FILE* f, std::string_view bytes) {
  if (!f || bytes.empty()) return;
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  // Scripts may read the file while the run goes on; and a crash must not lose a record.
  std::fflush(f);
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::string ToCrLf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      out += "\r\n";
      ++i;
    } else if (c == '\n') {
      out += "\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string PadRight(std::string text, std::size_t width) {
  while (text.size() < width) text += ' ';
  return text;
}

std::string FormatBurnRecord(std::time_t when, const std::string& serial, bool pass, std::int32_t status) {
  std::tm local {};
  ::localtime_r(&when, &local);
  char stamp[64] = {};
  std::strftime(stamp, sizeof stamp, kBurnTimeFormat, &local);
  const std::string serialColumn = PadRight(serial + ",", kSerialColumnWidth);
  const std::string resultColumn = PadRight(pass ? "Pass," : "Fail,", kResultColumnWidth);
  const std::string statusColumn = StrFormat("%d:", status);
  return StrFormat("%s%s%s%s\r\n", stamp, serialColumn.c_str(), resultColumn.c_str(), statusColumn.c_str());
}

void SetRecordTimeSource(std::function<std::time_t()> source) {
  std::lock_guard<std::mutex> g(g_timeLock);
  g_timeSource = std::move(source);
}

std::time_t RecordTime() {
  std::lock_guard<std::mutex> g(g_timeLock);
  return g_timeSource ? g_timeSource() : std::time(nullptr);
}

// ---- Result.txt ----

bool CResultFile::Open(const std::string& path) {
  Close();
  m_file.reset(std::fopen(path.c_str(), "wb"));
  return IsOpen();
}

void CResultFile::Write(std::string_view text) { WriteBytes(m_file.get(), ToCrLf(text)); }

void CResultFile::Close() { m_file.reset(); }

// ---- burn_result.txt ----

bool CBurnRecordFile::Open(const std::string& path) {
  Close();
  if (IsRegularFile(path)) {
    m_file.reset(std::fopen(path.c_str(), "r+b"));
    if (m_file) std::fseek(m_file.get(), 0, SEEK_END);
  } else {
    m_file.reset(std::fopen(path.c_str(), "wb"));
    if (m_file) {
      WriteBytes(m_file.get(), std::string(kBurnHeaderLine1) + "\r\n");
      WriteBytes(m_file.get(), std::string(kBurnHeaderLine2) + "\r\n");
    }
  }
  if (!m_file) {
    ShowMessageBox(kBurnOpenFailText);
    return false;
  }
  return true;
}

void CBurnRecordFile::WriteBurnRecord(bool pass, const std::string& serial, std::int32_t status) {
  WriteBytes(m_file.get(), FormatBurnRecord(RecordTime(), serial, pass, status));
}

void CBurnRecordFile::Close() { m_file.reset(); }

}  // namespace drover
