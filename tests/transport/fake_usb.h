#pragma once
// A small scripted USB backend for protocol tests: devices with fixed identity and
// descriptors whose control transfers are answered by a fake chip (extension unit and vendor
// requests over one byte-addressed memory) with faults on request.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "transport/usb_backend.h"

namespace drover::test {

// The configuration of an audio device whose first interface carries an extension unit.
inline std::vector<std::uint8_t> AudioConfig(std::uint8_t unitId = 6, std::uint16_t extCode = 0x0BDA,
                                             std::uint8_t subtype = 8) {
  std::vector<std::uint8_t> c = {
      9, 2, 0, 0, 1, 1, 0, 0x80, 50,              // configuration (wTotalLength patched below)
      9, 4, 0, 0, 0, 1, 1, 0, 0,                  // interface 0: audio control
      9, 0x24, 1, 0, 1, 0x20, 0, 1, 1,            // AC header
      12, 0x24, 2, 1, 1, 1, 0, 2, 3, 0, 0, 0,     // input terminal
      13, 0x24, subtype, unitId, static_cast<std::uint8_t>(extCode), static_cast<std::uint8_t>(extCode >> 8),
      1, 1, 1, 2, 3, 0, 0,                         // extension unit
      7, 5, 0x81, 3, 8, 0, 10,                     // endpoint
  };
  WriteLE16(c, 2, static_cast<std::uint16_t>(c.size()));
  return c;
}

inline std::vector<std::uint8_t> DeviceDesc(std::uint16_t vid, std::uint16_t pid, std::uint16_t rev) {
  std::vector<std::uint8_t> d = {18, 1, 0, 2, 0, 0, 0, 64, 0, 0, 0, 0, 0, 0, 1, 2, 3, 1};
  WriteLE16(d, 8, vid);
  WriteLE16(d, 10, pid);
  WriteLE16(d, 12, rev);
  return d;
}

struct FakeChip {
  std::vector<std::uint8_t> mem = std::vector<std::uint8_t>(0x100000);
  // Extension unit state.
  std::vector<std::uint8_t> lastBlock = std::vector<std::uint8_t>(8);
  std::uint32_t readPos = 0;           // next byte of the current read stream
  std::uint32_t dataSize = 8;          // current data control size
  std::uint32_t reportedSize = 0;      // GET_LEN answer; 0: the size asked
  std::vector<std::vector<std::uint8_t>> dataOut;  // data chunks received
  std::uint8_t statusByte = 0;
  bool failStatusRead = false;
  // Faults: the transfer with this 1-based number fails with failError.
  std::uint32_t failAt = 0;
  std::uint32_t failError = 31;
  std::uint32_t transfers = 0;
  // Vendor requests.
  std::vector<std::uint8_t> statusArea = std::vector<std::uint8_t>(0x800);
  std::uint8_t query06 = 1;
  bool query06Fails = false;
  bool vendorFails = false;  // every vendor request stalls
  std::uint32_t shortIn = 0;  // IN transfers answer at most this many bytes (0: all)
  std::uint8_t notReadyRequest = 0;  // this vendor request answers 21 ...
  std::uint32_t notReadyCount = 0;   // ... this many times

  FakeChip() {
    for (std::size_t i = 0; i < mem.size(); ++i) mem[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const char sig[8] = {'Q', 'U', 'O', 'R', 'L', 'A', 'N', 0};
    for (int i = 0; i < 8; ++i) statusArea[24 + i] = static_cast<std::uint8_t>(sig[i]);
  }

  std::uint32_t BlockAddress() const {
    std::uint32_t a = ReadLE16(lastBlock, 2);
    if (lastBlock[0] == 2) a |= static_cast<std::uint32_t>(ReadLE16(lastBlock, 6)) << 16;
    return a;
  }

  std::uint32_t Answer(const usb::UsbSetup& s, std::span<std::uint8_t> data, bool dirIn, std::uint32_t& got) {
    ++transfers;
    got = 0;
    if (failAt != 0 && transfers == failAt) return failError;
    const std::uint8_t type = s.bmRequestType & 0x7F;
    if (type == 0x21) {  // class, extension unit
      const std::uint8_t sel = static_cast<std::uint8_t>(s.wValue >> 8);
      if (s.bRequest == 0x01 && sel == 0x0A) {
        lastBlock.assign(data.begin(), data.end());
        readPos = 0;
        got = static_cast<std::uint32_t>(data.size());
        return 0;
      }
      if (s.bRequest == 0x01 && sel == 0x0B) {
        dataOut.emplace_back(data.begin(), data.end());
        got = static_cast<std::uint32_t>(data.size());
        return 0;
      }
      if (s.bRequest == 0x81 && sel == 0x0A) {
        if (failStatusRead) return 31;
        std::fill(data.begin(), data.end(), 0);
        if (!data.empty()) data[0] = statusByte;
        got = static_cast<std::uint32_t>(data.size());
        return 0;
      }
      if (s.bRequest == 0x81 && sel == 0x0B) {
        for (std::size_t i = 0; i < data.size(); ++i) {
          if (lastBlock[1] == 0xD0) data[i] = i < qualifyAnswer.size() ? qualifyAnswer[i] : 0;
          else if (lastBlock[1] == 0xCD) data[i] = statusArea[(ReadLE16(lastBlock, 2) * 8 + i) % statusArea.size()];
          else data[i] = mem[(BlockAddress() + readPos + i) % mem.size()];
        }
        readPos += static_cast<std::uint32_t>(data.size());
        got = static_cast<std::uint32_t>(data.size());
        return 0;
      }
      if (s.bRequest == 0x85 && sel == 0x0B) {
        if (lastBlock[1] == 0x16) dataSize = reportedSize ? reportedSize : ReadLE16(lastBlock, 4);
        if (data.size() >= 2) WriteLE16(data, 0, static_cast<std::uint16_t>(dataSize));
        got = static_cast<std::uint32_t>(data.size());
        return 0;
      }
      return 31;
    }
    if (type == 0x40) {  // vendor
      if (vendorFails) return 31;
      if (notReadyCount != 0 && s.bRequest == notReadyRequest) {
        --notReadyCount;
        return 21;
      }
      if (s.bRequest == 0x07) {
        const std::size_t base = static_cast<std::size_t>(s.wValue & 0xFF) * 8;
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = statusArea[(base + i) % statusArea.size()];
      } else if (s.bRequest == 0x06) {
        if (query06Fails) return 31;
        if (!data.empty()) data[0] = query06;
      } else if (dirIn) {
        const std::uint32_t a = s.wIndex | (static_cast<std::uint32_t>((s.wValue >> 8) & 0xF) << 16);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = mem[(a + i) % mem.size()];
      } else {
        dataOut.emplace_back(data.begin(), data.end());
      }
      got = static_cast<std::uint32_t>(data.size());
      if (dirIn && shortIn != 0 && got > shortIn) got = shortIn;
      return 0;
    }
    if (type == 0x00 && s.bRequest == 0x06) {  // standard GET_DESCRIPTOR, answered by the device
      return 0xFFFF;  // handled by FakeDevice
    }
    return 31;
  }

  std::vector<std::uint8_t> qualifyAnswer = {'Q', 'U', 'O', 'R', 'L', 'A', 'N', 0};
};

struct FakeDeviceRecord {
  std::string functionInstance;
  std::string deviceInstance;
  std::string locationPath;
  std::uint32_t port = 1;
  std::vector<std::string> hardwareIds;
  std::vector<std::uint8_t> deviceDesc;
  std::vector<std::uint8_t> config;
  std::vector<std::string> strings;  // string descriptor n = strings[n - 1]
  bool present = true;
  bool cached = true;  // CachedDescriptors answers
  std::uint32_t openError = 0;
  std::uint32_t descriptorShort = 0;  // device descriptor answers this many bytes (0: all)
  bool notReady = false;              // every transfer answers 21 (not ready)
  std::shared_ptr<FakeChip> chip = std::make_shared<FakeChip>();
};

class FakeBackend final : public usb::IUsbBackend {
 public:
  // Adds an audio device on a root-hub port; returns its record for further tuning.
  FakeDeviceRecord& Add(std::uint32_t port, std::uint16_t vid = 0x0BDA, std::uint16_t pid = 0x4C15,
                      const std::string& mi = "") {
    FakeDeviceRecord d;
    char id[64];
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", vid, pid);
    d.deviceInstance = std::string(id) + "\\1-" + std::to_string(port);
    d.functionInstance = mi.empty() ? d.deviceInstance : std::string(id) + "&" + mi + "\\1-" + std::to_string(port) + ":1.0";
    d.locationPath = "USBROOT(1)#USB(" + std::to_string(port) + ")";
    d.port = port;
    d.hardwareIds = {std::string(id) + "&REV_0100", id};
    d.deviceDesc = DeviceDesc(vid, pid, 0x0100);
    d.config = AudioConfig();
    d.strings = {"Maker", "Product", "SN0001"};
    devices.push_back(d);
    return devices.back();
  }

  std::uint32_t EnumerateFunctions(std::vector<usb::UsbFunction>& out) override {
    out.clear();
    for (const auto& d : devices) {
      if (!d.present) continue;
      out.push_back({d.functionInstance, d.deviceInstance, "", d.locationPath, false});
    }
    return out.empty() ? usb::kErrNoMoreItems : 0;
  }
  std::uint32_t GetNode(const std::string& id, usb::UsbNode& out) override {
    out = usb::UsbNode{};
    if (id == "USB\\ROOT_HUB30\\1") {
      out.instanceId = id;
      out.className = "USB";
      return 0;
    }
    for (const auto& d : devices) {
      if (!d.present) continue;
      if (id == d.functionInstance) {
        out.instanceId = id;
        out.parentInstance = d.deviceInstance == d.functionInstance ? "USB\\ROOT_HUB30\\1" : d.deviceInstance;
        out.className = d.deviceInstance == d.functionInstance ? "USB" : "MEDIA";
        out.friendlyName = "";
        out.description = "USB Audio Device";
        out.busAddress = d.port;
        out.locationPath = d.locationPath;
        out.objectName = "\\Device\\USBPDO-" + std::to_string(d.port);
        out.hardwareIds = d.hardwareIds;
        return 0;
      }
      if (id == d.deviceInstance) {
        out.instanceId = id;
        out.parentInstance = "USB\\ROOT_HUB30\\1";
        out.className = "USB";
        out.description = "USB Composite Device";
        out.busAddress = d.port;
        out.locationPath = d.locationPath;
        out.objectName = "\\Device\\USBPDO-" + std::to_string(d.port);
        out.hardwareIds = d.hardwareIds;
        return 0;
      }
    }
    return usb::kErrNotFound;
  }
  std::uint32_t Open(const std::string& deviceInstance, std::unique_ptr<usb::IUsbDevice>& out) override;
  int Subscribe(std::function<void(const std::string&, usb::HotplugEvent)>) override { return 1; }
  void Unsubscribe(int) override {}

  std::vector<FakeDeviceRecord> devices;
};

class FakeDevice final : public usb::IUsbDevice {
 public:
  FakeDevice(FakeBackend& bus, std::size_t index) : m_bus(bus), m_index(index) {}
  std::uint32_t ControlTransfer(const usb::UsbSetup& s, std::span<std::uint8_t> data, bool dirIn, std::uint32_t,
                                std::uint32_t& got) override {
    FakeDeviceRecord& d = m_bus.devices[m_index];
    got = 0;
    if (!d.present) return usb::kErrDeviceNotConnected;
    if (d.notReady) return usb::kErrNotReady;
    if ((s.bmRequestType & 0x7F) == 0 && s.bRequest == 0x06 && dirIn) {
      const std::uint8_t type = static_cast<std::uint8_t>(s.wValue >> 8);
      std::vector<std::uint8_t> src;
      if (type == 1) {
        src = d.deviceDesc;
        if (d.descriptorShort) src.resize(d.descriptorShort);
      } else if (type == 2) {
        src = d.config;
      } else if (type == 3) {
        const std::size_t n = s.wValue & 0xFF;
        if (n == 0 || n > d.strings.size()) return 31;
        src = {0, 3};
        for (char c : d.strings[n - 1]) {
          src.push_back(static_cast<std::uint8_t>(c));
          src.push_back(0);
        }
        src[0] = static_cast<std::uint8_t>(src.size());
      } else {
        return 31;
      }
      const std::size_t n = std::min(src.size(), data.size());
      std::copy(src.begin(), src.begin() + static_cast<std::ptrdiff_t>(n), data.begin());
      got = static_cast<std::uint32_t>(n);
      return 0;
    }
    return d.chip->Answer(s, data, dirIn, got);
  }
  bool CachedDescriptors(std::vector<std::uint8_t>& dev, std::vector<std::uint8_t>& config) override {
    const FakeDeviceRecord& d = m_bus.devices[m_index];
    if (!d.cached) return false;
    dev = d.deviceDesc;
    config = d.config;
    return true;
  }

 private:
  FakeBackend& m_bus;
  std::size_t m_index;
};

inline std::uint32_t FakeBackend::Open(const std::string& deviceInstance, std::unique_ptr<usb::IUsbDevice>& out) {
  for (std::size_t i = 0; i < devices.size(); ++i) {
    if (devices[i].present && devices[i].deviceInstance == deviceInstance) {
      if (devices[i].openError) return devices[i].openError;
      out = std::make_unique<FakeDevice>(*this, i);
      return 0;
    }
  }
  return usb::kErrNotFound;
}

}  // namespace drover::test
