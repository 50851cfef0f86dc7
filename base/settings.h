#pragma once
// Read access to the settings store (section "Drover Config"); the application fills it from
// the built-in settings text. "PortNo" is the only key ever written, in memory only.
#include <cstdint>
#include <memory>
#include <string>

namespace drover {

inline constexpr const char* kConfigSection = "Drover Config";

// Contract: every read answers the caller's default when the section or key is missing.
class ISettingsStore {
 public:
  virtual ~ISettingsStore() = default;
  virtual std::uint32_t GetInt(const std::string& section, const std::string& key, std::int32_t def) const = 0;
  virtual std::string GetText(const std::string& section, const std::string& key, const std::string& def) const = 0;
  virtual void SetInt(const std::string& section, const std::string& key, std::int32_t value) = 0;
};

// The process-wide store; until the application installs one, an empty store (all defaults).
ISettingsStore& Settings();
void SetSettingsStore(std::shared_ptr<ISettingsStore> store);
std::shared_ptr<ISettingsStore> GetSettingsStorePtr();

// Shorthands for the one section the program reads.
inline std::uint32_t ConfigInt(const std::string& key, std::int32_t def) {
  return Settings().GetInt(kConfigSection, key, def);
}
inline std::string ConfigText(const std::string& key, const std::string& def) {
  return Settings().GetText(kConfigSection, key, def);
}

}  // namespace drover
