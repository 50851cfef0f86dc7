// libFuzzer target of the image readers: whatever the bytes, LocateConfigBlock,
// ReadImageIdentity, ReadImageSettings, FindSmallCacheCodeEnd, the ConfigBlockParser walk and
// rebuild, and the serial-number rewrite (on a copy) must stay inside their buffers.
//
// Input: byte 0 chooses the definition and the layout, byte 1 the memory type, dump size and
// serial options, bytes 2..7 a ConfigAddress, ConfigSize and TagAddress (little-endian 16-bit)
// for the hand-made definition; the rest is the image, or with the layout bit the block
// placed at ConfigAddress of a 64 KiB image, as flash images carry it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/message_box.h"
#include "image/config_block.h"
#include "image/ic_type.h"
#include "image/image_format.h"
#include "image/serial_number.h"

namespace {

using namespace drover;

class SilentBox final : public IMessageBox {
 public:
  int Show(const std::string&, const std::string&, unsigned) override { return IDOK; }
};

constexpr std::size_t kHeader = 8;
constexpr std::uint8_t kLayoutAtConfigAddress = 0x10;

const std::vector<std::unique_ptr<CICTypeIni>>& BuiltInDefinitions() {
  static const std::vector<std::unique_ptr<CICTypeIni>> defs = [] {
    std::vector<std::unique_ptr<CICTypeIni>> v;
    for (const NameNumber& n : kIcNames) {
      auto ic = std::make_unique<CICTypeIni>(0);
      ic->LoadBuiltInDefinition(n.number);
      ic->ReadIcName();
      v.push_back(std::move(ic));
    }
    return v;
  }();
  return defs;
}

std::unique_ptr<CICTypeIni> HandMade(std::uint32_t configAddress, std::uint32_t configSize, std::uint32_t tag) {
  auto ic = std::make_unique<CICTypeIni>(0);
  ic->ReadFromText("[Drover Config]\nIc Name=VQ7330\nBus Type=USB\n[Vendor Info M1]\nConfigAddress=" +
                   std::to_string(configAddress) + "\nConfigSize=" + std::to_string(configSize) +
                   "\nTagAddress=" + std::to_string(tag) + "\n");
  ic->ReadIcName();
  return ic;
}

std::uint32_t Le16(const std::uint8_t* p) { return static_cast<std::uint32_t>(p[0] | p[1] << 8); }

void Walk(std::span<const std::uint8_t> image, std::size_t at) {
  ConfigBlockParser parser;
  parser.LoadBlock(at < image.size() ? image.subspan(at) : std::span<const std::uint8_t>());
  const CDescGlobal* header = parser.ReadHeader();
  if (!header) return;
  // Rebuild the block from what the walk yields, as the serial rewrite does.
  ConfigBlockParser builder;
  builder.BeginBuild(*header, true);
  WalkItems(parser, [&](CDescriptor& item, std::size_t) {
    builder.AppendItem(item);
    return true;
  });
  std::vector<std::uint8_t> out(builder.BuildTotal() + kBlockReserve + (image.size() & 0xFF));
  builder.FinishBuild(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool installed = [] {
    SetMessageBox(std::make_shared<SilentBox>());
    return true;
  }();
  (void)installed;
  if (size < kHeader) return 0;
  const std::uint8_t select = data[0];
  const std::uint8_t mode = data[1];

  std::unique_ptr<CICTypeIni> own;
  const CICTypeIni* ic = nullptr;
  const std::size_t which = select % 8;
  if (which < kIcNames.size()) {
    ic = BuiltInDefinitions()[which].get();
  } else if (which == kIcNames.size()) {
    own = HandMade(Le16(data + 2), Le16(data + 4), Le16(data + 6));
    ic = own.get();
  }  // else: no definition at all

  const std::span<const std::uint8_t> payload(data + kHeader, size - kHeader);
  std::vector<std::uint8_t> image;
  if (select & kLayoutAtConfigAddress) {
    image.assign(kFlashImageSize, 0x00);
    const std::size_t at = ic ? ic->ConfigAddress() % kFlashImageSize : kConfigSectorOffset;
    for (std::size_t i = 0; i < payload.size() && at + i < image.size(); ++i) image[at + i] = payload[i];
  } else {
    image.assign(payload.begin(), payload.end());
  }

  ImageState st;
  st.pIcType = ic;
  static constexpr std::uint32_t kMemoryTypes[] = {kMemorySpiFlash, kMemoryNorFlash, kMemoryEeprom8, kMemoryEeprom16,
                                                   kMemoryMtp, kMemoryOtp};
  st.uMemoryType = kMemoryTypes[(mode & 0x7) % 6];
  static constexpr std::uint32_t kDumpSizes[] = {kDefaultDumpSize, 0x10000, 0x4000, 0};
  st.dwMemorySize = (mode & 0x18) == 0x18 ? static_cast<std::uint32_t>(image.size()) : kDumpSizes[(mode >> 3) & 3];

  const std::span<const std::uint8_t> view(image);
  const auto at = LocateConfigBlock(st, view);
  ReadImageIdentity(st, view);
  ReadImageSettings(st, view);
  FindSmallCacheCodeEnd(st, view);
  Walk(view, at.value_or(0));
  if (ic) Walk(view, ic->ConfigAddress());

  // The serial-number rewrite on a copy; a refused image must come back unchanged.
  std::vector<std::uint8_t> copy = image;
  SerialNumberOptions o;
  o.uSaveSN = 1;
  o.uSNAddress = (mode >> 5) & 1;
  o.uSNFunction = (mode >> 6) & 1;
  const std::string text = (mode & 0x80) ? std::string(kMaxSerialTextBytes, 'S') : "UNIT-0001";
  std::uint32_t err = 0;
  ImageState rewrite = st;
  if (PreActionForAllInOne(rewrite, copy, text, o, err) == 0 && copy != image) __builtin_trap();
  return 0;
}
