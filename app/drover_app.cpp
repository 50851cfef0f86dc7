#include "app/drover_app.h"

#include <sys/stat.h>

#include <cstdio>

#include "base/debug_channel.h"
#include "base/file_util.h"
#include "base/status.h"
#include "base/strfmt.h"
#include "base/trace.h"
#include "resources/resource.h"

namespace drover {

namespace {

// A read-only file beside the program is made writable for its owner; it is not read.
void ClearReadOnly(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  if ((st.st_mode & S_IWUSR) == 0) ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR);
}

}  // namespace

bool IsDialogModeTail(const std::vector<std::string>& arguments) {
  return arguments.empty() || (arguments.size() == 1 && EqualsNoCase(arguments[0], "/forcerestart"));
}

CDroverApp::CDroverApp(AppSeams seams, AppOptions options)
    : m_options(std::move(options)), m_context(std::move(seams)) {
  if (!m_options.programDirectory.empty()) {
    SetModuleDirectoryOverride(m_options.programDirectory);
    m_bDirectoryOverridden = true;
  }
  SetCurrentAppContext(&m_context);
}

CDroverApp::~CDroverApp() {
  if (CurrentAppContext() == &m_context) SetCurrentAppContext(nullptr);
  if (m_bDirectoryOverridden) SetModuleDirectoryOverride(std::string());
}

int CDroverApp::Run(int argc, char** argv) {
  std::vector<std::string> commandLine;
  for (int i = 0; i < argc; ++i) commandLine.emplace_back(argv[i] ? argv[i] : "");
  return Run(commandLine);
}

int CDroverApp::Run(const std::vector<std::string>& commandLine) {
  InitInstance(commandLine);
  return ExitInstance();
}

void CDroverApp::LoadSettings() {
  if (!m_context.pSettings) m_context.pSettings = std::make_shared<CIniSettingsStore>();
  ClearReadOnly(GetModuleDirectory(true) + "config.ini");
  if (m_options.settingsText) {
    m_strConfigText = *m_options.settingsText;
  } else {
    // A missing or empty resource leaves the store empty: every key then has its default.
    std::span<const std::uint8_t> text = res::FindResource(kSettingsResourceType, kSettingsResourceId);
    m_strConfigText.assign(reinterpret_cast<const char*>(text.data()), text.size());
  }
  m_context.pSettings = std::make_shared<CIniSettingsStore>(m_strConfigText);
  SetSettingsStore(m_context.pSettings);
}

bool CDroverApp::InitInstance(const std::vector<std::string>& commandLine) {
  LoadSettings();

  if (ConfigInt("Debug Log", 0) != 0) m_bDebugCapture = DebugCaptureStart(GetModuleDirectory(true));

  TraceSetup();

  ReadProgramVersion();
  m_context.strVersion = ProgramVersionText();

  m_context.iIniType = ConfigInt("Ini Type", 0);

  m_context.CreateSharedObjects();

  const std::vector<std::string> tail(commandLine.empty() ? commandLine.begin() : commandLine.begin() + 1,
                                      commandLine.end());
  const bool dialogMode = IsDialogModeTail(tail);
  // The clock is settled before the transport starts, so that every time stamp the transport
  // takes comes from the clock the run keeps.
  if (m_context.seams.chooseClock) {
    if (std::shared_ptr<IClock> clock = m_context.seams.chooseClock(!dialogMode))
      m_clockScope = std::make_unique<ScopedClock>(std::move(clock));
  }

  const std::uint32_t libType = ConfigInt("Lib Type", 0);
  if (m_context.seams.startTransport)
    m_context.seams.startTransport(libType);
  else
    ReportNotBuilt("the transport");

  if (dialogMode)
    RunDialogMode();
  else
    RunCommandLineMode(commandLine);
  return false;
}

void CDroverApp::RunCommandLineMode(const std::vector<std::string>& commandLine) {
  ICommandLineExecutor* exec = m_context.pParseArg.get();
  if (!exec) {
    ReportNotBuilt("command-line mode");
    return;
  }
  if (exec->Parse_Arg(commandLine) != 1) return;
  m_context.bCommandLineMode = 1;
  m_context.engine.bCommandLineMode = true;
  exec->AttachParentConsole();
  exec->Print("\n");
  if (exec->PrepareDevice() == 1) exec->Excute_Arg();
  // DEV_CloseDevice: releases whatever device handle the device flow holds (none is fine).
  if (m_context.seams.closeDevice) m_context.seams.closeDevice(m_context);
}

void CDroverApp::RunDialogMode() {
  if (!m_context.seams.runDialog) {
    ReportNotBuilt("dialog mode");
    return;
  }
  SetMainDialogExists(true);
  m_context.seams.runDialog(m_context);
  SetMainDialogExists(false);
}

int CDroverApp::ExitInstance() {
  m_context.pWorker.reset();
  m_context.ReleaseSharedObjects();

  const std::uint32_t libType = ConfigInt("Lib Type", 0);
  if (m_context.seams.stopTransport) m_context.seams.stopTransport(libType);

  if (ConfigInt("Debug Log", 0) != 0 || m_bDebugCapture) DebugCaptureStop();
  m_bDebugCapture = false;

  TraceEnd();

  SetSettingsStore(nullptr);
  m_context.pSettings.reset();
  m_clockScope.reset();

  const int code = GetLastStatus() != 0 ? 1 : 0;
  SetLastStatus(static_cast<std::uint32_t>(code));
  return code;
}

}  // namespace drover
