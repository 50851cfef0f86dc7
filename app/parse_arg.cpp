// CParseArg: the switches, the console texts and the result files of command-line mode.
#include "app/parse_arg.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "base/file_util.h"
#include "base/settings.h"
#include "base/status.h"
#include "base/strfmt.h"
#include "base/trace.h"
#include "engine/dev_flow.h"

namespace drover {

namespace {

constexpr ActionRow kActions[] = {
    {"-erase", kActionErase, "Begin to Erase!\r\n", "Erase pass!\r\n", "Erase fail!\r\n"},
    {"-write", kActionWrite, "Begin to Write fw!\r\n", "Write fw pass!\r\n", "Write fw fail!\r\n"},
    {"-verify", kActionVerify, "Begin to Verify fw!\r\n", "Verify fw pass!\r\n", "Verify fw fail!\r\n"},
    {"-version", kActionVersion, "Begin to Get FW Ver!\r\n", "", ""},
    {"-detect", kActionDetect, "", "Begin to Check OTP Status!\r\n", ""},
    {"-dumpotp", kActionDumpOtp, "Begin to Dump OTP!\r\n", "Dump OTP pass!\r\n", "Dump OTP fail!\r\n"},
    {"-dumpspi", kActionDumpSpi, "Begin to Dump SPI!\r\n", "Dump SPI pass!\r\n", "Dump SPI fail!\r\n"},
};

constexpr const char* kInvalidParameterText = "Fail --- Invalid parameter!\r\n";

// The decimal value of a text as the command line reads numbers: leading blanks, a sign and
// digits up to the first other character; no digits give 0, and values beyond the 32-bit
// range stop at its ends.
std::int32_t DecimalValue(const std::string& text) {
  errno = 0;
  const long long v = std::strtoll(text.c_str(), nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(v);
}

}  // namespace

std::span<const ActionRow> ActionTable() { return kActions; }

const ActionRow* FindAction(char code) {
  for (const ActionRow& row : kActions)
    if (row.code == code) return &row;
  return nullptr;
}

std::string CommandLineUsage() {
  return "Usage:\n"
         "  drover                              dialog mode, not built yet (also: /forcerestart)\n"
         "  drover -f FILE.rfw [X -d N]         write FILE.rfw\n"
         "  drover -f -write FILE [-d N]        write FILE\n"
         "  drover -f -verify FILE [-d N]       compare the memory with FILE\n"
         "  drover -f -erase [X -d N]           erase the flash\n"
         "  drover -f -version [X -d N]         show the firmware version (recorded as \"fail\")\n"
         "  drover -f -detect FILE [-d N]       report the OTP space FILE would use\n"
         "  drover -f -dumpotp FILE [-d N]      dump the OTP into FILE\n"
         "  drover -f -dumpspi FILE [-d N]      dump the first 64 KiB of flash into FILE\n"
         "  drover -h | --help                  show this text\n"
         "\n"
         "Without a file the built-in image for the device's identity is taken. \"-d N\" must be\n"
         "the fourth and fifth argument (X is any placeholder); it names the first of three\n"
         "device indices tried when the settings do not check the USB identity allow-list.\n"
         "The outcome goes to \"Result.txt\" in the program's directory (the console texts,\n"
         "then \"pass\" or \"fail\"). The exit code is 1 when the run ends on a status that\n"
         "is not cleared: every failure, and also a passing erase or OTP dump.\n"
         "\n"
         "Environment:\n"
         "  DROVER_SIM=DIR          use the simulated USB bus in directory DIR instead of\n"
         "                          real devices (see drover-sim)\n"
         "  DROVER_SIM_REALTIME=1   keep real time on the simulated bus (command-line mode\n"
         "                          otherwise runs it on a virtual clock)\n";
}

CParseArg::CParseArg(AppContext& context)
    : m_ctx(context), m_progress(stderr, CConsoleProgress::StderrIsTerminal()) {
  // The engine hands its fixed console texts of command-line mode here.
  m_ctx.engine.consolePrint = [this](std::string_view text) { Print(std::string(text)); };
}

CParseArg::~CParseArg() {
  m_ctx.engine.consolePrint = nullptr;
  m_resultFile.Close();
  m_burnFile.Close();
}

void CParseArg::SetConsoleWriter(ConsoleWriter writer) { m_consoleWriter = std::move(writer); }

int CParseArg::Parse_Arg(const std::vector<std::string>& commandLine) {
  TraceScope scope("CParseArg::Parse_Arg");
  m_strProgramDir = GetModuleDirectory(false);
  if (commandLine.size() == 2 && (commandLine[1] == "-h" || commandLine[1] == "--help")) {
    const std::string usage = CommandLineUsage();
    std::fwrite(usage.data(), 1, usage.size(), stdout);
    std::fflush(stdout);
    return 0;
  }
  return Parse_Arg_Normal(commandLine);
}

int CParseArg::Parse_Arg_Normal(const std::vector<std::string>& commandLine) {
  TraceScope scope("CParseArg::Parse_Arg_Normal");
  m_iFirstDevice = 0;

  // The switch is looked for in the whole command line, the program's own path included.
  std::string whole;
  for (std::size_t i = 0; i < commandLine.size(); ++i) {
    if (i) whole += ' ';
    whole += commandLine[i];
  }
  if (AsciiLower(whole).find("-f") == std::string::npos) {
    OpenResultFile();
    m_resultFile.Write("fail");
    m_resultFile.Close();
    return 0;
  }

  const std::size_t argc = commandLine.size();
  if (argc < 3 || argc > 6) {
    TraceFail(scope, kInvalidParameterText);
    return 0;
  }

  // Validation only traces; the action below is chosen whatever it found.
  bool valid = EqualsNoCase(commandLine[1], "-f");
  const std::string& second = commandLine[2];
  bool known = second.find(".rfw") != std::string::npos;
  for (const ActionRow& row : kActions) known = known || EqualsNoCase(second, row.keyword);
  valid = valid && known;
  if (!valid) TraceFail(scope, kInvalidParameterText);

  m_strSecondArg = second;
  m_strFileArg = argc > 3 ? commandLine[3] : std::string();

  m_cAction = kActionNone;
  for (const ActionRow& row : kActions) {
    if (second == row.keyword) {
      m_cAction = row.code;
      break;
    }
  }
  if (m_cAction == kActionDumpSpi) m_ctx.engine.dwDumpSize = kSmallSpiDumpSize;
  if (m_cAction == kActionNone) {
    // Anything else in the keyword position is the file of a write.
    m_strFileArg = second;
    m_cAction = kActionWrite;
  }

  if (argc > 4 && EqualsNoCase(commandLine[4], "-d"))
    m_iFirstDevice = argc > 5 ? DecimalValue(commandLine[5]) : 0;
  return 1;
}

void CParseArg::AttachParentConsole() {
  // Standard output of a process started from a terminal or a script already is that
  // console; there is nothing to attach.
  m_dwConsole = 1;
}

void CParseArg::WriteConsole(std::string_view text) {
  m_progress.Clear();
  if (m_consoleWriter) {
    m_consoleWriter(text);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void CParseArg::Print(const std::string& text) {
  if (m_dwConsole) WriteConsole(CutUtf8(text, kConsoleTextLimit));
  if (m_resultFile.IsOpen()) m_resultFile.Write(text);
}

void CParseArg::PrintPrompt() { Print(m_strProgramDir + ">"); }

void CParseArg::OpenResultFile() {
  const std::string dir = m_strProgramDir.empty() ? GetModuleDirectory(false) : m_strProgramDir;
  const std::string path = dir == "/" ? dir + kResultFileName : dir + "/" + kResultFileName;
  // A program directory the user cannot write to runs without the file.
  m_resultFile.Open(path);
}

int CParseArg::Excute_Arg() {
  TraceScope scope("CParseArg::Excute_Arg");
  m_ctx.engine.dwUpdateOptions = UpdateOptionsFromSettings();
  m_dwBurnRecord = ConfigInt("LogType", 0);
  if (m_dwBurnRecord != 0) m_burnFile.Open();

  int result = 0;
  {
    ScopedProgressSink progress(m_progress);
    result = Excute_Arg_Normal();
  }

  m_resultFile.Write(result ? "pass" : "fail");
  m_resultFile.Close();
  if (m_dwBurnRecord != 0) {
    const std::string serial = m_ctx.pDevFlow ? m_ctx.pDevFlow->m_strManufacturer : std::string();
    if (m_burnFile.IsOpen())
      m_burnFile.WriteBurnRecord(result != 0, serial, static_cast<std::int32_t>(GetLastStatus()));
    m_burnFile.Close();
  }
  return result;
}

}  // namespace drover
