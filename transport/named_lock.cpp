#include "transport/named_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

#include "base/clock.h"
#include "base/debug_channel.h"
#include "base/strfmt.h"

namespace drover {

// The segment is published fully initialised: it is built under a private name and linked to
// its final name in one step, so an opener never sees a half-made mutex, and of two
// processes racing to create it exactly one wins.
struct CNamedMutex::Shared {
  std::uint32_t magic;
  pthread_mutex_t mutex;
};

namespace {

constexpr std::uint32_t kMagic = 0x4C4B4431;  // "1DKL"
constexpr const char* kShmDir = "/dev/shm";

std::mutex g_suffixLock;
std::string g_suffix;

CNamedMutex::Shared* MapSegment(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) < sizeof(CNamedMutex::Shared)) return nullptr;
  void* p = ::mmap(nullptr, sizeof(CNamedMutex::Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return p == MAP_FAILED ? nullptr : static_cast<CNamedMutex::Shared*>(p);
}

CNamedMutex::Shared* OpenExisting(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return nullptr;
  CNamedMutex::Shared* s = MapSegment(fd);
  ::close(fd);
  if (s && s->magic != kMagic) {
    ::munmap(s, sizeof(CNamedMutex::Shared));
    return nullptr;
  }
  return s;
}

CNamedMutex::Shared* CreateAndPublish(const std::string& path) {
  const std::string tmp = StrFormat("%s.%d.%lx.tmp", path.c_str(), static_cast<int>(::getpid()),
                                    static_cast<unsigned long>(::pthread_self()));
  const int fd = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  // Any local user's Drover must be able to take the lock, whatever our umask.
  ::fchmod(fd, 0666);
  CNamedMutex::Shared* s = nullptr;
  if (::ftruncate(fd, sizeof(CNamedMutex::Shared)) == 0) s = MapSegment(fd);
  ::close(fd);
  if (!s) {
    ::unlink(tmp.c_str());
    return nullptr;
  }
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  const int rc = pthread_mutex_init(&s->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  s->magic = kMagic;
  const bool published = rc == 0 && ::link(tmp.c_str(), path.c_str()) == 0;
  ::unlink(tmp.c_str());
  if (!published) {
    ::munmap(s, sizeof(CNamedMutex::Shared));
    return nullptr;
  }
  return s;
}

}  // namespace

std::string NamedLockSegment(const std::string& name) {
  std::lock_guard<std::mutex> g(g_suffixLock);
  return "/" + name + g_suffix;
}

void SetNamedLockSuffix(const std::string& suffix) {
  std::lock_guard<std::mutex> g(g_suffixLock);
  g_suffix = suffix;
}

CNamedMutex::CNamedMutex(const std::string& name) : m_strName(name) {
  const std::string path = std::string(kShmDir) + NamedLockSegment(name);
  // Open before create; a lost creation race means the other process published first.
  for (int attempt = 0; attempt < 3 && !m_pShared; ++attempt) {
    m_pShared = OpenExisting(path);
    if (!m_pShared) m_pShared = CreateAndPublish(path);
  }
  if (!m_pShared) OutputDebugString(StrFormat("Cannot open the lock %s (errno %d)\n", path.c_str(), errno));
}

CNamedMutex::~CNamedMutex() {
  if (m_pShared) ::munmap(m_pShared, sizeof(Shared));
}

LockWait CNamedMutex::Wait(std::uint32_t timeoutMs) {
  if (!m_pShared) return LockWait::Failed;
  IClock& clock = Clock();
  const std::uint64_t start = clock.NowMs();
  for (;;) {
    const int rc = pthread_mutex_trylock(&m_pShared->mutex);
    if (rc == 0) return LockWait::Acquired;
    if (rc == EOWNERDEAD) {
      // Without this the mutex becomes unrecoverable for every process at its next unlock.
      pthread_mutex_consistent(&m_pShared->mutex);
      return LockWait::Abandoned;
    }
    if (rc != EBUSY) return LockWait::Failed;
    const std::uint64_t waited = clock.NowMs() - start;
    if (timeoutMs != kInfinite && waited >= timeoutMs) return LockWait::TimedOut;
    clock.Sleep(1);
    // The holder is another thread or process running in real time; on a virtual clock give
    // it a moment of real time per polled millisecond so that a short hold is not a time-out.
    if (clock.IsVirtual()) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

void CNamedMutex::Release() {
  if (m_pShared) pthread_mutex_unlock(&m_pShared->mutex);
}

CSyncOperate::CSyncOperate(CNamedMutex* lock, std::uint32_t timeoutMs)
    : m_pLock(lock), m_eOutcome(lock ? lock->Wait(timeoutMs) : LockWait::Failed),
      m_bOwns(m_eOutcome == LockWait::Acquired || m_eOutcome == LockWait::Abandoned) {}

CSyncOperate::~CSyncOperate() {
  if (m_bOwns) m_pLock->Release();
}

}  // namespace drover
