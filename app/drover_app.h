#pragma once
// The application object: start-up, exactly one mode (command line or dialog), tear-down in a
// fixed order, and the exit code from the application's last status.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/app_context.h"

namespace drover {

// Holds the built-in settings text as it was loaded.
class CConfigIni {
 public:
  std::string m_strConfigText;
};

struct AppOptions {
  // Where "config.ini", "DebugLog.txt" and the other files beside the program live; empty:
  // the directory of the executable.
  std::string programDirectory;
  // Replaces the built-in settings text (a customer build names its own file at build time;
  // tests use this instead).
  std::optional<std::string> settingsText;
};

// True when the arguments after the program name choose dialog mode: none, or the single
// argument "/forcerestart" in any letter case. Anything else is command-line mode.
bool IsDialogModeTail(const std::vector<std::string>& arguments);

class CDroverApp : public CConfigIni {
 public:
  explicit CDroverApp(AppSeams seams = DefaultAppSeams(), AppOptions options = {});
  ~CDroverApp();
  CDroverApp(const CDroverApp&) = delete;
  CDroverApp& operator=(const CDroverApp&) = delete;

  // Start-up, the mode and tear-down; answers the process exit code.
  int Run(int argc, char** argv);
  int Run(const std::vector<std::string>& commandLine);

  // Start-up and the chosen mode (program name first in commandLine). Always false: no
  // message loop is to run, so tear-down follows at once.
  bool InitInstance(const std::vector<std::string>& commandLine);
  // Tear-down; answers the exit code (1 when the last status is non-zero, else 0), which also
  // becomes the last status.
  int ExitInstance();

  AppContext& Context() { return m_context; }

 private:
  void LoadSettings();
  void RunCommandLineMode(const std::vector<std::string>& commandLine);
  void RunDialogMode();

  AppOptions m_options;
  AppContext m_context;
  std::unique_ptr<ScopedClock> m_clockScope;  // the clock chosen for the run, restored at exit
  bool m_bDebugCapture = false;
  bool m_bDirectoryOverridden = false;
};

}  // namespace drover
