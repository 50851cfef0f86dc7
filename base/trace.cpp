#include "base/trace.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/clock.h"
#include "base/file_util.h"

namespace drover {

namespace {

// A line is at most 512 characters; one more byte holds the terminator.
constexpr std::size_t kLineChars = 512;

std::atomic<std::uint32_t> g_mask{7};
// Set while someone receives the lines; without a destination nothing is formatted at all.
std::atomic<bool> g_hasObserver{false};
std::mutex g_lock;
char g_line[kLineChars + 1];
std::function<void(std::string_view)> g_observer;

std::uint32_t KernelThreadId() {
  thread_local const std::uint32_t tid = static_cast<std::uint32_t>(::syscall(SYS_gettid));
  return tid;
}

// Length of the text kept after a cut at `limit` bytes: a UTF-8 character that the cut split
// is dropped whole. Only the kept bytes are looked at (the formatter overwrote the next one).
std::size_t CutLength(const char* text, std::size_t written, std::size_t limit) {
  if (written <= limit) return written;
  std::size_t k = limit;
  while (k > 0 && (static_cast<unsigned char>(text[k - 1]) & 0xC0) == 0x80) --k;
  if (k == 0) return limit;
  const unsigned char lead = static_cast<unsigned char>(text[k - 1]);
  const std::size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  return (k - 1) + need > limit ? k - 1 : limit;
}

void WriteLine(const TraceScope& scope, bool prefix, const char* fmt, std::va_list args) {
  if ((scope.Category() & g_mask.load(std::memory_order_relaxed)) == 0) return;
  if (!g_hasObserver.load(std::memory_order_acquire)) return;
  const std::uint32_t tid = KernelThreadId();
  const std::uint32_t tick = Clock().TickCount();

  std::lock_guard<std::mutex> g(g_lock);
  if (!g_observer) return;
  std::size_t len = 0;
  if (prefix) {
    int n = std::snprintf(g_line, sizeof g_line, "(%X-%d):%s:> ", tid, static_cast<int>(tick), scope.Name());
    len = n < 0 ? 0 : CutLength(g_line, static_cast<std::size_t>(n), kLineChars);
  }
  if (len < kLineChars) {
    int n = std::vsnprintf(g_line + len, sizeof g_line - len, fmt, args);
    if (n > 0) len += CutLength(g_line + len, static_cast<std::size_t>(n), kLineChars - len);
  }
  g_line[len] = '\0';
  // A line ending in "\n" gets "\r\n" when the buffer has room for the extra character.
  if (len > 0 && g_line[len - 1] == '\n' && len < kLineChars) {
    g_line[len - 1] = '\r';
    g_line[len] = '\n';
    g_line[++len] = '\0';
  }
  g_observer(std::string_view(g_line, len));
}

}  // namespace

TraceScope::TraceScope(const char* name, bool entryExit, std::uint32_t category)
    : m_name(name ? name : ""), m_bEntryExit(entryExit), m_category(category) {
  if (m_bEntryExit) TraceLine(*this, "START --->>>\n");
}

TraceScope::~TraceScope() {
  if (m_bEntryExit) TraceLine(*this, "EXIT <<<---\n");
}

void TraceLine(const TraceScope& scope, const char* fmt, ...) {
  std::va_list args;
  va_start(args, fmt);
  WriteLine(scope, true, fmt, args);
  va_end(args);
}

void TraceRaw(const TraceScope& scope, const char* fmt, ...) {
  std::va_list args;
  va_start(args, fmt);
  WriteLine(scope, false, fmt, args);
  va_end(args);
}

void TraceFail(const TraceScope& scope, std::string_view message) {
  TraceRaw(scope, "----------------: ");
  TraceRaw(scope, "%.*s", static_cast<int>(message.size()), message.data());
}

void TraceSetup() {
  // "Log.txt" is never written, but a read-only copy left beside the program is made writable
  // so that a later build with file output can use it.
  const std::string log = GetModuleDirectory(true) + "Log.txt";
  struct stat st {};
  if (::stat(log.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0)
    ::chmod(log.c_str(), (st.st_mode & 07777) | S_IWUSR);
  g_mask = 7;
}

void TraceEnd() {
  // No trace file is ever opened, so there is nothing to flush; the lock is static.
}

std::uint32_t TraceMask() { return g_mask; }
void SetTraceMask(std::uint32_t mask) { g_mask = mask; }

void SetTraceObserver(std::function<void(std::string_view)> observer) {
  std::lock_guard<std::mutex> g(g_lock);
  g_observer = std::move(observer);
  g_hasObserver.store(static_cast<bool>(g_observer), std::memory_order_release);
}

}  // namespace drover
