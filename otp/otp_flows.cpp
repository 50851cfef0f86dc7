#include "otp/otp_flows.h"

#include <memory>

#include "base/status.h"
#include "base/trace.h"
#include "engine/devflow_factory.h"
#include "image/image_format.h"
#include "otp/otp_download.h"
#include "otp/otp_space.h"

namespace drover {

void RegisterOtpFlows() {
  OverrideDevFlowLeaf(kMemoryOtp, kBusUsb,
                      [](EngineContext& context) -> std::unique_ptr<CDevFlow> {
                        return std::make_unique<otp::COTPInfo_USB>(context);
                      });
}

int ReportOtpSpace(CDevFlow& flow) {
  TraceScope scope("CMpFlow4::OTP_SpaceReport");
  otp::COtpCommands commands(flow);
  otp::CBlockTableQueries queries(commands);
  const otp::OtpSpace space = otp::ComputeOtpSpace(queries, flow.m_pFileData.size());
  if (!space.bTableRead) {
    TraceFail(scope, "The block table cannot be read\n");
    PostToDialog(UM_ERROR, otp::status::kReadOtpFail, 0);
    return 0;
  }
  flow.m_iOtpInfo = static_cast<std::int32_t>(space.dwUsed);
  flow.m_strConnect = otp::OtpSpaceCommandLineText(space);
  return 1;
}

}  // namespace drover
