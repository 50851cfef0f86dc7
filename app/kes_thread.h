#pragma once
// The worker thread: takes device jobs from its queue one at a time, so that the dialog stays
// responsive while a download runs, and ends on WM_QUIT.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <thread>

#include "base/msg_queue.h"

namespace drover {

class CMainDialog;  // the main dialog (dialog mode)

class CKesThread {
 public:
  // A job runs to completion on the worker before the next message is taken.
  using Job = std::function<void(CKesThread& worker, const Message& message)>;

  CKesThread();
  // Ends the worker (WM_QUIT behind everything already queued) and waits for it.
  ~CKesThread();
  CKesThread(const CKesThread&) = delete;
  CKesThread& operator=(const CKesThread&) = delete;

  // Installs the job of a thread message (TM_DOWNLOAD, ...); before Start only.
  void SetJob(std::uint32_t message, Job job);
  // Starts the worker's loop once; false when it already ran.
  bool Start();
  // Queues a thread message; false once the worker has ended (or never started).
  bool PostThreadMessage(std::uint32_t message, std::uintptr_t first = 0, std::intptr_t second = 0);
  // Waits until the worker has ended after a WM_QUIT; returns at once when it never started.
  void Join();
  bool Running() const { return m_bRunning.load(); }
  std::uint32_t ThreadId() const { return m_dwThreadId.load(); }

  CMainDialog* m_pDialog = nullptr;       // the dialog that sent the current download request
  std::uint32_t m_dwLastDownloadResult = 0;  // answer of the last DEV_Download
  std::int16_t m_sSpareIndex = -1;
  std::uint32_t m_dwSavedDevHandle = 0;   // device handle carried across a re-creation

 private:
  void Loop();

  CMessageQueue<Message> m_queue;
  std::map<std::uint32_t, Job> m_jobs;
  std::thread m_thread;
  std::atomic<bool> m_bRunning{false};
  std::atomic<bool> m_bStarted{false};
  std::atomic<std::uint32_t> m_dwThreadId{0};
};

}  // namespace drover
