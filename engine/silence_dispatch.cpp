#include "engine/silence_dispatch.h"

#include "base/status.h"
#include "base/trace.h"

namespace drover {

int DEV_SilenceDispatch(CDevFlow& flow, char action, const std::string& path, const std::string& serial) {
  TraceScope scope("DEV_SilenceDispatch");
  SetLastStatus(0);
  if (action == 'S') return flow.DEV_Silence_WriteSNBin(path, serial);
  SetLastStatus(kStatusNotSupport);
  return 0;
}

}  // namespace drover
