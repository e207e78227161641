// Helpers for the platform tests: a window that records what it receives, a bounded pump,
// and the calling thread's CPU time.
#pragma once

#include <time.h>

#include <functional>
#include <vector>

#include "platform/message_queue.h"
#include "platform/tick_count.h"

namespace platform_test {

using namespace platform;

struct Recorder {
  std::vector<MSG> messages;
  std::function<void(const MSG&)> onMessage;  // optional extra behaviour, runs after recording

  std::size_t Count(UINT message) const {
    std::size_t n = 0;
    for (const MSG& m : messages) n += m.message == message ? 1 : 0;
    return n;
  }
};

inline LRESULT RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* recorder = reinterpret_cast<Recorder*>(GetWindowLongPtr(hwnd, 0));
  if (recorder == nullptr) return 0;
  MSG m{hwnd, message, wParam, lParam, 0};
  recorder->messages.push_back(m);
  if (recorder->onMessage) recorder->onMessage(m);
  return 0;
}

// A recording window owned by the calling thread, destroyed with the object.
struct RecordingWindow {
  Recorder recorder;
  HWND hwnd;
  RecordingWindow() : hwnd(CreateWindow(RecordingProc, reinterpret_cast<LONG_PTR>(&recorder))) {}
  ~RecordingWindow() { DestroyWindow(hwnd); }
  RecordingWindow(const RecordingWindow&) = delete;
  RecordingWindow& operator=(const RecordingWindow&) = delete;
};

// Dispatches everything retrievable now; returns how many messages were dispatched.
inline int DrainQueue() {
  int n = 0;
  MSG msg;
  while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
    DispatchMessage(&msg);
    ++n;
  }
  return n;
}

// Pumps messages until `done` holds or `timeoutMs` has passed; returns `done()`.
inline bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000) {
  const DWORD start = GetTickCount();
  for (;;) {
    DrainQueue();
    if (done()) return true;
    DWORD elapsed = TicksSince(start);
    if (elapsed >= timeoutMs) return false;
    MsgWaitForMultipleObjects(0, nullptr, 0, timeoutMs - elapsed, QS_ALLINPUT);
  }
}

// Pumps for `ms` milliseconds whatever happens.
inline void PumpFor(DWORD ms) {
  PumpUntil([] { return false; }, ms);
}

// CPU time (user + system) the calling thread has used, in milliseconds.
inline double ThreadCpuMs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

}  // namespace platform_test
