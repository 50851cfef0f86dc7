#include "transport/enumeration.h"

#include <algorithm>

#include "base/bytes.h"
#include "base/clock.h"
#include "base/strfmt.h"

namespace drover {
namespace {

constexpr std::size_t kMaxAncestors = 31;
constexpr std::size_t kMaxNameBytes = 260;
constexpr std::size_t kMaxLocationBytes = 256;
constexpr std::uint32_t kAnswerPollMs = 200;
// A device that keeps answering "not ready" is given up after this long.
constexpr std::uint32_t kAnswerLimitMs = 15000;
constexpr std::uint32_t kStatusProbePages = 12;
constexpr std::uint16_t kLangEnUs = 0x0409;

std::string CutBeforeMi(const std::string& id) {
  const std::size_t at = AsciiUpper(id).find("&MI_");
  return at == std::string::npos ? id : id.substr(0, at);
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

// ---- capability record ----

std::uint16_t CapabilityRecord::Vid() const { return deviceDescriptor.size() >= 18 ? ReadLE16(deviceDescriptor, 8) : 0; }
std::uint16_t CapabilityRecord::Pid() const { return deviceDescriptor.size() >= 18 ? ReadLE16(deviceDescriptor, 10) : 0; }
std::uint16_t CapabilityRecord::Rev() const { return deviceDescriptor.size() >= 18 ? ReadLE16(deviceDescriptor, 12) : 0; }
std::uint8_t CapabilityRecord::ManufacturerIndex() const { return deviceDescriptor.size() >= 18 ? deviceDescriptor[14] : 0; }
std::uint8_t CapabilityRecord::SerialIndex() const { return deviceDescriptor.size() >= 18 ? deviceDescriptor[16] : 0; }

// ---- device record ----

DeviceRecord::DeviceRecord(DeviceRecord&& other) noexcept { *this = std::move(other); }

DeviceRecord& DeviceRecord::operator=(DeviceRecord&& other) noexcept {
  if (this == &other) return *this;
  Release();
  dwSignature = other.dwSignature;
  ref = other.ref;
  other.ref = DeviceRef{};
  strOpenedInstance = std::move(other.strOpenedInstance);
  strDeviceInstance = std::move(other.strDeviceInstance);
  pInterface = std::move(other.pInterface);
  strName = std::move(other.strName);
  byInterfaceNumber = other.byInterfaceNumber;
  dwClassKind = other.dwClassKind;
  strLocationPath = std::move(other.strLocationPath);
  dwBusAddress = other.dwBusAddress;
  ancestors = std::move(other.ancestors);
  dwRootHubClass = other.dwRootHubClass;
  pCapabilities = std::move(other.pCapabilities);
  return *this;
}

void DeviceRecord::Release() {
  if (!ref.IsNull()) ReleaseDevice(ref);
  ref = DeviceRef{};
  pInterface.reset();
}

bool DeviceRecord::IsValid() const {
  return dwSignature == kDeviceRecordSignature && !ref.IsNull() && pInterface != nullptr;
}

// ---- enumeration ----

std::uint32_t EnumerateAudioDevices(std::vector<CandidateEntry>& out) {
  out.clear();
  auto backend = UsbBackend();
  if (!backend) return kErrPathNotFound;
  backend->Poll();  // let the backend notice devices that came or went meanwhile
  std::vector<usb::UsbFunction> functions;
  const std::uint32_t rc = backend->EnumerateFunctions(functions);
  if (rc != 0) return rc;
  for (std::size_t i = 0; i < functions.size(); ++i) {
    const usb::UsbFunction& f = functions[i];
    if (f.problem) continue;
    CandidateEntry e;
    e.functionInstance = f.instanceId;
    e.deviceInstance = f.instanceId;
    e.name = CutUtf8(f.friendlyName.empty() ? StrFormat("Usb Video Device #%d", static_cast<int>(i + 1)) : f.friendlyName,
                     kMaxNameBytes);
    e.deviceId = CutUtf8(CutBeforeMi(f.instanceId), kMaxNameBytes);
    e.locationPath = CutUtf8(f.locationPath, kMaxLocationBytes);
    out.push_back(std::move(e));
  }
  if (out.empty()) return usb::kErrNoMoreItems;

  // Fix-up: tie each entry to its USB device, matching by the function's ID and the device's
  // location path, so that two identical devices on different ports stay apart.
  std::vector<std::string> seen;
  for (const usb::UsbFunction& f : functions) {
    if (f.problem || std::find(seen.begin(), seen.end(), f.deviceInstance) != seen.end()) continue;
    seen.push_back(f.deviceInstance);
    usb::UsbNode node;
    const std::string path = backend->GetNode(f.deviceInstance, node) == 0 && !node.locationPath.empty()
                                 ? node.locationPath
                                 : f.locationPath;
    for (CandidateEntry& e : out) {
      if (ContainsNoCase(f.deviceInstance, e.deviceId) && LocationPathContains(e.locationPath, path)) {
        e.deviceInstance = f.deviceInstance;
        break;
      }
    }
  }
  return 0;
}

std::uint32_t OpenDeviceRecord(const std::string& instance, DeviceRecord& out) {
  out = DeviceRecord{};
  out.dwSignature = kDeviceRecordSignature;
  out.strOpenedInstance = instance;
  auto backend = UsbBackend();
  if (!backend) return kErrPathNotFound;

  usb::UsbNode node;
  if (const std::uint32_t rc = backend->GetNode(instance, node)) return rc;
  out.dwClassKind = node.className.size() >= 2 && EqualsNoCase(std::string_view(node.className).substr(0, 2), "US") ? 1 : 0;
  out.strName = CutUtf8(node.friendlyName.empty() ? node.description : node.friendlyName, kMaxNameBytes);
  out.dwBusAddress = node.busAddress;
  out.strLocationPath = CutUtf8(node.locationPath, kMaxLocationBytes);

  // An interface of a composite device: remember the interface number, open its parent.
  std::string device = instance;
  if (ContainsNoCase(instance, "MI_")) {
    out.byInterfaceNumber = InterfaceNumberFromId(instance);
    if (node.parentInstance.empty()) return usb::kErrNotFound;
    device = node.parentInstance;
  }
  out.strDeviceInstance = device;

  std::unique_ptr<usb::IUsbDevice> opened;
  if (const std::uint32_t rc = backend->Open(device, opened)) return rc;
  if (!opened) return usb::kErrGenFailure;
  out.pInterface = std::move(opened);
  if (const std::uint32_t rc = BindDevice(device, out.pInterface, out.ref)) {
    out.Release();
    return rc;
  }

  // Ancestors up to the root hub.
  std::string current = device;
  bool rootFound = false;
  for (std::size_t step = 0; step < kMaxAncestors && !rootFound; ++step) {
    usb::UsbNode n;
    if (backend->GetNode(current, n) != 0 || n.parentInstance.empty()) break;
    out.ancestors.push_back(n.parentInstance);
    if (IsRootHub(n.parentInstance)) {
      out.dwRootHubClass = RootHubClass(n.parentInstance);
      rootFound = true;
    }
    current = n.parentInstance;
  }
  if (!rootFound) {
    out.Release();
    return usb::kErrNotFound;
  }

  // Wait for the device to answer its device descriptor while it reports "not ready".
  IClock& clock = Clock();
  const std::uint64_t start = clock.NowMs();
  for (;;) {
    std::array<std::uint8_t, 18> desc{};
    const std::uint32_t rc = GetDescriptor(out.ref, kDescDevice, 0, 0, desc);
    if (rc != usb::kErrNotReady || clock.NowMs() - start >= kAnswerLimitMs) break;
    clock.Sleep(kAnswerPollMs);
  }
  return 0;
}

bool QueryCapabilities(DeviceRecord& record, bool refresh) {
  if (record.pCapabilities && !refresh) return true;
  auto caps = std::make_shared<CapabilityRecord>();
  caps->deviceDescriptor.assign(18, 0);
  if (GetDescriptor(record.ref, kDescDevice, 0, 0, caps->deviceDescriptor) != 0) return false;
  std::array<std::uint8_t, 9> head{};
  if (GetDescriptor(record.ref, kDescConfiguration, 0, 0, head) != 0) return false;
  const std::uint16_t total = ReadLE16(head, 2);
  if (total < head.size()) return false;
  caps->configDescriptor.assign(total, 0);
  if (GetDescriptor(record.ref, kDescConfiguration, 0, 0, caps->configDescriptor) != 0) return false;

  const int unit = FindExtensionUnit(caps->configDescriptor);
  if (unit >= 0) {
    caps->bHasExtensionUnit = true;
    caps->byExtensionUnitId = static_cast<std::uint8_t>(unit);
    bool pagesRead = true;
    for (std::uint32_t page = 0; page < kStatusProbePages && pagesRead; ++page) {
      std::uint32_t got = 0;
      std::span<std::uint8_t> slot(caps->statusPage.data() + page * 8, 8);
      pagesRead = VendorRequest(record.ref, 0xC0, 0x07, static_cast<std::uint16_t>(page), 0, slot, true, &got) == 0 &&
                  got == 8;
    }
    if (pagesRead && std::equal(kQualifySignature.begin(), kQualifySignature.end(), caps->statusPage.begin() + 24)) {
      caps->bVendorRequests = true;
      caps->bAccepted = true;
    } else {
      caps->bVendorRequests = false;
      std::uint8_t one = 0;
      caps->bOneByteProbe = VendorRequest(record.ref, 0x40, 0x06, 0, 0, std::span<std::uint8_t>(&one, 1), true) == 0;
    }
  }
  record.pCapabilities = std::move(caps);
  return true;
}

std::uint32_t ReadStringDescriptor(const DeviceRecord& record, std::uint8_t index, std::string& out) {
  out.clear();
  if (index == 0) return 0;
  std::array<std::uint8_t, 256> buf{};
  std::uint32_t got = 0;
  if (const std::uint32_t rc = GetDescriptor(record.ref, kDescString, index, kLangEnUs, buf, &got)) return rc;
  const std::size_t len = std::min<std::size_t>({buf[0], got, buf.size()});
  if (len < 2) return 0;
  const std::size_t units = (len - 2) / 2;
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t cp = ReadLE16(buf, 2 + 2 * i);
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < units) {
      const std::uint32_t lo = ReadLE16(buf, 2 + 2 * (i + 1));
      if (lo >= 0xDC00 && lo < 0xE000) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
        ++i;
      } else {
        cp = 0xFFFD;
      }
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;
    }
    AppendUtf8(out, cp);
  }
  return 0;
}

std::uint32_t GetBusAddressAndHub(const std::string& instance, std::uint32_t& busAddress, std::string& hubInstance) {
  busAddress = 0;
  hubInstance.clear();
  auto backend = UsbBackend();
  if (!backend) return kErrPathNotFound;
  usb::UsbNode node;
  if (const std::uint32_t rc = backend->GetNode(instance, node)) return rc;
  busAddress = node.busAddress;
  if (ContainsNoCase(instance, "MI_")) {
    usb::UsbNode parent;
    if (node.parentInstance.empty()) return usb::kErrNotFound;
    if (const std::uint32_t rc = backend->GetNode(node.parentInstance, parent)) return rc;
    node = parent;
  }
  hubInstance = node.parentInstance;
  return 0;
}

}  // namespace drover
