#include "app/settings_store.h"

#include <gtest/gtest.h>

#include <string>

#include "resources/resource.h"
#include "tests/support/temp_dir.h"

namespace drover {
namespace {

std::string BuiltInText() {
  auto data = res::FindResource(kSettingsResourceType, kSettingsResourceId);
  return std::string(reinterpret_cast<const char*>(data.data()), data.size());
}

// A customer build compiles its own settings text in (DROVER_SETTINGS_FILE); the checks of
// the standard text below then do not apply.
bool StandardSettingsBuilt() {
  return BuiltInText() == testing_support::ReadAll(DROVER_SOURCE_DIR "/resources/settings.ini");
}

TEST(Settings, BuiltInTextIsFourCrLfLines) {
  if (!StandardSettingsBuilt()) GTEST_SKIP() << "customer settings text built in";
  const std::string text = BuiltInText();
  ASSERT_EQ(text.size(), 69u);
  const std::string prefix = "[Drover Config]\r\nCheckVIDPID_INI=1\r\nAutoRun=0\r\nCompanyName=\"";
  ASSERT_EQ(text.compare(0, prefix.size(), prefix), 0);
  const std::string rest = text.substr(prefix.size());
  ASSERT_EQ(rest.size(), 6u + 3u);  // six characters, closing quote, CR LF
  EXPECT_EQ(rest.substr(6), "\"\r\n");
}

// Every key of the settings with its default; the built-in text sets only the first two.
TEST(Settings, BuiltInTextLeavesEveryOtherKeyAtItsDefault) {
  if (!StandardSettingsBuilt()) GTEST_SKIP() << "customer settings text built in";
  const struct {
    const char* key;
    std::int32_t def;
    std::uint32_t expected;
  } keys[] = {
      {"CheckVIDPID_INI", 0, 1}, {"AutoRun", 0, 0},          {"Debug Log", 0, 0},
      {"Ini Type", 0, 0},        {"Lib Type", 0, 0},         {"CheckVIDPID_BIN", 0, 0},
      {"AutoRunDelay", 0, 0},    {"Loop Test", 0, 0},        {"Loop Test Reboot", 0, 0},
      {"Disable Reboot Check", 0, 0}, {"RTD3", 0, 0},        {"LogType", 0, 0},
      {"SaveResultToFile", 0, 0}, {"ResetToCache", 1, 1},    {"Normal Reset", 1, 1},
      {"Wait Time", 5000, 5000}, {"EraseTimeOut", 10000, 10000}, {"EraseCommandTime", 0, 0},
      {"PortNo", 0, 0},          {"LockPort", 0, 0},         {"SN Function", 0, 0},
      {"SN Address", 0, 0},      {"SaveSN", 0, 0},           {"BCDType", 0, 0},
  };
  CIniSettingsStore store(BuiltInText());
  for (const auto& k : keys) {
    SCOPED_TRACE(k.key);
    EXPECT_EQ(store.GetInt(kConfigSection, k.key, k.def), k.expected);
  }
  EXPECT_EQ(store.GetText(kConfigSection, "OTP Password", ""), "");
  EXPECT_EQ(store.GetInt("drover config", "checkvidpid_ini", 0), 1u);
}

TEST(Settings, WritesStayInMemory) {
  CIniSettingsStore store("[Drover Config]\r\nPortNo=2\r\n");
  EXPECT_EQ(store.GetInt(kConfigSection, "PortNo", 0), 2u);
  store.SetInt(kConfigSection, "PortNo", 5);
  EXPECT_EQ(store.GetInt(kConfigSection, "PortNo", 0), 5u);
  store.SetInt("Other", "New", -1);
  EXPECT_EQ(store.GetInt("Other", "New", 0), 0xFFFFFFFFu);
  CIniSettingsStore empty;
  EXPECT_EQ(empty.GetInt(kConfigSection, "Wait Time", 5000), 5000u);
}

}  // namespace
}  // namespace drover
