#include "engine/flash_info.h"

#include "base/trace.h"

namespace drover {

// The NOR part keeps its code through the NOR download alone; these jobs have nothing to do.
int CNORFlashInfo_USB::DEV_ReadCode() {
  TraceScope scope("CNORFlashInfo_USB::DEV_ReadCode");
  return 1;
}

int CNORFlashInfo_USB::DEV_EraseCode() {
  TraceScope scope("CNORFlashInfo_USB::DEV_EraseCode");
  return 1;
}

int CNORFlashInfo_USB::DEV_UpdateCode() {
  TraceScope scope("CNORFlashInfo_USB::DEV_UpdateCode");
  return 1;
}

}  // namespace drover
