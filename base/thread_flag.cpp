#include "base/thread_flag.h"

#include <atomic>

namespace drover {

namespace {
std::atomic<CThreadFlag*> g_flag{nullptr};
}

void SetMainDialogThreadFlag(CThreadFlag* flag) { g_flag = flag; }
CThreadFlag* MainDialogThreadFlag() { return g_flag; }

bool StopRequested() {
  CThreadFlag* f = g_flag;
  return f != nullptr && f->GetStopFlag() == 1;
}

}  // namespace drover
