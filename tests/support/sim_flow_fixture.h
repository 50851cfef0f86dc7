#pragma once
// The surroundings of a device-flow test: the virtual clock, a simulated bus in a fresh
// directory started as the process's transport, settings in memory, a message box of the
// test's choice, the post and trace observers, a program directory of its own and a context
// holding the IC-type layer. TearDown puts every process-wide hook back.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "base/file_util.h"
#include "base/message_box.h"
#include "base/settings.h"
#include "base/status.h"
#include "base/thread_flag.h"
#include "base/trace.h"
#include "engine/engine_context.h"
#include "image/ic_type.h"
#include "sim/sim_bus.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_doubles.h"
#include "transport/transport_service.h"

namespace drover::testing_support {

template <class Box>
class SimFlowSurroundings : public ::testing::Test {
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
    box = std::make_shared<Box>();
    SetMessageBox(box);
    SetPostSink(&posts);
    SetModuleDirectoryOverride(m_programDir.Path());
    SetTraceObserver([this](std::string_view line) { trace.emplace_back(line); });
    SetLastStatus(0);
    std::uint32_t busType = 0;
    ctx.pIcType = CreateIcTypeLayer(0, busType);
  }

  // Call after closing the test's flow: the transport goes before the hooks are put back.
  void TearDown() override {
    StopTransport();
    SetMainDialogThreadFlag(nullptr);
    SetTraceObserver(nullptr);
    SetPostSink(nullptr);
    SetMessageBox(nullptr);
    SetSettingsStore(nullptr);
    SetModuleDirectoryOverride("");
    m_scopedClock.reset();
  }

  bool Traced(const std::string& text) const {
    for (const std::string& line : trace)
      if (line.find(text) != std::string::npos) return true;
    return false;
  }

  TempDir m_busDir;
  TempDir m_programDir;
  std::shared_ptr<VirtualClock> m_clock;
  std::unique_ptr<ScopedClock> m_scopedClock;
  std::shared_ptr<sim::SimBus> bus;
  std::shared_ptr<MapSettings> settings;
  std::shared_ptr<Box> box;
  PostRecorder posts;
  std::vector<std::string> trace;
  EngineContext ctx;
};

}  // namespace drover::testing_support
