#pragma once
// The process's debug channel: diagnostics of the program and of the libraries it loads
// (the transport's composed error texts, libusb's log) go here; the optional capture
// appends the raw bytes of each string to "DebugLog.txt" in the program directory.
#include <cstdint>
#include <string>
#include <string_view>

namespace drover {

// Emits one debug string (delivered to the capture if it runs; dropped otherwise). The channel
// carries NUL-terminated strings: text after an embedded NUL is not part of the string.
void OutputDebugString(std::string_view text);
// The same with the sender's process id, as the channel carries each string; the capture
// writes only the strings whose sender is this process.
void PostDebugString(std::uint32_t senderPid, std::string_view text);

// Starts the capture into directory + "DebugLog.txt" (created anew). False when the file
// cannot be created (no capture; the program is otherwise unaffected).
bool DebugCaptureStart(const std::string& directoryWithSlash);
// Ends the capture; returns promptly even when no further string arrives or the capture
// ended early.
void DebugCaptureStop();
bool DebugCaptureRunning();

}  // namespace drover
