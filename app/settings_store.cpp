#include "app/settings_store.h"

namespace drover {

CIniSettingsStore::CIniSettingsStore(std::string_view text) : m_ini(std::string()) {
  if (!text.empty()) m_ini.ReadFromText(text);
}

std::uint32_t CIniSettingsStore::GetInt(const std::string& section, const std::string& key,
                                        std::int32_t def) const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_ini.GetValueInt(section, key, def);
}

std::string CIniSettingsStore::GetText(const std::string& section, const std::string& key,
                                       const std::string& def) const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_ini.GetValue(section, key, def);
}

void CIniSettingsStore::SetInt(const std::string& section, const std::string& key, std::int32_t value) {
  std::lock_guard<std::mutex> g(m_lock);
  m_ini.SetValueInt(section, key, value, true);
}

}  // namespace drover
