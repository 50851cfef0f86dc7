#pragma once
// A fake device bound into a device record behind a recording backend, on the virtual clock.
#include <gtest/gtest.h>

#include <memory>

#include "base/clock.h"
#include "fake_usb.h"
#include "transport/control_transfer.h"
#include "transport/enumeration.h"
#include "transport/recording_backend.h"

namespace drover::test {

class FakeDeviceTest : public ::testing::Test {
 protected:
  FakeDeviceTest() : clock(std::make_shared<VirtualClock>()), scoped(clock) {
    fake = std::make_shared<FakeBackend>();
    rec = std::make_shared<RecordingBackend>(fake);
    SetUsbBackend(rec);
    fake->Add(1);
    chip = fake->devices[0].chip;
    std::unique_ptr<usb::IUsbDevice> dev;
    EXPECT_EQ(rec->Open(fake->devices[0].deviceInstance, dev), 0u);
    record.pInterface = std::move(dev);
    EXPECT_EQ(BindDevice(fake->devices[0].deviceInstance, record.pInterface, record.ref), 0u);
    record.dwSignature = kDeviceRecordSignature;
    record.byInterfaceNumber = 0;
    record.strOpenedInstance = fake->devices[0].functionInstance;
    record.strDeviceInstance = fake->devices[0].deviceInstance;
    record.strLocationPath = fake->devices[0].locationPath;
    rec->Clear();
  }
  ~FakeDeviceTest() override {
    record.Release();
    SetUsbBackend(nullptr);
  }

  // The recorded command blocks (SET_CUR to the command control).
  std::vector<std::vector<std::uint8_t>> Blocks() const {
    std::vector<std::vector<std::uint8_t>> out;
    for (const auto& t : rec->Transfers()) {
      if (t.setup.bmRequestType == 0x21 && t.setup.bRequest == 0x01 && t.setup.wValue == 0x0A00) out.push_back(t.data);
    }
    return out;
  }

  // Vendor requests with this request code recorded so far.
  std::size_t Count(std::uint8_t request) const {
    std::size_t n = 0;
    for (const auto& t : rec->Transfers()) n += (t.setup.bmRequestType & 0x7F) == 0x40 && t.setup.bRequest == request;
    return n;
  }

  std::shared_ptr<VirtualClock> clock;
  ScopedClock scoped;
  std::shared_ptr<FakeBackend> fake;
  std::shared_ptr<RecordingBackend> rec;
  std::shared_ptr<FakeChip> chip;
  DeviceRecord record;
};

}  // namespace drover::test
