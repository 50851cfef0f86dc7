#pragma once
// A device flow on the simulated bus and the virtual clock, with recording doubles for the
// settings, posts, message boxes, trace lines, the console and the dialog's device list.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/file_util.h"
#include "base/message_box.h"
#include "base/settings.h"
#include "base/status.h"
#include "base/thread_flag.h"
#include "base/trace.h"
#include "engine/devflow_factory.h"
#include "engine/engine_context.h"
#include "engine_test_support.h"
#include "image/ic_type.h"
#include "sim/sim_bus.h"
#include "transport/kes_device.h"
#include "transport/transport_service.h"

namespace drover::engine_test {

class SimFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_clock = std::make_shared<VirtualClock>();
    m_scopedClock = std::make_unique<ScopedClock>(m_clock);
    std::string error;
    bus = sim::SimBus::Open(m_busDir.Path(), true, &error);
    ASSERT_NE(bus, nullptr) << error;
    ASSERT_TRUE(StartTransport(0, bus->Backend()));
    settings = std::make_shared<MapSettings>();
    SetSettingsStore(settings);
    box = std::make_shared<RecordingBox>();
    SetMessageBox(box);
    SetPostSink(&posts);
    SetModuleDirectoryOverride(m_programDir.Path());
    SetTraceObserver([this](std::string_view line) { trace.emplace_back(line); });
    SetLastStatus(0);
    ctx.pDeviceList = &list;
    ctx.consolePrint = [this](std::string_view text) { console += std::string(text); };
    std::uint32_t busType = 0;
    ctx.pIcType = CreateIcTypeLayer(0, busType);
    flow = CreateDevFlow(ctx, kMemorySpiFlash, kBusUsb);
    ASSERT_NE(flow, nullptr);
  }

  void TearDown() override {
    if (flow) flow->DEV_CloseDevice();
    flow.reset();
    StopTransport();
    SetMainDialogThreadFlag(nullptr);
    SetTraceObserver(nullptr);
    SetPostSink(nullptr);
    SetMessageBox(nullptr);
    SetSettingsStore(nullptr);
    SetModuleDirectoryOverride("");
    m_scopedClock.reset();
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
  bool Traced(const std::string& text) const {
    for (const std::string& line : trace)
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
  std::string ProgramDir() const { return m_programDir.Path(); }
  VirtualClock& Clock() { return *m_clock; }

  TempDir m_busDir;
  TempDir m_programDir;
  std::shared_ptr<VirtualClock> m_clock;
  std::unique_ptr<ScopedClock> m_scopedClock;
  std::shared_ptr<sim::SimBus> bus;
  std::shared_ptr<MapSettings> settings;
  std::shared_ptr<RecordingBox> box;
  PostRecorder posts;
  RecordingDeviceList list;
  std::vector<std::string> trace;
  std::string console;
  EngineContext ctx;
  std::unique_ptr<CDevFlow> flow;
};

}  // namespace drover::engine_test
