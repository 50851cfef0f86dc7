#pragma once
// The process-wide state of the application and the seams through which the parts of the
// program that start-up knows only by contract are plugged in.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/kes_thread.h"
#include "app/settings_store.h"
#include "base/clock.h"
#include "engine/engine_context.h"

namespace drover {

class CDevFlow;  // the device-flow object (engine); held here, built by the factory seam

// The command-line executor's contract (CParseArg): called in this order by start-up.
class ICommandLineExecutor {
 public:
  virtual ~ICommandLineExecutor() = default;
  // The full command line, program first; 1 when an action is ready, 0 otherwise.
  virtual int Parse_Arg(const std::vector<std::string>& commandLine) = 0;
  virtual void AttachParentConsole() = 0;
  virtual void Print(const std::string& text) = 0;
  // 1 when a device is open and an IC type fits, else 0.
  virtual int PrepareDevice() = 0;
  // 1 for pass, 0 for fail; writes the result files.
  virtual int Excute_Arg() = 0;
};

struct AppContext;

// The parts of the program that later layers provide. An empty seam is a part that is not built
// into this program: start-up says so on standard error and leaves 41500 ("Not Support!").
struct AppSeams {
  // The IC-type set with its loading steps (created first among the shared objects).
  std::function<void(AppContext&)> createIcTypes;
  // Releases the IC-type set and the allow-list object (tear-down, after the device flow).
  std::function<void(AppContext&)> releaseIcTypes;
  std::function<std::unique_ptr<ICommandLineExecutor>(AppContext&)> createExecutor;
  // The device-flow factory: sets AppContext::pDevFlow from memory type and bus type; leaving
  // it empty means the pair has no factory entry.
  std::function<void(AppContext&)> createDeviceFlow;
  // DEV_CloseDevice on the device-flow object: releases the device handle it holds.
  std::function<void(AppContext&)> closeDevice;
  // Transport start and stop with the "Lib Type" value.
  std::function<void(std::uint32_t libType)> startTransport;
  std::function<void(std::uint32_t libType)> stopTransport;
  // Runs the main dialog modally (dialog mode).
  std::function<void(AppContext&)> runDialog;
  // The clock of the run, chosen before the transport starts (nullptr: keep the real one).
  std::function<std::shared_ptr<IClock>(bool commandLineMode)> chooseClock;
  // The OTP space report of "-detect" on the loaded image: fills m_iOtpInfo and m_strConnect
  // of the device flow; nonzero on success.
  std::function<int(AppContext&, CDevFlow&)> reportOtpSpace;
};

// The seams filled by the parts linked into this program (app/app_seams.cpp).
AppSeams DefaultAppSeams();

// Operating-system version, read once (the kernel release numbers here).
struct COsInfo {
  std::uint32_t dwMajorVersion = 0;
  std::uint32_t dwMinorVersion = 0;
  static COsInfo Read();
};

struct AppContext {
  explicit AppContext(AppSeams s) : seams(std::move(s)) {}
  AppContext(const AppContext&) = delete;
  AppContext& operator=(const AppContext&) = delete;

  AppSeams seams;
  std::shared_ptr<CIniSettingsStore> pSettings;
  std::string strVersion;              // program version text, at most 15 characters
  std::uint32_t bCommandLineMode = 0;  // set once the command line parsed
  std::uint32_t iIniType = 0;          // "Ini Type"
  std::unique_ptr<COsInfo> pOsInfo;
  std::unique_ptr<ICommandLineExecutor> pParseArg;
  // What the device flow reads from the application: the active IC type, MemoryType and
  // BusType, the mode, the dump size and the update options.
  EngineContext engine;
  std::shared_ptr<CDevFlow> pDevFlow;  // absent when the memory/bus pair has no factory entry
  std::unique_ptr<CKesThread> pWorker; // dialog mode, once started
  bool bIcTypesCreated = false;        // the IC-type set exists and is released at exit

  // Deletes the shared objects (never the settings) and creates the IC-type set, the OS
  // information, the command-line executor and the device-flow object, in that order; the
  // last status is then 0, or 41500 when a part is not built into this program.
  void CreateSharedObjects();
  // Runs the device-flow factory; the last status is reset to 0 (41500 without a factory).
  bool CreateDeviceFlow();
  // Releases the device-flow object, the OS information, the IC-type set and the executor.
  void ReleaseSharedObjects();
};

// The context of the running application; nullptr outside its lifetime.
AppContext* CurrentAppContext();
void SetCurrentAppContext(AppContext* context);

// Says on standard error that a part is not built yet and leaves 41500 as the last status.
void ReportNotBuilt(const std::string& part);

}  // namespace drover
