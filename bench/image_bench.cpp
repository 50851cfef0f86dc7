// The readers of the built-in data: every built-in image through the configuration block
// readers (what loading an image costs), and every built-in INI text through the INI reader
// (what start-up and each device search cost).
#include <benchmark/benchmark.h>

#include <map>

#include "base/message_box.h"
#include "image/config_block.h"
#include "image/ic_type.h"
#include "image/image_format.h"
#include "image/ini_file.h"
#include "resources/resource.h"

namespace drover::bench {
namespace {

class CountingBox final : public IMessageBox {
 public:
  int Show(const std::string&, const std::string&, unsigned) override {
    ++shown;
    return IDOK;
  }
  int shown = 0;
};

// The IC-type definition of each chip code the built-in images are made for.
const std::map<std::uint8_t, int> kIcTypeOfChip = {{17, 2030}, {21, 2031}, {24, 2032},
                                                   {25, 2033}, {23, 2034}, {26, 2035}};

struct LoadedImage {
  std::span<const std::uint8_t> bytes;
  const CICTypeIni* icType;
};

// Locate, identity, settings and the small cache code end of all 55 built-in images, each
// against its chip's definition, plus a full item walk of the block.
void BM_ParseBuiltInImages(benchmark::State& state) {
  std::map<int, std::unique_ptr<CICTypeIni>> definitions;
  for (const auto& [chip, id] : kIcTypeOfChip) {
    auto ic = std::make_unique<CICTypeIni>(0);
    ic->LoadBuiltInDefinition(id);
    ic->ReadIcName();
    definitions[id] = std::move(ic);
  }
  auto box = std::make_shared<CountingBox>();
  const auto previous = GetMessageBoxPtr();
  SetMessageBox(box);
  std::vector<LoadedImage> images;
  for (const NameNumber& fw : kFirmwareNames) {
    const auto image = res::FindResource(kFirmwareResourceType, fw.number);
    // The chip code of the image, from whichever definition finds its block.
    auto it = kIcTypeOfChip.end();
    for (const auto& [id, ic] : definitions) {
      ImageState probe;
      probe.pIcType = ic.get();
      if (LocateConfigBlock(probe, image)) it = kIcTypeOfChip.find(probe.byChipCode);
      if (it != kIcTypeOfChip.end()) break;
    }
    if (it == kIcTypeOfChip.end()) {
      SetMessageBox(previous);
      state.SkipWithError(("no definition for " + std::string(fw.name)).c_str());
      return;
    }
    images.push_back({image, definitions[it->second].get()});
  }
  box->shown = 0;  // the probe ran against definitions of other chips

  std::size_t items = 0;
  for (auto _ : state) {
    for (const LoadedImage& li : images) {
      ImageState st;
      st.pIcType = li.icType;
      const auto at = LocateConfigBlock(st, li.bytes);
      if (!at) {
        state.SkipWithError("a built-in image has no block");
        break;
      }
      benchmark::DoNotOptimize(ReadImageIdentity(st, li.bytes));
      benchmark::DoNotOptimize(ReadImageSettings(st, li.bytes));
      benchmark::DoNotOptimize(FindSmallCacheCodeEnd(st, li.bytes));
      ConfigBlockParser parser;
      parser.LoadBlock(li.bytes.subspan(*at));
      if (parser.ReadHeader())
        WalkItems(parser, [&](CDescriptor&, std::size_t) {
          ++items;
          return true;
        });
    }
  }
  SetMessageBox(previous);
  if (box->shown != 0) state.SkipWithError("a built-in image was reported corrupt");
  state.counters["images"] = benchmark::Counter(static_cast<double>(images.size()));
  state.counters["items"] =
      benchmark::Counter(static_cast<double>(items) / static_cast<double>(std::max<std::int64_t>(1, state.iterations())));
  state.counters["images_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * static_cast<double>(images.size()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseBuiltInImages)->Unit(benchmark::kMicrosecond);

// Every built-in INI text (IC-type definitions, settings, allow-list) read into a CIniFile,
// then one number looked up from each.
void BM_ReadBuiltInIni(benchmark::State& state) {
  std::vector<std::string_view> texts;
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < res::ResourceCount(); ++i) {
    const res::ResourceEntry e = res::ResourceAt(i);
    if (e.type != kIcIniResourceType) continue;
    texts.emplace_back(reinterpret_cast<const char*>(e.data.data()), e.data.size());
    bytes += e.data.size();
  }
  std::size_t sections = 0;
  for (auto _ : state) {
    for (std::string_view text : texts) {
      CIniFile ini;
      ini.ReadFromText(text);
      sections += ini.SectionCount();
      benchmark::DoNotOptimize(ini.GetValueInt(kVendorInfoSection, "ConfigAddress", 0));
    }
  }
  state.counters["texts"] = benchmark::Counter(static_cast<double>(texts.size()));
  state.counters["sections"] = benchmark::Counter(static_cast<double>(sections) /
                                                  static_cast<double>(std::max<std::int64_t>(1, state.iterations())));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_ReadBuiltInIni)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace drover::bench

BENCHMARK_MAIN();
