#pragma once
// The main dialog's stop flag under its lock. 1 means "stop": the engine's guarded commands
// refuse to send while it is set, so the user interface can stop a job between two commands.
#include <cstdint>
#include <mutex>

namespace drover {

class CThreadFlag {
 public:
  void SetStopFlag(std::uint32_t value) {
    std::lock_guard<std::mutex> g(m_lock);
    m_dwStop = value;
  }
  std::uint32_t GetStopFlag() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_dwStop;
  }

 private:
  mutable std::mutex m_lock;
  std::uint32_t m_dwStop = 0;
  // A second lock and flag that nothing uses are left out.
};

// The main dialog's flag while the dialog exists (dialog mode); nullptr otherwise. Not owned.
void SetMainDialogThreadFlag(CThreadFlag* flag);
CThreadFlag* MainDialogThreadFlag();
// True when the main dialog exists and its stop flag is 1.
bool StopRequested();

}  // namespace drover
