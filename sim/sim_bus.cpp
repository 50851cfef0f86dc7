#include "sim/sim_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "base/clock.h"
#include "base/strfmt.h"
#include "sim/sim_chip.h"
#include "sim/sim_record.h"
#include "sim/usb_identity.h"

namespace drover::sim {

namespace {

constexpr const char* kBusFile = "bus.txt";
constexpr const char* kCounterFile = "counter";
constexpr const char* kEventsFile = "events";

// A file descriptor closed on destruction.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : m_fd(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& o) noexcept : m_fd(o.m_fd) { o.m_fd = -1; }
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      Reset();
      m_fd = o.m_fd;
      o.m_fd = -1;
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return m_fd; }
  bool Valid() const { return m_fd >= 0; }
  void Reset() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd = -1;
};

// An exclusive advisory lock on an open file, held for one operation.
class FileLock {
 public:
  explicit FileLock(int fd) : m_fd(fd) {
    while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~FileLock() { ::flock(m_fd, LOCK_UN); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int m_fd;
};

// A memory file mapped shared, so that every process sees the same bytes.
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile() { Unmap(); }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Opens (creating it filled with `fill` when missing or short) and maps size bytes.
  bool Map(const std::string& path, std::size_t size, std::uint8_t fill) {
    Unmap();
    if (size == 0) return true;
    Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.Valid()) return false;
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) return false;
    const std::size_t have = static_cast<std::size_t>(st.st_size);
    if (have < size) {
      if (::ftruncate(fd.Get(), static_cast<off_t>(size)) != 0) return false;
    }
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0);
    if (p == MAP_FAILED) return false;
    m_data = static_cast<std::uint8_t*>(p);
    m_size = size;
    if (have < size && fill != 0) std::memset(m_data + have, fill, size - have);
    return true;
  }
  void Unmap() {
    if (m_data) ::munmap(m_data, m_size);
    m_data = nullptr;
    m_size = 0;
  }
  std::span<std::uint8_t> Span() { return {m_data, m_size}; }

 private:
  std::uint8_t* m_data = nullptr;
  std::size_t m_size = 0;
};

bool ReadWholeFd(int fd, std::string& out) {
  out.clear();
  char buf[4096];
  off_t at = 0;
  for (;;) {
    const ssize_t n = ::pread(fd, buf, sizeof buf, at);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    out.append(buf, static_cast<std::size_t>(n));
    at += n;
  }
}

bool WriteWholeFd(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return ::ftruncate(fd, static_cast<off_t>(text.size())) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool OwnerAlive(const std::string& owner) {
  const int pid = std::atoi(owner.c_str());
  if (pid <= 0) return false;
  if (pid == ::getpid()) return true;
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

std::uint32_t ImageFlashOffset(std::uint8_t chipCode, std::size_t length) {
  if (chipCode == 23) return 0x10000;
  if (chipCode == 26) return static_cast<std::uint32_t>(length);
  return 0;
}

bool HasNewline(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

bool PortsClash(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  const std::size_t n = std::min(a.size(), b.size());
  return std::equal(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n), b.begin());
}

}  // namespace

struct SimSlot {
  int number = 0;
  Fd fd;
  std::string text;  // the record text as last read or written
  DeviceRecord rec;
  bool loaded = false;
  bool mapped = false;
  MappedFile flash, eeprom, otp, regs, aux;
  bool snapshot = false;
  bool lastPresent = false;
  std::uint64_t lastGeneration = 0;
  bool recording = false;
  std::vector<TransferRecord> log;

  bool Present() const { return rec.presence.plugged && !rec.presence.resetPending; }
  ChipMemories Memories() {
    return {flash.Span(), eeprom.Span(), otp.Span(), regs.Span(), aux.Span()};
  }
};

using HotplugCallback = std::function<void(const std::string&, usb::HotplugEvent)>;
using EventList = std::vector<std::pair<std::string, usb::HotplugEvent>>;

class SimBusImpl {
 public:
  std::string dir;
  std::string token;
  std::recursive_mutex mutex;
  std::map<int, std::unique_ptr<SimSlot>> slots;
  Fd busFd;
  std::mutex subscriberLock;
  std::map<int, HotplugCallback> subscribers;
  int nextHandle = 1;
  std::thread watcher;
  Fd stopFd;
  std::atomic<bool> watching{false};
  bool opened = false;  // the devices present at opening are known

  std::string Path(const std::string& name) const { return dir + "/" + name; }
  std::string DevPath(int n, const char* ext) const { return Path(StrFormat("dev%d.%s", n, ext)); }

  int ReadDeviceCount() {
    std::lock_guard<std::recursive_mutex> guard(mutex);
    std::string text;
    {
      FileLock lock(busFd.Get());
      if (!ReadWholeFd(busFd.Get(), text)) return 0;
    }
    const std::size_t at = text.find("devices: ");
    if (at == std::string::npos) return 0;
    return std::atoi(text.c_str() + at + 9);
  }

  std::string NewObjectName() {
    Fd fd(::open(Path(kCounterFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    std::uint64_t value = 1;
    if (fd.Valid()) {
      FileLock lock(fd.Get());
      std::string text;
      ReadWholeFd(fd.Get(), text);
      value = std::strtoull(text.c_str(), nullptr, 10) + 1;
      WriteWholeFd(fd.Get(), StrFormat("%llu\n", static_cast<unsigned long long>(value)));
    }
    return StrFormat("\\Device\\USBPDO-%llu", static_cast<unsigned long long>(value));
  }

  void TouchEvents() {
    Fd fd(::open(Path(kEventsFile).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.Valid()) {
      const std::string text = StrFormat("%llu\n", static_cast<unsigned long long>(Clock().NowMs()));
      (void)!::write(fd.Get(), text.data(), text.size());
    }
  }

  SimSlot* GetSlot(int n) {
    auto it = slots.find(n);
    if (it != slots.end()) return it->second.get();
    if (n < 0) return nullptr;
    Fd fd(::open(DevPath(n, "txt").c_str(), O_RDWR | O_CLOEXEC));
    if (!fd.Valid()) return nullptr;
    auto slot = std::make_unique<SimSlot>();
    slot->number = n;
    slot->fd = std::move(fd);
    SimSlot* raw = slot.get();
    slots[n] = std::move(slot);
    return raw;
  }

  bool Load(SimSlot& s) {
    std::string text;
    if (!ReadWholeFd(s.fd.Get(), text)) return false;
    if (s.loaded && text == s.text) return true;
    DeviceRecord rec;
    if (!ParseRecord(text, rec)) return false;
    s.rec = std::move(rec);
    s.text = std::move(text);
    s.loaded = true;
    return true;
  }

  bool MapMemories(SimSlot& s) {
    if (s.mapped) return true;
    const DeviceOptions& o = s.rec.options;
    const bool flash = o.memory == MemoryKind::Spi || o.memory == MemoryKind::Nor;
    const bool eeprom = o.memory == MemoryKind::Eeprom8 || o.memory == MemoryKind::Eeprom16;
    const bool otp = o.memory == MemoryKind::Otp || o.hasOtp;
    const int n = s.number;
    if (!s.flash.Map(DevPath(n, "flash"), flash ? o.flashSize : 0, 0xFF) ||
        !s.eeprom.Map(DevPath(n, "eeprom"), eeprom ? o.eepromSize : 0, 0xFF) ||
        !s.otp.Map(DevPath(n, "otp"), otp ? kOtpSize : 0, 0x00) || !s.regs.Map(DevPath(n, "regs"), kRegsSize, 0) ||
        !s.aux.Map(DevPath(n, "aux"), kAuxSize, 0))
      return false;
    s.mapped = true;
    return true;
  }

  void Save(SimSlot& s) {
    std::string text = SerializeRecord(s.rec);
    if (text != s.text) {
      WriteWholeFd(s.fd.Get(), text);
      s.text = std::move(text);
    }
  }

  // A device away after a reset comes back once its delay has passed on this process's clock,
  // or at once when the reset was sent by a bus object that is gone (another process).
  bool CompleteReturnIfDue(SimSlot& s, bool anyOwner) {
    Presence& p = s.rec.presence;
    if (!p.resetPending) return false;
    bool due;
    if (p.owner == token) {
      const std::uint64_t now = Clock().NowMs();
      due = now >= p.returnAtMs || now < p.resetAtMs;
    } else {
      due = anyOwner || !OwnerAlive(p.owner);
    }
    if (!due) return false;
    SimChip chip(s.rec.options, s.rec.chip, s.rec.faults, s.Memories());
    chip.CompleteReset(p.resetType);
    p.resetPending = false;
    p.owner.clear();
    if (p.plugged) {
      ++p.generation;
      p.objectName = NewObjectName();
    }
    return true;
  }

  void Snapshot(SimSlot& s, EventList& events) {
    const bool present = s.Present();
    const std::uint64_t gen = s.rec.presence.generation;
    const std::string instance = DeviceInstanceId(s.rec.options);
    if (s.snapshot) {
      const bool changed = gen != s.lastGeneration;
      if (s.lastPresent && (!present || changed)) events.emplace_back(instance, usb::HotplugEvent::Left);
      if (present && (!s.lastPresent || changed)) events.emplace_back(instance, usb::HotplugEvent::Arrived);
    } else if (opened && present) {
      // A device added after this bus object was opened has arrived.
      events.emplace_back(instance, usb::HotplugEvent::Arrived);
    }
    s.snapshot = true;
    s.lastPresent = present;
    s.lastGeneration = gen;
  }

  // Runs fn on device n under the device's file lock, with its record loaded and saved after.
  // fn answers whether the presence changed (others are told through the events file).
  template <typename F>
  bool WithDevice(int n, EventList& events, F&& fn, bool anyOwner = false) {
    std::lock_guard<std::recursive_mutex> guard(mutex);
    SimSlot* s = GetSlot(n);
    if (!s) return false;
    bool touched = false;
    {
      FileLock lock(s->fd.Get());
      if (!Load(*s) || !MapMemories(*s)) return false;
      touched = CompleteReturnIfDue(*s, anyOwner);
      touched = fn(*s) || touched;
      Save(*s);
    }
    if (touched) TouchEvents();
    Snapshot(*s, events);
    return true;
  }

  void Fire(const EventList& events) {
    if (events.empty()) return;
    std::vector<HotplugCallback> callbacks;
    {
      std::lock_guard<std::mutex> g(subscriberLock);
      for (auto& [h, cb] : subscribers) callbacks.push_back(cb);
    }
    for (const auto& [instance, event] : events)
      for (auto& cb : callbacks) cb(instance, event);
  }

  int Add(const DeviceOptions& options, std::string* error, EventList& events);

  void RefreshAll(EventList& events, bool anyOwner = false) {
    const int count = ReadDeviceCount();
    for (int n = 0; n < count; ++n) WithDevice(n, events, [](SimSlot&) { return false; }, anyOwner);
  }

  void WatchLoop() {
    Fd inotify(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!inotify.Valid()) return;
    if (::inotify_add_watch(inotify.Get(), dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE) < 0) return;
    for (;;) {
      pollfd fds[2] = {{inotify.Get(), POLLIN, 0}, {stopFd.Get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents) return;
      if (!(fds[0].revents & POLLIN)) continue;
      alignas(inotify_event) char buf[4096];
      bool relevant = false;
      for (;;) {
        const ssize_t len = ::read(inotify.Get(), buf, sizeof buf);
        if (len <= 0) break;
        for (ssize_t at = 0; at < len;) {
          const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
          if (ev->len > 0) {
            const std::string name(ev->name);
            if (name == kEventsFile || name == kBusFile) relevant = true;
          }
          at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        }
      }
      if (relevant) {
        EventList events;
        RefreshAll(events);
        Fire(events);
      }
    }
  }

  void StartWatcher() {
    bool expected = false;
    if (!watching.compare_exchange_strong(expected, true)) return;
    stopFd = Fd(::eventfd(0, EFD_CLOEXEC));
    if (!stopFd.Valid()) return;
    watcher = std::thread([this] { WatchLoop(); });
  }

  void StopWatcher() {
    if (!watcher.joinable()) return;
    if (watcher.get_id() == std::this_thread::get_id()) {
      // The last owner let go inside a hot-plug callback: the loop ends on its own.
      const std::uint64_t one = 1;
      (void)!::write(stopFd.Get(), &one, sizeof one);
      watcher.detach();
      return;
    }
    const std::uint64_t one = 1;
    (void)!::write(stopFd.Get(), &one, sizeof one);
    watcher.join();
  }

  std::uint32_t Transfer(int n, std::uint64_t generation, const usb::UsbSetup& setup, std::span<std::uint8_t> data,
                         bool dirIn, std::uint32_t timeoutMs, std::uint32_t& transferred) {
    transferred = 0;
    std::uint32_t result = usb::kErrDeviceNotConnected;
    EventList events;
    WithDevice(n, events, [&](SimSlot& s) {
      Presence& p = s.rec.presence;
      if (!s.Present() || p.generation != generation) return false;
      usb::UsbSetup wire = setup;
      wire.bmRequestType = static_cast<std::uint8_t>((setup.bmRequestType & 0x7F) | (dirIn ? 0x80 : 0x00));
      TransferRecord record;
      if (s.recording && !dirIn) record.data.assign(data.begin(), data.end());
      SimChip chip(s.rec.options, s.rec.chip, s.rec.faults, s.Memories());
      const ChipReply reply = chip.Control(wire, data, dirIn, timeoutMs);
      result = reply.error;
      transferred = reply.transferred;
      if (s.recording) {
        record.bmRequestType = wire.bmRequestType;
        record.bRequest = wire.bRequest;
        record.wValue = wire.wValue;
        record.wIndex = wire.wIndex;
        record.wLength = static_cast<std::uint16_t>(data.size());
        record.error = reply.error;
        if (dirIn) record.data.assign(data.begin(), data.begin() + reply.transferred);
        s.log.push_back(std::move(record));
      }
      bool changed = false;
      if (reply.resetType != 0) {
        // The chip answers the reset, then drops off the bus for a while.
        p.resetPending = true;
        p.resetType = reply.resetType;
        p.resetAtMs = Clock().NowMs();
        p.returnAtMs = p.resetAtMs + s.rec.options.resetDelayMs;
        p.owner = token;
        p.objectName.clear();
        changed = true;
      }
      Faults& f = s.rec.faults;
      if (f.leaveAfter > 0 && --f.leaveAfter == 0) {
        f.leaveAfter = -1;
        p.plugged = false;
        p.objectName.clear();
        changed = true;
      }
      return changed;
    });
    Fire(events);
    return result;
  }
};

// An opened simulated device: transfers go to the device for as long as it stays on the bus
// in the enumeration it was opened in.
class SimUsbDevice final : public usb::IUsbDevice {
 public:
  SimUsbDevice(std::shared_ptr<SimBus> bus, int n, std::uint64_t generation, std::vector<std::uint8_t> dev,
               std::vector<std::uint8_t> config)
      : m_bus(std::move(bus)), m_n(n), m_generation(generation), m_dev(std::move(dev)), m_config(std::move(config)) {}

  std::uint32_t ControlTransfer(const usb::UsbSetup& setup, std::span<std::uint8_t> data, bool dirIn,
                                std::uint32_t timeoutMs, std::uint32_t& transferred) override {
    return m_bus->m_impl->Transfer(m_n, m_generation, setup, data, dirIn, timeoutMs, transferred);
  }
  bool CachedDescriptors(std::vector<std::uint8_t>& deviceDescriptor,
                         std::vector<std::uint8_t>& configDescriptor) override {
    deviceDescriptor = m_dev;
    configDescriptor = m_config;
    return true;
  }

 private:
  std::shared_ptr<SimBus> m_bus;
  int m_n;
  std::uint64_t m_generation;
  std::vector<std::uint8_t> m_dev, m_config;
};

SimBus::SimBus(std::unique_ptr<SimBusImpl> impl) : m_impl(std::move(impl)) {}

SimBus::~SimBus() { m_impl->StopWatcher(); }

std::shared_ptr<SimBus> SimBus::Open(const std::string& directory, bool create, std::string* error) {
  auto fail = [error](const std::string& text) -> std::shared_ptr<SimBus> {
    if (error) *error = text;
    return nullptr;
  };
  if (directory.empty()) return fail("no bus directory given");
  std::string dir = directory;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (!IsDirectory(dir)) {
    if (!create) return fail(StrFormat("bus directory %s does not exist", dir.c_str()));
    // Create the missing chain of directories.
    for (std::size_t at = 1; at <= dir.size(); ++at) {
      if (at == dir.size() || dir[at] == '/') {
        const std::string part = dir.substr(0, at);
        if (!IsDirectory(part) && ::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
          return fail(StrFormat("cannot create bus directory %s: %s", dir.c_str(), std::strerror(errno)));
      }
    }
  }
  auto impl = std::make_unique<SimBusImpl>();
  impl->dir = dir;
  const std::string busPath = impl->Path(kBusFile);
  Fd busFd(::open(busPath.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644));
  if (!busFd.Valid()) return fail(StrFormat("%s is not a simulated bus (no %s)", dir.c_str(), kBusFile));
  {
    FileLock lock(busFd.Get());
    std::string text;
    ReadWholeFd(busFd.Get(), text);
    if (text.empty()) {
      WriteWholeFd(busFd.Get(), "record: drover-sim bus\ndevices: 0\n");
    } else if (text.find("record: drover-sim bus") != 0) {
      return fail(StrFormat("%s is not a simulated bus file", busPath.c_str()));
    }
  }
  impl->busFd = std::move(busFd);
  std::random_device rd;
  impl->token = StrFormat("%d/%08x%08x", static_cast<int>(::getpid()), rd(), rd());
  std::shared_ptr<SimBus> bus(new SimBus(std::move(impl)));
  EventList events;
  bus->m_impl->RefreshAll(events, true);
  bus->m_impl->opened = true;
  return bus;
}

const std::string& SimBus::Directory() const { return m_impl->dir; }

int SimBus::AddDevice(const DeviceOptions& options, std::string* error) {
  EventList events;
  const int n = m_impl->Add(options, error, events);
  m_impl->Fire(events);
  return n;
}

int SimBusImpl::Add(const DeviceOptions& options, std::string* error, EventList& events) {
  auto fail = [error](const std::string& text) {
    if (error) *error = text;
    return -1;
  };
  DeviceOptions o = options;
  const SimIcType* ic = FindSimIcType(o.ic);
  if (!ic) return fail(StrFormat("unknown IC type %s", o.ic.c_str()));
  if (HasNewline(o.manufacturer) || HasNewline(o.product) || HasNewline(o.serial) || HasNewline(o.friendlyName) ||
      HasNewline(o.rootHub))
    return fail("identity texts must be single lines");
  if (o.flashSize < 0x10000 || o.flashSize > 0x4000000 || (o.flashSize & 0xFFF))
    return fail("flash size must be a multiple of 4 KiB between 64 KiB and 64 MiB");
  if (o.eepromSize == 0 || o.eepromSize > 0x1000000) return fail("EEPROM size must be between 1 byte and 16 MiB");
  if (o.maxDataControlSize < 8 || o.maxDataControlSize > 4096)
    return fail("largest data control size must be between 8 and 4096");
  if (o.ports.size() > 7) return fail("a port chain has at most 7 levels");
  for (std::uint8_t p : o.ports)
    if (p == 0) return fail("port numbers start at 1");
  if (o.unitId == 0) return fail("the extension unit ID must not be 0");
  if (o.memory == MemoryKind::Otp) o.hasOtp = true;
  std::vector<std::uint8_t> image = std::move(o.image);
  o.image.clear();
  if (!image.empty()) {
    const std::size_t len = image.size();
    switch (o.memory) {
      case MemoryKind::Spi:
      case MemoryKind::Nor: {
        const std::uint32_t at = ImageFlashOffset(ic->chipCode, len);
        if (at + len > o.flashSize) return fail("the image does not fit into the flash");
        break;
      }
      case MemoryKind::Eeprom8:
      case MemoryKind::Eeprom16:
        if (len > o.eepromSize) return fail("the image does not fit into the EEPROM");
        break;
      case MemoryKind::Otp:
        if (len > 0x3F60) return fail("the image does not fit into the OTP code area");
        break;
    }
  }

  std::lock_guard<std::recursive_mutex> guard(mutex);
  FileLock busLock(busFd.Get());
  std::string busText;
  ReadWholeFd(busFd.Get(), busText);
  const std::size_t at = busText.find("devices: ");
  const int count = at == std::string::npos ? 0 : std::atoi(busText.c_str() + at + 9);

  // Ports in use on the same bus (a device behind a hub and the hub's own port clash too).
  std::vector<std::vector<std::uint8_t>> used;
  for (int n = 0; n < count; ++n) {
    SimSlot* s = GetSlot(n);
    if (!s) continue;
    FileLock lock(s->fd.Get());
    if (Load(*s) && s->rec.options.bus == o.bus) used.push_back(s->rec.options.ports);
  }
  if (o.ports.empty()) {
    for (std::uint8_t p = 1; p < 255 && o.ports.empty(); ++p) {
      const std::vector<std::uint8_t> chain{p};
      if (std::none_of(used.begin(), used.end(), [&](const auto& u) { return PortsClash(u, chain); }))
        o.ports = chain;
    }
  }
  for (const auto& u : used)
    if (PortsClash(u, o.ports)) return fail(StrFormat("port %s is in use", PortText(o).c_str()));

  const int n = count;
  // Remove leftovers of an earlier bus with the same number.
  for (const char* ext : {"flash", "eeprom", "otp", "regs", "aux"}) ::unlink(DevPath(n, ext).c_str());
  Fd fd(::open(DevPath(n, "txt").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.Valid()) return fail(StrFormat("cannot create the record of device %d: %s", n, std::strerror(errno)));
  auto slot = std::make_unique<SimSlot>();
  slot->number = n;
  slot->fd = std::move(fd);
  slot->rec.number = n;
  slot->rec.options = o;
  slot->rec.chip.otpLocked = o.otpLocked;
  slot->rec.faults.signature = o.signature;
  slot->loaded = true;
  if (!MapMemories(*slot)) return fail("cannot create the memory files");

  auto mem = slot->Memories();
  if (!image.empty()) {
    switch (o.memory) {
      case MemoryKind::Spi:
      case MemoryKind::Nor: {
        // As the flash update leaves it: the image at its bank, the tag kept as 0xFF 0xFF on
        // chips that report their boot status.
        const std::uint32_t base = ImageFlashOffset(ic->chipCode, image.size());
        const std::array<std::uint8_t, 2> id = o.chipIdSet ? o.chipId : ic->chipId;
        if (SimChip::IsBootStatusChip(id[0], id[1]) && ic->tagAddress + 2 <= image.size()) {
          image[ic->tagAddress] = 0xFF;
          image[ic->tagAddress + 1] = 0xFF;
        }
        std::copy(image.begin(), image.end(), mem.flash.begin() + base);
        slot->rec.chip.flashWriteEnd = base + static_cast<std::uint32_t>(image.size());
        break;
      }
      case MemoryKind::Eeprom8:
      case MemoryKind::Eeprom16:
        std::copy(image.begin(), image.end(), mem.eeprom.begin());
        if (mem.eeprom.size() > 1) mem.eeprom[1] = 0xA5;  // the tag is written last
        break;
      case MemoryKind::Otp: {
        std::copy(image.begin(), image.end(), mem.otp.begin());
        const std::uint32_t e = 0x3F70;
        mem.otp[e] = 0;
        mem.otp[e + 1] = 0;
        mem.otp[e + 2] = static_cast<std::uint8_t>(image.size() >> 8);
        mem.otp[e + 3] = static_cast<std::uint8_t>(image.size());
        mem.otp[e + 4] = 0x55;
        break;
      }
    }
  }
  {
    SimChip chip(slot->rec.options, slot->rec.chip, slot->rec.faults, mem);
    chip.PowerOn();
  }
  slot->rec.presence.plugged = true;
  slot->rec.presence.generation = 1;
  slot->rec.presence.objectName = NewObjectName();
  Save(*slot);
  SimSlot* added = slot.get();
  slots[n] = std::move(slot);
  WriteWholeFd(busFd.Get(), StrFormat("record: drover-sim bus\ndevices: %d\n", n + 1));
  TouchEvents();
  Snapshot(*added, events);
  return n;
}

int SimBus::DeviceCount() { return m_impl->ReadDeviceCount(); }

bool SimBus::HasDevice(int n) { return n >= 0 && n < DeviceCount() && m_impl->GetSlot(n) != nullptr; }

bool SimBus::GetOptions(int n, DeviceOptions& out) {
  EventList events;
  const bool ok = m_impl->WithDevice(n, events, [&](SimSlot& s) {
    out = s.rec.options;
    return false;
  });
  m_impl->Fire(events);
  return ok;
}

bool SimBus::GetInfo(int n, DeviceInfo& out) {
  EventList events;
  const bool ok = m_impl->WithDevice(n, events, [&](SimSlot& s) {
    const DeviceRecord& r = s.rec;
    SimChip chip(s.rec.options, s.rec.chip, s.rec.faults, s.Memories());
    DeviceInfo info;
    info.number = n;
    info.ic = r.options.ic;
    info.memory = r.options.memory;
    info.vid = r.options.vid;
    info.pid = r.options.pid;
    info.rev = r.options.rev;
    info.present = s.Present();
    info.plugged = r.presence.plugged;
    info.resetPending = r.presence.resetPending;
    info.runningCode = r.chip.runningCode;
    info.bootStatus = r.chip.bootStatus;
    info.bootText = SimChip::BootText(r.chip.bootStatus);
    info.versionBytes = r.chip.runningCode ? r.chip.version : std::array<std::uint8_t, 8>{0xBB, 0xBB, 0xBB, 0xBB,
                                                                                          0xBB, 0xBB, 0xBB, 0xBB};
    info.versionText = SimChip::VersionText(info.versionBytes);
    info.tag = chip.Tag();
    info.statusRegister = r.chip.statusRegister;
    info.flashWpReleased = chip.FlashWpReleased();
    info.eepromWpReleased = chip.EepromWpReleased();
    info.resets = r.chip.resets;
    info.transfers = r.chip.transfers;
    info.dataControlSize = r.chip.dataControlSize;
    info.lastStatus = r.chip.status;
    info.otpLocked = r.chip.otpLocked || (s.regs.Span()[kRegOtpLock] & 0x08);
    info.deviceInstance = DeviceInstanceId(r.options);
    info.functionInstance = FunctionInstanceId(r.options);
    info.locationPath = LocationPathOf(r.options.bus, r.options.ports);
    info.objectName = info.present ? r.presence.objectName : std::string();
    out = std::move(info);
    return false;
  });
  m_impl->Fire(events);
  return ok;
}

std::uint32_t SimBus::MemorySize(int n, Memory which) {
  std::uint32_t size = 0;
  EventList events;
  m_impl->WithDevice(n, events, [&](SimSlot& s) {
    const auto mem = s.Memories();
    switch (which) {
      case Memory::Flash: size = static_cast<std::uint32_t>(mem.flash.size()); break;
      case Memory::Eeprom: size = static_cast<std::uint32_t>(mem.eeprom.size()); break;
      case Memory::Otp: size = static_cast<std::uint32_t>(mem.otp.size()); break;
      case Memory::Regs: size = static_cast<std::uint32_t>(mem.regs.size()); break;
    }
    return false;
  });
  m_impl->Fire(events);
  return size;
}

namespace {
std::span<std::uint8_t> Pick(const ChipMemories& mem, Memory which) {
  switch (which) {
    case Memory::Flash: return mem.flash;
    case Memory::Eeprom: return mem.eeprom;
    case Memory::Otp: return mem.otp;
    case Memory::Regs: return mem.regs;
  }
  return {};
}
}  // namespace

bool SimBus::ReadMemory(int n, Memory which, std::uint32_t offset, std::uint32_t length,
                        std::vector<std::uint8_t>& out) {
  bool ok = false;
  EventList events;
  m_impl->WithDevice(n, events, [&](SimSlot& s) {
    const auto mem = Pick(s.Memories(), which);
    if (offset <= mem.size() && length <= mem.size() - offset) {
      out.assign(mem.begin() + offset, mem.begin() + offset + length);
      ok = true;
    }
    return false;
  });
  m_impl->Fire(events);
  return ok;
}

bool SimBus::WriteMemory(int n, Memory which, std::uint32_t offset, std::span<const std::uint8_t> data) {
  bool ok = false;
  EventList events;
  m_impl->WithDevice(n, events, [&](SimSlot& s) {
    auto mem = Pick(s.Memories(), which);
    if (offset <= mem.size() && data.size() <= mem.size() - offset) {
      std::copy(data.begin(), data.end(), mem.begin() + offset);
      ok = true;
    }
    return false;
  });
  m_impl->Fire(events);
  return ok;
}

bool SimBus::SetStatusRegister(int n, std::uint8_t value) {
  EventList events;
  const bool ok = m_impl->WithDevice(n, events, [&](SimSlot& s) {
    s.rec.chip.statusRegister = static_cast<std::uint8_t>(value & 0xFC);
    return false;
  });
  m_impl->Fire(events);
  return ok;
}

bool SimBus::SetFaults(int n, const Faults& faults) {
  EventList events;
  const bool ok = m_impl->WithDevice(n, events, [&](SimSlot& s) {
    s.rec.faults = faults;
    if (s.rec.faults.leaveAfter == 0) {
      s.rec.faults.leaveAfter = -1;
      s.rec.presence.plugged = false;
      s.rec.presence.objectName.clear();
      return true;
    }
    return false;
  });
  m_impl->Fire(events);
  return ok;
}

bool SimBus::GetFaults(int n, Faults& out) {
  EventList events;
  const bool ok = m_impl->WithDevice(n, events, [&](SimSlot& s) {
    out = s.rec.faults;
    return false;
  });
  m_impl->Fire(events);
  return ok;
}

bool SimBus::Plug(int n) {
  EventList events;
  const bool ok = m_impl->WithDevice(n, events, [&](SimSlot& s) {
    Presence& p = s.rec.presence;
    if (p.plugged) return false;
    p.plugged = true;
    p.resetPending = false;
    p.owner.clear();
    SimChip chip(s.rec.options, s.rec.chip, s.rec.faults, s.Memories());
    chip.PowerOn();
    ++p.generation;
    p.objectName = m_impl->NewObjectName();
    return true;
  });
  m_impl->Fire(events);
  return ok;
}

bool SimBus::Unplug(int n) {
  EventList events;
  const bool ok = m_impl->WithDevice(n, events, [&](SimSlot& s) {
    Presence& p = s.rec.presence;
    if (!p.plugged) return false;
    p.plugged = false;
    p.objectName.clear();
    s.rec.chip.phase = Phase::None;
    return true;
  });
  m_impl->Fire(events);
  return ok;
}

void SimBus::RecordTransfers(int n, bool on) {
  std::lock_guard<std::recursive_mutex> guard(m_impl->mutex);
  if (SimSlot* s = m_impl->GetSlot(n)) s->recording = on;
}

std::vector<TransferRecord> SimBus::TakeTransfers(int n) {
  std::lock_guard<std::recursive_mutex> guard(m_impl->mutex);
  std::vector<TransferRecord> out;
  if (SimSlot* s = m_impl->GetSlot(n)) out.swap(s->log);
  return out;
}

std::uint32_t SimBus::EnumerateFunctions(std::vector<usb::UsbFunction>& out) {
  out.clear();
  EventList events;
  struct Entry {
    std::uint8_t bus;
    std::vector<std::uint8_t> ports;
    int n;
    usb::UsbFunction f;
  };
  std::vector<Entry> entries;
  const int count = m_impl->ReadDeviceCount();
  for (int n = 0; n < count; ++n) {
    m_impl->WithDevice(n, events, [&](SimSlot& s) {
      if (!s.Present()) return false;
      const DeviceOptions& o = s.rec.options;
      usb::UsbFunction f;
      f.instanceId = FunctionInstanceId(o);
      f.deviceInstance = DeviceInstanceId(o);
      f.friendlyName = o.friendlyName;
      f.locationPath = LocationPathOf(o.bus, o.ports);
      f.problem = o.problem;
      entries.push_back({o.bus, o.ports, n, std::move(f)});
      return false;
    });
  }
  m_impl->Fire(events);
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.bus != b.bus) return a.bus < b.bus;
    if (a.ports != b.ports) return a.ports < b.ports;
    return a.n < b.n;
  });
  for (auto& e : entries) out.push_back(std::move(e.f));
  return out.empty() ? usb::kErrNoMoreItems : usb::kErrSuccess;
}

std::uint32_t SimBus::GetNode(const std::string& instanceId, usb::UsbNode& out) {
  EventList events;
  bool found = false;
  const int count = m_impl->ReadDeviceCount();
  for (int n = 0; n < count && !found; ++n) {
    m_impl->WithDevice(n, events, [&](SimSlot& s) {
      const DeviceOptions& o = s.rec.options;
      const std::string device = DeviceInstanceId(o);
      const std::string function = FunctionInstanceId(o);
      const std::string root = RootHubInstanceId(o);
      const std::string location = LocationPathOf(o.bus, o.ports);
      const std::string parentOfDevice = o.ports.size() > 1 ? HubInstanceId(o.bus, o.ports, o.ports.size() - 1) : root;
      const bool composite = o.composite != Composite::None;
      const std::string ids = StrFormat("USB\\VID_%04X&PID_%04X", o.vid, o.pid);
      const std::string rev = StrFormat("&REV_%04X", o.rev);
      usb::UsbNode node;
      if (EqualsNoCase(instanceId, root)) {
        node.instanceId = root;
        node.className = "USB";
        node.description = o.speed == Speed::High ? "USB Root Hub (USB 3.0)" : "USB Root Hub";
        node.locationPath = LocationPathOf(o.bus, {});
        node.objectName = StrFormat("\\Device\\USBROOTHUB-%u", static_cast<unsigned>(o.bus));
        found = true;
      }
      for (std::size_t depth = 1; !found && depth < o.ports.size(); ++depth) {
        const std::string hub = HubInstanceId(o.bus, o.ports, depth);
        if (!EqualsNoCase(instanceId, hub)) continue;
        const std::vector<std::uint8_t> chain(o.ports.begin(), o.ports.begin() + static_cast<std::ptrdiff_t>(depth));
        node.instanceId = hub;
        node.parentInstance = depth > 1 ? HubInstanceId(o.bus, o.ports, depth - 1) : root;
        node.className = "USB";
        node.description = "Generic USB Hub";
        node.busAddress = chain.back();
        node.locationPath = LocationPathOf(o.bus, chain);
        node.objectName = StrFormat("\\Device\\USBHUB-%s", hub.substr(hub.rfind('\\') + 1).c_str());
        node.hardwareIds = {"USB\\VID_05E3&PID_0610&REV_9226", "USB\\VID_05E3&PID_0610"};
        found = true;
      }
      if (!found && s.Present() && EqualsNoCase(instanceId, device)) {
        node.instanceId = device;
        node.parentInstance = parentOfDevice;
        node.className = composite ? "USB" : "MEDIA";
        node.friendlyName = composite ? std::string() : o.friendlyName;
        node.description = composite ? "USB Composite Device" : o.product;
        node.busAddress = o.ports.empty() ? 0 : o.ports.back();
        node.locationPath = location;
        node.objectName = s.rec.presence.objectName;
        node.hardwareIds = {ids + rev, ids};
        found = true;
      } else if (!found && composite && s.Present() && EqualsNoCase(instanceId, function)) {
        const std::string mi = StrFormat("&MI_%02X", AudioControlInterface(o));
        node.instanceId = function;
        node.parentInstance = device;
        node.className = "MEDIA";
        node.friendlyName = o.friendlyName;
        node.description = o.product;
        node.busAddress = o.ports.empty() ? 0 : o.ports.back();
        node.locationPath = location;
        node.objectName = s.rec.presence.objectName + "-" + mi.substr(1);
        node.hardwareIds = {ids + rev + mi, ids + mi};
        found = true;
      }
      if (found) out = std::move(node);
      return false;
    });
  }
  m_impl->Fire(events);
  return found ? usb::kErrSuccess : usb::kErrNotFound;
}

std::uint32_t SimBus::Open(const std::string& deviceInstance, std::unique_ptr<usb::IUsbDevice>& out) {
  EventList events;
  int number = -1;
  std::uint64_t generation = 0;
  std::vector<std::uint8_t> dev, config;
  const int count = m_impl->ReadDeviceCount();
  for (int n = 0; n < count && number < 0; ++n) {
    m_impl->WithDevice(n, events, [&](SimSlot& s) {
      const DeviceOptions& o = s.rec.options;
      if (!s.Present()) return false;
      if (!EqualsNoCase(deviceInstance, DeviceInstanceId(o)) && !EqualsNoCase(deviceInstance, FunctionInstanceId(o)))
        return false;
      number = n;
      generation = s.rec.presence.generation;
      dev = BuildDeviceDescriptor(o);
      config = BuildConfigDescriptor(o);
      return false;
    });
  }
  m_impl->Fire(events);
  if (number < 0) return usb::kErrNotFound;
  out = std::make_unique<SimUsbDevice>(shared_from_this(), number, generation, std::move(dev), std::move(config));
  return usb::kErrSuccess;
}

int SimBus::Subscribe(std::function<void(const std::string& deviceInstance, usb::HotplugEvent)> callback) {
  int handle;
  {
    std::lock_guard<std::mutex> g(m_impl->subscriberLock);
    handle = m_impl->nextHandle++;
    m_impl->subscribers[handle] = std::move(callback);
  }
  m_impl->StartWatcher();
  return handle;
}

void SimBus::Unsubscribe(int handle) {
  std::lock_guard<std::mutex> g(m_impl->subscriberLock);
  m_impl->subscribers.erase(handle);
}

void SimBus::Poll() {
  EventList events;
  m_impl->RefreshAll(events);
  m_impl->Fire(events);
}

std::shared_ptr<usb::IUsbBackend> OpenBusFromEnvironment(std::string* error) {
  const char* dir = std::getenv("DROVER_SIM");
  if (!dir || !*dir) return nullptr;
  std::shared_ptr<SimBus> bus = SimBus::Open(dir, false, error);
  if (!bus) return nullptr;
  return bus;
}

bool SimulationRequested() {
  const char* dir = std::getenv("DROVER_SIM");
  return dir && *dir;
}

bool SimulationRealtimeRequested() {
  const char* v = std::getenv("DROVER_SIM_REALTIME");
  return v && std::string(v) == "1";
}

}  // namespace drover::sim
