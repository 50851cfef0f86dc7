#include "base/clock.h"

#include <thread>

namespace drover {

void CEvent::Set() {
  {
    std::lock_guard<std::mutex> g(m_lock);
    m_bSet = true;
  }
  if (m_bManual) m_cv.notify_all(); else m_cv.notify_one();
}

void CEvent::Reset() {
  std::lock_guard<std::mutex> g(m_lock);
  m_bSet = false;
}

bool CEvent::IsSet() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_bSet;
}

bool CEvent::TryTake() {
  std::lock_guard<std::mutex> g(m_lock);
  if (!m_bSet) return false;
  if (!m_bManual) m_bSet = false;
  return true;
}

bool CEvent::WaitReal(std::uint32_t timeoutMs) {
  std::unique_lock<std::mutex> g(m_lock);
  auto ready = [this] { return m_bSet; };
  if (timeoutMs == kInfinite) {
    m_cv.wait(g, ready);
  } else if (!m_cv.wait_for(g, std::chrono::milliseconds(timeoutMs), ready)) {
    return false;
  }
  if (!m_bManual) m_bSet = false;
  return true;
}

std::uint64_t RealClock::NowMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

void RealClock::Sleep(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool RealClock::WaitForEvent(CEvent& event, std::uint32_t timeoutMs) { return event.WaitReal(timeoutMs); }

void VirtualClock::Sleep(std::uint32_t ms) {
  m_now.fetch_add(ms);
  m_slept.fetch_add(ms);
  std::this_thread::yield();
}

bool VirtualClock::WaitForEvent(CEvent& event, std::uint32_t timeoutMs) {
  if (event.TryTake()) return true;
  if (timeoutMs == kInfinite) return event.WaitReal(kInfinite);
  m_now.fetch_add(timeoutMs);
  return event.TryTake();
}

namespace {
std::mutex g_clockLock;
std::shared_ptr<IClock>& ClockSlot() {
  static std::shared_ptr<IClock> clock = std::make_shared<RealClock>();
  return clock;
}
}  // namespace

std::shared_ptr<IClock> GetClockPtr() {
  std::lock_guard<std::mutex> g(g_clockLock);
  return ClockSlot();
}

IClock& Clock() {
  // The slot is replaced only between jobs (start-up, tests); the raw reference stays valid
  // while the shared pointer lives in the slot.
  std::lock_guard<std::mutex> g(g_clockLock);
  return *ClockSlot();
}

void SetClock(std::shared_ptr<IClock> clock) {
  std::lock_guard<std::mutex> g(g_clockLock);
  ClockSlot() = clock ? std::move(clock) : std::make_shared<RealClock>();
}

}  // namespace drover
