#pragma once
// The settings store: one INI document in memory, filled from the built-in settings text and
// never saved. Reads answer the caller's default for a missing key.
#include <mutex>
#include <string>

#include "base/settings.h"
#include "image/ini_file.h"

namespace drover {

// The built-in settings text: resource "ICINI" 3032.
inline constexpr const char* kSettingsResourceType = "ICINI";
inline constexpr int kSettingsResourceId = 3032;

class CIniSettingsStore final : public ISettingsStore {
 public:
  // Parses the text into a store with no file name (nothing is ever read from disk).
  explicit CIniSettingsStore(std::string_view text = {});
  std::uint32_t GetInt(const std::string& section, const std::string& key, std::int32_t def) const override;
  std::string GetText(const std::string& section, const std::string& key, const std::string& def) const override;
  // In memory only ("PortNo" is the one key the program changes after start).
  void SetInt(const std::string& section, const std::string& key, std::int32_t value) override;

 private:
  mutable std::mutex m_lock;
  CIniFile m_ini;
};

}  // namespace drover
