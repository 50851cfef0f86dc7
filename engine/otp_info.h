#pragma once
// The OTP branch of the device flow: OTP programming with ECC and redundancy (CMpFlow_OTP),
// the OTP entry points (COTPInfo) and the OTP leaf. Its slots 1 to 10 and the OTP usage value
// give the base answers until the OTP flows answer them; the OTP library may register a leaf
// of its own with the factory.
#include "engine/config_info.h"

namespace drover {

class CMpFlow_OTP : public CEepromConfigInfo {
 public:
  using CEepromConfigInfo::CEepromConfigInfo;
};

class COTPInfo : public CMpFlow_OTP {
 public:
  using CMpFlow_OTP::CMpFlow_OTP;
};

// Leaf: OTP on USB.
class COTPInfo_USB : public COTPInfo {
 public:
  using COTPInfo::COTPInfo;
};

}  // namespace drover
