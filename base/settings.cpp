#include "base/settings.h"

#include <mutex>

namespace drover {

namespace {

// The store before the application installs one: every key reads its default.
class EmptySettings final : public ISettingsStore {
 public:
  std::uint32_t GetInt(const std::string&, const std::string&, std::int32_t def) const override {
    return static_cast<std::uint32_t>(def);
  }
  std::string GetText(const std::string&, const std::string&, const std::string& def) const override { return def; }
  void SetInt(const std::string&, const std::string&, std::int32_t) override {}
};

std::mutex g_lock;
std::shared_ptr<ISettingsStore>& Slot() {
  static std::shared_ptr<ISettingsStore> store = std::make_shared<EmptySettings>();
  return store;
}

}  // namespace

ISettingsStore& Settings() {
  std::lock_guard<std::mutex> g(g_lock);
  return *Slot();
}

std::shared_ptr<ISettingsStore> GetSettingsStorePtr() {
  std::lock_guard<std::mutex> g(g_lock);
  return Slot();
}

void SetSettingsStore(std::shared_ptr<ISettingsStore> store) {
  std::lock_guard<std::mutex> g(g_lock);
  Slot() = store ? std::move(store) : std::make_shared<EmptySettings>();
}

}  // namespace drover
