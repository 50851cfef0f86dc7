#pragma once
// Start and stop of the transport for the process: the USB backend the process uses
// (libusb for real devices, or the simulated bus the application hands in), the mode value
// ("Lib Type") kept for the dialog's notice, and the raw-path lock.
#include <cstdint>
#include <functional>
#include <memory>

#include "transport/usb_backend.h"

namespace drover {

// Builds the backend used when StartTransport is given none (libusb unless replaced).
using BackendFactory = std::function<std::shared_ptr<usb::IUsbBackend>()>;
void SetBackendFactory(BackendFactory factory);

// Records the mode value, opens the raw-path lock and installs the backend (the given one,
// else the factory's). True when a backend is available. A second start replaces the first.
bool StartTransport(std::uint32_t libType, std::shared_ptr<usb::IUsbBackend> backend = nullptr);
// Closes the current device, drops the backend and the raw-path lock. Always true.
bool StopTransport();
// The mode value given to StartTransport (0 before).
std::uint32_t TransportLibType();
bool TransportStarted();

class CNamedMutex;
// The raw-path lock "ICOperateSyncUac_2022" opened at start (nullptr before start).
CNamedMutex* RawPathLock();

}  // namespace drover
