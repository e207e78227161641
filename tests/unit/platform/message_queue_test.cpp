#include "platform/message_queue.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <thread>

#include "platform_test_util.h"

using namespace platform;
using namespace platform_test;

namespace {

// Components living in static storage release their windows after the main thread's
// thread_local objects are gone; the calls must stay safe and must not block.
struct ExitTimeUser {
  HWND hwnd = nullptr;
  ~ExitTimeUser() {
    if (hwnd == nullptr) return;
    MSG msg;
    while (PeekMessage(&msg, hwnd, 0, 0, PM_REMOVE)) {
    }
    DestroyWindow(hwnd);
    if (PostMessage(hwnd, 1025, 0, 0) || GetMessage(&msg, nullptr, 0, 0) != -1 ||
        MsgWaitForMultipleObjects(0, nullptr, 0, INFINITE, QS_ALLINPUT) != WAIT_FAILED) {
      std::abort();
    }
  }
} gExitTimeUser;

TEST(PlatformMessageQueue, CallsAfterTheMainThreadsQueueIsGoneAreSafe) {
  if (GetCurrentThreadId() != static_cast<DWORD>(::getpid())) GTEST_SKIP();
  gExitTimeUser.hwnd = CreateWindow(RecordingProc);
  ASSERT_NE(gExitTimeUser.hwnd, nullptr);
  // The checks run in ExitTimeUser's destructor; a fault aborts the test process.
}

TEST(PlatformMessageQueue, DeliversPostedMessagesInOrderToTheirOwnWindow) {
  RecordingWindow a, b;
  ASSERT_NE(a.hwnd, nullptr);
  ASSERT_NE(a.hwnd, b.hwnd);
  EXPECT_TRUE(PostMessage(a.hwnd, 1025, 1, 10));
  EXPECT_TRUE(PostMessage(b.hwnd, 1026, 2, 20));
  EXPECT_TRUE(PostMessage(a.hwnd, 1027, 3, 30));
  EXPECT_EQ(DrainQueue(), 3);

  ASSERT_EQ(a.recorder.messages.size(), 2u);
  EXPECT_EQ(a.recorder.messages[0].message, 1025u);
  EXPECT_EQ(a.recorder.messages[0].wParam, 1u);
  EXPECT_EQ(a.recorder.messages[0].lParam, 10);
  EXPECT_EQ(a.recorder.messages[1].message, 1027u);
  ASSERT_EQ(b.recorder.messages.size(), 1u);
  EXPECT_EQ(b.recorder.messages[0].hwnd, b.hwnd);
  EXPECT_EQ(b.recorder.messages[0].lParam, 20);
}

TEST(PlatformMessageQueue, MessagesToADestroyedWindowAreDropped) {
  Recorder recorder;
  HWND hwnd = CreateWindow(RecordingProc, reinterpret_cast<LONG_PTR>(&recorder));
  ASSERT_TRUE(PostMessage(hwnd, 1025, 0, 0));  // queued before the window goes
  ASSERT_TRUE(SetTimer(hwnd, 7, 10));
  ASSERT_TRUE(DestroyWindow(hwnd));

  SetLastError(0);
  EXPECT_FALSE(PostMessage(hwnd, 1025, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_FALSE(DestroyWindow(hwnd));
  EXPECT_EQ(SetTimer(hwnd, 1, 10), 0u);
  EXPECT_EQ(GetWindowThreadId(hwnd), 0u);
  MSG msg;
  EXPECT_EQ(GetMessage(&msg, hwnd, 0, 0), -1);

  PumpFor(60);  // the killed timer would have ticked meanwhile
  EXPECT_TRUE(recorder.messages.empty());

  // Handles are not reused, so the stale handle cannot reach a newer window.
  RecordingWindow later;
  EXPECT_NE(later.hwnd, hwnd);
  EXPECT_FALSE(PostMessage(hwnd, 1025, 0, 0));
}

TEST(PlatformMessageQueue, PeekFiltersByWindowAndNumberAndCanLeaveMessages) {
  RecordingWindow a, b;
  PostMessage(a.hwnd, 1025, 1, 0);
  PostMessage(b.hwnd, 1025, 2, 0);
  PostMessage(a.hwnd, 1026, 3, 0);
  PostMessage(a.hwnd, 1025, 4, 0);

  MSG msg;
  EXPECT_TRUE(PeekMessage(&msg, a.hwnd, 1026, 1026, PM_NOREMOVE));
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_TRUE(PeekMessage(&msg, a.hwnd, 1026, 1026, PM_NOREMOVE));  // still there

  // The purge loop a dispatcher runs when it frees a message number.
  int purged = 0;
  while (PeekMessage(&msg, a.hwnd, 1025, 1025, PM_REMOVE)) {
    EXPECT_EQ(msg.hwnd, a.hwnd);
    ++purged;
  }
  EXPECT_EQ(purged, 2);
  EXPECT_FALSE(PeekMessage(&msg, a.hwnd, 1027, 2000, PM_REMOVE));

  EXPECT_EQ(DrainQueue(), 2);
  ASSERT_EQ(a.recorder.messages.size(), 1u);
  EXPECT_EQ(a.recorder.messages[0].wParam, 3u);
  ASSERT_EQ(b.recorder.messages.size(), 1u);
  EXPECT_EQ(b.recorder.messages[0].wParam, 2u);
}

TEST(PlatformMessageQueue, QuitComesAfterEarlierPostsAndOnlyToUnfilteredReads) {
  RecordingWindow w;
  PostMessage(w.hwnd, 1025, 0, 0);
  PostQuitMessage(7);
  PostMessage(w.hwnd, 1026, 0, 0);

  MSG msg;
  // A read filtered to the window never takes the quit away from the loop.
  while (PeekMessage(&msg, w.hwnd, 0, 0, PM_REMOVE)) {
  }
  EXPECT_FALSE(PeekMessage(&msg, nullptr, 1025, 1030, PM_NOREMOVE));

  ASSERT_EQ(GetMessage(&msg, nullptr, 0, 0), 0);
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));  // taken once
}

TEST(PlatformMessageQueue, PostFromAnotherThreadWakesABlockedGetMessage) {
  RecordingWindow w;
  const DWORD self = GetCurrentThreadId();
  std::atomic<bool> stop{false};
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    PostMessage(w.hwnd, 1030, 42, 0);
    // Watchdog: if the wake-up got lost, end the wait so the test fails instead of hanging.
    for (int i = 0; i < 500 && !stop; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!stop) PostThreadMessage(self, WM_QUIT, 0, 0);
  });
  MSG msg;
  int rc = GetMessage(&msg, nullptr, 0, 0);
  stop = true;
  poster.join();
  ASSERT_EQ(rc, 1);
  EXPECT_EQ(msg.message, 1030u);
  EXPECT_EQ(msg.wParam, 42u);
  DrainQueue();
}

TEST(PlatformMessageQueue, ThreadMessagesAndThreadLifetime) {
  HWND orphan = nullptr;
  DWORD workerId = 0;
  std::thread worker([&] {
    orphan = CreateWindow(RecordingProc);
    workerId = GetCurrentThreadId();
    MSG msg;
    // A window of a live thread cannot be destroyed or dispatched from elsewhere.
    ASSERT_TRUE(PostThreadMessage(workerId, 1040, 5, 0));
    ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, nullptr);
    EXPECT_EQ(msg.message, 1040u);
  });
  worker.join();
  EXPECT_NE(workerId, GetCurrentThreadId());
  // The thread's windows went with it.
  EXPECT_FALSE(IsWindow(orphan));
  EXPECT_FALSE(PostMessage(orphan, 1025, 0, 0));
  EXPECT_FALSE(PostThreadMessage(workerId, 1025, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

TEST(PlatformMessageQueue, OnlyTheOwnerThreadDestroysOrDispatches) {
  RecordingWindow w;
  bool destroyed = true;
  DWORD error = 0;
  LRESULT dispatched = -1;
  std::thread other([&] {
    destroyed = DestroyWindow(w.hwnd);
    error = GetLastError();
    MSG msg{w.hwnd, 1025, 0, 0, 0};
    dispatched = DispatchMessage(&msg);
  });
  other.join();
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  EXPECT_EQ(dispatched, 0);
  EXPECT_TRUE(IsWindow(w.hwnd));
  EXPECT_TRUE(w.recorder.messages.empty());
}

// A window procedure that posts to itself and finally destroys its own window.
LRESULT SelfDestroyingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
  auto* count = reinterpret_cast<int*>(GetWindowLongPtr(hwnd, 0));
  ++*count;
  if (wParam < 3) {
    PostMessage(hwnd, message, wParam + 1, 0);
    // A nested pump inside the procedure.
    MSG msg;
    while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessage(&msg);
  } else {
    PostMessage(hwnd, message, 99, 0);  // dropped with the window
    DestroyWindow(hwnd);
  }
  return 0;
}

TEST(PlatformMessageQueue, WindowProcedureMayReenterAndDestroyItsWindow) {
  int count = 0;
  HWND hwnd = CreateWindow(SelfDestroyingProc, reinterpret_cast<LONG_PTR>(&count));
  PostMessage(hwnd, 1025, 0, 0);
  DrainQueue();
  EXPECT_EQ(count, 4);
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_EQ(DrainQueue(), 0);
}

TEST(PlatformMessageQueue, RegisteredMessageNumbersAreStablePerName) {
  UINT a = RegisterWindowMessage("NET_THREAD_TIMER_MESSAGE");
  UINT b = RegisterWindowMessage("SOME_OTHER_MESSAGE");
  EXPECT_GE(a, kFirstRegisteredMessage);
  EXPECT_LE(a, kLastRegisteredMessage);
  EXPECT_NE(a, b);
  UINT fromOtherThread = 0;
  std::thread([&] { fromOtherThread = RegisterWindowMessage("NET_THREAD_TIMER_MESSAGE"); }).join();
  EXPECT_EQ(fromOtherThread, a);
  EXPECT_EQ(RegisterWindowMessage(""), 0u);
  EXPECT_EQ(RegisterWindowMessage(nullptr), 0u);
}

TEST(PlatformMessageQueue, TimerTicksCarryTheIdAndStopWhenKilled) {
  RecordingWindow w;
  ASSERT_EQ(SetTimer(w.hwnd, 77, 20), 77u);
  ASSERT_TRUE(PumpUntil([&] { return w.recorder.Count(WM_TIMER) >= 3; }, 3000));
  for (const MSG& m : w.recorder.messages) {
    EXPECT_EQ(m.message, WM_TIMER);
    EXPECT_EQ(m.wParam, 77u);
  }
  EXPECT_TRUE(KillTimer(w.hwnd, 77));
  EXPECT_FALSE(KillTimer(w.hwnd, 77));
  std::size_t ticks = w.recorder.Count(WM_TIMER);
  PumpFor(100);
  EXPECT_EQ(w.recorder.Count(WM_TIMER), ticks);
}

TEST(PlatformMessageQueue, ABusyThreadGetsOneTimerTickNotABacklog) {
  RecordingWindow w;
  ASSERT_TRUE(SetTimer(w.hwnd, 1, 100));
  std::this_thread::sleep_for(std::chrono::milliseconds(650));  // "blocked" for 6 intervals
  MSG msg;
  ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_TIMER);
  EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
  KillTimer(w.hwnd, 1);
}

TEST(PlatformMessageQueue, TimerSetFromAnotherThreadShortensARunningWait) {
  RecordingWindow w;
  std::thread other([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    SetTimer(w.hwnd, 3, 10);
  });
  DWORD start = GetTickCount();
  DWORD rc = MsgWaitForMultipleObjects(0, nullptr, 0, 3000, QS_ALLINPUT);
  other.join();
  EXPECT_EQ(rc, WAIT_OBJECT_0);
  EXPECT_LT(TicksSince(start), 2000u);
  KillTimer(w.hwnd, 3);
}

TEST(PlatformMessageQueue, MsgWaitReturnsForInputOrTimeout) {
  DrainQueue();
  DWORD start = GetTickCount();
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 0, 100, QS_ALLINPUT), WAIT_TIMEOUT);
  DWORD waited = TicksSince(start);
  EXPECT_GE(waited, 95u);
  EXPECT_LT(waited, 2000u);
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 0, 0, QS_ALLINPUT), WAIT_TIMEOUT);

  RecordingWindow w;
  PostMessage(w.hwnd, 1025, 0, 0);
  start = GetTickCount();
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 0, 5000, QS_ALLINPUT), WAIT_OBJECT_0);
  EXPECT_LT(TicksSince(start), 1000u);
  DrainQueue();

  HANDLE h = nullptr;
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &h, 0, 10, QS_ALLINPUT), WAIT_FAILED);
}

TEST(PlatformMessageQueue, ExtraDescriptorCallbackRunsOnTheWaitingThread) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  int calls = 0;
  DWORD callbackThread = 0;
  ASSERT_TRUE(RegisterWaitDescriptor(fds[0], POLLIN, [&](int fd, short revents) {
    ++calls;
    callbackThread = GetCurrentThreadId();
    EXPECT_TRUE(revents & POLLIN);
    char c;
    EXPECT_EQ(::read(fd, &c, 1), 1);
    UnregisterWaitDescriptor(fd);  // unregistering from inside is allowed
  }));
  EXPECT_FALSE(RegisterWaitDescriptor(-1, POLLIN, [](int, short) {}));
  EXPECT_FALSE(RegisterWaitDescriptor(fds[0], POLLIN, nullptr));

  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
  });
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 0, 3000, QS_ALLINPUT), WAIT_OBJECT_0);
  writer.join();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(callbackThread, GetCurrentThreadId());

  // Unregistered: more data does not call it again.
  ASSERT_EQ(::write(fds[1], "y", 1), 1);
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 0, 50, QS_ALLINPUT), WAIT_TIMEOUT);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(UnregisterWaitDescriptor(fds[0]));
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(PlatformMessageQueue, IdleWaitUsesNoCpu) {
  RecordingWindow w;
  ASSERT_TRUE(SetTimer(w.hwnd, 1, 700));  // a slow timer keeps the engine's deadline busy
  DrainQueue();
  double before = ThreadCpuMs();
  DWORD start = GetTickCount();
  while (TicksSince(start) < 2000) {
    MsgWaitForMultipleObjects(0, nullptr, 0, 2000 - TicksSince(start), QS_ALLINPUT);
    DrainQueue();
  }
  double used = ThreadCpuMs() - before;
  EXPECT_LT(used, 20.0) << "CPU ms used during a 2 s idle wait";
  EXPECT_GE(w.recorder.Count(WM_TIMER), 2u);
  KillTimer(w.hwnd, 1);
}

TEST(PlatformTickCount, CountsMillisecondsAcrossTheWrap) {
  DWORD a = GetTickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  DWORD elapsed = TicksSince(a);
  EXPECT_GE(elapsed, 59u);
  EXPECT_LT(elapsed, 2000u);

  // Put the count 30 ms before the 32-bit wrap and measure across it.
  SetTickCountOffsetForTesting(0);
  DWORD raw = GetTickCount();
  SetTickCountOffsetForTesting(0xFFFFFFFFu - raw - 30);
  DWORD beforeWrap = GetTickCount();
  EXPECT_GT(beforeWrap, 0xFFFFFF00u);
  std::this_thread::sleep_for(std::chrono::milliseconds(80));
  DWORD afterWrap = GetTickCount();
  EXPECT_LT(afterWrap, 1000u);  // wrapped
  EXPECT_GE(TicksBetween(beforeWrap, afterWrap), 79u);
  EXPECT_LT(TicksBetween(beforeWrap, afterWrap), 2000u);
  SetTickCountOffsetForTesting(0);

  std::uint64_t t64 = GetTickCount64();
  EXPECT_LT(GetTickCount() - static_cast<DWORD>(t64), 5u);  // same clock, unshifted
}

}  // namespace
