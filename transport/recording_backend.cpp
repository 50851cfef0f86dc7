#include "transport/recording_backend.h"

#include <utility>

namespace drover {
namespace {

class RecordingDevice final : public usb::IUsbDevice {
 public:
  RecordingDevice(RecordingBackend& owner, std::string instance, std::unique_ptr<usb::IUsbDevice> inner)
      : m_owner(owner), m_strInstance(std::move(instance)), m_inner(std::move(inner)) {}

  std::uint32_t ControlTransfer(const usb::UsbSetup& setup, std::span<std::uint8_t> data, bool dirIn,
                                std::uint32_t timeoutMs, std::uint32_t& transferred) override {
    RecordedTransfer t;
    t.deviceInstance = m_strInstance;
    t.setup = setup;
    t.setup.bmRequestType = static_cast<std::uint8_t>((setup.bmRequestType & 0x7F) | (dirIn ? 0x80 : 0));
    t.wLength = static_cast<std::uint16_t>(data.size());
    t.dirIn = dirIn;
    t.timeoutMs = timeoutMs;
    if (!dirIn) t.data.assign(data.begin(), data.end());
    transferred = 0;
    t.result = m_inner->ControlTransfer(setup, data, dirIn, timeoutMs, transferred);
    t.transferred = transferred;
    if (dirIn && t.result == 0) {
      const std::size_t n = transferred < data.size() ? transferred : data.size();
      t.data.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
    }
    const std::uint32_t rc = t.result;
    m_owner.Record(std::move(t));
    return rc;
  }

  bool CachedDescriptors(std::vector<std::uint8_t>& deviceDescriptor,
                         std::vector<std::uint8_t>& configDescriptor) override {
    return m_inner->CachedDescriptors(deviceDescriptor, configDescriptor);
  }

 private:
  RecordingBackend& m_owner;
  std::string m_strInstance;
  std::unique_ptr<usb::IUsbDevice> m_inner;
};

}  // namespace

RecordingBackend::RecordingBackend(std::shared_ptr<usb::IUsbBackend> inner) : m_inner(std::move(inner)) {}

std::uint32_t RecordingBackend::EnumerateFunctions(std::vector<usb::UsbFunction>& out) {
  return m_inner->EnumerateFunctions(out);
}
std::uint32_t RecordingBackend::GetNode(const std::string& instanceId, usb::UsbNode& out) {
  return m_inner->GetNode(instanceId, out);
}
std::uint32_t RecordingBackend::Open(const std::string& deviceInstance, std::unique_ptr<usb::IUsbDevice>& out) {
  {
    std::lock_guard<std::mutex> g(m_lock);
    m_opens.push_back(deviceInstance);
  }
  std::unique_ptr<usb::IUsbDevice> inner;
  const std::uint32_t rc = m_inner->Open(deviceInstance, inner);
  if (rc != 0 || !inner) return rc != 0 ? rc : usb::kErrGenFailure;
  out = std::make_unique<RecordingDevice>(*this, deviceInstance, std::move(inner));
  return 0;
}
int RecordingBackend::Subscribe(std::function<void(const std::string&, usb::HotplugEvent)> callback) {
  return m_inner->Subscribe(std::move(callback));
}
void RecordingBackend::Unsubscribe(int handle) { m_inner->Unsubscribe(handle); }
void RecordingBackend::Poll() { m_inner->Poll(); }

std::vector<RecordedTransfer> RecordingBackend::Transfers() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_transfers;
}
std::vector<std::string> RecordingBackend::Opens() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_opens;
}
std::size_t RecordingBackend::TransferCount() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_transfers.size();
}
void RecordingBackend::Clear() {
  std::lock_guard<std::mutex> g(m_lock);
  m_transfers.clear();
  m_opens.clear();
}
void RecordingBackend::Record(RecordedTransfer transfer) {
  std::lock_guard<std::mutex> g(m_lock);
  m_transfers.push_back(std::move(transfer));
}

}  // namespace drover
