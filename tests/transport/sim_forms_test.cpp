// Both command forms against the chip model: what one writes the other reads back, chunk
// sizes are negotiated with the device, and the OTP commands exist only on the extension unit.
#include <gtest/gtest.h>

#include "sim_fixture.h"
#include "transport/ext_unit.h"
#include "transport/vendor_request.h"

namespace drover {
namespace {

using Bytes = std::vector<std::uint8_t>;

class SimFormsTest : public test::SimTransportTest {
 protected:
  void Open(sim::DeviceOptions o = {}) {
    n = Add(o);
    ASSERT_EQ(OpenDeviceRecord(Info(n).functionInstance, record), 0u);
    ASSERT_TRUE(QueryCapabilities(record, false));
    ext = std::make_unique<CExtUnit>(record, record.pCapabilities->byExtensionUnitId);
    vr = std::make_unique<CVendorRequestV2>(record);
  }
  int n = -1;
  DeviceRecord record;
  std::unique_ptr<CExtUnit> ext;
  std::unique_ptr<CVendorRequestV2> vr;
};

TEST_F(SimFormsTest, WhatOneFormWritesTheOtherReads) {
  Open();
  Bytes data(5000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13 + 1);
  const std::uint32_t base = 0x2000;
  ASSERT_EQ(ext->WriteMem(base, std::span(data).first(13)), 0u);
  Bytes back(13);
  ASSERT_EQ(vr->ReadMem(base, back), 0u);
  EXPECT_EQ(back, Bytes(data.begin(), data.begin() + 13));

  ASSERT_EQ(vr->WriteMem(base, data), 0u);
  std::uint32_t size = 256;
  ASSERT_TRUE(ext->ChangeDataControlSize(size));
  Bytes big(5000);
  ASSERT_EQ(ext->ReadMem(base, big), 0u);
  EXPECT_EQ(big, data);
  EXPECT_EQ(Info(n).dataControlSize, 256u);

  Bytes status(104);
  ASSERT_EQ(ext->GetDevStatus(0, status), 0u);
  Bytes status2(104);
  ASSERT_EQ(vr->GetDevStatus(0, status2), 0u);
  EXPECT_EQ(status, status2);
  EXPECT_TRUE(std::equal(kQualifySignature.begin(), kQualifySignature.end(), status.begin() + 24));
  EXPECT_TRUE(ext->DevQualify());
}

TEST_F(SimFormsTest, ChunkSizeIsTheDevicesWhenItAgreesToLess) {
  sim::DeviceOptions o;
  o.maxDataControlSize = 128;
  Open(o);
  std::uint32_t size = 512;
  EXPECT_FALSE(ext->ChangeDataControlSize(size));
  EXPECT_EQ(size, 128u);
  EXPECT_EQ(ext->DataControlSize(), 128u);
  Bytes in(300);
  ASSERT_EQ(ext->ReadMem(0xFE00, in), 0u);
  Bytes same(300);
  ASSERT_EQ(vr->ReadMem(0xFE00, same), 0u);
  EXPECT_EQ(in, same);
}

TEST_F(SimFormsTest, OtpOnlyThroughTheExtensionUnit) {
  sim::DeviceOptions o;
  o.memory = sim::MemoryKind::Otp;
  o.ic = "VQ7332";
  Open(o);
  rec->Clear();
  Bytes buf(16);
  EXPECT_EQ(vr->OTPRead(0, buf), kVcmdNotImplemented);
  EXPECT_EQ(vr->OTPWrite(0x100, 8, buf), kVcmdNotImplemented);
  EXPECT_EQ(vr->OTPPrgmFailAddr(std::span(buf).first(16)), kVcmdNotImplemented);
  EXPECT_EQ(rec->TransferCount(), 0u);

  // Programming ORs bits in; the fail record follows.
  const Bytes bits = {0x01, 0x02, 0x04, 0x08};
  ASSERT_EQ(ext->OTPWrite(0x100, 8, bits), 0u);
  Bytes fail(19);
  ASSERT_EQ(ext->OTPPrgmFailAddr(fail), 0u);
  Bytes back(4);
  ASSERT_EQ(ext->OTPRead(0x100, back), 0u);
  EXPECT_EQ(back, bits);
}

TEST_F(SimFormsTest, DeviceGoneSendsNothingMore) {
  Open();
  sim::Faults f;
  f.leaveAfter = 2;  // the command block and one chunk, then the device is gone
  ASSERT_TRUE(bus->SetFaults(n, f));
  rec->Clear();
  Bytes in(32);
  EXPECT_EQ(ext->ReadMem(0, in), kVcmdDeviceGone);
  EXPECT_EQ(ext->LastStatus(), 0xFF);
  EXPECT_EQ(ext->LastDiagnostic(), "ReadMem GetData 0x8Device not connected");
  EXPECT_EQ(rec->TransferCount(), 3u);
}

TEST_F(SimFormsTest, ChipStatusAfterARefusedCommand) {
  Open();
  sim::Faults f;
  sim::FaultRule rule;
  rule.target = sim::FaultTarget::Data;
  rule.code = 0xC2;
  rule.times = 1;
  f.stall.push_back(rule);
  f.statusAfterFailure = 5;
  ASSERT_TRUE(bus->SetFaults(n, f));
  rec->Clear();
  Bytes in(16);
  EXPECT_EQ(ext->ReadMem(0x1000, in), 0x8007001Fu);
  EXPECT_EQ(ext->LastStatus(), 5);
  EXPECT_EQ(ext->LastDiagnostic(), "ReadMem GetData 0x1000 error 8007001f, VCMD_STS_ERR_LEN");
  const auto t = rec->Transfers();
  ASSERT_GE(t.size(), 4u);
  EXPECT_EQ(t.back().data, (Bytes{0xFF, 0, 0, 0, 0, 0, 0, 0}));
  // The next command works again.
  EXPECT_EQ(ext->ReadMem(0x1000, in), 0u);
}

}  // namespace
}  // namespace drover
