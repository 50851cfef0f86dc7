#pragma once
// Every wait, pause and time-out of the program goes through one clock, so that tests run
// on a virtual clock whose sleeps and expired deadlines cost no real time.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace drover {

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

// A thread-safe event: manual reset stays signalled until Reset; auto reset releases one waiter.
class CEvent {
 public:
  explicit CEvent(bool manualReset = true, bool initialState = false)
      : m_bManual(manualReset), m_bSet(initialState) {}
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // Takes the signal if present (auto-reset events are reset by taking it).
  bool TryTake();
  // Waits in real time; kInfinite waits without limit. True when the signal was taken.
  bool WaitReal(std::uint32_t timeoutMs);

 private:
  const bool m_bManual;
  mutable std::mutex m_lock;
  std::condition_variable m_cv;
  bool m_bSet;
};

// The clock contract: NowMs is monotonic milliseconds, Sleep pauses, WaitForEvent waits for an
// event up to a time-out (kInfinite: no time-out) and answers whether it was signalled.
class IClock {
 public:
  virtual ~IClock() = default;
  virtual std::uint64_t NowMs() = 0;
  virtual void Sleep(std::uint32_t ms) = 0;
  virtual bool WaitForEvent(CEvent& event, std::uint32_t timeoutMs) = 0;
  // Millisecond tick count as the 32-bit system tick of the trace lines.
  std::uint32_t TickCount() { return static_cast<std::uint32_t>(NowMs()); }
  virtual bool IsVirtual() const { return false; }
};

class RealClock final : public IClock {
 public:
  std::uint64_t NowMs() override;
  void Sleep(std::uint32_t ms) override;
  bool WaitForEvent(CEvent& event, std::uint32_t timeoutMs) override;
};

// Virtual time: Sleep and an unsignalled wait advance time at once. A wait without time-out
// still waits in real time for another thread, since virtual time could not end it.
class VirtualClock final : public IClock {
 public:
  explicit VirtualClock(std::uint64_t startMs = 1000) : m_now(startMs) {}
  std::uint64_t NowMs() override { return m_now.load(); }
  void Sleep(std::uint32_t ms) override;
  bool WaitForEvent(CEvent& event, std::uint32_t timeoutMs) override;
  bool IsVirtual() const override { return true; }
  void Advance(std::uint64_t ms) { m_now.fetch_add(ms); }
  // Total virtual milliseconds spent in Sleep, for tests that count pauses.
  std::uint64_t SleptMs() const { return m_slept.load(); }

 private:
  std::atomic<std::uint64_t> m_now;
  std::atomic<std::uint64_t> m_slept{0};
};

// The process-wide clock; a real clock until SetClock replaces it.
IClock& Clock();
std::shared_ptr<IClock> GetClockPtr();
void SetClock(std::shared_ptr<IClock> clock);

// Installs a clock for the lifetime of the object and restores the previous one after.
class ScopedClock {
 public:
  explicit ScopedClock(std::shared_ptr<IClock> clock) : m_prev(GetClockPtr()) { SetClock(std::move(clock)); }
  ~ScopedClock() { SetClock(m_prev); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  std::shared_ptr<IClock> m_prev;
};

}  // namespace drover
