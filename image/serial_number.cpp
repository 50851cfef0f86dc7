#include "image/serial_number.h"

#include <algorithm>

#include "base/file_util.h"
#include "base/settings.h"
#include "base/trace.h"
#include "image/config_block.h"
#include "image/ic_type.h"

namespace drover {

namespace {

constexpr std::uint8_t kRebuiltKind = 0x55;  // image kind of a rebuilt block away from offset 0
constexpr std::uint8_t kTagLow = 0x55;       // the tag 0xAA55, little-endian
constexpr std::uint8_t kTagHigh = 0xAA;

struct ConfigArea {
  std::uint64_t address = 0;  // ConfigAddress
  std::uint64_t size = 0;     // ConfigSize
  std::uint64_t tag = 0;      // TagAddress
};

ConfigArea ReadArea(const ImageState& state) {
  ConfigArea a;
  if (state.pIcType) {
    a.address = state.pIcType->ConfigAddress();
    a.size = state.pIcType->ConfigSize();
    a.tag = state.pIcType->TagAddress();
  }
  return a;
}

// The rewrite replaces bytes A .. A+S-1 and, away from offset 0, writes the tag: an image too
// short for either, or a tag inside the configuration area, would be written past its end or
// would lose its new block.
bool AreaFits(std::uint64_t length, const ConfigArea& a) {
  if (a.address + a.size > length) return false;
  if (a.address == 0) return true;
  if (a.tag + 2 > length) return false;
  return a.tag + 2 <= a.address || a.tag >= a.address + a.size;
}

bool WriteText(ImageState& state, std::vector<std::uint8_t>& image, std::uint8_t itemType, std::string text) {
  TraceScope scope("CEepromConfigInfo::WriteText", false);
  const ConfigArea area = ReadArea(state);
  if (!AreaFits(image.size(), area)) {
    TraceFail(scope, "Image too short for its configuration area\n");
    return false;
  }
  const std::string narrow = WideToNarrow(text);
  if (narrow.size() > kMaxSerialTextBytes) {
    TraceFail(scope, "Text longer than 48 bytes\n");
    return false;
  }
  const std::size_t a = static_cast<std::size_t>(area.address);
  const std::size_t s = static_cast<std::size_t>(area.size);

  ConfigBlockParser parser;
  parser.LoadBlock(std::span<const std::uint8_t>(image).subspan(a));
  const CDescGlobal* header = parser.ReadHeader();
  if (!header || !header->HasSignature()) {
    // Rebuilding whatever bytes stand there would write a block of junk and tag it valid.
    TraceFail(scope, "No configuration block at ConfigAddress\n");
    return false;
  }
  parser.BeginBuild(*header, true);

  bool found = false;
  const WalkResult walk = WalkItems(parser, [&](CDescriptor& item, std::size_t) {
    if (item.m_byType == itemType) {
      if (auto* str = dynamic_cast<CDescString*>(&item)) {
        str->SetText(narrow);  // bDescriptorType stays as read
        found = true;
      }
    }
    return parser.AppendItem(item);
  });
  if (walk != WalkResult::kCompleted) {
    TraceFail(scope, walk == WalkResult::kCorrupt ? "Config file corrupted\n" : "Append Item Fail\n");
    return false;
  }
  if (!found) {
    CDescString item(itemType);
    item.m_byDescriptorType = 3;
    item.SetText(narrow);
    if (!parser.AppendItem(item)) {
      TraceFail(scope, "Append Item Fail\n");
      return false;
    }
  }

  std::vector<std::uint8_t> buffer(image.size(), 0xFF);
  if (!parser.FinishBuild(std::span<std::uint8_t>(buffer).subspan(a, s))) {
    TraceFail(scope, "Block does not fit its area\n");
    return false;
  }
  std::copy(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(a), buffer.begin());
  if (a != 0) buffer[a] = kRebuiltKind;
  std::copy(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(a + s), image.begin());
  if (a != 0) {
    // Written into the image itself, so that a tag behind the configuration area is kept too.
    const std::size_t t = static_cast<std::size_t>(area.tag);
    image[t] = kTagLow;
    image[t + 1] = kTagHigh;
  }
  state.dwBlockLength = static_cast<std::uint32_t>(parser.BuildTotal());
  return true;
}

}  // namespace

SerialNumberOptions SerialNumberOptions::FromSettings() {
  SerialNumberOptions o;
  o.uSaveSN = ConfigInt("SaveSN", 0);
  o.uSNAddress = ConfigInt("SN Address", 0);
  o.uSNFunction = ConfigInt("SN Function", 0);
  return o;
}

bool WriteVendorText(ImageState& state, std::vector<std::uint8_t>& image, const std::string& text) {
  return WriteText(state, image, item_type::kManufacturer, text);
}

bool WriteSerialText(ImageState& state, std::vector<std::uint8_t>& image, const std::string& text,
                     const SerialNumberOptions& options) {
  std::string prepared = text;
  if (options.uSNFunction) prepared.insert(prepared.begin(), static_cast<char>(kSnFunctionPrefix));
  return WriteText(state, image, item_type::kSerialNumber, prepared);
}

int PreActionForAllInOne(ImageState& state, std::vector<std::uint8_t>& image, const std::string& serialText,
                         const SerialNumberOptions& options, std::uint32_t& errorOut) {
  TraceScope scope("CEepromConfigInfo::PreActionForAllInOne");
  if (!options.uSaveSN) return 1;
  const bool otp = state.uMemoryType == kMemoryOtp;
  const ConfigArea area = ReadArea(state);
  const auto fail = [&](const char* why) {
    if (why) TraceLine(scope, "%s", why);
    TraceFail(scope, "Save SN Fail\n");
    errorOut = kSaveSnFailId;
    return 0;
  };
  // An OTP image becomes exactly ConfigSize long: a longer one would lose its tail.
  if (otp && image.size() > area.size) return fail("Image longer than ConfigSize\n");
  if (!AreaFits(otp ? area.size : image.size(), area)) return fail("Image too short for its configuration area\n");

  // Work on a copy, so that a refused image stays exactly as it was loaded.
  std::vector<std::uint8_t> work = image;
  if (otp) work.resize(static_cast<std::size_t>(area.size), 0xFF);
  const bool written = options.uSNAddress ? WriteSerialText(state, work, serialText, options)
                                          : WriteVendorText(state, work, serialText);
  if (!written) return fail(nullptr);
  if (otp) work.resize(std::min<std::size_t>(state.dwBlockLength, work.size()));
  image = std::move(work);
  return 1;
}

int PreActionForAllInOne(ImageState& state, std::vector<std::uint8_t>& image, const std::string& serialText,
                         std::uint32_t& errorOut) {
  return PreActionForAllInOne(state, image, serialText, SerialNumberOptions::FromSettings(), errorOut);
}

}  // namespace drover
