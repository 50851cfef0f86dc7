#include "app/app_context.h"

namespace drover {

// Each part of the program that is built in fills its seam here; a seam left empty is
// reported as not built yet when start-up reaches it.
AppSeams DefaultAppSeams() {
  AppSeams seams;
  return seams;
}

}  // namespace drover
