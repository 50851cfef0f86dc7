// ResetAndReopen on device records: path choice, preparation, retries and rediscovery.
#include <gtest/gtest.h>

#include "base/bytes.h"
#include "fake_fixture.h"
#include "sim_fixture.h"
#include "transport/kes_device.h"

namespace drover {
namespace {

using Bytes = std::vector<std::uint8_t>;

class ResetFakeTest : public test::FakeDeviceTest {};

TEST_F(ResetFakeTest, InvalidRecordIsRefused) {
  DeviceRecord empty;
  EXPECT_EQ(ResetAndReopen(empty, 0, 7, nullptr, false, 15000, nullptr, 0), usb::kErrInvalidParameter);
  EXPECT_EQ(rec->TransferCount(), 0u);
}

TEST_F(ResetFakeTest, NotReadyIsRetriedEvery300ms) {
  chip->notReadyRequest = 0x20;
  chip->notReadyCount = 2;
  const KnownCapabilities known{6, true, false};
  ASSERT_EQ(ResetAndReopen(record, 6, 7, &known, false, 15000, nullptr, 1000), 0u);
  EXPECT_EQ(Count(0x20), 3u);
  EXPECT_GE(clock->SleptMs(), 2u * 300u + 1000u);
  EXPECT_TRUE(record.IsValid());

  // A device that stays not ready ends at the limit.
  chip->notReadyCount = 1000;
  EXPECT_EQ(ResetAndReopen(record, 6, 7, &known, false, 1000, nullptr, 0), usb::kErrTimeout);
}

TEST_F(ResetFakeTest, ProbeFailsWithoutSignatureOrQualification) {
  chip->statusArea[24] = 'X';
  chip->qualifyAnswer = {'N', 'O', 'T', 'O', 'U', 'R', 'S', 0};
  EXPECT_EQ(ResetAndReopen(record, 0, 9, nullptr, false, 15000, nullptr, 0), kVcmdFail);
  EXPECT_EQ(Count(0x22), 0u);  // no reset was sent
  // The qualification alone is enough for the extension-unit path: with the one-byte query
  // answering, the alternative reset request; without, the raw reset block (type 9, mode 0).
  chip->qualifyAnswer = {'Q', 'U', 'O', 'R', 'L', 'A', 'N', 0};
  rec->Clear();
  ASSERT_EQ(ResetAndReopen(record, 0, 9, nullptr, false, 15000, nullptr, 0), 0u);
  EXPECT_EQ(Count(0x01), 1u);
  chip->query06Fails = true;
  rec->Clear();
  ASSERT_EQ(ResetAndReopen(record, 0, 9, nullptr, false, 15000, nullptr, 0), 0u);
  bool block = false;
  for (const auto& x : rec->Transfers()) block = block || x.data == Bytes{0, 9, 0, 0, 0, 0, 0, 0};
  EXPECT_TRUE(block);
  EXPECT_EQ(Count(0x01), 0u);
}

TEST_F(ResetFakeTest, ExtensionUnitPathWithTheOneByteProbe) {
  // Known capabilities: extension unit 6, no vendor requests, the one-byte probe passed.
  const KnownCapabilities known{6, false, true};
  rec->Clear();
  ASSERT_EQ(ResetAndReopen(record, 0, 7, &known, false, 15000, nullptr, 0), 0u);
  const auto t = rec->Transfers();
  // Chip identity read through the raw extension-unit path, then the alternative reset.
  bool idRead = false, altReset = false;
  for (const auto& x : t) {
    if (x.setup.wValue == 0x0A00 && x.data.size() == 8 && x.data[1] == 0xC2 && ReadLE16(x.data, 2) == 0xFE21) idRead = true;
    if (x.setup.bmRequestType == 0x40 && x.setup.bRequest == 0x01) {
      altReset = true;
      EXPECT_EQ(x.setup.wValue, 0);  // no mode swap with the one-byte probe
      EXPECT_EQ(x.setup.wIndex, 7);
    }
  }
  EXPECT_TRUE(idRead);
  EXPECT_TRUE(altReset);
}

class ResetSimTest : public test::SimTransportTest {};

TEST_F(ResetSimTest, ExtensionUnitOnlyDeviceResetsThroughTheRawBlock) {
  sim::DeviceOptions o;
  o.form = sim::CommandForm::ExtensionUnit;
  const int n = Add(o);
  DeviceRecord r;
  ASSERT_EQ(OpenDeviceRecord(Info(n).functionInstance, r), 0u);
  rec->Clear();
  ASSERT_EQ(ResetAndReopen(r, 0, 7, nullptr, false, 15000, nullptr, 1000), 0u);
  EXPECT_TRUE(r.IsValid());
  EXPECT_EQ(Info(n).resets[0], 1u);
  std::vector<Bytes> blocks;
  bool prepWrite = false;
  for (const auto& x : rec->Transfers()) {
    if (x.setup.bmRequestType == 0x21 && x.setup.wValue == 0x0A00) blocks.push_back(x.data);
    // The 0xFF92 byte travels as a one-byte chunk (passed as 0xA1 with the direction out).
    if (x.setup.bmRequestType == 0x21 && x.setup.wValue == 0x0B00 && x.data == Bytes{0x01}) prepWrite = true;
  }
  EXPECT_TRUE(prepWrite);
  auto has = [&](const Bytes& b) { return std::find(blocks.begin(), blocks.end(), b) != blocks.end(); };
  EXPECT_TRUE(has({0x00, 0xD0, 0, 0, 8, 0, 0, 0}));          // qualification
  EXPECT_TRUE(has({0x00, 0xC2, 0x21, 0xFE, 2, 0, 0, 0}));    // chip identity
  EXPECT_TRUE(has({0x00, 0x82, 0x92, 0xFF, 1, 0, 0, 0}));    // preparation write
  EXPECT_TRUE(has({0x00, 0x07, 0x01, 0x00, 0, 0, 0, 0}));    // mode 0 sent as 1 on this path
  EXPECT_TRUE(has({0x00, 0xCD, 0, 0, 8, 0, 0, 0}));          // the answer wait
}

TEST_F(ResetSimTest, NeverBackIs1460WithinTheLimit) {
  sim::DeviceOptions o;
  o.resetDelayMs = 10'000'000;
  const int n = Add(o);
  DeviceRecord r;
  ASSERT_EQ(OpenDeviceRecord(Info(n).functionInstance, r), 0u);
  const std::uint64_t t0 = clock->NowMs();
  EXPECT_EQ(ResetAndReopen(r, 2, 7, nullptr, false, 15000, nullptr, 5000), usb::kErrTimeout);
  // Mode 2: no wait for the device to leave, only the bounded search.
  EXPECT_GE(clock->NowMs() - t0, 15000u);
  EXPECT_LT(clock->NowMs() - t0, 16000u);
  EXPECT_FALSE(r.IsValid());
}

}  // namespace
}  // namespace drover
