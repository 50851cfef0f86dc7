#include "base/debug_channel.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "base/clock.h"

namespace drover {

namespace {

// Strings waiting for the capture thread; beyond this a flood of diagnostics is dropped rather
// than letting memory grow without bound while the file falls behind.
constexpr std::size_t kMaxPending = 4096;
// How long a stop waits for the capture to finish writing what was emitted before it.
constexpr std::uint32_t kStopWaitMs = 5000;

struct DebugString {
  std::uint32_t pid;
  std::string text;
};

// One capture run. The thread holds its own reference, so a stop that gives up waiting can let
// the thread finish on its own without anything being freed under it.
struct CaptureState {
  std::mutex lock;
  std::condition_variable cv;
  std::deque<DebugString> pending;
  bool stop = false;       // the stop flag
  bool accepting = true;   // false once the thread ends, for whatever reason
  CEvent done{true, false};
  int fd = -1;
  std::thread thread;
  ~CaptureState() {
    if (fd >= 0) ::close(fd);
  }
};

std::mutex g_captureLock;
std::shared_ptr<CaptureState> g_capture;

std::shared_ptr<CaptureState> Current() {
  std::lock_guard<std::mutex> g(g_captureLock);
  return g_capture;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t off = 0;
  while (off < text.size()) {
    ssize_t n = ::write(fd, text.data() + off, text.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += static_cast<std::size_t>(n);
  }
  return true;
}

void CaptureLoop(std::shared_ptr<CaptureState> st) {
  const std::uint32_t own = static_cast<std::uint32_t>(::getpid());
  std::deque<DebugString> batch;
  bool failed = false;
  for (;;) {
    {
      std::unique_lock<std::mutex> g(st->lock);
      // A stop wakes the wait, so the capture ends even when no further string arrives; what
      // was emitted before the stop is still written.
      st->cv.wait(g, [&] { return st->stop || !st->pending.empty(); });
      if (st->pending.empty()) {
        st->accepting = false;
        st->pending.clear();
        break;
      }
      batch.swap(st->pending);
    }
    for (const DebugString& s : batch)
      if (s.pid == own && !WriteAll(st->fd, s.text)) failed = true;
    batch.clear();
    if (failed) {
      std::lock_guard<std::mutex> g(st->lock);
      st->accepting = false;
      st->pending.clear();
      break;
    }
  }
  ::close(st->fd);
  st->fd = -1;
  st->done.Set();
}

}  // namespace

void PostDebugString(std::uint32_t senderPid, std::string_view text) {
  std::shared_ptr<CaptureState> st = Current();
  if (!st) return;
  const std::size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  {
    std::lock_guard<std::mutex> g(st->lock);
    if (!st->accepting || st->stop || st->pending.size() >= kMaxPending) return;
    st->pending.push_back(DebugString{senderPid, std::string(text)});
  }
  st->cv.notify_one();
}

void OutputDebugString(std::string_view text) {
  PostDebugString(static_cast<std::uint32_t>(::getpid()), text);
}

bool DebugCaptureStart(const std::string& directoryWithSlash) {
  DebugCaptureStop();  // a previous capture file is closed first
  const std::string path = directoryWithSlash + "DebugLog.txt";
  // Plain unbuffered writes: every string reaches the file at once and survives a crash.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  auto st = std::make_shared<CaptureState>();
  st->fd = fd;
  std::printf("Tracing PID: %d\n", static_cast<int>(::getpid()));
  std::fflush(stdout);
  st->thread = std::thread(CaptureLoop, st);
  std::lock_guard<std::mutex> g(g_captureLock);
  g_capture = std::move(st);
  return true;
}

void DebugCaptureStop() {
  std::shared_ptr<CaptureState> st;
  {
    std::lock_guard<std::mutex> g(g_captureLock);
    st = std::move(g_capture);
    g_capture.reset();
  }
  if (!st) return;
  {
    std::lock_guard<std::mutex> g(st->lock);
    st->stop = true;
  }
  st->cv.notify_all();
  // Debug strings come from real threads, so this wait is in real time whatever clock is
  // installed; it is bounded so that a stuck file system cannot hang the exit.
  if (st->done.WaitReal(kStopWaitMs)) {
    st->thread.join();
  } else {
    std::fprintf(stderr, "drover: the debug capture did not end in time; leaving it behind\n");
    st->thread.detach();
  }
  st->done.Reset();
}

bool DebugCaptureRunning() {
  std::shared_ptr<CaptureState> st = Current();
  if (!st) return false;
  std::lock_guard<std::mutex> g(st->lock);
  return st->accepting && !st->stop;
}

}  // namespace drover
