// Every generated built-in image against what the manifest promises, read back through the
// program's own readers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "base/strfmt.h"
#include "image/config_block.h"
#include "image/ic_type.h"
#include "image/image_format.h"
#include "image/serial_number.h"
#include "resources/resource.h"
#include "image_test_util.h"

namespace drover {
namespace {

using image_test::Bytes;

struct Promise {
  std::string name;
  int resource = 0;
  int chip = 0;
  std::size_t size = 0;
  std::string layout, version, vid, pid, revision, manufacturer, product, serial, iad, code;
};

std::string Trim(const std::string& s) {
  const std::size_t a = s.find_first_not_of(' ');
  const std::size_t b = s.find_last_not_of(' ');
  return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

std::vector<Promise> ReadManifest() {
  std::ifstream in(std::string(DROVER_SOURCE_DIR) + "/resources/firmware/manifest.txt");
  std::vector<Promise> out;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::stringstream ss(line);
    for (std::string part; std::getline(ss, part, '|');) f.push_back(Trim(part));
    if (f.size() != 14) {
      ADD_FAILURE() << "manifest line: " << line;
      continue;
    }
    Promise p{f[0], std::atoi(f[1].c_str()), std::atoi(f[2].c_str()),
              static_cast<std::size_t>(std::strtoul(f[3].c_str(), nullptr, 10)),
              f[4], f[5], f[6], f[7], f[8], f[9], f[10], f[11], f[12] == "-" ? "" : f[12], f[13]};
    out.push_back(p);
  }
  return out;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The built-in IC type whose ChipInfo is the chip code.
int IcTypeResourceOfChip(int chip) {
  static const std::map<int, int> kByChip = {{17, 2030}, {21, 2031}, {24, 2032}, {25, 2033}, {23, 2034}, {26, 2035}};
  auto it = kByChip.find(chip);
  return it == kByChip.end() ? 0 : it->second;
}

std::string VersionText(const Bytes& image) {
  const std::size_t at = image.size() < 0x10000 ? 0x11B : 0x100C;
  const std::uint8_t* e = image.data() + at;
  return StrFormat("%01X.%01X%02X.%04X-%04X.%04X", e[0] >> 4, e[0] & 0xF, e[1], e[2] * 256 + e[3], e[4] * 256 + e[5],
                   e[6] * 256 + e[7]);
}

std::string ProductText(const Bytes& image, std::size_t at) {
  ConfigBlockParser parser;
  parser.LoadBlock(std::span<const std::uint8_t>(image).subspan(at));
  std::string text;
  if (!parser.ReadHeader()) return text;
  WalkItems(parser, [&](CDescriptor& item, std::size_t) {
    if (auto* s = dynamic_cast<CDescString*>(&item); s && item.m_byType == item_type::kProduct) text = s->Text();
    return true;
  });
  return text;
}

TEST(BuiltInImages, EveryImageKeepsTheManifestsPromises) {
  const std::vector<Promise> manifest = ReadManifest();
  ASSERT_EQ(manifest.size(), kFirmwareNames.size());
  std::set<std::string> names;
  for (const Promise& p : manifest) {
    SCOPED_TRACE(p.name);
    names.insert(p.name);
    EXPECT_EQ(LookUpName(kFirmwareNames, p.name), p.resource);

    const std::span<const std::uint8_t> res = res::FindResource(kFirmwareResourceType, p.resource);
    const Bytes image(res.begin(), res.end());
    ASSERT_EQ(image.size(), p.size);
    EXPECT_EQ(ReadFile(std::string(DROVER_FIRMWARE_DIR) + "/" + p.name + ".rfw"), image);
    EXPECT_EQ(image[0xEFFE], 0xFF);
    EXPECT_EQ(image[0xEFFF], 0xFF);
    EXPECT_EQ(VersionText(image), p.version);

    auto ic = image_test::BuiltIn(IcTypeResourceOfChip(p.chip));
    ASSERT_FALSE(ic->IcName().empty());
    ImageState st;
    st.pIcType = ic.get();
    st.uMemoryType = kMemoryEeprom8;  // the image kind puts it right
    image_test::ScopedMessageBox boxes;
    ASSERT_TRUE(LocateConfigBlock(st, image));
    EXPECT_TRUE(boxes.Texts().empty());
    EXPECT_EQ(st.byChipCode, p.chip);
    EXPECT_TRUE(ChipCodesMatch(st.byChipCode, static_cast<std::uint8_t>(p.chip), false));
    EXPECT_EQ(st.uMemoryType, kMemorySpiFlash);
    EXPECT_EQ(st.bTagInImage, p.layout == "start");
    EXPECT_FALSE(st.bBankCopy);
    EXPECT_FALSE(st.bForceUpdateA);

    ASSERT_EQ(ReadImageIdentity(st, image), 1);
    EXPECT_EQ(st.strManufacturer, p.manufacturer);
    EXPECT_EQ(st.strSerial, p.serial);
    EXPECT_EQ(st.strIAD, p.iad);
    EXPECT_EQ(st.strVidPid, "VID_" + p.vid + "&PID_" + p.pid);
    EXPECT_EQ(st.strRevision, p.revision);
    EXPECT_EQ(st.strCodeIdentity, p.code);
    EXPECT_EQ(ProductText(image, p.layout == "start" ? 0 : 0xF000), p.product);
    if (p.name.size() == 13) {
      EXPECT_EQ(p.name, FirmwareNameFromIdentity(st.strVidPid + "&REV_0000"));
    }
  }
  EXPECT_EQ(names.size(), manifest.size());
}

TEST(BuiltInImages, SizesAndChipsWhereTheFlowsDependOnThem) {
  std::map<std::string, Promise> byName;
  for (const Promise& p : ReadManifest()) byName[p.name] = p;
  for (const char* active : {"FFU_0B05_1996", "FFU_0B05_1A52", "FFU_0B05_1A97"}) {
    SCOPED_TRACE(active);
    EXPECT_EQ(byName[active].chip, 21);  // a VQ7330 with that identity works out of the box
    EXPECT_EQ(byName[active].size, 0x10000u);
  }
  EXPECT_EQ(byName["FFU_0BDA_4C15"].size, 0x40000u);  // its download carries 4 KiB over from 0x1F000
  std::vector<std::string> small;
  std::size_t full = 0;
  for (const auto& [name, p] : byName) {
    if (p.size < 0x10000) small.push_back(name);
    if (p.size == 0x10000) ++full;
  }
  ASSERT_EQ(small.size(), 1u);
  EXPECT_EQ(byName[small[0]].size, 65533u);
  EXPECT_NE(small[0].substr(0, 6), "FFU_73");
  EXPECT_EQ(full, byName.size() - 2);
  EXPECT_EQ(byName["FFU_7310"].layout, "start");
  EXPECT_EQ(byName["FFU_7370"].layout, "start");
  for (const NameNumber& def : kIcNames) {
    SCOPED_TRACE(std::string(def.name));
    auto ic = image_test::BuiltIn(def.number);
    std::uint8_t chip = 0;
    ic->ReadFirstChipInfo(chip);
    int fw = 0;
    ASSERT_TRUE(ic->GetDefaultFirmwareId(fw));
    const auto it = std::find_if(byName.begin(), byName.end(), [&](const auto& e) { return e.second.resource == fw; });
    ASSERT_NE(it, byName.end());
    EXPECT_EQ(it->second.chip, chip);  // the default image fits its own IC type
  }
}

TEST(BuiltInImages, SerialRewriteOfEveryImage) {
  for (const Promise& p : ReadManifest()) {
    SCOPED_TRACE(p.name);
    const std::span<const std::uint8_t> res = res::FindResource(kFirmwareResourceType, p.resource);
    Bytes image(res.begin(), res.end());
    const Bytes before = image;
    auto ic = image_test::BuiltIn(IcTypeResourceOfChip(p.chip));
    ImageState st;
    st.pIcType = ic.get();
    SerialNumberOptions o;
    o.uSaveSN = 1;
    o.uSNAddress = 1;
    std::uint32_t err = 0;
    const int ok = PreActionForAllInOne(st, image, "UNIT-0001", o, err);
    // The short image cannot hold the configuration sector, and the images with their block
    // at offset 0 have none where their IC type keeps it: both are refused untouched.
    const bool refused = p.size < 0x10000 || p.layout == "start";
    EXPECT_EQ(ok, refused ? 0 : 1);
    if (refused) {
      EXPECT_EQ(err, kSaveSnFailId);
      EXPECT_EQ(image, before);
      continue;
    }
    EXPECT_EQ(image[0xEFFE], 0x55);
    EXPECT_EQ(image[0xEFFF], 0xAA);
    ImageState again;
    again.pIcType = ic.get();
    ASSERT_TRUE(LocateConfigBlock(again, image));
    EXPECT_EQ(again.byChipCode, p.chip);
    EXPECT_EQ(again.strSerial, "UNIT-0001");
    EXPECT_EQ(again.strManufacturer, p.manufacturer);
    EXPECT_EQ(again.strVidPid, "VID_" + p.vid + "&PID_" + p.pid);
    // Outside the configuration sector and the tag nothing moved.
    for (std::size_t i = 0; i < image.size(); ++i) {
      if ((i >= 0xF000 && i < 0x10000) || i == 0xEFFE || i == 0xEFFF) continue;
      ASSERT_EQ(image[i], before[i]) << "offset " << i;
    }
  }
}

TEST(BuiltInImages, TheGeneratorIsDeterministic) {
  const std::string tool = std::string(DROVER_FIRMWARE_DIR) + "/../tools/drover_firmware_gen";
  image_test::TempDir dir;
  const std::string command = tool + " " + DROVER_SOURCE_DIR + "/resources/firmware/manifest.txt " + dir.Path();
  ASSERT_EQ(std::system(command.c_str()), 0);
  for (const Promise& p : ReadManifest()) {
    SCOPED_TRACE(p.name);
    const Bytes fresh = ReadFile(dir.Path() + "/" + p.name + ".rfw");
    const std::span<const std::uint8_t> built = res::FindResource(kFirmwareResourceType, p.resource);
    ASSERT_EQ(fresh.size(), built.size());
    EXPECT_TRUE(std::equal(fresh.begin(), fresh.end(), built.begin()));
  }
  // A manifest line it cannot read fails the build instead of writing a wrong image.
  {
    std::ofstream(dir.Path() + "/bad.txt") << "FFU_0B05_1996 | 3040 | 21 | 65536 | sector | 1.0 | 0B05\n";
  }
  EXPECT_NE(std::system((tool + " " + dir.Path() + "/bad.txt " + dir.Path() + " 2>/dev/null").c_str()), 0);
}

}  // namespace
}  // namespace drover
