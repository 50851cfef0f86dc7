#pragma once
// What the device-flow object reads from the application without owning it: the active
// IC-type definition, memory and bus type, the mode, the dump size, the update options, the
// allow-list's built-in copy, the dialog's device list and the console of command-line mode.
// The application keeps one EngineContext for the life of the process.
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "image/ic_type.h"
#include "image/image_format.h"

namespace drover {

class IDeviceListHost;

// UpdateOptions bits.
inline constexpr std::uint32_t kOptResetToCache = 0x01;   // reset to the new code at the end
inline constexpr std::uint32_t kOptBlankCheck = 0x02;     // blank-check after the erase
inline constexpr std::uint32_t kOptAlternateReset = 0x04; // "Normal Reset" 0: reset mode 5
inline constexpr std::uint32_t kOptVerify = 0x10;         // read back and compare
inline constexpr std::uint32_t kInitialUpdateOptions = 0x13;

// Bus types.
inline constexpr std::uint32_t kBusUsb = 0;
inline constexpr std::uint32_t kBusPcie = 1;
inline constexpr std::uint32_t kBusMipi = 2;

struct EngineContext {
  EngineContext();
  ~EngineContext();
  EngineContext(const EngineContext&) = delete;
  EngineContext& operator=(const EngineContext&) = delete;

  // The active IC-type definition; the device search replaces the object, so nobody keeps a
  // reference to it across a search. Null reads as an empty definition.
  std::unique_ptr<CICTypeIni> pIcType;
  std::uint32_t uIniType = 0;  // "Ini Type" the definitions are loaded with
  std::uint32_t uMemoryType = kMemorySpiFlash;
  std::uint32_t uBusType = kBusUsb;
  bool bCommandLineMode = false;
  // Bytes the read jobs read: 0x40000 at start, 0x10000 for the small SPI dump, the file
  // length during a silent verify. The image parser compares it with 0x4000.
  std::uint32_t dwDumpSize = kDefaultDumpSize;
  std::uint32_t dwUpdateOptions = kInitialUpdateOptions;
  // The allow-list's built-in copy, loaded once on first use and kept for the run.
  std::unique_ptr<CICTypeIni> pVidPidList;
  // The main dialog's device list (dialog mode); null in command-line mode.
  IDeviceListHost* pDeviceList = nullptr;
  // The console of command-line mode; the engine hands it its fixed texts.
  std::function<void(std::string_view)> consolePrint;
  // The main dialog's verdict text (dialog mode); the serial-number countdown of the
  // downloads sets it, then posts UM_STEP with 0 so that the dialog shows it.
  std::function<void(std::string_view)> setVerdictText;

  // Hands text to the console in command-line mode (nothing in dialog mode).
  void PrintToConsole(std::string_view text) const;
  // The active definition, or an empty one when none is loaded.
  const CICTypeIni& IcType() const;
};

// UpdateOptions from the settings, as the worker sets them before each job: bit 0 from
// "ResetToCache" (default 1), bits 1 and 4 always, bit 2 when "Normal Reset" is 0.
std::uint32_t UpdateOptionsFromSettings();
// The reset mode of the settings: 5 when "Normal Reset" is 0, else 6.
std::uint8_t ResetModeFromSettings();

}  // namespace drover
