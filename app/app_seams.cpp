// The parts of the program built into drover, plugged into start-up.
#include <cstdio>

#include "app/app_context.h"
#include "app/parse_arg.h"
#include "base/clock.h"
#include "engine/dev_flow.h"
#include "engine/devflow_factory.h"
#include "image/ic_type.h"
#include "otp/otp_flows.h"
#include "sim/sim_bus.h"
#include "transport/transport_service.h"

namespace drover {

AppSeams DefaultAppSeams() {
  // The OTP leaf of the OTP library serves memory type 6 from the first device flow on.
  RegisterOtpFlows();
  AppSeams seams;
  seams.createIcTypes = [](AppContext& ctx) {
    ctx.engine.uIniType = ctx.iIniType;
    ctx.engine.pIcType = CreateIcTypeLayer(ctx.iIniType, ctx.engine.uBusType);
  };
  seams.releaseIcTypes = [](AppContext& ctx) {
    ctx.engine.pIcType.reset();
    ctx.engine.pVidPidList.reset();
  };
  seams.createExecutor = [](AppContext& ctx) -> std::unique_ptr<ICommandLineExecutor> {
    return std::make_unique<CParseArg>(ctx);
  };
  seams.createDeviceFlow = [](AppContext& ctx) {
    ctx.pDevFlow = CreateDevFlow(ctx.engine, ctx.engine.uMemoryType, ctx.engine.uBusType);
  };
  seams.closeDevice = [](AppContext& ctx) {
    if (ctx.pDevFlow) ctx.pDevFlow->DEV_CloseDevice();
  };
  seams.chooseClock = [](bool commandLineMode) -> std::shared_ptr<IClock> {
    // A simulated device's resets and busy polls cost no real time in a command-line run;
    // the dialog, which a person watches, keeps real time.
    if (commandLineMode && sim::SimulationRequested() && !sim::SimulationRealtimeRequested())
      return std::make_shared<VirtualClock>();
    return nullptr;
  };
  seams.startTransport = [](std::uint32_t libType) {
    if (!sim::SimulationRequested()) {
      StartTransport(libType);
      return;
    }
    std::string error;
    std::shared_ptr<usb::IUsbBackend> bus = sim::OpenBusFromEnvironment(&error);
    if (!bus) {
      // Asked for a simulated bus: real devices must not be touched instead.
      std::fprintf(stderr, "drover: DROVER_SIM: %s\n", error.c_str());
      return;
    }
    StartTransport(libType, std::move(bus));
  };
  seams.stopTransport = [](std::uint32_t) { StopTransport(); };
  seams.reportOtpSpace = [](AppContext&, CDevFlow& flow) { return ReportOtpSpace(flow); };
  return seams;
}

}  // namespace drover
