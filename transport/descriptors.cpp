// Configuration-descriptor walks and the identity-text rules of the device tree.
#include <map>
#include <mutex>
#include <vector>

#include "base/bytes.h"
#include "base/strfmt.h"
#include "transport/enumeration.h"

namespace drover {
namespace {

constexpr std::uint8_t kTypeInterface = 4;
constexpr std::uint8_t kTypeCsInterface = 0x24;
constexpr std::uint16_t kOurExtensionCode = 0x0BDA;

enum class Walk { Continue, Stop };

// Visits each descriptor of a configuration in order. The walk stays inside the bytes given
// and wTotalLength; a descriptor shorter than its 2-byte header or running past the end
// makes the configuration malformed (false). A visitor's Stop ends the walk early (true).
template <typename Visitor>
bool WalkDescriptors(std::span<const std::uint8_t> config, Visitor&& visit) {
  std::size_t limit = config.size();
  if (limit >= 4 && config[1] == kDescConfiguration) {
    const std::size_t total = ReadLE16(config, 2);
    if (total < limit) limit = total;
  }
  std::size_t pos = 0;
  while (pos < limit) {
    if (limit - pos < 2) return false;
    const std::size_t len = config[pos];
    if (len < 2 || len > limit - pos) return false;
    if (visit(config.subspan(pos, len)) == Walk::Stop) return true;
    pos += len;
  }
  return true;
}

bool IsOurExtensionUnit(std::span<const std::uint8_t> d) {
  return d[1] == kTypeCsInterface && d.size() >= 6 && (d[2] == 8 || d[2] == 9) && ReadLE16(d, 4) == kOurExtensionCode;
}

}  // namespace

int FindExtensionUnit(std::span<const std::uint8_t> config) {
  int unit = -1;
  bool inFirstInterface = false;
  const bool wellFormed = WalkDescriptors(config, [&](std::span<const std::uint8_t> d) {
    if (!inFirstInterface) {
      inFirstInterface = d[1] == kTypeInterface;
      return Walk::Continue;
    }
    // Only the class-specific descriptors directly after the first interface count.
    if (d[1] != kTypeCsInterface) return Walk::Stop;
    if (IsOurExtensionUnit(d)) {
      unit = d[3];
      return Walk::Stop;
    }
    return Walk::Continue;
  });
  return wellFormed ? unit : -1;
}

bool ConfigHasOurExtensionUnit(std::span<const std::uint8_t> config) {
  bool found = false;
  const bool wellFormed = WalkDescriptors(config, [&](std::span<const std::uint8_t> d) {
    found = IsOurExtensionUnit(d);
    return found ? Walk::Stop : Walk::Continue;
  });
  return wellFormed && found;
}

std::uint8_t InterfaceNumberFromId(const std::string& instanceId) {
  const std::string upper = AsciiUpper(instanceId);
  const std::size_t at = upper.find("MI_");
  if (at == std::string::npos || at + 5 > upper.size()) return 0;
  // The two characters are the interface number in hexadecimal ("MI_10" is interface 16).
  auto hex = [](char c) { return c >= 'A' && c <= 'F' ? c - 'A' + 10 : (c >= '0' && c <= '9' ? c - '0' : -1); };
  const int d1 = hex(upper[at + 3]);
  const int d2 = hex(upper[at + 4]);
  if (d1 < 0 || d2 < 0) return 0;
  return static_cast<std::uint8_t>(d1 * 16 + d2);
}

std::uint32_t RootHubClass(const std::string& instanceId) {
  static constexpr const char* kClass3[] = {"ROOT_HUB30", "TIUSBD_HUB", "ROOT_HUB_FL30", "VIA_ROOT_HUB",
                                            "ASMEDIAUSBD_HUB"};
  static constexpr const char* kClass2[] = {"ROOT_HUB20", "IWSEPAL\\VRHUB"};
  for (const char* n : kClass3) {
    if (ContainsNoCase(instanceId, n)) return 3;
  }
  for (const char* n : kClass2) {
    if (ContainsNoCase(instanceId, n)) return 2;
  }
  return 1;
}

bool IsRootHub(const std::string& instanceId) {
  static constexpr const char* kRootHubs[] = {"ROOT_HUB", "VMUSB\\HUB", "TIUSBD_HUB", "ROOT_HUB_FL30",
                                              "VIA_ROOT_HUB", "ASMEDIAUSBD_HUB", "IWSEPAL\\VRHUB"};
  for (const char* n : kRootHubs) {
    if (ContainsNoCase(instanceId, n)) return true;
  }
  return false;
}

bool LocationPathContains(const std::string& a, const std::string& b) {
  if (b.empty()) return false;
  const std::string ua = AsciiUpper(a);
  const std::string ub = AsciiUpper(b);
  // Whole levels only, so that "USB(1)" never matches inside "USB(12)" whatever the form.
  for (std::size_t at = ua.find(ub); at != std::string::npos; at = ua.find(ub, at + 1)) {
    const bool startOk = at == 0 || ua[at - 1] == '#';
    const std::size_t end = at + ub.size();
    const bool endOk = end == ua.size() || ua[end] == '#';
    if (startOk && endOk) return true;
  }
  return false;
}

namespace {
std::mutex g_instLock;
std::map<std::string, DevInst> g_instByKey;
std::vector<std::string> g_instIds;  // index = number - 1
}  // namespace

DevInst DevInstFromId(const std::string& instanceId) {
  if (instanceId.empty()) return 0;
  std::lock_guard<std::mutex> g(g_instLock);
  const std::string key = AsciiUpper(instanceId);
  auto it = g_instByKey.find(key);
  if (it != g_instByKey.end()) return it->second;
  g_instIds.push_back(instanceId);
  const DevInst n = static_cast<DevInst>(g_instIds.size());
  g_instByKey.emplace(key, n);
  return n;
}

std::string DevInstId(DevInst inst) {
  std::lock_guard<std::mutex> g(g_instLock);
  if (inst == 0 || inst > g_instIds.size()) return {};
  return g_instIds[inst - 1];
}

}  // namespace drover
