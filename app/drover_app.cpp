#include "app/drover_app.h"

#include <cstdio>

#include "base/status.h"

namespace drover {

int CDroverApp::Run(int, char**) {
  std::fprintf(stderr, "drover: start-up is not built yet\n");
  SetLastStatus(41500);
  return GetLastStatus() != 0 ? 1 : 0;
}

}  // namespace drover
