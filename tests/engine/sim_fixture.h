#pragma once
// A device flow on the simulated bus and the virtual clock, with recording doubles for the
// settings, posts, message boxes, trace lines, the console and the dialog's device list.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/devflow_factory.h"
#include "engine_test_support.h"
#include "sim/sim_bus.h"
#include "tests/support/sim_flow_fixture.h"
#include "transport/kes_device.h"

namespace drover::engine_test {

class SimFlowTest : public testing_support::SimFlowSurroundings<RecordingBox> {
 protected:
  void SetUp() override {
    SimFlowSurroundings::SetUp();
    if (HasFatalFailure()) return;
    ctx.pDeviceList = &list;
    ctx.consolePrint = [this](std::string_view text) { console += std::string(text); };
    flow = CreateDevFlow(ctx, kMemorySpiFlash, kBusUsb);
    ASSERT_NE(flow, nullptr);
  }

  void TearDown() override {
    if (flow) flow->DEV_CloseDevice();
    flow.reset();
    SimFlowSurroundings::TearDown();
  }

  // Adds a device; PIDs tell the devices of a test apart.
  int Add(sim::DeviceOptions o) {
    std::string error;
    const int n = bus->AddDevice(o, &error);
    EXPECT_GE(n, 0) << error;
    return n;
  }
  static sim::DeviceOptions Device(std::uint16_t pid, std::string ic = "VQ7330") {
    sim::DeviceOptions o;
    o.ic = std::move(ic);
    o.pid = pid;
    return o;
  }
  // A device the host refuses: it answers only the extension-unit form.
  static sim::DeviceOptions Refused(std::uint16_t pid) {
    sim::DeviceOptions o = Device(pid);
    o.form = sim::CommandForm::ExtensionUnit;
    return o;
  }
  sim::DeviceInfo Info(int n) {
    sim::DeviceInfo info;
    EXPECT_TRUE(bus->GetInfo(n, info));
    return info;
  }
  std::string ProgramDir() const { return m_programDir.Path(); }
  VirtualClock& Clock() { return *m_clock; }

  RecordingDeviceList list;
  std::string console;
  std::unique_ptr<CDevFlow> flow;
};

}  // namespace drover::engine_test
