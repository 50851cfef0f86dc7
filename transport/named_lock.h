#pragma once
// System-wide named locks: a robust, recursive, process-shared mutex in a POSIX shared
// memory segment per name, so that every thread of every Drover process serialises on it and
// a process that dies holding it cannot block the others for good.
#include <cstdint>
#include <string>

namespace drover {

inline constexpr const char* kVendorCmdLockName = "ICOperateSync_2014_3_28";
inline constexpr const char* kRawPathLockName = "ICOperateSyncUac_2022";
inline constexpr std::uint32_t kNamedLockWaitMs = 10000;

enum class LockWait {
  Acquired,   // owned
  Abandoned,  // owned; the previous owner died holding it (its protected state is suspect)
  TimedOut,   // not owned
  Failed,     // not owned: no segment, or the mutex is unusable
};

// Contract: Wait polls the lock through the process clock for up to timeoutMs and tells the
// outcome; the owning thread may wait again (recursion) and releases once per owned wait.
class CNamedMutex {
 public:
  explicit CNamedMutex(const std::string& name);  // opens the segment, creating it when absent
  ~CNamedMutex();
  CNamedMutex(const CNamedMutex&) = delete;
  CNamedMutex& operator=(const CNamedMutex&) = delete;

  bool IsOpen() const { return m_pShared != nullptr; }
  const std::string& Name() const { return m_strName; }
  LockWait Wait(std::uint32_t timeoutMs);
  void Release();

  struct Shared;  // the mapped segment

 private:
  std::string m_strName;
  Shared* m_pShared = nullptr;
};

// Scoped holder: waits on construction, releases on destruction when it owns the lock.
// Proceed() is true only for a clean acquisition (an abandoned lock is owned but the
// operation under it must not run: the command answers 1 once and the next one proceeds).
class CSyncOperate {
 public:
  CSyncOperate(CNamedMutex* lock, std::uint32_t timeoutMs = kNamedLockWaitMs);
  ~CSyncOperate();
  CSyncOperate(const CSyncOperate&) = delete;
  CSyncOperate& operator=(const CSyncOperate&) = delete;
  bool Owns() const { return m_bOwns; }
  bool Proceed() const { return m_eOutcome == LockWait::Acquired; }
  LockWait Outcome() const { return m_eOutcome; }

 private:
  CNamedMutex* m_pLock;
  LockWait m_eOutcome;
  bool m_bOwns;
};

// Shared-memory object name of a lock ("/" + name + suffix). The suffix (empty by default)
// lets a test process keep its locks apart from other processes running at the same time.
std::string NamedLockSegment(const std::string& name);
void SetNamedLockSuffix(const std::string& suffix);

}  // namespace drover
