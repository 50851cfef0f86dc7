// The parts of the program built into drover, plugged into start-up.
#include "app/app_context.h"
#include "app/parse_arg.h"
#include "engine/dev_flow.h"
#include "engine/devflow_factory.h"
#include "image/ic_type.h"

namespace drover {

AppSeams DefaultAppSeams() {
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
  return seams;
}

}  // namespace drover
