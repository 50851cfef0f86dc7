#include "app/progress_bar.h"

#include <unistd.h>

#include "base/strfmt.h"

namespace drover {

namespace {
constexpr int kBarCells = 30;
}

CConsoleProgress::CConsoleProgress(std::FILE* out, bool enabled) : m_out(out), m_bEnabled(enabled && out) {}

bool CConsoleProgress::StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void CConsoleProgress::OnPost(std::uint32_t message, std::uintptr_t first, std::intptr_t) {
  std::lock_guard<std::mutex> g(m_lock);
  if (message == UM_PROGRESS) {
    const std::uintptr_t p = first > 100 ? 100 : first;
    m_iPercent = static_cast<int>(p);
  } else if (message == UM_STEP) {
    // A step of 0 only asks for a redraw.
    if (first != 0) {
      const std::string_view text = StatusText(static_cast<std::uint32_t>(first));
      if (!text.empty()) m_strStep.assign(text);
    }
  } else {
    return;
  }
  Draw();
}

void CConsoleProgress::Draw() {
  const int filled = m_iPercent * kBarCells / 100;
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(kBarCells - filled), '.');
  m_strLine = StrFormat("[%s] %3d%% %s", bar.c_str(), m_iPercent, m_strStep.c_str());
  if (!m_bEnabled) return;
  // Erase to the end of the line so that a shorter step text leaves no remains.
  std::fprintf(m_out, "\r%s\x1b[K", m_strLine.c_str());
  std::fflush(m_out);
  m_bShown = true;
}

void CConsoleProgress::Clear() {
  std::lock_guard<std::mutex> g(m_lock);
  if (!m_bEnabled || !m_bShown) return;
  std::fputs("\r\x1b[K", m_out);
  std::fflush(m_out);
  m_bShown = false;
}

std::string CConsoleProgress::Line() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_strLine;
}

ScopedProgressSink::ScopedProgressSink(CConsoleProgress& progress) : m_progress(progress) {
  SetPostSink(&m_progress);
}

ScopedProgressSink::~ScopedProgressSink() {
  SetPostSink(nullptr);
  m_progress.Clear();
}

}  // namespace drover
