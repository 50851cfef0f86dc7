#pragma once
// The small dispatcher through which command-line mode reaches slot 6 of the device flow.
#include <string>

#include "engine/dev_flow.h"

namespace drover {

// Action 'S': DEV_Silence_WriteSNBin(path, serial) with the last status cleared first; any
// other action character answers 0 with the last status 41500 ("Not Support!").
int DEV_SilenceDispatch(CDevFlow& flow, char action, const std::string& path, const std::string& serial);

}  // namespace drover
