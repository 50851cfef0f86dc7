#pragma once
// A backend wrapper that logs every control transfer (setup packet as sent on the wire,
// direction, payload, outcome) on its way to the wrapped backend, for byte-exact checks of
// what Drover says to a device.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "transport/usb_backend.h"

namespace drover {

struct RecordedTransfer {
  std::string deviceInstance;
  usb::UsbSetup setup;             // bmRequestType with bit 7 from the direction
  std::uint16_t wLength = 0;
  bool dirIn = false;
  std::vector<std::uint8_t> data;  // OUT: the bytes sent; IN: the bytes received
  std::uint32_t result = 0;
  std::uint32_t transferred = 0;
  std::uint32_t timeoutMs = 0;
};

// Contract: forwards every call unchanged to the wrapped backend and records transfers and
// opens; the log is safe to read from the test thread while transfers run.
class RecordingBackend final : public usb::IUsbBackend {
 public:
  explicit RecordingBackend(std::shared_ptr<usb::IUsbBackend> inner);

  std::uint32_t EnumerateFunctions(std::vector<usb::UsbFunction>& out) override;
  std::uint32_t GetNode(const std::string& instanceId, usb::UsbNode& out) override;
  std::uint32_t Open(const std::string& deviceInstance, std::unique_ptr<usb::IUsbDevice>& out) override;
  int Subscribe(std::function<void(const std::string&, usb::HotplugEvent)> callback) override;
  void Unsubscribe(int handle) override;
  void Poll() override;

  std::vector<RecordedTransfer> Transfers() const;
  std::vector<std::string> Opens() const;
  std::size_t TransferCount() const;
  void Clear();
  usb::IUsbBackend& Inner() { return *m_inner; }

  // Called by the device wrappers.
  void Record(RecordedTransfer transfer);

 private:
  std::shared_ptr<usb::IUsbBackend> m_inner;
  mutable std::mutex m_lock;
  std::vector<RecordedTransfer> m_transfers;
  std::vector<std::string> m_opens;
};

}  // namespace drover
