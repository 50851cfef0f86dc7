#pragma once
// Hand-made byte fixtures for the image tests: blocks, images, IC-type definitions from text,
// and a message box that records what it was asked to show.
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "base/message_box.h"
#include "image/ic_type.h"
#include "tests/support/block_builder.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_doubles.h"

namespace drover::image_test {

using Bytes = std::vector<std::uint8_t>;
using testing_support::Block;
using testing_support::TempDir;

// A string item of type `type` holding text.
inline Bytes StringItem(std::uint8_t type, const std::string& text, std::uint8_t descriptorType = 3) {
  Bytes b(text.size() + 4, 0);
  b[0] = static_cast<std::uint8_t>(text.size() + 4);
  b[1] = type;
  b[2] = static_cast<std::uint8_t>(text.size() + 2);
  b[3] = descriptorType;
  std::copy(text.begin(), text.end(), b.begin() + 4);
  return b;
}

inline Bytes VidPidItem(std::uint16_t vid, std::uint16_t pid, std::uint16_t rev) {
  return {8, 4, static_cast<std::uint8_t>(vid), static_cast<std::uint8_t>(vid >> 8), static_cast<std::uint8_t>(pid),
          static_cast<std::uint8_t>(pid >> 8), static_cast<std::uint8_t>(rev), static_cast<std::uint8_t>(rev >> 8)};
}

inline Bytes HwApItem(std::uint16_t hw, std::uint16_t ap) {
  return {6, 47, static_cast<std::uint8_t>(hw), static_cast<std::uint8_t>(hw >> 8), static_cast<std::uint8_t>(ap),
          static_cast<std::uint8_t>(ap >> 8)};
}

// An image of `size` bytes of filler (not 0xFF, so it is never blank) with block at `at`.
inline Bytes Image(std::size_t size, std::size_t at, const Bytes& block, std::uint8_t filler = 0x00) {
  Bytes image(size, filler);
  for (std::size_t i = 0; i < block.size() && at + i < size; ++i) image[at + i] = block[i];
  return image;
}

// A definition with the keys the image readers use.
inline std::unique_ptr<CICTypeIni> IcType(const std::string& icName, std::uint32_t configAddress,
                                          std::uint32_t configSize = 4096, std::uint32_t tagAddress = 0xEFFE) {
  auto ic = std::make_unique<CICTypeIni>(0);
  ic->ReadFromText("[Drover Config]\nIc Name=" + icName + "\nBus Type=USB\n[Vendor Info M1]\nConfigAddress=" +
                   std::to_string(configAddress) + "\nConfigSize=" + std::to_string(configSize) +
                   "\nTagAddress=" + std::to_string(tagAddress) + "\n");
  ic->ReadIcName();
  return ic;
}

// The built-in definition of a resource number.
inline std::unique_ptr<CICTypeIni> BuiltIn(int resource) {
  auto ic = std::make_unique<CICTypeIni>(0);
  ic->LoadBuiltInDefinition(resource);
  ic->ReadIcName();
  return ic;
}

// Installs a recording message box for one test and puts the previous one back.
class ScopedMessageBox {
 public:
  ScopedMessageBox() : m_previous(GetMessageBoxPtr()), m_box(std::make_shared<testing_support::RecordingBox>()) {
    SetMessageBox(m_box);
  }
  ~ScopedMessageBox() { SetMessageBox(m_previous); }
  const std::vector<std::string>& Texts() const { return m_box->texts; }

 private:
  std::shared_ptr<IMessageBox> m_previous;
  std::shared_ptr<testing_support::RecordingBox> m_box;
};

}  // namespace drover::image_test
