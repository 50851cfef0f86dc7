#pragma once
// The text record of one simulated device ("devN.txt"): identity, chip state, faults and bus
// presence as "key: value" lines.
#include <cstdint>
#include <string>

#include "sim/sim_chip.h"
#include "sim/sim_types.h"

namespace drover::sim {

struct Presence {
  bool plugged = true;
  bool resetPending = false;  // away after a reset
  int resetType = 0;
  std::uint64_t resetAtMs = 0;   // on the owner's clock
  std::uint64_t returnAtMs = 0;  // on the owner's clock
  std::string owner;             // "<pid>/<token>" of the bus object that sent the reset
  std::uint64_t generation = 0;  // counts enumerations; an open handle of an older one is dead
  std::string objectName;        // empty while absent
};

struct DeviceRecord {
  int number = 0;
  DeviceOptions options;  // image left empty
  ChipState chip;
  Faults faults;
  Presence presence;
};

std::string SerializeRecord(const DeviceRecord& record);
// False with an error text when the text is not a device record.
bool ParseRecord(const std::string& text, DeviceRecord& out, std::string* error = nullptr);

}  // namespace drover::sim
