#include "app/kes_thread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>

#include "base/status.h"
#include "base/trace.h"

namespace drover {

CKesThread::CKesThread() = default;

CKesThread::~CKesThread() {
  if (m_thread.joinable()) {
    PostThreadMessage(WM_QUIT);
    m_thread.join();
  }
}

void CKesThread::SetJob(std::uint32_t message, Job job) {
  if (m_bStarted) return;
  m_jobs[message] = std::move(job);
}

bool CKesThread::Start() {
  bool expected = false;
  if (!m_bStarted.compare_exchange_strong(expected, true)) return false;
  m_bRunning = true;
  m_thread = std::thread([this] { Loop(); });
  return true;
}

bool CKesThread::PostThreadMessage(std::uint32_t message, std::uintptr_t first, std::intptr_t second) {
  if (!m_bRunning) return false;
  m_queue.Post(Message{message, first, second});
  return true;
}

void CKesThread::Join() {
  if (m_thread.joinable()) m_thread.join();
}

void CKesThread::Loop() {
  m_dwThreadId = static_cast<std::uint32_t>(::syscall(SYS_gettid));
  TraceScope scope("CKesThread::Run");
  for (;;) {
    Message m = m_queue.Take();
    if (m.uMsg == WM_QUIT) break;
    auto it = m_jobs.find(m.uMsg);
    if (it != m_jobs.end() && it->second) {
      it->second(*this, m);
      continue;
    }
    switch (m.uMsg) {
      case TM_DOWNLOAD:
      case TM_REFRESH_DEVICES:
      case TM_RESELECT_DEVICE:
      case TM_CLOSE_DEVICE:
        std::fprintf(stderr, "drover: the worker job 0x%X is not built yet\n", m.uMsg);
        SetLastStatus(41500);
        break;
      default:
        break;  // reserved numbers: nothing posts them and no job answers them
    }
  }
  // Posts after this point are refused, as they are to an ended thread.
  m_bRunning = false;
  PostToDialog(UM_WORKER_EXIT, 0, 0);
}

}  // namespace drover
