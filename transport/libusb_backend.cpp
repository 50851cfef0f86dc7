#include "transport/libusb_backend.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "base/debug_channel.h"
#include "base/strfmt.h"

namespace drover {
namespace {

constexpr LibusbErrorRow kErrorTable[] = {
    {LIBUSB_ERROR_NO_DEVICE, usb::kErrDeviceNotConnected},
    {LIBUSB_ERROR_TIMEOUT, usb::kErrTimeout},
    {LIBUSB_ERROR_PIPE, usb::kErrGenFailure},
    {LIBUSB_ERROR_BUSY, usb::kErrBusy},
    {LIBUSB_ERROR_ACCESS, usb::kErrAccessDenied},
    {LIBUSB_ERROR_NOT_FOUND, usb::kErrNotFound},
    {LIBUSB_ERROR_INVALID_PARAM, usb::kErrInvalidParameter},
    {LIBUSB_ERROR_IO, usb::kErrIoDevice},
};

constexpr std::uint8_t kClassAudio = 1;
constexpr std::uint8_t kSubclassAudioControl = 1;
constexpr int kMaxPorts = 7;

// Where a device sits: bus number and port chain from the root hub.
struct Place {
  std::uint8_t bus = 0;
  std::vector<std::uint8_t> ports;
  bool operator<(const Place& o) const { return bus != o.bus ? bus < o.bus : ports < o.ports; }
  bool operator==(const Place& o) const { return bus == o.bus && ports == o.ports; }
};

Place PlaceOf(libusb_device* dev) {
  Place p;
  p.bus = libusb_get_bus_number(dev);
  std::uint8_t ports[kMaxPorts];
  const int n = libusb_get_port_numbers(dev, ports, kMaxPorts);
  if (n > 0) p.ports.assign(ports, ports + n);
  return p;
}

// "1-2.3": bus, then the port chain (the kernel's own name of the device).
std::string PortText(const Place& p) {
  std::string s = StrFormat("%u-", static_cast<unsigned>(p.bus));
  for (std::size_t i = 0; i < p.ports.size(); ++i) {
    if (i) s += '.';
    s += StrFormat("%u", static_cast<unsigned>(p.ports[i]));
  }
  return s;
}

std::string LocationPath(const Place& p) {
  std::string s = StrFormat("USBROOT(%u)", static_cast<unsigned>(p.bus));
  for (std::uint8_t port : p.ports) s += StrFormat("#USB(%u)", static_cast<unsigned>(port));
  return s;
}

std::string IdsOf(const libusb_device_descriptor& d) {
  return StrFormat("USB\\VID_%04X&PID_%04X", d.idVendor, d.idProduct);
}

// What one USB device looks like in the device tree.
struct DeviceView {
  libusb_device* dev = nullptr;  // referenced while the view lives in a Scan
  Place place;
  libusb_device_descriptor desc{};
  bool rootHub = false;
  bool composite = false;          // more than one interface
  std::vector<std::uint8_t> audio;  // audio-control interface numbers
  std::string deviceInstance;
  std::string rootHubInstance;  // of its bus

  std::string FunctionInstance(std::uint8_t iface) const {
    if (!composite) return deviceInstance;
    return StrFormat("%s&MI_%02X\\%s:1.%u", IdsOf(desc).c_str(), iface, PortText(place).c_str(),
                     static_cast<unsigned>(iface));
  }
};

// One look at the bus: every device with its identity texts.
class Scan {
 public:
  explicit Scan(libusb_context* ctx) {
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    if (n < 0) return;
    std::map<std::uint8_t, std::string> rootHubs;
    for (ssize_t i = 0; i < n; ++i) {
      DeviceView v;
      v.dev = libusb_ref_device(list[i]);
      v.place = PlaceOf(v.dev);
      if (libusb_get_device_descriptor(v.dev, &v.desc) != 0) {
        libusb_unref_device(v.dev);
        continue;
      }
      v.rootHub = v.place.ports.empty();
      if (v.rootHub) {
        const int speed = libusb_get_device_speed(v.dev);
        rootHubs[v.place.bus] = StrFormat("USB\\%s\\%u", speed >= LIBUSB_SPEED_SUPER ? "ROOT_HUB30" : "ROOT_HUB20",
                                          static_cast<unsigned>(v.place.bus));
      }
      libusb_config_descriptor* cfg = nullptr;
      if (!v.rootHub && (libusb_get_active_config_descriptor(v.dev, &cfg) == 0 ||
                         libusb_get_config_descriptor(v.dev, 0, &cfg) == 0)) {
        v.composite = cfg->bNumInterfaces > 1;
        for (int k = 0; k < cfg->bNumInterfaces; ++k) {
          const libusb_interface& itf = cfg->interface[k];
          if (itf.num_altsetting < 1) continue;
          const libusb_interface_descriptor& alt = itf.altsetting[0];
          if (alt.bInterfaceClass == kClassAudio && alt.bInterfaceSubClass == kSubclassAudioControl)
            v.audio.push_back(alt.bInterfaceNumber);
        }
        libusb_free_config_descriptor(cfg);
      }
      v.deviceInstance = IdsOf(v.desc) + "\\" + PortText(v.place);
      m_views.push_back(std::move(v));
    }
    libusb_free_device_list(list, 1);
    for (DeviceView& v : m_views) {
      auto it = rootHubs.find(v.place.bus);
      v.rootHubInstance = it != rootHubs.end() ? it->second : StrFormat("USB\\ROOT_HUB20\\%u", static_cast<unsigned>(v.place.bus));
      if (v.rootHub) v.deviceInstance = v.rootHubInstance;
    }
    std::sort(m_views.begin(), m_views.end(), [](const DeviceView& a, const DeviceView& b) { return a.place < b.place; });
  }
  ~Scan() {
    for (DeviceView& v : m_views) libusb_unref_device(v.dev);
  }
  Scan(const Scan&) = delete;
  Scan& operator=(const Scan&) = delete;

  const std::vector<DeviceView>& Views() const { return m_views; }

  const DeviceView* ByPlace(const Place& p) const {
    for (const DeviceView& v : m_views) {
      if (v.place == p) return &v;
    }
    return nullptr;
  }
  // The device an instance belongs to, and the audio interface when it names a function.
  const DeviceView* Find(const std::string& instance, int* iface = nullptr) const {
    for (const DeviceView& v : m_views) {
      if (EqualsNoCase(instance, v.deviceInstance)) {
        if (iface) *iface = -1;
        return &v;
      }
      for (std::uint8_t a : v.audio) {
        if (v.composite && EqualsNoCase(instance, v.FunctionInstance(a))) {
          if (iface) *iface = a;
          return &v;
        }
      }
    }
    return nullptr;
  }
  std::string ParentOf(const DeviceView& v) const {
    if (v.rootHub) return {};
    if (v.place.ports.size() <= 1) return v.rootHubInstance;
    Place parent = v.place;
    parent.ports.pop_back();
    const DeviceView* hub = ByPlace(parent);
    return hub ? hub->deviceInstance : v.rootHubInstance;
  }

 private:
  std::vector<DeviceView> m_views;
};

// The raw descriptors the kernel read at enumeration, from sysfs: no bus traffic.
bool ReadSysfsDescriptors(const Place& p, std::vector<std::uint8_t>& dev, std::vector<std::uint8_t>& config) {
  std::ifstream in("/sys/bus/usb/devices/" + PortText(p) + "/descriptors", std::ios::binary);
  if (!in) return false;
  std::vector<std::uint8_t> all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (all.size() < 18 + 9 || all[0] != 18 || all[1] != 1 || all[19] != 2) return false;
  const std::size_t total = static_cast<std::size_t>(all[20] | (all[21] << 8));
  if (total < 9 || 18 + total > all.size()) return false;
  dev.assign(all.begin(), all.begin() + 18);
  config.assign(all.begin() + 18, all.begin() + 18 + static_cast<std::ptrdiff_t>(total));
  return true;
}

class LibusbDevice final : public usb::IUsbDevice {
 public:
  LibusbDevice(libusb_device_handle* handle, Place place) : m_handle(handle), m_place(std::move(place)) {
    // The audio driver gives the interface up while Drover holds it and gets it back on release.
    libusb_set_auto_detach_kernel_driver(m_handle, 1);
  }
  ~LibusbDevice() override {
    for (int iface : m_claimed) libusb_release_interface(m_handle, iface);
    libusb_close(m_handle);
  }

  std::uint32_t ControlTransfer(const usb::UsbSetup& setup, std::span<std::uint8_t> data, bool dirIn,
                                std::uint32_t timeoutMs, std::uint32_t& transferred) override {
    transferred = 0;
    if (data.size() > 0xFFFF) return usb::kErrInvalidParameter;
    const auto type = static_cast<std::uint8_t>((setup.bmRequestType & 0x7F) | (dirIn ? 0x80 : 0));
    if ((type & 0x1F) == LIBUSB_RECIPIENT_INTERFACE) {
      const int iface = setup.wIndex & 0xFF;
      if (!m_claimed.count(iface)) {
        const int rc = libusb_claim_interface(m_handle, iface);
        if (rc != 0) {
          if (rc == LIBUSB_ERROR_ACCESS || rc == LIBUSB_ERROR_BUSY) {
            OutputDebugString(StrFormat("Cannot claim interface %d of the USB device on bus %u port %s: %s\n", iface,
                                        static_cast<unsigned>(m_place.bus), PortText(m_place).c_str(),
                                        libusb_error_name(rc)));
          }
          return MapLibusbError(rc);
        }
        m_claimed.insert(iface);
      }
    }
    const int rc = libusb_control_transfer(m_handle, type, setup.bRequest, setup.wValue, setup.wIndex, data.data(),
                                           static_cast<std::uint16_t>(data.size()), timeoutMs);
    if (rc < 0) return MapLibusbError(rc);
    transferred = static_cast<std::uint32_t>(rc);
    return 0;
  }

  bool CachedDescriptors(std::vector<std::uint8_t>& deviceDescriptor,
                         std::vector<std::uint8_t>& configDescriptor) override {
    return ReadSysfsDescriptors(m_place, deviceDescriptor, configDescriptor);
  }

 private:
  libusb_device_handle* m_handle;
  Place m_place;
  std::set<int> m_claimed;
};

class LibusbBackend final : public usb::IUsbBackend {
 public:
  explicit LibusbBackend(libusb_context* ctx) : m_ctx(ctx) {}
  ~LibusbBackend() override {
    StopEvents();
    libusb_exit(m_ctx);
  }

  std::uint32_t EnumerateFunctions(std::vector<usb::UsbFunction>& out) override {
    out.clear();
    Scan scan(m_ctx);
    for (const DeviceView& v : scan.Views()) {
      for (std::uint8_t iface : v.audio) {
        usb::UsbFunction f;
        f.instanceId = v.FunctionInstance(iface);
        f.deviceInstance = v.deviceInstance;
        f.locationPath = LocationPath(v.place);
        out.push_back(std::move(f));
      }
    }
    return out.empty() ? usb::kErrNoMoreItems : 0;
  }

  std::uint32_t GetNode(const std::string& instanceId, usb::UsbNode& out) override {
    out = usb::UsbNode{};
    Scan scan(m_ctx);
    int iface = -1;
    const DeviceView* v = scan.Find(instanceId, &iface);
    if (!v) {
      for (const DeviceView& r : scan.Views()) {
        if (EqualsNoCase(instanceId, r.rootHubInstance)) {
          out.instanceId = r.rootHubInstance;
          out.className = "USB";
          out.description = "USB Root Hub";
          out.locationPath = LocationPath(Place{r.place.bus, {}});
          return 0;
        }
      }
      return usb::kErrNotFound;
    }
    const std::string ids = IdsOf(v->desc);
    const std::string rev = StrFormat("&REV_%04X", v->desc.bcdDevice);
    out.instanceId = iface >= 0 ? v->FunctionInstance(static_cast<std::uint8_t>(iface)) : v->deviceInstance;
    out.parentInstance = iface >= 0 ? v->deviceInstance : scan.ParentOf(*v);
    const bool hub = v->desc.bDeviceClass == LIBUSB_CLASS_HUB;
    out.className = hub || (v->composite && iface < 0) ? "USB" : "MEDIA";
    out.description = hub ? "Generic USB Hub" : (v->composite && iface < 0 ? "USB Composite Device" : "USB Audio Device");
    out.busAddress = v->place.ports.empty() ? 0 : v->place.ports.back();
    out.locationPath = LocationPath(v->place);
    // The kernel gives a device a new address each time it enumerates.
    out.objectName = StrFormat("\\Device\\USBPDO-%u-%u", static_cast<unsigned>(v->place.bus),
                               static_cast<unsigned>(libusb_get_device_address(v->dev)));
    const std::string mi = iface >= 0 ? StrFormat("&MI_%02X", iface) : std::string();
    out.hardwareIds = {ids + rev + mi, ids + mi};
    return 0;
  }

  std::uint32_t Open(const std::string& deviceInstance, std::unique_ptr<usb::IUsbDevice>& out) override {
    Scan scan(m_ctx);
    const DeviceView* v = scan.Find(deviceInstance);
    if (!v || v->rootHub) return usb::kErrNotFound;
    libusb_device_handle* handle = nullptr;
    const int rc = libusb_open(v->dev, &handle);
    if (rc != 0) {
      if (rc == LIBUSB_ERROR_ACCESS) {
        OutputDebugString(StrFormat("Permission denied opening the USB device on bus %u port %s (%s); install the "
                                    "udev rule or run with access to /dev/bus/usb\n",
                                    static_cast<unsigned>(v->place.bus), PortText(v->place).c_str(),
                                    deviceInstance.c_str()));
      }
      return MapLibusbError(rc);
    }
    out = std::make_unique<LibusbDevice>(handle, v->place);
    return 0;
  }

  int Subscribe(std::function<void(const std::string&, usb::HotplugEvent)> callback) override {
    std::lock_guard<std::mutex> g(m_subLock);
    const int handle = ++m_nextHandle;
    m_subscribers[handle] = std::move(callback);
    StartEventsLocked();
    return handle;
  }

  void Unsubscribe(int handle) override {
    std::lock_guard<std::mutex> g(m_subLock);
    m_subscribers.erase(handle);
  }

 private:
  // libusb calls this with its own locks held: the event is only queued here and delivered
  // by the event thread once libusb has returned.
  static int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device* dev, libusb_hotplug_event event, void* self) {
    auto* me = static_cast<LibusbBackend*>(self);
    libusb_device_descriptor d{};
    libusb_get_device_descriptor(dev, &d);
    const auto what = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? usb::HotplugEvent::Arrived : usb::HotplugEvent::Left;
    std::lock_guard<std::mutex> g(me->m_subLock);
    me->m_pending.emplace_back(IdsOf(d) + "\\" + PortText(PlaceOf(dev)), what);
    return 0;
  }

  void DeliverPending() {
    std::vector<std::pair<std::string, usb::HotplugEvent>> events;
    std::vector<std::function<void(const std::string&, usb::HotplugEvent)>> targets;
    {
      std::lock_guard<std::mutex> g(m_subLock);
      events.swap(m_pending);
      for (auto& [h, cb] : m_subscribers) targets.push_back(cb);
    }
    for (const auto& [instance, what] : events) {
      for (auto& cb : targets) cb(instance, what);
    }
  }

  void StartEventsLocked() {
    if (m_eventsStarted || !libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) return;
    const int rc = libusb_hotplug_register_callback(
        m_ctx, static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, &OnHotplug,
        this, &m_hotplug);
    if (rc != 0) return;
    m_eventsStarted = true;
    m_stop = false;
    m_thread = std::thread([this] {
      while (!m_stop.load()) {
        timeval tv{0, 200000};
        libusb_handle_events_timeout_completed(m_ctx, &tv, nullptr);
        DeliverPending();
      }
    });
  }

  void StopEvents() {
    {
      std::lock_guard<std::mutex> g(m_subLock);
      if (!m_eventsStarted) return;
      m_eventsStarted = false;
    }
    libusb_hotplug_deregister_callback(m_ctx, m_hotplug);
    m_stop = true;
    libusb_interrupt_event_handler(m_ctx);
    if (m_thread.joinable()) m_thread.join();
  }

  libusb_context* m_ctx;
  std::mutex m_subLock;
  std::map<int, std::function<void(const std::string&, usb::HotplugEvent)>> m_subscribers;
  std::vector<std::pair<std::string, usb::HotplugEvent>> m_pending;
  int m_nextHandle = 0;
  bool m_eventsStarted = false;
  libusb_hotplug_callback_handle m_hotplug = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

}  // namespace

std::uint32_t MapLibusbError(int libusbError) {
  for (const LibusbErrorRow& row : kErrorTable) {
    if (row.libusbError == libusbError) return row.systemError;
  }
  return usb::kErrGenFailure;
}

std::span<const LibusbErrorRow> LibusbErrorTable() { return kErrorTable; }

namespace {
// libusb's own warnings and errors belong in the debug channel with Drover's diagnostics.
void LIBUSB_CALL ToDebugChannel(libusb_context*, enum libusb_log_level, const char* text) {
  if (text) OutputDebugString(text);
}
}  // namespace

std::shared_ptr<usb::IUsbBackend> CreateLibusbBackend() {
  libusb_context* ctx = nullptr;
  const int rc = libusb_init(&ctx);
  if (rc != 0) {
    OutputDebugString(StrFormat("libusb cannot start: %s\n", libusb_error_name(rc)));
    return nullptr;
  }
  libusb_set_log_cb(ctx, &ToDebugChannel, LIBUSB_LOG_CB_CONTEXT);
  libusb_set_option(ctx, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_WARNING);
  return std::make_shared<LibusbBackend>(ctx);
}

}  // namespace drover
