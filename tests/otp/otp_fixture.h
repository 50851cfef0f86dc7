#pragma once
// The OTP leaf on a simulated OTP device and the virtual clock, with recording doubles for
// the settings, posts, message boxes and trace lines, raw access to the simulated OTP, and a
// builder of configuration blocks laid out as OTP images.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/message_box.h"
#include "engine/devflow_factory.h"
#include "otp/otp_download.h"
#include "otp/otp_flows.h"
#include "sim/sim_bus.h"
#include "tests/support/block_builder.h"
#include "tests/support/sim_flow_fixture.h"

namespace drover::otp::testing {

// Answers the queued buttons in order (IDNO once the queue is empty) and records every box.
class ScriptedBox final : public IMessageBox {
 public:
  int Show(const std::string& text, const std::string&, unsigned type) override {
    texts.push_back(text);
    types.push_back(type);
    if ((type & MB_BUTTON_MASK) == MB_OK) return IDOK;
    if (answers.empty()) return IDNO;
    const int a = answers.front();
    answers.pop_front();
    return a;
  }
  std::deque<int> answers;
  std::vector<std::string> texts;
  std::vector<unsigned> types;
};

// Items of a configuration block, as raw bytes.
inline std::vector<std::uint8_t> HwApItem() { return {0x06, 0x2F, 0x30, 0x73, 0x60, 0x10}; }
inline std::vector<std::uint8_t> EepItem() { return {0x03, 0x08, 0xC2}; }
// A small cache code item of `whole` bytes placed at `at` in its block, its code inline.
inline std::vector<std::uint8_t> CacheItem(std::size_t whole, std::size_t at, std::uint8_t fill = 0x3C) {
  std::vector<std::uint8_t> item(whole, fill);
  item[0] = 0xFF;
  item[1] = 0xE7;
  WriteLE16(item, 2, static_cast<std::uint16_t>(whole));
  WriteLE16(item, 4, static_cast<std::uint16_t>(at + 8));
  WriteLE16(item, 6, static_cast<std::uint16_t>(whole - 8));
  for (std::size_t i = 8; i < whole; ++i) item[i] = static_cast<std::uint8_t>(fill + i);
  return item;
}
// An item of a type no class is defined for (carried as its bytes), `length` bytes long.
inline std::vector<std::uint8_t> DummyItem(std::size_t length, std::uint8_t type = 0x50, std::uint8_t seed = 1) {
  std::vector<std::uint8_t> item(length);
  item[0] = static_cast<std::uint8_t>(length);
  item[1] = type;
  for (std::size_t i = 2; i < length; ++i) item[i] = static_cast<std::uint8_t>(seed * 31 + i * 7);
  return item;
}

// A configuration block of chip code 21, sub-mode 2, kind 0x60 (OTP) from its items; the
// header counts every item.
inline std::vector<std::uint8_t> Block(const std::vector<std::vector<std::uint8_t>>& items, std::uint8_t chipCode = 21) {
  return testing_support::Block(0x60, chipCode, items, 2);
}
// The block padded with 0xFF to the size of a file the command line accepts.
inline std::vector<std::uint8_t> Padded(std::vector<std::uint8_t> block, std::size_t size = 0x10000) {
  if (block.size() < size) block.resize(size, 0xFF);
  return block;
}

class OtpTest : public testing_support::SimFlowSurroundings<ScriptedBox> {
 protected:
  void SetUp() override {
    SimFlowSurroundings::SetUp();
    if (HasFatalFailure()) return;
    ctx.uMemoryType = kMemoryOtp;
    ctx.bCommandLineMode = true;
    RegisterOtpFlows();
  }

  void TearDown() override {
    if (flow) flow->DEV_CloseDevice();
    flow.reset();
    OverrideDevFlowLeaf(kMemoryOtp, kBusUsb, nullptr);
    SimFlowSurroundings::TearDown();
  }

  // An OTP device on the bus, opened by the OTP leaf the factory builds.
  void AddOtpDevice(const sim::Faults& faults = {}) {
    sim::DeviceOptions o;
    o.memory = sim::MemoryKind::Otp;
    std::string error;
    dev = bus->AddDevice(o, &error);
    ASSERT_GE(dev, 0) << error;
    if (!faults.otpBad.empty()) {
      ASSERT_TRUE(bus->SetFaults(dev, faults));
    }
    std::unique_ptr<CDevFlow> created = CreateDevFlow(ctx, kMemoryOtp, kBusUsb);
    flow.reset(dynamic_cast<COTPInfo_USB*>(created.release()));
    ASSERT_NE(flow, nullptr);
    ASSERT_EQ(flow->MP_OpenDevice(0), 1);
    // The IC type of the simulated chip (VQ7330, chip code 21), as the device search finds it.
    ASSERT_TRUE(SearchIcTypeByRegisters(ctx.pIcType, 0, 0x10, 0xB0));
  }

  std::vector<std::uint8_t> Otp(std::uint32_t address, std::uint32_t length) {
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(bus->ReadMemory(dev, sim::Memory::Otp, address, length, out));
    return out;
  }
  void Poke(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    ASSERT_TRUE(bus->WriteMemory(dev, sim::Memory::Otp, address, bytes));
  }
  std::vector<std::uint8_t> Entry(int i) { return Otp(EntryAddress(i), kBlockEntrySize); }
  std::vector<std::uint8_t> Rec(int k) { return Otp(RecordAddress(k), kEccRecordSize); }
  void SetBad(const std::vector<std::uint16_t>& addresses) {
    sim::Faults f;
    f.otpBad = addresses;
    ASSERT_TRUE(bus->SetFaults(dev, f));
  }
  void SetLockRegister(std::uint8_t value) {
    ASSERT_TRUE(bus->WriteMemory(dev, sim::Memory::Regs, kOtpLockRegister, std::vector<std::uint8_t>{value}));
  }
  // Writes one block of the given kind through the block update.
  bool Update(std::uint8_t kind, const std::vector<std::uint8_t>& image) {
    flow->SetCurrentBlock(kind, image);
    return flow->OTP_UpdateEx_Cmd2(image);
  }
  std::string Scratch(const std::string& name) const { return m_programDir.Path() + "/" + name; }

  std::unique_ptr<COTPInfo_USB> flow;
  int dev = -1;
};

inline std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<std::uint8_t> out;
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

// Data of a given length that holds no zero byte runs the abnormal-area check would trip on
// after the block's end (the block itself may be anything).
inline std::vector<std::uint8_t> Pattern(std::size_t length, std::uint8_t seed = 7) {
  std::vector<std::uint8_t> out(length);
  for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 13 + (i >> 8));
  return out;
}

}  // namespace drover::otp::testing
