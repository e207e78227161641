#pragma once
// Bounded message pumping for the socket-layer tests: a fault fails the test, never hangs it.

#include <chrono>
#include <functional>

#include "platform/message_queue.h"

namespace net_test {

// Dispatches the calling thread's messages until `done()` or `timeoutMs` has passed.
inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    platform::MSG msg;
    while (platform::PeekMessage(&msg, nullptr, 0, 0, platform::PM_REMOVE)) {
      if (msg.message == platform::WM_QUIT) continue;
      platform::DispatchMessage(&msg);
      if (done()) return true;
    }
    if (done()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    platform::MsgWaitForMultipleObjects(0, nullptr, false,
                                        static_cast<platform::DWORD>(left < 50 ? left : 50),
                                        platform::QS_ALLINPUT);
  }
}

// Dispatches whatever is pending now (and what arrives within `ms`).
inline void PumpFor(int ms) {
  PumpUntil([] { return false; }, ms);
}

}  // namespace net_test
