#pragma once
// Recording doubles of the surroundings the layers talk to: a settings store in memory, a
// recorder of dialog posts and a message box that records what it was asked to show.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/message_box.h"
#include "base/settings.h"
#include "base/status.h"

namespace drover::testing_support {

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
  // A key of the configuration section.
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
  int Count(std::uint32_t message) const {
    int n = 0;
    for (const Post& p : posts) n += p.message == message ? 1 : 0;
    return n;
  }
  // The identifiers of the error posts, in order.
  std::vector<std::uintptr_t> Errors() const {
    std::vector<std::uintptr_t> out;
    for (const Post& p : posts)
      if (p.message == UM_ERROR) out.push_back(p.first);
    return out;
  }
  std::vector<Post> posts;
};

// Answers IDOK to every box and records its text.
class RecordingBox final : public IMessageBox {
 public:
  int Show(const std::string& text, const std::string&, unsigned) override {
    texts.push_back(text);
    return IDOK;
  }
  std::vector<std::string> texts;
};

}  // namespace drover::testing_support
