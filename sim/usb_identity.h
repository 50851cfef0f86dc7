#pragma once
// The USB face of a simulated device: descriptors, strings and the device-tree names the
// host's string rules work on.
#include <cstdint>
#include <string>
#include <vector>

#include "sim/sim_types.h"

namespace drover::sim {

// 18-byte device descriptor.
std::vector<std::uint8_t> BuildDeviceDescriptor(const DeviceOptions& o);
// The whole configuration descriptor (wTotalLength bytes).
std::vector<std::uint8_t> BuildConfigDescriptor(const DeviceOptions& o);
// String descriptor n (0: the language list); false when the device has no such string.
bool BuildStringDescriptor(const DeviceOptions& o, std::uint8_t index, std::vector<std::uint8_t>& out);
// Interface number of the audio-control interface (2 on composite devices).
std::uint8_t AudioControlInterface(const DeviceOptions& o);

// "1-2.3": bus, then the port chain.
std::string PortText(const DeviceOptions& o);
// USB\VID_0B05&PID_1996\1-2.3
std::string DeviceInstanceId(const DeviceOptions& o);
// The audio function: USB\VID_0B05&PID_1996&MI_02\1-2.3:1.2 on a composite device, else the
// device instance itself.
std::string FunctionInstanceId(const DeviceOptions& o);
// USBROOT(1)#USB(2)#USB(3)
std::string LocationPathOf(std::uint8_t bus, const std::vector<std::uint8_t>& ports);
std::string RootHubInstanceId(const DeviceOptions& o);
// Instance of the external hub at the given prefix of the port chain (1 <= depth < size).
std::string HubInstanceId(std::uint8_t bus, const std::vector<std::uint8_t>& ports, std::size_t depth);

// UTF-8 text to UTF-16 code units (invalid bytes become U+FFFD).
std::u16string Utf8ToUtf16(const std::string& text);

}  // namespace drover::sim
