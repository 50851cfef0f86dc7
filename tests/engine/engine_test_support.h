#pragma once
// Test doubles of the engine's surroundings: a settings store in memory, the dialog's device
// list that records what it is told, a recorder of posts and message boxes.
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <stdlib.h>

#include "base/message_box.h"
#include "base/settings.h"
#include "base/status.h"
#include "engine/device_list_host.h"

namespace drover::engine_test {

class MapSettings final : public ISettingsStore {
 public:
  std::uint32_t GetInt(const std::string& section, const std::string& key, std::int32_t def) const override {
    auto it = m_values.find(section + "/" + key);
    return it == m_values.end() ? static_cast<std::uint32_t>(def) : static_cast<std::uint32_t>(it->second);
  }
  std::string GetText(const std::string&, const std::string&, const std::string& def) const override { return def; }
  void SetInt(const std::string& section, const std::string& key, std::int32_t value) override {
    m_values[section + "/" + key] = value;
  }
  void Set(const std::string& key, std::int32_t value) { SetInt(kConfigSection, key, value); }

 private:
  std::map<std::string, std::int32_t> m_values;
};

struct Post {
  std::uint32_t message;
  std::uintptr_t first;
  std::intptr_t second;
  bool operator==(const Post&) const = default;
};

class PostRecorder final : public IPostSink {
 public:
  void OnPost(std::uint32_t message, std::uintptr_t first, std::intptr_t second) override {
    posts.push_back({message, first, second});
  }
  bool Has(std::uint32_t message, std::uintptr_t first) const {
    for (const Post& p : posts)
      if (p.message == message && p.first == first) return true;
    return false;
  }
  std::vector<Post> posts;
};

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

class RecordingBox final : public IMessageBox {
 public:
  int Show(const std::string& text, const std::string&, unsigned) override {
    texts.push_back(text);
    return IDOK;
  }
  std::vector<std::string> texts;
};

class TempDir {
 public:
  TempDir() {
    std::string pattern = "/tmp/drover-engine-XXXXXX";
    if (::mkdtemp(pattern.data())) m_path = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

}  // namespace drover::engine_test
