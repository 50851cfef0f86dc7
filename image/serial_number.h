#pragma once
// The per-unit text written into the configuration block of the loaded image before a
// download: the block is rebuilt with the text in its Manufacturer or serial number item and
// put back into the image.
#include <cstdint>
#include <string>
#include <vector>

#include "image/image_format.h"

namespace drover {

inline constexpr std::uint32_t kSaveSnFailId = 41713;  // "Save SN Fail!"
inline constexpr std::size_t kMaxSerialTextBytes = 48;
inline constexpr std::uint8_t kSnFunctionPrefix = 0x07;

// The three settings of [Drover Config] that steer the step (each 0 by default).
struct SerialNumberOptions {
  std::uint32_t uSaveSN = 0;      // non-zero: write the text before the download
  std::uint32_t uSNAddress = 0;   // 0: Manufacturer item (type 1); else serial number item (3)
  std::uint32_t uSNFunction = 0;  // with uSNAddress: the character 7 goes in front of the text
  // "SaveSN", "SN Address", "SN Function" from the settings store.
  static SerialNumberOptions FromSettings();
};

// Prepares the image for download: with SaveSN, writes the serial text into it (OTP images
// are first padded to ConfigSize, afterwards cut to the new block's length). Returns 1 when
// the image is ready (written or untouched), 0 with errorOut = 41713 on failure; a refused
// image is left unchanged.
int PreActionForAllInOne(ImageState& state, std::vector<std::uint8_t>& image, const std::string& serialText,
                         const SerialNumberOptions& options, std::uint32_t& errorOut);
// The same with the options read from the settings store.
int PreActionForAllInOne(ImageState& state, std::vector<std::uint8_t>& image, const std::string& serialText,
                         std::uint32_t& errorOut);

// Rebuild the block at ConfigAddress with text in the Manufacturer item (type 1) or the serial
// number item (type 3, with the SN Function prefix when options ask for it); a missing item is
// added as the last. At most 48 bytes of text. For a non-zero ConfigAddress the new block's
// kind byte becomes 0x55 and the tag at TagAddress 0x55 0xAA. False, with the image unchanged,
// when the image is too short for the configuration area or the tag, has no block at
// ConfigAddress, the text is too long, an item cannot be encoded or the block does not fit.
bool WriteVendorText(ImageState& state, std::vector<std::uint8_t>& image, const std::string& text);
bool WriteSerialText(ImageState& state, std::vector<std::uint8_t>& image, const std::string& text,
                     const SerialNumberOptions& options);

}  // namespace drover
