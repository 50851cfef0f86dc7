#pragma once
// The three control-transfer operations every upper layer uses (class request to an
// interface, vendor request to the device, standard descriptor request), carried over the
// USB backend of the process. A device is reached only through a device reference obtained
// from BindDevice, which refuses every device that is not one of ours before any traffic.
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "transport/usb_backend.h"

namespace drover {

// Further system error codes of the transport.
inline constexpr std::uint32_t kErrPathNotFound = 3;    // no backend (the transport is not started)
inline constexpr std::uint32_t kErrTooManyOpen = 4;     // the bound-device table is full
inline constexpr std::uint32_t kErrBadLength = 24;      // a descriptor came back shorter than asked

inline constexpr std::uint32_t kDefaultTransferTimeoutMs = 5000;

// The bound device's reference: two 32-bit words, both 0 when unbound.
struct DeviceRef {
  std::uint32_t A = 0;
  std::uint32_t B = 0;
  bool IsNull() const { return A == 0 && B == 0; }
  friend bool operator==(const DeviceRef&, const DeviceRef&) = default;
};

// The backend of the process (set by StartTransport; nullptr when stopped).
std::shared_ptr<usb::IUsbBackend> UsbBackend();
void SetUsbBackend(std::shared_ptr<usb::IUsbBackend> backend);

// Binds an opened device (interface handle) of the given USB device instance. The device is
// bound only when one of its hardware IDs starts with "USB\VID_0BDA" or its configuration
// carries an audio extension unit (subtype 8 or 9) of extension code 0x0BDA; any other
// device gets 5 (access denied) without a single request. Binding the same device instance
// again answers the same reference and counts the bind. 0 or a system error code.
std::uint32_t BindDevice(const std::string& deviceInstance, const std::shared_ptr<usb::IUsbDevice>& handle,
                         DeviceRef& out);
// Drops one bind; the entry is freed at the last one. 0, or 87 for an unknown reference.
std::uint32_t ReleaseDevice(const DeviceRef& ref);
// Number of bound devices (for tests and diagnostics).
std::size_t BoundDeviceCount();

// Class request to an interface: wValue = selector << 8, wIndex = (unitId << 8) | interface,
// wLength = buffer.size(). Bit 7 of bmRequestType on the wire follows dirIn. Answers 0 or
// the system error code; transferred (if given) receives the bytes moved.
std::uint32_t ClassRequest(const DeviceRef& ref, std::uint8_t requestType, std::uint8_t request,
                           std::uint8_t selector, std::uint8_t unitId, std::uint8_t interfaceNumber,
                           std::span<std::uint8_t> buffer, bool dirIn, std::uint32_t* transferred = nullptr,
                           std::uint32_t timeoutMs = kDefaultTransferTimeoutMs);

// Vendor request to the device. A short IN transfer succeeds with the shorter count.
std::uint32_t VendorRequest(const DeviceRef& ref, std::uint8_t requestType, std::uint8_t request,
                            std::uint16_t value, std::uint16_t index, std::span<std::uint8_t> buffer, bool dirIn,
                            std::uint32_t* transferred = nullptr,
                            std::uint32_t timeoutMs = kDefaultTransferTimeoutMs);

// Standard GET_DESCRIPTOR (type 1 device, 2 configuration, 3 string), 5000 ms. A device or
// configuration descriptor shorter than asked fails with 24.
inline constexpr std::uint8_t kDescDevice = 1;
inline constexpr std::uint8_t kDescConfiguration = 2;
inline constexpr std::uint8_t kDescString = 3;
std::uint32_t GetDescriptor(const DeviceRef& ref, std::uint8_t type, std::uint8_t index, std::uint16_t languageId,
                            std::span<std::uint8_t> buffer, std::uint32_t* transferred = nullptr);

}  // namespace drover
