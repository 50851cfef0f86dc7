#pragma once
// Finding the USB audio devices Drover can work with, numbering them as candidates 0, 1, 2,
// ..., opening one into a device record and learning its capabilities (extension unit,
// vendor-request support). The layers above see only candidate numbers and the current
// device; they never walk the device tree themselves.
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "transport/control_transfer.h"
#include "transport/vendor_cmd.h"

namespace drover {

// A device instance as a 32-bit number (0: none). The same instance ID always maps to the
// same number within a process, so the number survives a device leaving and coming back.
using DevInst = std::uint32_t;
DevInst DevInstFromId(const std::string& instanceId);
// The instance ID of a number ("" when unknown).
std::string DevInstId(DevInst inst);

// One candidate: a present, problem-free media-class USB function.
struct CandidateEntry {
  std::string functionInstance;  // the function's own instance ID
  std::string deviceInstance;    // its USB device after the fix-up (the function's until then)
  std::string name;              // friendly name, or "Usb Video Device #%d"
  std::string deviceId;          // the function's instance ID cut before "&MI_"
  std::string locationPath;
};

// Candidate list in enumeration order: 0, 259 when there is none, or the backend's error.
std::uint32_t EnumerateAudioDevices(std::vector<CandidateEntry>& out);

struct CapabilityRecord {
  std::vector<std::uint8_t> deviceDescriptor;  // 18 bytes
  std::vector<std::uint8_t> configDescriptor;  // wTotalLength bytes
  bool bHasExtensionUnit = false;
  std::uint8_t byExtensionUnitId = 0;
  bool bVendorRequests = false;  // the status-page probe returned the signature
  bool bAccepted = false;        // only such devices stay open
  bool bOneByteProbe = false;    // without vendor requests: the one-byte query 0x06 answered
  std::array<std::uint8_t, 96> statusPage{};

  std::uint16_t Vid() const;
  std::uint16_t Pid() const;
  std::uint16_t Rev() const;
  std::uint8_t ManufacturerIndex() const;
  std::uint8_t SerialIndex() const;
};

inline constexpr std::uint32_t kDeviceRecordSignature = 0x4B455344;  // "DSEK"

// An opened device. Owns its interface handle and its bind: Release (or destruction) closes
// the handle and releases the reference.
struct DeviceRecord {
  DeviceRecord() = default;
  ~DeviceRecord() { Release(); }
  DeviceRecord(DeviceRecord&& other) noexcept;
  DeviceRecord& operator=(DeviceRecord&& other) noexcept;
  DeviceRecord(const DeviceRecord&) = delete;
  DeviceRecord& operator=(const DeviceRecord&) = delete;

  // Closes the interface handle and releases the reference; identity fields stay.
  void Release();
  // Signature set, reference non-zero and the interface handle open.
  bool IsValid() const;

  std::uint32_t dwSignature = 0;
  DeviceRef ref;
  std::string strOpenedInstance;  // the instance the record was opened from (function or device)
  std::string strDeviceInstance;  // the USB device (the composite parent of an "MI_" function)
  std::shared_ptr<usb::IUsbDevice> pInterface;
  std::string strName;
  std::uint8_t byInterfaceNumber = 0;  // audio-control interface: low byte of wIndex
  std::uint32_t dwClassKind = 0;       // 1 when the class name starts with "US"
  std::string strLocationPath;
  std::uint32_t dwBusAddress = 0;
  std::vector<std::string> ancestors;  // from the device up to its root hub
  std::uint32_t dwRootHubClass = 0;    // 3, 2 or 1
  std::shared_ptr<CapabilityRecord> pCapabilities;
};

// Interface number from the two digits after "MI_": (d1 - '0') * 16 + (d2 - '0'); 0 without.
std::uint8_t InterfaceNumberFromId(const std::string& instanceId);
// Root hub class of an instance ID (3, 2 or 1) and whether it ends the ancestor walk.
std::uint32_t RootHubClass(const std::string& instanceId);
bool IsRootHub(const std::string& instanceId);
// Whether location path a contains b as whole levels ("#"-delimited), ignoring case.
bool LocationPathContains(const std::string& a, const std::string& b);

// Opens a device by instance (a function's or a USB device's) into a record and waits for it
// to answer its device descriptor. 0 or a system error (2 absent or no root hub, 5 refused).
std::uint32_t OpenDeviceRecord(const std::string& instance, DeviceRecord& out);

// Reads the descriptors and probes the device; true when the descriptors were read. Keeps an
// existing capability record unless refresh is asked.
bool QueryCapabilities(DeviceRecord& record, bool refresh);

// bUnitID of the first interface's extension unit of code 0x0BDA (subtype 8 or 9), or -1.
// The walk never leaves min(wTotalLength, bytes given); a malformed descriptor ends it with -1.
int FindExtensionUnit(std::span<const std::uint8_t> config);
// Whether any class-specific interface descriptor of the configuration is an extension unit
// of code 0x0BDA (the bind rule); false for a malformed configuration.
bool ConfigHasOurExtensionUnit(std::span<const std::uint8_t> config);

// String descriptor n in language 0x0409 as UTF-8 ("" for index 0 or on failure).
std::uint32_t ReadStringDescriptor(const DeviceRecord& record, std::uint8_t index, std::string& out);

// Bus address (port) of an instance and the instance of the hub it hangs on (the parent of
// the USB device; an "MI_" function moves to its device first). 0 or a system error.
std::uint32_t GetBusAddressAndHub(const std::string& instance, std::uint32_t& busAddress, std::string& hubInstance);

}  // namespace drover
