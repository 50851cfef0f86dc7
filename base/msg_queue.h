#pragma once
// A thread-safe FIFO: posts never block; Take waits until a message is there.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

namespace drover {

template <typename T>
class CMessageQueue {
 public:
  void Post(T message) {
    {
      std::lock_guard<std::mutex> g(m_lock);
      m_items.push_back(std::move(message));
    }
    m_cv.notify_one();
  }
  // Blocks until a message is queued and removes the oldest one.
  T Take() {
    std::unique_lock<std::mutex> g(m_lock);
    m_cv.wait(g, [this] { return !m_items.empty(); });
    T m = std::move(m_items.front());
    m_items.pop_front();
    return m;
  }
  std::optional<T> TryTake() {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_items.empty()) return std::nullopt;
    T m = std::move(m_items.front());
    m_items.pop_front();
    return m;
  }
  std::size_t Size() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_items.size();
  }

 private:
  mutable std::mutex m_lock;
  std::condition_variable m_cv;
  std::deque<T> m_items;
};

// A window or thread message: number and two parameters, as the dialog protocol carries them.
struct Message {
  std::uint32_t uMsg = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
};

}  // namespace drover
