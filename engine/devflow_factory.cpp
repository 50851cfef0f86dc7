#include "engine/devflow_factory.h"

#include <map>
#include <mutex>
#include <utility>

#include "base/status.h"
#include "engine/eeprom_info.h"
#include "engine/flash_info.h"
#include "engine/otp_info.h"

namespace drover {

namespace {

template <class Leaf>
std::unique_ptr<CDevFlow> Make(EngineContext& context) {
  return std::make_unique<Leaf>(context);
}

constexpr DevFlowFactoryRow kFactory[] = {
    {kMemorySpiFlash, kBusUsb, "CSPIFlashInfo_USB", &Make<CSPIFlashInfo_USB>},
    {kMemoryNorFlash, kBusUsb, "CNORFlashInfo_USB", &Make<CNORFlashInfo_USB>},
    {kMemoryEeprom8, kBusUsb, "CEepromInfo8_USB", &Make<CEepromInfo8_USB>},
    {kMemoryEeprom16, kBusUsb, "CEepromInfo16_USB", &Make<CEepromInfo16_USB>},
    {kMemoryOtp, kBusUsb, "COTPInfo_USB", &Make<COTPInfo_USB>},
};

std::mutex g_overrideLock;
std::map<std::pair<std::uint32_t, std::uint32_t>, DevFlowOverride>& Overrides() {
  static std::map<std::pair<std::uint32_t, std::uint32_t>, DevFlowOverride> overrides;
  return overrides;
}

}  // namespace

std::span<const DevFlowFactoryRow> DevFlowFactoryTable() { return kFactory; }

void OverrideDevFlowLeaf(std::uint32_t memoryType, std::uint32_t busType, DevFlowOverride create) {
  std::lock_guard<std::mutex> g(g_overrideLock);
  if (create) {
    Overrides()[{memoryType, busType}] = std::move(create);
  } else {
    Overrides().erase({memoryType, busType});
  }
}

std::unique_ptr<CDevFlow> CreateDevFlow(EngineContext& context, std::uint32_t memoryType, std::uint32_t busType,
                                        const CMpConfig* saved) {
  SetLastStatus(0);
  const DevFlowFactoryRow* row = nullptr;
  for (const auto& r : kFactory)
    if (r.memoryType == memoryType && r.busType == busType) row = &r;
  if (row == nullptr) return nullptr;

  std::unique_ptr<CDevFlow> flow;
  {
    std::lock_guard<std::mutex> g(g_overrideLock);
    auto it = Overrides().find({memoryType, busType});
    if (it != Overrides().end()) flow = it->second(context);
  }
  if (!flow) flow = row->create(context);
  if (flow && saved) static_cast<CMpConfig&>(*flow) = saved->CopyForNextObject();
  return flow;
}

void RecreateDevFlow(std::shared_ptr<CDevFlow>& current, EngineContext& context, bool saveRecord,
                     bool carryHandle) {
  std::unique_ptr<CMpConfig> saved;
  DevInst handle = 0;
  if (current) {
    if (saveRecord) saved = std::make_unique<CMpConfig>(current->CopyForNextObject());
    handle = current->m_hDevice;
  }
  current.reset();
  current = CreateDevFlow(context, context.uMemoryType, context.uBusType, saved.get());
  if (current && carryHandle) current->m_hDevice = handle;
}

}  // namespace drover
