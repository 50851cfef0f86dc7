#pragma once
// Downloads against the simulated chip: a device of a given IC type and memory opened by a
// device flow of the matching leaf, images to download, and the posts reduced to what the
// dialog shows (progress runs collapsed to their last value).
#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "engine/chip_family.h"
#include "engine/update_rules.h"
#include "image/ic_type.h"
#include "resources/resource.h"
#include "sim_fixture.h"
#include "tests/support/block_builder.h"

namespace drover::engine_test {

using Bytes = std::vector<std::uint8_t>;

// Built-in images of the program (resource numbers of the firmware name table).
inline constexpr int kImage7330 = 3018;  // 64 KiB, configuration block at 0xF000
inline constexpr int kImage7322 = 3045;  // chip code 23, block at 0xF000
inline constexpr int kImage7370 = 3046;  // chip code 26, block at 0
inline constexpr int kImage4C15 = 3039;  // 256 KiB, vendor 0x0BDA product 0x4C15

inline Bytes BuiltInImage(int id) {
  const auto image = res::FindResource(kFirmwareResourceType, id);
  return {image.begin(), image.end()};
}

// Bytes that are neither blank nor a block signature, different at every offset.
inline Bytes Filler(std::size_t size, std::uint8_t seed) {
  Bytes b(size);
  std::uint32_t x = 0x9E3779B9u * (seed + 1u);
  for (std::size_t i = 0; i < size; ++i) {
    x = x * 1664525u + 1013904223u;
    std::uint8_t v = static_cast<std::uint8_t>(x >> 24);
    if (v == 0xFF || v == 0xA5) v = 0x3C;
    b[i] = v;
  }
  return b;
}

using testing_support::Block;
inline Bytes HwAp(std::uint16_t hw) { return {6, 47, static_cast<std::uint8_t>(hw), static_cast<std::uint8_t>(hw >> 8), 0x60, 0x10}; }
inline Bytes VidPidItem(std::uint16_t vid, std::uint16_t pid) {
  return {8, 4, static_cast<std::uint8_t>(vid), static_cast<std::uint8_t>(vid >> 8), static_cast<std::uint8_t>(pid),
          static_cast<std::uint8_t>(pid >> 8), 0x00, 0x01};
}

// A 64 KiB flash image: filler code, version bytes at 0x100C, the block at `at`, and the two
// bytes at 0xEFFE.
inline Bytes FlashImage(std::size_t at, const Bytes& block, std::array<std::uint8_t, 2> tag, std::uint8_t seed = 1,
                        std::size_t size = 0x10000) {
  Bytes image = Filler(size, seed);
  const std::uint8_t version[8] = {0x12, 0x34, 0x24, 0x01, 0x01, 0x02, 0x00, seed};
  std::copy(std::begin(version), std::end(version), image.begin() + 0x100C);
  std::fill(image.begin() + static_cast<std::ptrdiff_t>(at), image.begin() + static_cast<std::ptrdiff_t>(at) + 0x200, 0xFF);
  std::copy(block.begin(), block.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
  image[0xEFFE] = tag[0];
  image[0xEFFF] = tag[1];
  return image;
}
inline std::string VersionOfImage(const Bytes& image) {
  const std::size_t at = image.size() < 0x10000 ? 0x11B : 0x100C;
  return DecodeImageVersion(std::span<const std::uint8_t>(image).subspan(at, 8)).text;
}

// A message box that answers as told and keeps what it was asked.
class AnswerBox final : public IMessageBox {
 public:
  explicit AnswerBox(int answer) : m_answer(answer) {}
  int Show(const std::string& text, const std::string& caption, unsigned type) override {
    asked.push_back({text, caption, type});
    return m_answer;
  }
  struct Question {
    std::string text, caption;
    unsigned type;
  };
  std::vector<Question> asked;

 private:
  int m_answer;
};

// A post as the test compares it: the message and its first parameter.
struct Shown {
  std::uint32_t message;
  std::uintptr_t value;
  bool operator==(const Shown&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const Shown& s) {
  const char* name = s.message == UM_STEP ? "STEP" : s.message == UM_PROGRESS ? "PROGRESS" : s.message == UM_ERROR ? "ERROR"
                     : s.message == UM_RESULT ? "RESULT" : "MSG";
  return os << name << " " << s.value;
}
inline Shown Step(std::uintptr_t v) { return {UM_STEP, v}; }
inline Shown Progress(std::uintptr_t v) { return {UM_PROGRESS, v}; }
inline Shown Error(std::uintptr_t v) { return {UM_ERROR, v}; }
inline Shown Result(std::uintptr_t v) { return {UM_RESULT, v}; }

class DownloadTest : public SimFlowTest {
 protected:
  // Adds a device, makes the leaf of `memoryType`, opens the device, makes the definition of
  // the chip the active IC type and reads the device as the dialog does after opening it.
  int Open(sim::DeviceOptions o, std::uint32_t memoryType = kMemorySpiFlash) {
    const int n = Add(o);
    if (flow) flow->DEV_CloseDevice();  // the transport keeps one current device
    flow = CreateDevFlow(ctx, memoryType, kBusUsb);
    ctx.uMemoryType = memoryType;
    EXPECT_EQ(flow->MP_OpenDevice(n), 1);
    std::uint8_t b0 = 0, b1 = 0;
    EXPECT_TRUE(flow->MP_ReadChipId(b0, b1, 0));
    EXPECT_TRUE(SearchIcTypeByRegisters(ctx.pIcType, 0, b0 & 0xF0, b1 & 0xF0));
    flow->MP_GetDeviceInfo();
    posts.posts.clear();
    SetLastStatus(0);
    return n;
  }
  static sim::DeviceOptions Device(std::string ic, sim::MemoryKind memory = sim::MemoryKind::Spi) {
    sim::DeviceOptions o;
    o.ic = std::move(ic);
    o.memory = memory;
    return o;
  }

  Bytes Flash(int n, std::uint32_t at, std::uint32_t length) { return Read(n, sim::Memory::Flash, at, length); }
  Bytes Eeprom(int n, std::uint32_t at, std::uint32_t length) { return Read(n, sim::Memory::Eeprom, at, length); }
  Bytes Read(int n, sim::Memory m, std::uint32_t at, std::uint32_t length) {
    Bytes out;
    EXPECT_TRUE(bus->ReadMemory(n, m, at, length, out));
    return out;
  }
  // Resets of type 9 and 10 the device received.
  std::uint32_t Restarts(int n) {
    const auto info = Info(n);
    return info.resets[2] + info.resets[3];
  }

  // Writes bytes to a file in the program directory and answers its path.
  std::string File(const std::string& name, const Bytes& bytes) {
    const std::string path = ProgramDir() + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  // The posts the dialog renders: steps, results, errors, and each run of progress posts
  // reduced to its last value (the runs must not go backwards).
  std::vector<Shown> Shows() const {
    std::vector<Shown> out;
    for (const Post& p : posts.posts) {
      if (p.message != UM_STEP && p.message != UM_PROGRESS && p.message != UM_ERROR && p.message != UM_RESULT) continue;
      if (p.message == UM_PROGRESS && !out.empty() && out.back().message == UM_PROGRESS) {
        EXPECT_GE(p.first, out.back().value) << "progress went back";
        out.back().value = p.first;
        continue;
      }
      out.push_back({p.message, p.first});
    }
    return out;
  }
  std::vector<std::uintptr_t> Errors() const {
    std::vector<std::uintptr_t> e;
    for (const Post& p : posts.posts)
      if (p.message == UM_ERROR) e.push_back(p.first);
    return e;
  }
};

}  // namespace drover::engine_test
