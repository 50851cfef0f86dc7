#include "engine/engine_context.h"

#include "base/settings.h"

namespace drover {

EngineContext::EngineContext() = default;
EngineContext::~EngineContext() = default;

void EngineContext::PrintToConsole(std::string_view text) const {
  if (bCommandLineMode && consolePrint) consolePrint(text);
}

const CICTypeIni& EngineContext::IcType() const {
  static const CICTypeIni empty(0);
  return pIcType ? *pIcType : empty;
}

std::uint32_t UpdateOptionsFromSettings() {
  std::uint32_t options = kOptBlankCheck | kOptVerify;
  if (ConfigInt("ResetToCache", 1) != 0) options |= kOptResetToCache;
  if (ConfigInt("Normal Reset", 1) == 0) options |= kOptAlternateReset;
  return options;
}

std::uint8_t ResetModeFromSettings() { return ConfigInt("Normal Reset", 1) == 0 ? 5 : 6; }

}  // namespace drover
