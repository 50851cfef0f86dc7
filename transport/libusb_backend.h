#pragma once
// The USB backend for real devices over libusb-1.0: candidates are the interfaces of class 1
// (audio) subclass 1 (audio control); identity texts in the seam's Windows shapes built from
// bus number and port chain; control transfers with libusb_control_transfer; class requests
// to the audio-control interface claim it with automatic kernel-driver detach, so the audio
// driver gets the interface back when the device is closed.
#include <cstdint>
#include <memory>
#include <span>

#include "transport/usb_backend.h"

namespace drover {

// A libusb backend, or nullptr when libusb cannot be initialised.
std::shared_ptr<usb::IUsbBackend> CreateLibusbBackend();

// Maps a libusb error (LIBUSB_ERROR_*) to the system error code the transport uses, by the
// table below; anything not in it is 31 (general failure).
std::uint32_t MapLibusbError(int libusbError);

struct LibusbErrorRow {
  int libusbError;
  std::uint32_t systemError;
};
// no device 1167, time-out 1460, pipe 31, busy 170, access 5, not found 2, invalid
// parameter 87, I/O 1117.
std::span<const LibusbErrorRow> LibusbErrorTable();

}  // namespace drover
