#pragma once
// Test doubles of the engine's surroundings: a settings store in memory, the dialog's device
// list that records what it is told, a recorder of posts and message boxes.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/device_list_host.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_doubles.h"

namespace drover::engine_test {

using testing_support::MapSettings;
using testing_support::Post;
using testing_support::PostRecorder;
using testing_support::RecordingBox;
using testing_support::TempDir;

class RecordingDeviceList final : public IDeviceListHost {
 public:
  void ClearDeviceList() override {
    rows.clear();
    ++clears;
  }
  void InsertDeviceRow(int row, const std::string& text) override {
    if (row < 0 || row > static_cast<int>(rows.size())) return;
    rows.insert(rows.begin() + row, text);
  }
  int DeviceRowCount() const override { return static_cast<int>(rows.size()); }
  void SelectDeviceRow(int row) override {
    selectedRow = row;
    selectedText = row >= 0 && row < static_cast<int>(rows.size()) ? rows[static_cast<std::size_t>(row)] : "";
  }
  std::string SelectedDeviceText() const override { return selectedText; }
  void SetRememberedPort(std::uint32_t portAddr, std::uint32_t hubInst) override {
    port = portAddr;
    hub = hubInst;
  }
  std::uint32_t RememberedPortAddr() const override { return port; }
  std::uint32_t RememberedHubInst() const override { return hub; }
  void ResetAutoRunEvent() override { autoRun.push_back(false); }
  void SetAutoRunEvent() override { autoRun.push_back(true); }

  std::vector<std::string> rows;
  int clears = 0;
  int selectedRow = -2;  // -2: never selected
  std::string selectedText;
  std::uint32_t port = 0;
  std::uint32_t hub = 0;
  std::vector<bool> autoRun;  // false: reset, true: set
};

}  // namespace drover::engine_test
