// The drover-sim command: argument errors, and a device added, inspected, loaded, faulted and
// unplugged through it.
#include <fstream>

#include "tests/sim/sim_fixture.h"

namespace drover::sim::testing {
namespace {

class ToolTest : public SimTest {
 protected:
  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), "drover-sim");
    out.clear();
    err.clear();
    return RunSimTool(args, out, err);
  }
  std::string Bus() const { return m_bus->Directory(); }
  std::string out, err;
};

TEST_F(ToolTest, BadArgumentsGiveUsageAndStatusTwo) {
  Add();
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate", "BUS"},
      {"add"},
      {"add", "BUS"},
      {"add", "BUS", "--ic", "VQ7999"},
      {"add", "BUS", "--ic", "VQ7330", "--memory", "tape"},
      {"add", "BUS", "--ic", "VQ7330", "--vid", "0x10000"},
      {"add", "BUS", "--ic", "VQ7330", "--chip-id", "0x10"},
      {"add", "BUS", "--ic", "VQ7330", "--form", "usb"},
      {"add", "BUS", "--ic", "VQ7330", "--port"},
      {"add", "BUS", "--ic", "VQ7330", "--colour", "red"},
      {"show", "BUS"},
      {"show", "BUS", "x1"},
      {"show", "BUS", "0", "extra"},
      {"read", "BUS", "0", "out.bin"},
      {"read", "BUS", "0", "--memory", "tape", "out.bin"},
      {"write", "BUS", "0", "--memory", "spi"},
      {"fault", "BUS", "0", "--stall", "sometimes"},
      {"fault", "BUS", "0", "--erase-never-completes", "maybe"},
  };
  for (auto args : cases) {
    for (auto& a : args)
      if (a == "BUS") a = Bus();
    SCOPED_TRACE(args.empty() ? std::string("(none)") : args[0] + (args.size() > 2 ? " " + args.back() : ""));
    EXPECT_EQ(Run(args), 2);
    EXPECT_NE(err.find("usage: drover-sim"), std::string::npos);
  }
}

TEST_F(ToolTest, MissingBusOrDeviceIsAClearError) {
  Add();
  EXPECT_EQ(Run({"show", m_dir.Path() + "/nowhere", "0"}), 1);
  EXPECT_NE(err.find("does not exist"), std::string::npos);
  EXPECT_EQ(err.find("usage"), std::string::npos);
  EXPECT_EQ(Run({"show", Bus(), "7"}), 1);
  EXPECT_NE(err.find("no device 7"), std::string::npos);
  EXPECT_EQ(Run({"read", Bus(), "0", "--memory", "eeprom", m_dir.File("x.bin")}), 1);
  EXPECT_NE(err.find("no eeprom memory"), std::string::npos);
  EXPECT_EQ(Run({"add", Bus(), "--ic", "VQ7330", "--image", m_dir.File("absent.rfw")}), 1);
}

TEST_F(ToolTest, AddShowReadWriteFaultAndUnplug) {
  auto image = FlashImage(0xF000, 21, {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0});
  const std::string imagePath = m_dir.File("fw.rfw");
  testing_support::WriteAll(imagePath, std::string(image.begin(), image.end()));
  const std::string bus = m_dir.Path() + "/fresh/bus";
  ASSERT_EQ(Run({"add", bus, "--ic", "VQ7330"}), 0) << err;
  EXPECT_EQ(out, "0\n");
  ASSERT_EQ(Run({"add", bus, "--ic", "VQ7330", "--image", imagePath, "--vid", "0x0bda", "--pid", "0x4c15",
                 "--serial", "A1", "--port", "3"}),
            0)
      << err;
  EXPECT_EQ(out, "1\n");
  ASSERT_EQ(Run({"show", bus, "1"}), 0) << err;
  for (const char* line : {"vid: 0x0BDA\n", "pid: 0x4C15\n", "rev: 0x0100\n", "ic: VQ7330\n", "memory: spi\n",
                           "present: yes\n", "boot: SPI\n", "running: code\n", "version: 1.234.5678-9ABC.DEF0\n",
                           "tag: ffff\n", "sr: 8c\n", "wp: flash=protected eeprom=protected\n",
                           "resets: 7:0 9:0 10:0\n", "transfers: 0\n", "location: USBROOT(1)#USB(3)\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line << out;

  ASSERT_EQ(Run({"read", bus, "1", "--memory", "spi", m_dir.File("dump.bin"), "--offset", "0xF000", "--length",
                 "16"}),
            0)
      << err;
  EXPECT_EQ(testing_support::ReadAll(m_dir.File("dump.bin")), std::string(image.begin() + 0xF000, image.begin() + 0xF010));
  testing_support::WriteAll(m_dir.File("patch.bin"), "\x55\xAA");
  ASSERT_EQ(Run({"write", bus, "0", "--memory", "spi", m_dir.File("patch.bin"), "--offset", "0xEFFE"}), 0) << err;
  ASSERT_EQ(Run({"show", bus, "0"}), 0);
  EXPECT_NE(out.find("tag: 55aa\n"), std::string::npos);
  EXPECT_EQ(Run({"write", bus, "0", "--memory", "spi", m_dir.File("patch.bin"), "--offset", "0x7FFFF"}), 1);

  ASSERT_EQ(Run({"fault", bus, "1", "--stall", "cmd:0xC2*1", "--otp-bad", "0x10,0x20", "--signature", "fail"}), 0)
      << err;
  ASSERT_EQ(Run({"show", bus, "1"}), 0);
  EXPECT_NE(out.find("faults: stall=cmd:0xC2*1 otp-bad=0x0010,0x0020 signature=fail\n"), std::string::npos) << out;
  ASSERT_EQ(Run({"fault", bus, "1", "--clear"}), 0);
  ASSERT_EQ(Run({"show", bus, "1"}), 0);
  EXPECT_NE(out.find("faults: none\n"), std::string::npos);

  ASSERT_EQ(Run({"unplug", bus, "1"}), 0);
  ASSERT_EQ(Run({"show", bus, "1"}), 0);
  EXPECT_NE(out.find("present: no\n"), std::string::npos);
  ASSERT_EQ(Run({"plug", bus, "1"}), 0);
  ASSERT_EQ(Run({"list", bus}), 0);
  EXPECT_EQ(out, "0 VQ7330 spi present USB\\VID_0B05&PID_1996\\1-1\n1 VQ7330 spi present USB\\VID_0BDA&PID_4C15\\1-3\n");
}

}  // namespace
}  // namespace drover::sim::testing
