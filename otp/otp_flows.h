#pragma once
// What the application calls of the OTP library: the registration of the OTP leaf with the
// device-flow factory at start-up, and the OTP space report of the command line's detect
// action.
#include <string>

#include "engine/dev_flow.h"

namespace drover {

// From now on the factory builds the OTP leaf of this library for memory type 6 (OTP) on USB.
// Call once at start-up, before the first device-flow object is created.
void RegisterOtpFlows();

// The detect action's report on the loaded image (its size is the image size of the
// report): m_iOtpInfo = used OTP space, m_strConnect = "Used OTP Space: %0.2f KB\nFree OTP
// Space: %0.2f KB\nRemaining Programmable Times: %d.". Works on any device flow with an open
// device. 1 on success; 0 (41928 posted, the flow's texts unchanged) when the block table
// cannot be read.
int ReportOtpSpace(CDevFlow& flow);

}  // namespace drover
