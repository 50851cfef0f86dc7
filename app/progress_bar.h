#pragma once
// The progress bar of command-line mode: drawn on standard error while a job runs, fed by the
// engine's UM_PROGRESS (percentage) and UM_STEP (step text) posts. It is drawn only when
// standard error is a terminal, so that standard output and the result files stay exactly
// what scripts parse.
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "base/status.h"

namespace drover {

class CConsoleProgress final : public IPostSink {
 public:
  // out: where the bar goes; enabled: whether to draw at all (normally: out is a terminal).
  CConsoleProgress(std::FILE* out, bool enabled);
  // Standard error, drawn only when it is a terminal.
  static bool StderrIsTerminal();

  void OnPost(std::uint32_t message, std::uintptr_t first, std::intptr_t second) override;
  // Wipes the bar's line (before console text is written, and at the end of the job).
  void Clear();
  bool Enabled() const { return m_bEnabled; }
  // The line as last drawn (without the leading carriage return); empty before any post.
  std::string Line() const;

 private:
  void Draw();

  std::FILE* m_out;
  const bool m_bEnabled;
  mutable std::mutex m_lock;
  int m_iPercent = 0;
  std::string m_strStep;
  std::string m_strLine;
  bool m_bShown = false;
};

// Installs a progress sink for the lifetime of the object (command-line jobs) and wipes the
// bar at the end.
class ScopedProgressSink {
 public:
  explicit ScopedProgressSink(CConsoleProgress& progress);
  ~ScopedProgressSink();
  ScopedProgressSink(const ScopedProgressSink&) = delete;
  ScopedProgressSink& operator=(const ScopedProgressSink&) = delete;

 private:
  CConsoleProgress& m_progress;
};

}  // namespace drover
