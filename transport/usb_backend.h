#pragma once
// The seam through which Drover reaches USB devices: libusb for real devices, the simulated
// bus for tests and demos. Identity texts keep the shape of the device tree the transport's
// string rules were written for:
//   function (audio-control interface)  USB\VID_0B05&PID_1996&MI_00\1-2.3:1.0
//   its USB device                      USB\VID_0B05&PID_1996\1-2.3
//   ancestors up to a root hub          USB\ROOT_HUB30\1 or USB\ROOT_HUB20\1 (by speed)
//   location path                       USBROOT(1)#USB(2)#USB(3)
// A function of a device whose only interface is the audio function has no "&MI_" part and
// its function instance equals the device instance.
// Errors are the Windows system error codes the transport uses.
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace drover::usb {

// System error codes reported by backends.
inline constexpr std::uint32_t kErrSuccess = 0;
inline constexpr std::uint32_t kErrNotFound = 2;          // no such device or instance
inline constexpr std::uint32_t kErrAccessDenied = 5;
inline constexpr std::uint32_t kErrGenFailure = 31;       // stalled request, general failure
inline constexpr std::uint32_t kErrNotReady = 21;
inline constexpr std::uint32_t kErrInvalidParameter = 87;
inline constexpr std::uint32_t kErrBusy = 170;
inline constexpr std::uint32_t kErrNoMoreItems = 259;     // no candidate
inline constexpr std::uint32_t kErrIoDevice = 1117;
inline constexpr std::uint32_t kErrDeviceNotConnected = 1167;
inline constexpr std::uint32_t kErrTimeout = 1460;

// One media-class USB function (one per audio-control interface), in candidate order.
struct UsbFunction {
  std::string instanceId;      // the function's instance ID (with "&MI_nn" on a composite device)
  std::string deviceInstance;  // the USB device it belongs to
  std::string friendlyName;    // empty when the device has none
  std::string locationPath;    // first location path of the USB device
  bool problem = false;        // node status shows a problem: not a candidate
};

// What the device tree answers about one instance (function, device or hub).
struct UsbNode {
  std::string instanceId;
  std::string parentInstance;  // empty above the root hub
  std::string className;       // "MEDIA" for an audio function, "USB" for a device or hub
  std::string friendlyName;
  std::string description;
  std::uint32_t busAddress = 0;  // the port number on its parent hub
  std::string locationPath;
  std::string objectName;        // changes whenever the device re-enumerates; empty while absent
  std::vector<std::string> hardwareIds;  // e.g. USB\VID_0BDA&PID_4C15&REV_0100, USB\VID_0BDA&PID_4C15
};

struct UsbSetup {
  std::uint8_t bmRequestType = 0;  // bit 7 is replaced from the direction flag on the wire
  std::uint8_t bRequest = 0;
  std::uint16_t wValue = 0;
  std::uint16_t wIndex = 0;
};

// An opened USB device. Contract: one control transfer on endpoint 0; answers 0 or a
// system error code and the bytes transferred.
class IUsbDevice {
 public:
  virtual ~IUsbDevice() = default;
  // dirIn: device to host, data is filled; otherwise data is sent. wLength is data.size().
  virtual std::uint32_t ControlTransfer(const UsbSetup& setup, std::span<std::uint8_t> data, bool dirIn,
                                        std::uint32_t timeoutMs, std::uint32_t& transferred) = 0;
  // The descriptors the host stack read at enumeration, without traffic on the bus
  // (18-byte device descriptor, whole configuration descriptor). False when unknown.
  virtual bool CachedDescriptors(std::vector<std::uint8_t>& deviceDescriptor,
                                 std::vector<std::uint8_t>& configDescriptor) = 0;
};

enum class HotplugEvent { Arrived, Left };

// Contract: a backend enumerates present devices, answers device-tree questions, opens a
// device by its device instance and reports arrival and removal.
class IUsbBackend {
 public:
  virtual ~IUsbBackend() = default;
  // Present media-class functions in a stable order (bus, then port chain). 0 or 259.
  virtual std::uint32_t EnumerateFunctions(std::vector<UsbFunction>& out) = 0;
  // Device-tree node of an instance (function, device or hub). 0, or 2 when unknown/absent.
  virtual std::uint32_t GetNode(const std::string& instanceId, UsbNode& out) = 0;
  // Opens the USB device of a device instance. 0 or an error (2 absent, 5 permission, ...).
  virtual std::uint32_t Open(const std::string& deviceInstance, std::unique_ptr<IUsbDevice>& out) = 0;
  // Registers a hot-plug callback (device instance, event); answers a handle for Unsubscribe.
  // Callbacks may come from another thread, or on the calling thread from inside the backend
  // call that noticed the change (a transfer that reset the device, Poll, EnumerateFunctions);
  // the backend holds none of its own locks while it calls them.
  virtual int Subscribe(std::function<void(const std::string& deviceInstance, HotplugEvent)> callback) = 0;
  virtual void Unsubscribe(int handle) = 0;
  // Gives the backend a chance to notice changes made by other processes or by time
  // passing (a device returning after a reset); real backends may do nothing.
  virtual void Poll() {}
};

}  // namespace drover::usb
