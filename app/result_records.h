#pragma once
// The two result records that production scripts read: "Result.txt" beside the program (the
// texts of the latest run and its outcome word) and "burn_result.txt" in the working directory
// (one fixed-width line per run). Both are 8-bit text and every line break written is one
// CR LF pair, whatever the platform's own line end is.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace drover {

inline constexpr const char* kResultFileName = "Result.txt";
inline constexpr const char* kBurnRecordFileName = "burn_result.txt";
inline constexpr const char* kBurnHeaderLine1 =
    "Update date       Update Time       Serial number              Result   ErrCode";
inline constexpr const char* kBurnHeaderLine2 =
    "================  ================  =========================  =======  =======";
inline constexpr const char* kBurnOpenFailText = "Can't Open burn_result.txt";
// Date and time columns, 18 characters each, from one format applied to the local time.
inline constexpr const char* kBurnTimeFormat = "%Y-%m-%d,       %H:%M:%S,         ";
inline constexpr std::size_t kSerialColumnWidth = 27;
inline constexpr std::size_t kResultColumnWidth = 9;

// Every "\n" and every "\r\n" of text becomes exactly one CR LF pair; a lone CR stays.
std::string ToCrLf(std::string_view text);
// Appends single spaces until text is width characters long; a longer text stays whole.
std::string PadRight(std::string text, std::size_t width);
// One burn record line, CR LF included: date and time of `when` (local time), the serial
// number with its comma filled to 27, "Pass," or "Fail," filled to 9, and "%d:" of status.
std::string FormatBurnRecord(std::time_t when, const std::string& serial, bool pass, std::int32_t status);

// The wall clock the burn records are stamped with; tests fix it (nullptr restores the
// system's time).
void SetRecordTimeSource(std::function<std::time_t()> source);
std::time_t RecordTime();

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// "Result.txt": created empty (truncated) at every open; texts are appended with CR LF line
// breaks. A file that cannot be created is no error: the run goes on and nothing is written.
class CResultFile {
 public:
  // Closes a handle still open from an earlier run, then creates the file at path.
  bool Open(const std::string& path);
  bool IsOpen() const { return m_file != nullptr; }
  void Write(std::string_view text);
  void Close();

 private:
  UniqueFile m_file;
};

// "burn_result.txt": an existing regular file is appended to; otherwise it is created with the
// two header lines. A file that cannot be opened is reported in a message box; that run then
// writes no header and no record.
class CBurnRecordFile {
 public:
  bool Open(const std::string& path = kBurnRecordFileName);
  bool IsOpen() const { return m_file != nullptr; }
  // Appends one record stamped with RecordTime().
  void WriteBurnRecord(bool pass, const std::string& serial, std::int32_t status);
  void Close();

 private:
  UniqueFile m_file;
};

}  // namespace drover
