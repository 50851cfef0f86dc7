// libFuzzer target of the INI reader: any text is read without fault, and every section and
// key it yields can be looked up again, as text and as a number.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "image/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using drover::CIniFile;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CIniFile ini;
  ini.ReadFromText(text);
  for (std::size_t s = 0; s < ini.SectionCount(); ++s) {
    const int index = static_cast<int>(s);
    const std::string& section = ini.SectionNames()[s];
    if (ini.FindSection(section) < 0) __builtin_trap();  // a section read is found again
    for (const std::string& key : ini.KeyNames(index)) {
      (void)ini.GetValueInt(section, key, -1);
      (void)ini.GetValueInt(index, key, 7);
      (void)ini.GetValue(section, key, "");
    }
  }
  (void)ini.GetValueInt("Drover Config", "ConfigAddress", 0);
  (void)ini.GetValueInt(-1, "x", 0);
  (void)ini.GetValueInt(static_cast<int>(ini.SectionCount()), "x", 0);
  // A second read into the same object adds to what is there.
  ini.ReadFromText(text.substr(0, size / 2));
  return 0;
}
