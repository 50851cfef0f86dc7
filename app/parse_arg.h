#pragma once
// CParseArg, the command-line executor: one firmware action per run on one device. It parses
// the switches, prints the fixed progress texts on the console that started the program,
// opens the device and finds the IC type that fits the firmware file, runs the action through
// the device-flow object and writes "Result.txt" (and "burn_result.txt" with "LogType").
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/app_context.h"
#include "app/progress_bar.h"
#include "app/result_records.h"

namespace drover {

// Action codes, chosen from the keyword in the argument vector's position 2.
inline constexpr char kActionWrite = 'W';
inline constexpr char kActionVerify = 'V';
inline constexpr char kActionErase = 'E';
inline constexpr char kActionDumpOtp = 'Y';
inline constexpr char kActionDumpSpi = 'Z';
inline constexpr char kActionDetect = 'C';
inline constexpr char kActionVersion = 'D';
inline constexpr char kActionNone = static_cast<char>(0xFF);

// The small SPI dump of "-dumpspi" reads this many bytes instead of the default dump size.
inline constexpr std::uint32_t kSmallSpiDumpSize = 0x10000;
// Images shorter than this are refused before the IC-type search.
inline constexpr std::size_t kMinimumImageSize = 0x10000;
// The IC-type search looks at no more than this many bytes behind an offset.
inline constexpr std::size_t kSearchCopyLimit = 0x200000;
// A console line holds at most this many characters; "Result.txt" receives the whole text.
inline constexpr std::size_t kConsoleTextLimit = 259;

// One row of the action table: keyword, code and the fixed texts ("" for none).
struct ActionRow {
  std::string_view keyword;
  char code;
  std::string_view startText;
  std::string_view passText;
  std::string_view failText;
};
// The actions in the order the keyword is compared.
std::span<const ActionRow> ActionTable();
// The row of an action code; nullptr for a code without one.
const ActionRow* FindAction(char code);

// The usage text of "-h" and "--help".
std::string CommandLineUsage();

class CParseArg final : public ICommandLineExecutor {
 public:
  explicit CParseArg(AppContext& context);
  // Closes the result files.
  ~CParseArg() override;
  CParseArg(const CParseArg&) = delete;
  CParseArg& operator=(const CParseArg&) = delete;

  // Program directory, then Parse_Arg_Normal. "-h" or "--help" alone prints the usage text
  // and answers 0 without touching "Result.txt".
  int Parse_Arg(const std::vector<std::string>& commandLine) override;
  // Program, "-f", then a keyword and a file or a file alone; "-d N" as arguments 4 and 5.
  int Parse_Arg_Normal(const std::vector<std::string>& commandLine);
  // Standard output already is the console that started the program: switches output on.
  void AttachParentConsole() override;
  // The console copy is cut to 259 characters; the open result file receives the whole text.
  void Print(const std::string& text) override;
  // The program directory followed by ">", without a line break.
  void PrintPrompt();
  // Opens the device and finds the IC type (answers 1), or records the failure (answers 0).
  int PrepareDevice() override;
  int LoadICTypeIni();
  int Excute_Arg() override;
  int Excute_Arg_Normal();
  // Creates "Result.txt" in the program directory (closing a handle still open first).
  void OpenResultFile();

  // Where console text goes; standard output unless replaced (tests).
  using ConsoleWriter = std::function<void(std::string_view)>;
  void SetConsoleWriter(ConsoleWriter writer);

  char Action() const { return m_cAction; }
  const std::string& FileArgument() const { return m_strFileArg; }
  const std::string& SecondArgument() const { return m_strSecondArg; }
  std::int32_t FirstDeviceIndex() const { return m_iFirstDevice; }
  const std::string& ProgramDirectory() const { return m_strProgramDir; }
  CConsoleProgress& Progress() { return m_progress; }

 private:
  // The firmware file into the device flow's file buffers; false when it cannot be read.
  bool LoadFileArgument(CDevFlow& flow, const std::string& path);
  // The built-in image of the device's identity, else the IC type's default image, as the
  // file data; false when the program carries neither.
  bool TakeBuiltInImage(CDevFlow& flow);
  // The IC-type search over every definition; true when one fits the loaded image.
  bool FindFittingIcType(CDevFlow& flow);
  // Re-creates the device flow for the current memory type, the open device carried over.
  // False (device closed, last status 41500) when the pair has no device-flow object.
  bool RecreateDeviceFlow();
  void WriteConsole(std::string_view text);

  AppContext& m_ctx;
  char m_cAction = kActionNone;
  std::string m_strFileArg;
  std::string m_strSecondArg;
  std::int32_t m_iFirstDevice = 0;
  CResultFile m_resultFile;
  std::string m_strProgramDir;
  std::uint32_t m_dwConsole = 0;
  std::uint32_t m_dwBurnRecord = 0;
  CBurnRecordFile m_burnFile;
  ConsoleWriter m_consoleWriter;
  CConsoleProgress m_progress;
};

}  // namespace drover
