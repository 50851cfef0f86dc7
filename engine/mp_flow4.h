#pragma once
// The layers between CMpFlow and the polymorphic device flow: the flash blank check
// (CMpFlow2), opening the device in update mode (CMpFlow4) and OTP block validation
// (CMpFlow_Customize).
#include "engine/mp_flow.h"

namespace drover {

// The flash blank check joins this layer with the flash update sequences.
class CMpFlow2 : public CMpFlow {
 public:
  using CMpFlow::CMpFlow;

  // Reads the image's range (mapped by chip code) into buffer and requires it blank; chips
  // without a second bank read one 4 KiB piece in four (flash_update.cpp).
  int MP_CheckSPIFlashEmpty(std::span<std::uint8_t> buffer);
};

class CMpFlow4 : public CMpFlow2 {
 public:
  using CMpFlow2::CMpFlow2;

  // Prepares the chip and switches it to update mode before a download; nonzero on success.
  int MP_OpenRomDevice();
};

// OTP block validation joins this layer with the OTP programming.
class CMpFlow_Customize : public CMpFlow4 {
 public:
  using CMpFlow4::CMpFlow4;
};

}  // namespace drover
