#include "transport/transport_service.h"

#include <mutex>

#include "transport/control_transfer.h"
#include "transport/kes_device.h"
#include "transport/libusb_backend.h"
#include "transport/named_lock.h"

namespace drover {
namespace {

std::mutex g_serviceLock;
BackendFactory g_factory = [] { return CreateLibusbBackend(); };
std::uint32_t g_libType = 0;
bool g_started = false;
std::unique_ptr<CNamedMutex> g_rawLock;

}  // namespace

void SetBackendFactory(BackendFactory factory) {
  std::lock_guard<std::mutex> g(g_serviceLock);
  g_factory = std::move(factory);
}

bool StartTransport(std::uint32_t libType, std::shared_ptr<usb::IUsbBackend> backend) {
  BackendFactory factory;
  {
    std::lock_guard<std::mutex> g(g_serviceLock);
    g_libType = libType;
    if (!g_rawLock) g_rawLock = std::make_unique<CNamedMutex>(kRawPathLockName);
    factory = g_factory;
  }
  if (!backend && factory) backend = factory();
  CloseCurrentDevice();
  SetUsbBackend(backend);
  std::lock_guard<std::mutex> g(g_serviceLock);
  g_started = true;
  return backend != nullptr;
}

bool StopTransport() {
  CloseCurrentDevice();
  SetUsbBackend(nullptr);
  std::lock_guard<std::mutex> g(g_serviceLock);
  g_rawLock.reset();
  g_started = false;
  return true;
}

std::uint32_t TransportLibType() {
  std::lock_guard<std::mutex> g(g_serviceLock);
  return g_libType;
}

bool TransportStarted() {
  std::lock_guard<std::mutex> g(g_serviceLock);
  return g_started;
}

CNamedMutex* RawPathLock() {
  std::lock_guard<std::mutex> g(g_serviceLock);
  return g_rawLock.get();
}

}  // namespace drover
