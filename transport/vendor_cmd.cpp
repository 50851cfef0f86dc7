#include "transport/vendor_cmd.h"

namespace drover {

const char* VcmdStatusText(std::uint8_t status) {
  static constexpr const char* kTexts[] = {
      "VCMD_STS_CMD",          "VCMD_STS_DATA_IN",      "VCMD_STS_DATA_OUT", "VCMD_STS_ERR_DIR",
      "VCMD_STS_NOT_FINISH",   "VCMD_STS_ERR_LEN",      "VCMD_STS_UNKNOWN_SCMD", "VCMD_STS_ERR_OUTRANGE",
      "VCMD_STS_UNKNOWN_CMD",  "VCMD_STS_HW_ERR",
  };
  if (status < sizeof(kTexts) / sizeof(kTexts[0])) return kTexts[status];
  if (status == VCMD_STS_RET_NO_ERR) return "VCMD_STS_RET_NO_ERR";
  return "Undefined ExtUnit error code\n";
}

}  // namespace drover
