#pragma once
// The surroundings a device flow needs, for benchmarks: the virtual clock, a simulated bus in
// a fresh directory with the transport started over it, a settings store with every default,
// a message box that answers OK and a post sink that drops the posts. One session per
// benchmark; everything is put back when it ends.
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/file_util.h"
#include "base/message_box.h"
#include "base/settings.h"
#include "base/status.h"
#include "base/trace.h"
#include "engine/devflow_factory.h"
#include "engine/engine_context.h"
#include "image/ic_type.h"
#include "resources/resource.h"
#include "sim/sim_bus.h"
#include "transport/transport_service.h"

namespace drover::bench {

using Bytes = std::vector<std::uint8_t>;

inline constexpr int kImage7330 = 3018;  // FFU_7330: 64 KiB, configuration block at 0xF000

inline Bytes BuiltInImage(int id) {
  const auto image = res::FindResource(kFirmwareResourceType, id);
  return {image.begin(), image.end()};
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = "/tmp/drover-bench-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

class DefaultSettings final : public ISettingsStore {
 public:
  std::uint32_t GetInt(const std::string&, const std::string&, std::int32_t def) const override {
    return static_cast<std::uint32_t>(def);
  }
  std::string GetText(const std::string&, const std::string&, const std::string& def) const override { return def; }
  void SetInt(const std::string&, const std::string&, std::int32_t) override {}
};

class OkBox final : public IMessageBox {
 public:
  int Show(const std::string&, const std::string&, unsigned) override { return IDOK; }
};

class DropPosts final : public IPostSink {
 public:
  void OnPost(std::uint32_t, std::uintptr_t, std::intptr_t) override {}
};

class SimSession {
 public:
  SimSession() : m_clock(std::make_shared<VirtualClock>()), m_scoped(m_clock) {
    std::string error;
    bus = sim::SimBus::Open(m_busDir.Path(), true, &error);
    if (!bus) throw std::runtime_error("simulated bus: " + error);
    if (!StartTransport(0, bus->Backend())) throw std::runtime_error("transport did not start");
    SetSettingsStore(std::make_shared<DefaultSettings>());
    SetMessageBox(std::make_shared<OkBox>());
    SetPostSink(&m_posts);
    SetModuleDirectoryOverride(m_programDir.Path());
    SetTraceObserver(nullptr);
    std::uint32_t busType = 0;
    ctx.pIcType = CreateIcTypeLayer(0, busType);
  }
  ~SimSession() {
    if (flow) flow->DEV_CloseDevice();
    flow.reset();
    StopTransport();
    bus.reset();  // before its directory goes and while the virtual clock still runs
    SetPostSink(nullptr);
    SetMessageBox(nullptr);
    SetSettingsStore(nullptr);
    SetModuleDirectoryOverride("");
  }
  SimSession(const SimSession&) = delete;
  SimSession& operator=(const SimSession&) = delete;

  int AddDevice(const sim::DeviceOptions& o) {
    std::string error;
    const int n = bus->AddDevice(o, &error);
    if (n < 0) throw std::runtime_error("device: " + error);
    return n;
  }

  // Makes a fresh SPI flash leaf, opens device n with it, makes the chip's definition active
  // and reads the device as the dialog does after opening it.
  void Open(int n) {
    if (flow) flow->DEV_CloseDevice();
    flow = CreateDevFlow(ctx, kMemorySpiFlash, kBusUsb);
    ctx.uMemoryType = kMemorySpiFlash;
    if (!flow || flow->MP_OpenDevice(n) != 1) throw std::runtime_error("device did not open");
    std::uint8_t b0 = 0, b1 = 0;
    if (!flow->MP_ReadChipId(b0, b1, 0) || !SearchIcTypeByRegisters(ctx.pIcType, 0, b0 & 0xF0, b1 & 0xF0))
      throw std::runtime_error("chip not recognised");
    flow->MP_GetDeviceInfo();
    SetLastStatus(0);
  }

  // Control transfers device n has answered so far.
  std::uint64_t Transfers(int n) {
    sim::DeviceInfo info;
    bus->GetInfo(n, info);
    return info.transfers;
  }

  EngineContext ctx;
  std::shared_ptr<sim::SimBus> bus;
  std::unique_ptr<CDevFlow> flow;

 private:
  TempDir m_busDir;
  TempDir m_programDir;
  std::shared_ptr<VirtualClock> m_clock;
  ScopedClock m_scoped;
  DropPosts m_posts;
};

}  // namespace drover::bench
