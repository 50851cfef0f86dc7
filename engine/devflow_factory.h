#pragma once
// The factory of the device-flow object: one leaf per (memory type, bus type) pair, and the
// copy of the shared data record that carries settings and strings from one object to the
// next.
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>

#include "engine/dev_flow.h"

namespace drover {

using DevFlowCreator = std::unique_ptr<CDevFlow> (*)(EngineContext& context);

// One row of the factory table.
struct DevFlowFactoryRow {
  std::uint32_t memoryType;
  std::uint32_t busType;
  std::string_view leaf;  // class name of the leaf
  DevFlowCreator create;
};

// Every pair that has a leaf; any other pair has no device-flow object.
std::span<const DevFlowFactoryRow> DevFlowFactoryTable();

// A library above the engine (the OTP flows) may build the leaf of a pair of the table with
// its own class; an empty function restores the table's leaf.
using DevFlowOverride = std::function<std::unique_ptr<CDevFlow>(EngineContext& context)>;
void OverrideDevFlowLeaf(std::uint32_t memoryType, std::uint32_t busType, DevFlowOverride create);

// The leaf of the pair with `saved` (when given) copied into its record; nullptr for a pair
// without a leaf. The last status is 0 afterwards either way.
std::unique_ptr<CDevFlow> CreateDevFlow(EngineContext& context, std::uint32_t memoryType, std::uint32_t busType,
                                        const CMpConfig* saved = nullptr);

// The application's factory call: destroys `current` (saving its record first when
// saveRecord, so that the next object starts from the same settings and strings) and creates
// the leaf of the context's memory and bus type. With carryHandle the open device handle goes
// over to the new object (nothing closes the device here). `current` is null afterwards when
// the pair has no leaf.
void RecreateDevFlow(std::shared_ptr<CDevFlow>& current, EngineContext& context, bool saveRecord,
                     bool carryHandle);

}  // namespace drover
