// The real program as a production script runs it: argument cases, console texts, "Result.txt"
// and the exit code, against a simulated bus, each scenario in its own program directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/result_records.h"
#include "sim/sim_bus.h"
#include "tests/app/cli_harness.h"

namespace drover {
namespace {

using namespace testing_support;

constexpr const char* kNoFile = "<no file>";

struct Step {
  std::vector<std::string> args;
  int exitCode;
  std::optional<std::string> out;     // pattern for standard output; not checked when absent
  std::optional<std::string> result;  // pattern for "Result.txt", or kNoFile
  std::string errContains = {};
  std::string outContains = {};
};

struct Env {
  ProgramCopy program;
  std::shared_ptr<sim::SimBus> bus;
  std::string image = std::string(DROVER_FIRMWARE_DIR) + "/FFU_7330.rfw";
  std::string Scratch(const std::string& name) const { return program.Scratch() + "/" + name; }
  std::string Expand(std::string text) const {
    const std::pair<std::string, std::string> keys[] = {
        {"{image}", image}, {"{scratch}", program.Scratch()}, {"{prompt}", program.Dir() + ">"}};
    for (const auto& [key, value] : keys)
      for (std::size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
    return text;
  }
  std::vector<std::uint8_t> Flash(int n, std::uint32_t offset, std::uint32_t length) {
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(bus->ReadMemory(n, sim::Memory::Flash, offset, length, out));
    return out;
  }
};

struct Scenario {
  const char* name;
  std::vector<sim::DeviceOptions> devices;
  std::function<void(Env&)> before;
  std::vector<Step> steps;
  std::function<void(Env&)> after;
};

sim::DeviceOptions Vq7330(std::vector<std::uint8_t> image = {}) {
  sim::DeviceOptions o;
  o.ic = "VQ7330";
  o.vid = 0x0B05;
  o.pid = 0x1996;
  o.image = std::move(image);
  return o;
}

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  WriteAll(path, std::string(bytes.begin(), bytes.end()));
}

std::vector<std::uint8_t> Slice(const std::vector<std::uint8_t>& v, std::size_t from, std::size_t to) {
  return std::vector<std::uint8_t>(v.begin() + static_cast<std::ptrdiff_t>(from), v.begin() + static_cast<std::ptrdiff_t>(to));
}

// The written flash holds the image, but for the tag, which the update sets on its own.
void ExpectFlashHolds(Env& env, const std::vector<std::uint8_t>& image) {
  ASSERT_GE(image.size(), 0x10000u);
  const std::vector<std::uint8_t> flash = env.Flash(0, 0, 0x10000);
  EXPECT_TRUE(Slice(flash, 0, 0xEFFE) == Slice(image, 0, 0xEFFE));
  EXPECT_TRUE(Slice(flash, 0xF000, 0x10000) == Slice(image, 0xF000, 0x10000));
}

// An OTP image: the configuration block at its start with the OTP kind, then some code.
std::vector<std::uint8_t> OtpImage(const std::vector<std::uint8_t>& flashImage) {
  std::vector<std::uint8_t> otp(0x10000, 0xFF);
  std::copy(flashImage.begin() + 0xF000, flashImage.begin() + 0x10000, otp.begin());
  std::copy(flashImage.begin(), flashImage.begin() + 0x3000, otp.begin() + 0x1000);
  otp[0] = 0x60;
  return otp;
}

// The console copy keeps the report's own line breaks; "Result.txt" has CR LF throughout.
const std::string kOtpReport =
    "Begin to Check OTP Status!\r\nUsed OTP Space: 0.00 KB\nFree OTP Space: {*} KB\n"
    "Remaining Programmable Times: {*}.\r\n{prompt}";
const std::string kWritePass = "Begin to Write fw!\r\nWrite fw pass!\r\n{prompt}";
const std::string kVersion = "Begin to Get FW Ver!\r\nCurrent FW Version: {*}!\r\n{prompt}";

std::vector<Scenario> Scenarios() {
  const std::vector<std::uint8_t> fw7330 = Firmware("FFU_7330.rfw");
  return {
      {"write, verify and the version before and after",
       {Vq7330()},
       nullptr,
       {{{"-f", "-version"}, 0, "\n" + kVersion, kVersion + "fail"},
        {{"-f", "-write", "{image}"}, 0, "\n" + kWritePass, kWritePass + "pass"},
        {{"-f", "-verify", "{image}"}, 0, "\nBegin to Verify fw!\r\nVerify fw pass!\r\n{prompt}",
         "Begin to Verify fw!\r\nVerify fw pass!\r\n{prompt}pass"},
        {{"-f", "-version"}, 0, "\n" + kVersion, kVersion + "fail"}},
       [fw7330](Env& env) { ExpectFlashHolds(env, fw7330); }},
      {"a file name in the keyword place is written",
       {Vq7330()},
       nullptr,
       {{{"-f", "{image}"}, 0, "\n" + kWritePass, kWritePass + "pass"}},
       [fw7330](Env& env) { ExpectFlashHolds(env, fw7330); }},
      {"verify after a memory change fails",
       {Vq7330(fw7330)},
       [](Env& env) {
         const std::uint8_t poke[] = {0x5A};
         ASSERT_TRUE(env.bus->WriteMemory(0, sim::Memory::Flash, 0x2345, poke));
       },
       {{{"-f", "-verify", "{image}"}, 1, "\nBegin to Verify fw!\r\nVerify fw fail!\r\n{prompt}",
         "Begin to Verify fw!\r\nVerify fw fail!\r\n{prompt}fail"}},
       nullptr},
      {"erase leaves 0xFF and exits 1 on its uncleared success",
       {Vq7330(fw7330)},
       nullptr,
       {{{"-f", "-erase"}, 1, "\nBegin to Erase!\r\nErase pass!\r\n{prompt}", "Begin to Erase!\r\nErase pass!\r\n{prompt}pass"}},
       [](Env& env) {
         const std::vector<std::uint8_t> flash = env.Flash(0, 0, 0x80000);
         EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](std::uint8_t b) { return b == 0xFF; }));
       }},
      {"dumpspi writes 0x10000 bytes into the named file",
       {Vq7330(fw7330)},
       nullptr,
       {{{"-f", "-dumpspi", "{scratch}/out.bin"}, 0, "\nBegin to Dump SPI!\r\nDump SPI pass!\r\n{prompt}",
         "Begin to Dump SPI!\r\nDump SPI pass!\r\n{prompt}pass"}},
       [](Env& env) {
         const std::string dump = ReadAll(env.Scratch("out.bin"));
         ASSERT_EQ(dump.size(), 0x10000u);
         const std::vector<std::uint8_t> flash = env.Flash(0, 0, 0x10000);
         EXPECT_TRUE(std::equal(flash.begin(), flash.end(), dump.begin(),
                                [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }));
       }},
      {"a dump that cannot be saved fails and exits 1",
       {Vq7330(fw7330)},
       [](Env& env) { std::filesystem::create_directories(env.Scratch("taken")); },
       {{{"-f", "-dumpspi", "{scratch}/taken"}, 1, "\nBegin to Dump SPI!\r\nDump SPI fail!\r\n{prompt}",
         "Begin to Dump SPI!\r\nDump SPI fail!\r\n{prompt}fail"}},
       nullptr},
      {"a missing file falls back to the built-in image of the identity",
       {Vq7330()},
       nullptr,
       {{{"-f", "-write", "{scratch}/missing.rfw"}, 0, "\n" + kWritePass, kWritePass + "pass"}},
       [](Env& env) { ExpectFlashHolds(env, Firmware("FFU_0B05_1996.rfw")); }},
      {"a file too short",
       {Vq7330()},
       [](Env& env) { WriteBytes(env.Scratch("short.rfw"), std::vector<std::uint8_t>(1000, 0x11)); },
       {{{"-f", "-write", "{scratch}/short.rfw"}, 1, "\nLoad File Data Fail!\nGet IC Info Fail\n{prompt}",
         "Load File Data Fail!\r\nfail"}},
       nullptr},
      {"no device",
       {},
       nullptr,
       {{{"-f", "-write", "{image}"}, 1, "\nCannot find Corvane USB Audio!\nGet IC Info Fail\n{prompt}",
         "Cannot find Corvane USB Audio!\r\nfail"}},
       nullptr},
      {"an identity outside the allow-list",
       {[] {
         sim::DeviceOptions o = Vq7330();
         o.pid = 0x1234;
         return o;
       }()},
       nullptr,
       {{{"-f", "-version"}, 1, "\nCheck VID/PID Mismatch!\nGet IC Info Fail\n{prompt}", "Check VID/PID Mismatch!\r\nfail"}},
       nullptr},
      {"a chip no IC type knows, with the built-in image, fails",
       {[] {
         sim::DeviceOptions o = Vq7330();
         o.chipIdSet = true;
         o.chipId = {0x20, 0x20};
         return o;
       }()},
       nullptr,
       {{{"-f", "-write", "{scratch}/missing.rfw"}, 1, "\nGet IC Info Fail\n{prompt}", "fail"}},
       nullptr},
      {"an MTP image has no device flow",
       {Vq7330()},
       [fw7330](Env& env) {
         std::vector<std::uint8_t> mtp = fw7330;
         mtp[0xF000] = 0x40;
         WriteBytes(env.Scratch("mtp.rfw"), mtp);
       },
       {{{"-f", "-write", "{scratch}/mtp.rfw"}, 1, "\nGet IC Info Fail\n{prompt}", "fail"}},
       [](Env& env) {
         const std::vector<std::uint8_t> flash = env.Flash(0, 0, 0x10000);
         EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](std::uint8_t b) { return b == 0xFF; }));
       }},
      {"an OTP image: write, dump (an uncleared success exits 1) and the space report",
       {[] {
         sim::DeviceOptions o = Vq7330();
         o.memory = sim::MemoryKind::Otp;
         return o;
       }()},
       [fw7330](Env& env) { WriteBytes(env.Scratch("otp.rfw"), OtpImage(fw7330)); },
       {{{"-f", "-dumpotp", "{scratch}/blank.bin"}, 1, "\nBegin to Dump OTP!\r\nDump OTP fail!\r\n{prompt}",
         "Begin to Dump OTP!\r\nDump OTP fail!\r\n{prompt}fail"},
        {{"-f", "-write", "{scratch}/otp.rfw"}, 0, "\n" + kWritePass, kWritePass + "pass"},
        {{"-f", "-dumpotp", "{scratch}/otp.bin"}, 1, "\nBegin to Dump OTP!\r\nDump OTP pass!\r\n{prompt}",
         "Begin to Dump OTP!\r\nDump OTP pass!\r\n{prompt}pass"}},
       [](Env& env) {
         const std::string dump = ReadAll(env.Scratch("otp.bin"));
         std::vector<std::uint8_t> otp;
         ASSERT_FALSE(dump.empty());
         ASSERT_TRUE(env.bus->ReadMemory(0, sim::Memory::Otp, 0, static_cast<std::uint32_t>(dump.size()), otp));
         EXPECT_TRUE(std::equal(otp.begin(), otp.end(), dump.begin(),
                                [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }));
       }},
      {"detect reports the OTP space the image would use",
       {[] {
         sim::DeviceOptions o = Vq7330();
         o.memory = sim::MemoryKind::Otp;
         return o;
       }()},
       [fw7330](Env& env) { WriteBytes(env.Scratch("otp.rfw"), OtpImage(fw7330)); },
       {{{"-f", "-detect", "{scratch}/otp.rfw"}, 0, "\n" + kOtpReport, ToCrLf(kOtpReport) + "pass"}},
       nullptr},
      {"detect on a chip without OTP fails without a text",
       {Vq7330()},
       nullptr,
       {{{"-f", "-detect", "{image}"}, 1, "\n{prompt}", "{prompt}fail"}},
       nullptr},
      {"without -f only fail is recorded",
       {Vq7330()},
       nullptr,
       {{{"-write", "x.rfw"}, 0, "", "fail"}},
       nullptr},
      {"a wrong argument count does nothing",
       {Vq7330()},
       [](Env& env) { WriteAll(env.program.ResultPath(), "earlier"); },
       {{{"-f", "a.rfw", "-write", "-d", "1", "extra"}, 0, "", "earlier"}, {{"-f"}, 0, "", "earlier"}},
       nullptr},
      {"help",
       {},
       nullptr,
       {{{"-h"}, 0, std::nullopt, kNoFile, "", "DROVER_SIM"}, {{"--help"}, 0, std::nullopt, kNoFile, "", "Usage:"}},
       nullptr},
  };
}

class CommandLineProgram : public ::testing::TestWithParam<Scenario> {};

TEST_P(CommandLineProgram, Runs) {
  const Scenario& sc = GetParam();
  {
    Env env;
    std::string error;
    env.bus = sim::SimBus::Open(env.Scratch("bus"), true, &error);
    ASSERT_NE(env.bus, nullptr) << error;
    for (const sim::DeviceOptions& d : sc.devices) ASSERT_GE(env.bus->AddDevice(d, &error), 0) << error;
    if (sc.before) sc.before(env);
    for (const Step& step : sc.steps) {
      std::vector<std::string> args;
      std::string joined;
      for (const std::string& a : step.args) {
        args.push_back(env.Expand(a));
        joined += " " + a;
      }
      SCOPED_TRACE("drover" + joined);
      const ProcessResult r = RunProcess(env.program.Exe(), args, {"DROVER_SIM=" + env.Scratch("bus")},
                                         env.program.Scratch(), env.program.Scratch());
      EXPECT_EQ(r.exitCode, step.exitCode) << r.out << r.err;
      if (step.out) {
        EXPECT_TRUE(MatchesPattern(r.out, env.Expand(*step.out))) << "stdout: " << r.out;
      }
      if (step.result && *step.result == kNoFile) {
        EXPECT_FALSE(env.program.HasResult());
      } else if (step.result) {
        EXPECT_TRUE(MatchesPattern(env.program.Result(), env.Expand(*step.result))) << "Result.txt: " << env.program.Result();
      }
      if (!step.errContains.empty()) {
        EXPECT_NE(r.err.find(step.errContains), std::string::npos) << r.err;
      }
      if (!step.outContains.empty()) {
        EXPECT_NE(r.out.find(step.outContains), std::string::npos) << r.out;
      }
    }
    if (sc.after) sc.after(env);
  }
}

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

std::string ScenarioName(const ::testing::TestParamInfo<Scenario>& info) {
  std::string name;
  for (const char* c = info.param.name; *c; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Table, CommandLineProgram, ::testing::ValuesIn(Scenarios()), ScenarioName);

}  // namespace
}  // namespace drover
