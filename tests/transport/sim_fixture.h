#pragma once
// The simulated bus in a fresh directory behind a recording backend, started as the
// process's transport on the virtual clock.
#include <gtest/gtest.h>

#include <memory>

#include "base/clock.h"
#include "sim/sim_bus.h"
#include "tests/support/temp_dir.h"
#include "transport/kes_device.h"
#include "transport/recording_backend.h"
#include "transport/transport_service.h"

namespace drover::test {

class SimTransportTest : public ::testing::Test {
 protected:
  SimTransportTest() : clock(std::make_shared<VirtualClock>()), scoped(clock) {
    std::string error;
    bus = sim::SimBus::Open(dir.Path() + "/bus", true, &error);
    EXPECT_TRUE(bus) << error;
    rec = std::make_shared<RecordingBackend>(bus);
    StartTransport(0, rec);
  }
  ~SimTransportTest() override { StopTransport(); }

  int Add(sim::DeviceOptions o = {}) {
    std::string error;
    const int n = bus->AddDevice(o, &error);
    EXPECT_GE(n, 0) << error;
    return n;
  }
  sim::DeviceInfo Info(int n) {
    sim::DeviceInfo info;
    EXPECT_TRUE(bus->GetInfo(n, info));
    return info;
  }
  static sim::DeviceOptions OnPort(std::uint8_t port) {
    sim::DeviceOptions o;
    o.ports = {port};
    return o;
  }
  // Transfers recorded since the last Clear that match a request.
  std::size_t Count(std::uint8_t type, std::uint8_t request) const {
    std::size_t n = 0;
    for (const auto& t : rec->Transfers()) n += t.setup.bmRequestType == type && t.setup.bRequest == request ? 1 : 0;
    return n;
  }

  testing_support::TempDir dir;
  std::shared_ptr<VirtualClock> clock;
  ScopedClock scoped;
  std::shared_ptr<sim::SimBus> bus;
  std::shared_ptr<RecordingBackend> rec;
};

}  // namespace drover::test
