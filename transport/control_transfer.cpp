#include "transport/control_transfer.h"

#include <array>
#include <mutex>
#include <vector>

#include "base/bytes.h"
#include "base/strfmt.h"
#include "transport/enumeration.h"

namespace drover {
namespace {

std::mutex g_backendLock;
std::shared_ptr<usb::IUsbBackend> g_backend;

// The bound-device table: one entry per bound USB device instance, as the proxy driver kept
// it. The entry holds the handle of the first bind, through which every transfer goes.
constexpr std::size_t kMaxBound = 32;
struct BoundEntry {
  DeviceRef ref;
  std::string instance;
  std::shared_ptr<usb::IUsbDevice> device;
  std::uint32_t count = 0;
};
std::mutex g_boundLock;
std::array<BoundEntry, kMaxBound> g_bound;
std::uint32_t g_generation = 0;

std::shared_ptr<usb::IUsbDevice> Lookup(const DeviceRef& ref) {
  if (ref.IsNull()) return nullptr;
  std::lock_guard<std::mutex> g(g_boundLock);
  for (const BoundEntry& e : g_bound) {
    if (e.count != 0 && e.ref == ref) return e.device;
  }
  return nullptr;
}

bool IsOurVendorId(const std::string& hardwareId) {
  static constexpr std::string_view kPrefix = "USB\\VID_0BDA";
  return hardwareId.size() >= kPrefix.size() && EqualsNoCase(std::string_view(hardwareId).substr(0, kPrefix.size()), kPrefix);
}

// The configuration of an opened device: what the host stack cached at enumeration, else
// read with two standard requests (the header, then wTotalLength, which must be at least 9).
bool ReadConfiguration(usb::IUsbDevice& device, std::vector<std::uint8_t>& config) {
  std::vector<std::uint8_t> deviceDesc;
  if (device.CachedDescriptors(deviceDesc, config) && config.size() >= 9) return true;
  std::array<std::uint8_t, 9> head{};
  usb::UsbSetup setup{0x80, 0x06, static_cast<std::uint16_t>(kDescConfiguration << 8), 0};
  std::uint32_t got = 0;
  if (device.ControlTransfer(setup, head, true, kDefaultTransferTimeoutMs, got) != 0 || got != head.size()) return false;
  const std::uint16_t total = ReadLE16(head, 2);
  if (total < 9) return false;
  config.assign(total, 0);
  got = 0;
  if (device.ControlTransfer(setup, config, true, kDefaultTransferTimeoutMs, got) != 0 || got != total) return false;
  return true;
}

}  // namespace

std::shared_ptr<usb::IUsbBackend> UsbBackend() {
  std::lock_guard<std::mutex> g(g_backendLock);
  return g_backend;
}

void SetUsbBackend(std::shared_ptr<usb::IUsbBackend> backend) {
  std::lock_guard<std::mutex> g(g_backendLock);
  g_backend = std::move(backend);
}

std::uint32_t BindDevice(const std::string& deviceInstance, const std::shared_ptr<usb::IUsbDevice>& handle,
                         DeviceRef& out) {
  out = DeviceRef{};
  if (!handle) return usb::kErrInvalidParameter;
  auto backend = UsbBackend();
  if (!backend) return kErrPathNotFound;

  // The bind rule: only our own devices ever receive a vendor request.
  bool ours = false;
  usb::UsbNode node;
  if (backend->GetNode(deviceInstance, node) == 0) {
    for (const std::string& id : node.hardwareIds) {
      if (IsOurVendorId(id)) {
        ours = true;
        break;
      }
    }
  }
  if (!ours) {
    std::vector<std::uint8_t> config;
    ours = ReadConfiguration(*handle, config) && ConfigHasOurExtensionUnit(config);
  }
  if (!ours) return usb::kErrAccessDenied;

  std::lock_guard<std::mutex> g(g_boundLock);
  for (BoundEntry& e : g_bound) {
    if (e.count != 0 && EqualsNoCase(e.instance, deviceInstance)) {
      ++e.count;
      out = e.ref;
      return 0;
    }
  }
  for (std::size_t i = 0; i < g_bound.size(); ++i) {
    BoundEntry& e = g_bound[i];
    if (e.count != 0) continue;
    if (++g_generation == 0) g_generation = 1;
    e.ref = DeviceRef{static_cast<std::uint32_t>(i + 1), g_generation};
    e.instance = deviceInstance;
    e.device = handle;
    e.count = 1;
    out = e.ref;
    return 0;
  }
  return kErrTooManyOpen;
}

std::uint32_t ReleaseDevice(const DeviceRef& ref) {
  std::shared_ptr<usb::IUsbDevice> dropped;  // closed outside the table lock
  std::lock_guard<std::mutex> g(g_boundLock);
  for (BoundEntry& e : g_bound) {
    if (e.count != 0 && e.ref == ref && !ref.IsNull()) {
      if (--e.count == 0) {
        dropped = std::move(e.device);
        e = BoundEntry{};
      }
      return 0;
    }
  }
  return usb::kErrInvalidParameter;
}

std::size_t BoundDeviceCount() {
  std::lock_guard<std::mutex> g(g_boundLock);
  std::size_t n = 0;
  for (const BoundEntry& e : g_bound) n += e.count != 0 ? 1 : 0;
  return n;
}

namespace {

std::uint32_t Submit(const DeviceRef& ref, std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                     std::uint16_t index, std::span<std::uint8_t> buffer, bool dirIn, std::uint32_t* transferred,
                     std::uint32_t timeoutMs) {
  if (transferred) *transferred = 0;
  if (buffer.size() > 0xFFFF) return usb::kErrInvalidParameter;
  std::shared_ptr<usb::IUsbDevice> device = Lookup(ref);
  if (!device) return usb::kErrInvalidParameter;
  // The direction is the caller's flag; the request type bits are otherwise passed unchanged.
  usb::UsbSetup setup{static_cast<std::uint8_t>((requestType & 0x7F) | (dirIn ? 0x80 : 0)), request, value, index};
  std::uint32_t got = 0;
  const std::uint32_t rc = device->ControlTransfer(setup, buffer, dirIn, timeoutMs, got);
  if (transferred) *transferred = got > buffer.size() ? static_cast<std::uint32_t>(buffer.size()) : got;
  return rc;
}

}  // namespace

std::uint32_t ClassRequest(const DeviceRef& ref, std::uint8_t requestType, std::uint8_t request, std::uint8_t selector,
                           std::uint8_t unitId, std::uint8_t interfaceNumber, std::span<std::uint8_t> buffer,
                           bool dirIn, std::uint32_t* transferred, std::uint32_t timeoutMs) {
  return Submit(ref, requestType, request, static_cast<std::uint16_t>(selector << 8),
                static_cast<std::uint16_t>((unitId << 8) | interfaceNumber), buffer, dirIn, transferred, timeoutMs);
}

std::uint32_t VendorRequest(const DeviceRef& ref, std::uint8_t requestType, std::uint8_t request,
                            std::uint16_t value, std::uint16_t index, std::span<std::uint8_t> buffer, bool dirIn,
                            std::uint32_t* transferred, std::uint32_t timeoutMs) {
  return Submit(ref, requestType, request, value, index, buffer, dirIn, transferred, timeoutMs);
}

std::uint32_t GetDescriptor(const DeviceRef& ref, std::uint8_t type, std::uint8_t index, std::uint16_t languageId,
                            std::span<std::uint8_t> buffer, std::uint32_t* transferred) {
  std::uint32_t got = 0;
  const std::uint32_t rc = Submit(ref, 0x80, 0x06, static_cast<std::uint16_t>((type << 8) | index), languageId, buffer,
                                  true, &got, kDefaultTransferTimeoutMs);
  if (transferred) *transferred = got;
  if (rc != 0) return rc;
  if ((type == kDescDevice || type == kDescConfiguration) && got != buffer.size()) return kErrBadLength;
  return 0;
}

}  // namespace drover
