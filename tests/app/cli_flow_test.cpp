// Whole command-line runs in this process, with settings the built-in text does not give:
// opening by device index ("CheckVIDPID_INI" 0) and the burn record ("LogType" 1).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/drover_app.h"
#include "app/result_records.h"
#include "base/clock.h"
#include "base/status.h"
#include "base/trace.h"
#include "sim/sim_bus.h"
#include "tests/app/cli_harness.h"
#include "transport/kes_device.h"
#include "transport/transport_service.h"

namespace drover {
namespace {

using namespace testing_support;

std::time_t FixedTime() {
  std::tm t{};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 5;
  t.tm_hour = 9;
  t.tm_min = 7;
  t.tm_sec = 2;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

class CommandLineFlow : public ::testing::Test {
 protected:
  CommandLineFlow() {
    std::string error;
    bus = sim::SimBus::Open(dir.File("bus"), true, &error);
    EXPECT_NE(bus, nullptr) << error;
    EXPECT_TRUE(::getcwd(oldCwd, sizeof oldCwd) != nullptr);
    EXPECT_EQ(::chdir(dir.Path().c_str()), 0);
    SetRecordTimeSource(FixedTime);
  }
  ~CommandLineFlow() override {
    SetRecordTimeSource(nullptr);
    SetTraceObserver(nullptr);
    EXPECT_EQ(::chdir(oldCwd), 0);
    SetLastStatus(0);
  }

  void AddDevices(int n) {
    for (int i = 0; i < n; ++i) {
      sim::DeviceOptions o;
      o.ic = "VQ7330";
      o.manufacturer = "SN" + std::to_string(i);
      std::string error;
      ASSERT_GE(bus->AddDevice(o, &error), 0) << error;
    }
  }

  // One run of the program in this process with the given settings text.
  int Run(const std::vector<std::string>& tail, const std::string& settings) {
    AppSeams seams = DefaultAppSeams();
    seams.chooseClock = [](bool) { return std::make_shared<VirtualClock>(); };
    std::shared_ptr<usb::IUsbBackend> backend = bus;
    seams.startTransport = [backend](std::uint32_t lib) { StartTransport(lib, backend); };
    const auto close = seams.closeDevice;
    seams.closeDevice = [this, close](AppContext& ctx) {
      deviceOpenAtEnd = CurrentDevice() != nullptr;
      statusAtEnd = GetLastStatus();
      close(ctx);
    };
    AppOptions options;
    options.programDirectory = dir.Path();
    options.settingsText = settings;
    CDroverApp app(seams, options);
    std::vector<std::string> args = tail;
    args.insert(args.begin(), dir.File("drover"));
    testing::internal::CaptureStdout();
    const int code = app.Run(args);
    out = testing::internal::GetCapturedStdout();
    return code;
  }

  bool Blank(int n) {
    std::vector<std::uint8_t> flash;
    EXPECT_TRUE(bus->ReadMemory(n, sim::Memory::Flash, 0, 0x10000, flash));
    return std::all_of(flash.begin(), flash.end(), [](std::uint8_t b) { return b == 0xFF; });
  }

  TempDir dir;
  std::shared_ptr<sim::SimBus> bus;
  char oldCwd[4096] = {};
  std::string out;
  bool deviceOpenAtEnd = false;
  std::uint32_t statusAtEnd = 0;
  const std::string image = std::string(DROVER_FIRMWARE_DIR) + "/FFU_7330.rfw";
  const std::string byIndex = "[Drover Config]\r\nCheckVIDPID_INI=0\r\n";
};

TEST_F(CommandLineFlow, DeviceIndexTriesThreeCandidatesFromTheFirst) {
  AddDevices(5);
  EXPECT_EQ(Run({"-f", image, "-write", "-d", "2"}, byIndex), 0);
  EXPECT_NE(out.find("Write fw pass!"), std::string::npos) << out;
  for (int n = 0; n < 5; ++n) EXPECT_EQ(Blank(n), n != 2) << n;
}

TEST_F(CommandLineFlow, DeviceIndicesBeyondTheBusFail) {
  AddDevices(2);
  std::vector<std::string> opens;
  SetTraceObserver([&opens](std::string_view l) {
    if (l.find("MP_OpenDevice Fail") != std::string::npos) opens.emplace_back(l);
  });
  EXPECT_EQ(Run({"-f", image, "-write", "-d", "2"}, byIndex), 1);
  SetTraceObserver(nullptr);
  ASSERT_EQ(opens.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_NE(opens[i].find("MP_OpenDevice Fail " + std::to_string(2 + i)), std::string::npos);
  EXPECT_EQ(out, "\nGet IC Info Fail\n" + dir.Path() + ">");
  EXPECT_EQ(ReadAll(dir.File("Result.txt")), "fail");
}

TEST_F(CommandLineFlow, NegativeDeviceIndexTriesNothingAndFails) {
  AddDevices(1);
  bool opened = false;
  SetTraceObserver([&opened](std::string_view l) { opened |= l.find("MP_OpenDevice") != std::string::npos; });
  EXPECT_EQ(Run({"-f", image, "-write", "-d", "-1"}, byIndex), 1);
  SetTraceObserver(nullptr);
  EXPECT_FALSE(opened);
  EXPECT_EQ(out, "\nGet IC Info Fail\n" + dir.Path() + ">");
  EXPECT_TRUE(Blank(0));
}

TEST_F(CommandLineFlow, BurnRecordPerRun) {
  AddDevices(1);
  const std::string settings = "[Drover Config]\r\nCheckVIDPID_INI=1\r\nLogType=1\r\n";
  const std::string stamp = "2024-03-05,       09:07:02,         ";
  const std::string header =
      "Update date       Update Time       Serial number              Result   ErrCode\r\n"
      "================  ================  =========================  =======  =======\r\n";
  EXPECT_EQ(Run({"-f", "-write", image}, settings), 0);
  EXPECT_EQ(ReadAll(dir.File("burn_result.txt")), header + stamp + "SN0," + std::string(23, ' ') + "Pass,    0:\r\n");
  // An erase passes on an identifier that is not cleared: the record shows it, the exit is 1.
  EXPECT_EQ(Run({"-f", "-erase"}, settings), 1);
  // -version records "fail" with the last status 0.
  EXPECT_EQ(Run({"-f", "-version"}, settings), 0);
  // A preparation that fails writes no record.
  WriteAll(dir.File("short.rfw"), std::string(1000, 'x'));
  EXPECT_EQ(Run({"-f", "-write", dir.File("short.rfw")}, settings), 1);
  EXPECT_EQ(ReadAll(dir.File("burn_result.txt")), header + stamp + "SN0," + std::string(23, ' ') + "Pass,    0:\r\n" +
                                                       stamp + "SN0," + std::string(23, ' ') + "Pass,    41752:\r\n" +
                                                       stamp + "SN0," + std::string(23, ' ') + "Fail,    0:\r\n");
}

TEST_F(CommandLineFlow, MtpImageFailsWithTheDeviceClosed) {
  AddDevices(1);
  std::vector<std::uint8_t> mtp = Firmware("FFU_7330.rfw");
  ASSERT_GE(mtp.size(), 0x10000u);
  mtp[0xF000] = 0x40;
  WriteAll(dir.File("mtp.rfw"), std::string(mtp.begin(), mtp.end()));
  EXPECT_EQ(Run({"-f", "-write", dir.File("mtp.rfw")}, byIndex), 1);
  EXPECT_EQ(statusAtEnd, 41500u);
  EXPECT_FALSE(deviceOpenAtEnd);
  EXPECT_EQ(out, "\nGet IC Info Fail\n" + dir.Path() + ">");
}

}  // namespace
}  // namespace drover
