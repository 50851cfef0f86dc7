#pragma once
// Trace scopes and lines: every named operation opens a scope under its qualified name.
// Lines are formatted into one 512-character buffer under a lock; they have no destination
// unless an observer is installed (tests) or file output is switched on.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace drover {

class TraceScope {
 public:
  // entryExit: write "START --->>>\n" and "EXIT <<<---\n"; category: 1, 2 or 4.
  explicit TraceScope(const char* name, bool entryExit = true, std::uint32_t category = 1);
  ~TraceScope();
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;
  const char* Name() const { return m_name; }
  std::uint32_t Category() const { return m_category; }

 private:
  const char* m_name;
  bool m_bEntryExit;
  std::uint32_t m_category;
};

void TraceLine(const TraceScope& scope, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void TraceRaw(const TraceScope& scope, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// A failure line: "----------------: " followed by the message, as two raw writes.
void TraceFail(const TraceScope& scope, std::string_view message);

// Trace set-up (clears a read-only "Log.txt" in the program directory, mask 7) and end.
void TraceSetup();
void TraceEnd();
std::uint32_t TraceMask();
void SetTraceMask(std::uint32_t mask);
// Receives every formatted line (nullptr function: none); for tests and diagnostics. It is
// called under the trace lock, so it must not trace itself.
void SetTraceObserver(std::function<void(std::string_view)> observer);

}  // namespace drover
