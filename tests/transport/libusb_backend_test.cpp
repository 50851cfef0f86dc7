#include "transport/libusb_backend.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <map>

#include "transport/kes_device.h"
#include "transport/transport_service.h"

namespace drover {
namespace {

TEST(LibusbBackend, ErrorMapping) {
  const std::map<int, std::uint32_t> expected = {
      {LIBUSB_ERROR_NO_DEVICE, 1167}, {LIBUSB_ERROR_TIMEOUT, 1460},     {LIBUSB_ERROR_PIPE, 31},
      {LIBUSB_ERROR_BUSY, 170},       {LIBUSB_ERROR_ACCESS, 5},         {LIBUSB_ERROR_NOT_FOUND, 2},
      {LIBUSB_ERROR_INVALID_PARAM, 87}, {LIBUSB_ERROR_IO, 1117},
  };
  EXPECT_EQ(LibusbErrorTable().size(), expected.size());
  for (const LibusbErrorRow& row : LibusbErrorTable()) {
    SCOPED_TRACE(libusb_error_name(row.libusbError));
    ASSERT_TRUE(expected.count(row.libusbError));
    EXPECT_EQ(row.systemError, expected.at(row.libusbError));
    EXPECT_EQ(MapLibusbError(row.libusbError), row.systemError);
  }
  for (int other : std::initializer_list<int>{LIBUSB_ERROR_OVERFLOW, LIBUSB_ERROR_INTERRUPTED, LIBUSB_ERROR_NO_MEM, LIBUSB_ERROR_NOT_SUPPORTED,
                    LIBUSB_ERROR_OTHER, -1000}) {
    SCOPED_TRACE(other);
    EXPECT_EQ(MapLibusbError(other), 31u);
  }
}

TEST(LibusbBackend, NoDeviceMeansNoCandidate) {
  auto backend = CreateLibusbBackend();
  if (backend) {
    std::vector<usb::UsbFunction> functions;
    const std::uint32_t rc = backend->EnumerateFunctions(functions);
    // On a machine with a USB audio device attached there are candidates; without, 259.
    if (rc != 0) {
      EXPECT_EQ(rc, usb::kErrNoMoreItems);
      EXPECT_TRUE(functions.empty());
    }
    usb::UsbNode node;
    EXPECT_EQ(backend->GetNode("USB\\VID_0BDA&PID_0000\\9-9", node), usb::kErrNotFound);
    std::unique_ptr<usb::IUsbDevice> dev;
    EXPECT_EQ(backend->Open("USB\\VID_0BDA&PID_0000\\9-9", dev), usb::kErrNotFound);
    const int h = backend->Subscribe([](const std::string&, usb::HotplugEvent) {});
    backend->Unsubscribe(h);
  }
  // Through the transport the same: nothing opens, nothing crashes.
  const bool started = StartTransport(1, std::move(backend));
  EXPECT_EQ(TransportLibType(), 1u);
  if (started && GetDeviceCount() == 0) {
    EXPECT_EQ(OpenDeviceByIndex(0), 0u);
  }
  StopTransport();
  EXPECT_FALSE(TransportStarted());
}

TEST(TransportService, FactoryChoosesTheBackendAndAccessFailsWithoutOne) {
  int built = 0;
  SetBackendFactory([&]() -> std::shared_ptr<usb::IUsbBackend> {
    ++built;
    return nullptr;
  });
  EXPECT_FALSE(StartTransport(0));
  EXPECT_EQ(built, 1);
  EXPECT_TRUE(TransportStarted());
  EXPECT_NE(RawPathLock(), nullptr);
  EXPECT_EQ(GetDeviceCount(), 0);
  EXPECT_EQ(OpenDeviceByIndex(0), 0u);
  std::vector<std::uint8_t> two(2);
  EXPECT_FALSE(KesReadMem(1, 0, 0, two));
  EXPECT_TRUE(StopTransport());
  EXPECT_EQ(RawPathLock(), nullptr);
  SetBackendFactory([] { return CreateLibusbBackend(); });
}

}  // namespace
}  // namespace drover
