#include "app/app_context.h"

#include <sys/utsname.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "base/status.h"

namespace drover {

namespace {
std::atomic<AppContext*> g_context{nullptr};
}

COsInfo COsInfo::Read() {
  COsInfo info;
  struct utsname u {};
  if (::uname(&u) == 0) {
    // A release text such as "6.1.0-18-amd64": major and minor are its first two numbers.
    char* end = nullptr;
    unsigned long major = std::strtoul(u.release, &end, 10);
    if (end && *end == '.') {
      info.dwMajorVersion = static_cast<std::uint32_t>(major);
      info.dwMinorVersion = static_cast<std::uint32_t>(std::strtoul(end + 1, nullptr, 10));
    }
  }
  return info;
}

void AppContext::CreateSharedObjects() {
  ReleaseSharedObjects();
  const bool icTypesBuilt = static_cast<bool>(seams.createIcTypes);
  if (icTypesBuilt) {
    seams.createIcTypes(*this);
    bIcTypesCreated = true;
  } else
    ReportNotBuilt("the IC-type set");
  pOsInfo = std::make_unique<COsInfo>(COsInfo::Read());
  // A missing executor is reported when command-line mode needs it.
  if (seams.createExecutor) pParseArg = seams.createExecutor(*this);
  CreateDeviceFlow();  // resets the last status
  if (!icTypesBuilt) SetLastStatus(41500);
}

bool AppContext::CreateDeviceFlow() {
  pDevFlow.reset();
  SetLastStatus(0);
  if (!seams.createDeviceFlow) {
    ReportNotBuilt("the device-flow object");
    return false;
  }
  seams.createDeviceFlow(*this);
  return pDevFlow != nullptr;
}

void AppContext::ReleaseSharedObjects() {
  pDevFlow.reset();
  pOsInfo.reset();
  if (bIcTypesCreated && seams.releaseIcTypes) seams.releaseIcTypes(*this);
  bIcTypesCreated = false;
  pParseArg.reset();
}

AppContext* CurrentAppContext() { return g_context.load(); }
void SetCurrentAppContext(AppContext* context) { g_context = context; }

void ReportNotBuilt(const std::string& part) {
  std::fprintf(stderr, "drover: %s is not built yet\n", part.c_str());
  SetLastStatus(41500);
}

}  // namespace drover
