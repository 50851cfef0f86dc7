#pragma once
// The message protocol between engine, worker and dialog: message numbers, status
// identifiers with their texts, PostToDialog and the application's last status.
#include <cstdint>
#include <span>
#include <string_view>

namespace drover {

inline constexpr std::uint32_t WM_USER = 0x400;
inline constexpr std::uint32_t WM_QUIT = 0x0012;
inline constexpr std::uint32_t WM_COMMAND = 0x0111;
inline constexpr std::uint32_t IDC_START = 1003;  // WM_COMMAND first parameter of Start

// Window messages to the main dialog.
inline constexpr std::uint32_t UM_WORKER_EXIT = WM_USER + 0x12;
inline constexpr std::uint32_t UM_PROGRESS = WM_USER + 0x13;
inline constexpr std::uint32_t UM_ERROR = WM_USER + 0x14;
inline constexpr std::uint32_t UM_RESULT = WM_USER + 0x16;
inline constexpr std::uint32_t UM_STEP = WM_USER + 0x17;
inline constexpr std::uint32_t UM_STATUS = WM_USER + 0x18;
inline constexpr std::uint32_t UM_DEVICE_OPENED = WM_USER + 0x1F;

// Thread messages to the worker.
inline constexpr std::uint32_t TM_DOWNLOAD = 0x431;
inline constexpr std::uint32_t TM_REFRESH_DEVICES = 0x43C;
inline constexpr std::uint32_t TM_RESELECT_DEVICE = 0x43D;
inline constexpr std::uint32_t TM_CLOSE_DEVICE = 0x441;

struct StatusEntry {
  std::uint32_t id;
  std::string_view text;
};

// Every status identifier with its text, in ascending order.
std::span<const StatusEntry> StatusTable();
// The text of a status identifier; empty for an unknown one.
std::string_view StatusText(std::uint32_t id);
// True for the success identifiers that leave the last status at 0.
bool IsClearingStatus(std::uint32_t id);

// Receives every post; the dialog implements it, and command-line mode may observe posts
// (its progress bar) although no dialog exists.
class IPostSink {
 public:
  virtual ~IPostSink() = default;
  virtual void OnPost(std::uint32_t message, std::uintptr_t first, std::intptr_t second) = 0;
};

// The sink receiving posts (nullptr: none). Not owned.
void SetPostSink(IPostSink* sink);
// Whether the main dialog exists (dialog mode); some steps test this, e.g. before reading its stop flag.
void SetMainDialogExists(bool exists);
bool MainDialogExists();

// The only way the engine reports to the user interface: hands the message to the sink and
// records the first parameter as the last status (clearing identifiers leave 0).
void PostToDialog(std::uint32_t message, std::uintptr_t first, std::intptr_t second);

std::uint32_t GetLastStatus();
void SetLastStatus(std::uint32_t status);
// Applies the clearing rule to the current last status.
void ApplyClearingRule();

}  // namespace drover
