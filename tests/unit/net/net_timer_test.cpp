#include "net/net_timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "net/timer_dispatch.h"
#include "net_test_pump.h"

namespace {

using net_test::PumpFor;
using net_test::PumpUntil;

class TOwner : public net::TNetWndControl {
 public:
  TOwner() { AllocateWindow(); }
};

template <class F>
void ExpectTimerError(const char* text, F&& f) {
  try {
    f();
    ADD_FAILURE() << "no exception, expected " << text;
  } catch (const net::ENetTimerException& e) {
    EXPECT_STREQ(text, e.what());
  }
}

// Waits (bounded, without dispatching anything) until a thread-timer tick is queued for the
// calling thread: the clock thread may be slow to run on a busy machine.
bool WaitForQueuedTick(int timeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  platform::MSG queued;
  while (!platform::PeekMessage(&queued, nullptr, net::ThreadTimerMessage(), net::ThreadTimerMessage(),
                                platform::PM_NOREMOVE)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

TEST(NetTimer, NeedsAnOwnerWithAWindow) {
  ExpectTimerError("Owner not assigned", [] { net::TNetTimer timer(nullptr); });
  ExpectTimerError("Owner not assigned", [] { net::TNetThreadTimer timer(nullptr); });
  net::TNetWndControl windowless;
  net::TNetTimer timer(&windowless);
  ExpectTimerError("No window available", [&] { timer.SetInterval(10); });
  ExpectTimerError("No window available", [&] { timer.SetEnabled(true); });
}

TEST(NetTimer, WindowTimerTicksAtItsIntervalUntilDisabled) {
  TOwner owner;
  net::TNetTimer timer(&owner);
  int ticks = 0;
  timer.SetInterval(30);
  timer.SetOnTimer([&](net::TNetTimer* sender) {
    EXPECT_EQ(&timer, sender);
    ++ticks;
  });
  ASSERT_TRUE(PumpUntil([&] { return ticks >= 3; }, 2000));
  timer.SetEnabled(false);
  const int stopped = ticks;
  PumpFor(120);
  EXPECT_EQ(stopped, ticks);
}

TEST(NetThreadTimer, TicksAtTheClockResolutionAndStopsWhenDisabled) {
  TOwner owner;
  net::TNetThreadTimer timer(&owner);
  std::vector<std::chrono::steady_clock::time_point> ticks;
  timer.SetInterval(50);  // below the clock's 100 ms resolution
  timer.SetOnTimer([&](net::TNetTimer*) { ticks.push_back(std::chrono::steady_clock::now()); });
  EXPECT_EQ(1, net::NetClockWorkerCount());
  ASSERT_TRUE(PumpUntil([&] { return ticks.size() >= 6; }, 3000));
  const auto span = std::chrono::duration_cast<std::chrono::milliseconds>(ticks.back() - ticks.front()).count();
  // Five gaps of about 100 ms each (a tick is due 50 ms after the last was taken, and the clock
  // looks every 100 ms).
  EXPECT_GE(span, 5 * 80);
  EXPECT_LE(span, 5 * 400);  // generous: the machine may be busy
  timer.SetEnabled(false);
  EXPECT_EQ(0, net::NetClockWorkerCount());  // no timer left: the worker is gone
  const size_t stopped = ticks.size();
  PumpFor(300);
  EXPECT_EQ(stopped, ticks.size());
}

TEST(NetThreadTimer, ABlockedOwnerGetsOneTickNotABacklog) {
  TOwner owner;
  net::TNetThreadTimer timer(&owner);
  int ticks = 0;
  timer.SetInterval(100);
  timer.SetOnTimer([&](net::TNetTimer*) { ++ticks; });
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the owner "hangs"
  ASSERT_TRUE(WaitForQueuedTick());
  // Everything that piled up meanwhile, without waiting for more.
  platform::MSG msg;
  while (platform::PeekMessage(&msg, nullptr, 0, 0, platform::PM_REMOVE)) platform::DispatchMessage(&msg);
  EXPECT_EQ(1, ticks);
  // And it goes on ticking afterwards.
  ASSERT_TRUE(PumpUntil([&] { return ticks >= 3; }, 2000));
}

TEST(NetThreadTimer, ATickQueuedForADestroyedTimerIsDropped) {
  TOwner owner;
  int ticks = 0;
  auto timer = std::make_unique<net::TNetThreadTimer>(&owner);
  timer->SetInterval(100);
  timer->SetOnTimer([&](net::TNetTimer*) { ++ticks; });
  ASSERT_TRUE(WaitForQueuedTick());  // a tick is waiting
  timer.reset();
  // A new timer may even be allocated at the same address: identity numbers differ.
  net::TNetThreadTimer other(&owner);
  PumpFor(150);
  EXPECT_EQ(0, ticks);
}

TEST(NetThreadTimer, TheThousandAndFirstTimerGetsASecondClock) {
  TOwner owner;
  const int before = net::NetClockCount();
  std::vector<std::unique_ptr<net::TNetThreadTimer>> timers;
  for (int i = 0; i < net::kTimersPerClock; ++i) timers.push_back(std::make_unique<net::TNetThreadTimer>(&owner));
  EXPECT_EQ(before + 1, net::NetClockCount());
  timers.push_back(std::make_unique<net::TNetThreadTimer>(&owner));
  EXPECT_EQ(before + 2, net::NetClockCount());
  // The second clock's timer ticks through its own worker.
  int ticks = 0;
  timers.back()->SetInterval(100);
  timers.back()->SetOnTimer([&](net::TNetTimer*) { ++ticks; });
  EXPECT_EQ(1, net::NetClockWorkerCount());
  ASSERT_TRUE(PumpUntil([&] { return ticks >= 1; }, 2000));
  timers.clear();
  EXPECT_EQ(before, net::NetClockCount());
}

TEST(NetThreadTimer, TicksForATimerWhoseWindowWentAwayStop) {
  int ticks = 0;
  auto owner = std::make_unique<TOwner>();
  net::TNetThreadTimer timer(owner.get());
  timer.SetInterval(100);
  timer.SetOnTimer([&](net::TNetTimer*) { ++ticks; });
  owner->ReleaseWindow();  // the clock notices the dead window on its next post
  PumpFor(400);
  EXPECT_EQ(0, ticks);
}

}  // namespace
