#include "net/net_wnd_control.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/application.h"
#include "net/net_timer.h"
#include "net/timer_dispatch.h"
#include "net_test_pump.h"

namespace {

using net::TMessage;
using platform::DWORD;
using platform::HWND;
using platform::LPARAM;
using platform::UINT;
using platform::WPARAM;
using net::TNetWndControl;
using net_test::PumpFor;
using net_test::PumpUntil;

// A component with a configurable count of own numbers that records what it receives.
class TProbe : public TNetWndControl {
 public:
  explicit TProbe(int ownNumbers = 1, std::vector<std::string>* log = nullptr)
      : FOwn(ownNumbers), FLog(log) {}
  ~TProbe() override {
    if (FLog) FLog->push_back("destroyed");
    ReleaseWindow();  // our numbers leave the table while this part still exists
  }

  int MsgCount() const override { return TNetWndControl::MsgCount() + FOwn; }
  const std::vector<UINT>& Numbers() const { return FNumbers; }
  void AbortOnError() override { ++Aborts; }

  std::vector<UINT> Received;
  int Aborts = 0;
  std::function<void(TMessage&)> OnMessage;

 protected:
  void AllocateMsgHandlers() override {
    TNetWndControl::AllocateMsgHandlers();
    FNumbers.clear();
    for (int i = 0; i < FOwn; ++i) FNumbers.push_back(TakeMessageNumber());
  }
  void FreeMsgHandlers() override {
    for (auto it = FNumbers.rbegin(); it != FNumbers.rend(); ++it) FreeMessageNumber(*it);
    FNumbers.clear();
    TNetWndControl::FreeMsgHandlers();
  }
  void ComponentWndProc(TMessage& msg) override {
    for (UINT n : FNumbers)
      if (msg.Msg == n) {
        Received.push_back(msg.Msg);
        if (OnMessage) OnMessage(msg);  // may re-enter
        return;
      }
    TNetWndControl::ComponentWndProc(msg);
  }

 private:
  int FOwn;
  std::vector<std::string>* FLog;
  std::vector<UINT> FNumbers;
};

// Captures what the application would show.
struct TShownExceptions {
  TShownExceptions() {
    FOld = net::SetApplicationExceptionHandler([this](const std::exception& e) { Shown.push_back(e.what()); });
  }
  ~TShownExceptions() { net::SetApplicationExceptionHandler(FOld); }
  std::vector<std::string> Shown;

 private:
  std::function<void(const std::exception&)> FOld;
};

TEST(NetWndControl, ComponentsOfOneThreadShareAWindowAndGetOnlyTheirMessages) {
  TProbe a(2), b(3);
  a.AllocateWindow();
  b.AllocateWindow();
  ASSERT_NE(nullptr, a.WindowHandle());
  EXPECT_EQ(a.WindowHandle(), b.WindowHandle());
  EXPECT_EQ(1, net::NetWndHandlerCount(platform::GetCurrentThreadId()));
  // Release numbers first, in class order: 1025 (a's release), 1026, 1027, then b.
  EXPECT_EQ(1025u, a.ReleaseMsg());
  EXPECT_EQ((std::vector<UINT>{1026, 1027}), a.Numbers());
  EXPECT_EQ(1028u, b.ReleaseMsg());
  EXPECT_EQ((std::vector<UINT>{1029, 1030, 1031}), b.Numbers());

  for (UINT n : {1026u, 1030u, 1027u, 1029u}) platform::PostMessage(a.WindowHandle(), n, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return a.Received.size() + b.Received.size() == 4; }));
  EXPECT_EQ((std::vector<UINT>{1026, 1027}), a.Received);
  EXPECT_EQ((std::vector<UINT>{1030, 1029}), b.Received);
}

TEST(NetWndControl, AComponentThatDoesNotFitGetsASecondWindowNumberedFrom1025) {
  TProbe big(89);  // 90 numbers: 10 left in the first handler
  big.AllocateWindow();
  TProbe socketLike(12);  // 13 numbers
  socketLike.AllocateWindow();
  EXPECT_NE(big.WindowHandle(), socketLike.WindowHandle());
  EXPECT_EQ(2, net::NetWndHandlerCount(platform::GetCurrentThreadId()));
  EXPECT_EQ(1025u, socketLike.ReleaseMsg());
  EXPECT_EQ(1037u, socketLike.Numbers().back());
  TProbe small(8);  // 9 numbers still fit the first handler
  small.AllocateWindow();
  EXPECT_EQ(big.WindowHandle(), small.WindowHandle());
  EXPECT_EQ(1115u, small.ReleaseMsg());

  TProbe tooBig(100);
  try {
    tooBig.AllocateWindow();
    FAIL() << "no exception";
  } catch (const net::EAssertionFailed& e) {
    EXPECT_STREQ("Message IDs out of bounds!", e.what());
  }
  EXPECT_EQ(nullptr, tooBig.WindowHandle());
}

TEST(NetWndControl, LastNumberFreedDestroysTheWindowAndItsQueuedMessagesNeverArrive) {
  const int windowsBefore = net::NetWndLiveWindowCount();
  auto* first = new TProbe(1);
  first->AllocateWindow();
  HWND window = first->WindowHandle();
  const UINT number = first->Numbers()[0];
  EXPECT_EQ(windowsBefore + 1, net::NetWndLiveWindowCount());
  platform::PostMessage(window, number, 0, 0);
  delete first;
  EXPECT_FALSE(platform::IsWindow(window));
  EXPECT_EQ(windowsBefore, net::NetWndLiveWindowCount());
  EXPECT_EQ(0, net::NetWndHandlerCount(platform::GetCurrentThreadId()));

  // A stale message of a freed number never reaches the number's next owner, even when the
  // window lives on because another component still uses it.
  TProbe keeper(1);
  keeper.AllocateWindow();
  TProbe second(1);
  second.AllocateWindow();
  const UINT reused = second.Numbers()[0];
  platform::PostMessage(second.WindowHandle(), reused, 0, 0);
  second.ReleaseWindow();
  TProbe third(1);
  third.AllocateWindow();
  EXPECT_EQ(reused, third.Numbers()[0]);
  PumpFor(100);
  EXPECT_TRUE(third.Received.empty());
  EXPECT_TRUE(second.Received.empty());
}

// Takes numbers of its own but, unlike TProbe, does not release its window in its destructor.
class TForgetful : public TNetWndControl {
 public:
  int MsgCount() const override { return TNetWndControl::MsgCount() + 2; }
  UINT First = 0, Second = 0;

 protected:
  void AllocateMsgHandlers() override {
    TNetWndControl::AllocateMsgHandlers();
    First = TakeMessageNumber();
    Second = TakeMessageNumber();
  }
  void FreeMsgHandlers() override {
    FreeMessageNumber(Second);
    FreeMessageNumber(First);
    TNetWndControl::FreeMsgHandlers();
  }
};

TEST(NetWndControl, NumbersOfAClassThatForgotToReleaseItsWindowLeaveWithIt) {
  const int windowsBefore = net::NetWndLiveWindowCount();
  auto* forgetful = new TForgetful;
  forgetful->AllocateWindow();
  const HWND window = forgetful->WindowHandle();
  platform::PostMessage(window, forgetful->Second, 0, 0);
  delete forgetful;
  ASSERT_EQ(windowsBefore, net::NetWndLiveWindowCount());
  ASSERT_EQ(0, net::NetWndHandlerCount(platform::GetCurrentThreadId()));
  EXPECT_FALSE(platform::IsWindow(window));
  PumpFor(50);  // nothing left that could reach the freed object
}

TEST(NetWndControl, ReleaseFromInsideAHandlerDestroysAfterTheHandlerReturns) {
  std::vector<std::string> log;
  auto* probe = new TProbe(1, &log);
  probe->AllocateWindow();
  probe->OnMessage = [&](TMessage&) {
    probe->Release();
    log.push_back("handler done");
  };
  platform::PostMessage(probe->WindowHandle(), probe->Numbers()[0], 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return log.size() == 2; }));
  EXPECT_EQ((std::vector<std::string>{"handler done", "destroyed"}), log);
}

TEST(NetWndControl, AttachAndDetachRules) {
  TProbe probe(1);
  probe.AllocateWindow();
  try {
    probe.AttachThread();
    FAIL() << "no exception";
  } catch (const net::ENetException& e) {
    EXPECT_STREQ("Cannot attach when not detached", e.what());
  }
  std::string otherThread;
  std::thread([&] {
    try {
      probe.DetachThread();
    } catch (const net::ENetException& e) {
      otherThread = e.what();
    }
  }).join();
  EXPECT_EQ("Cannot detach from another thread", otherThread);

  // Detached here, attached in another thread: its messages now run there.
  probe.DetachThread();
  EXPECT_EQ(nullptr, probe.WindowHandle());
  DWORD ranIn = 0;
  probe.OnMessage = [&](TMessage&) { ranIn = platform::GetCurrentThreadId(); };
  DWORD worker = 0;
  std::thread([&] {
    worker = platform::GetCurrentThreadId();
    probe.AttachThread();
    platform::PostMessage(probe.WindowHandle(), probe.Numbers()[0], 0, 0);
    PumpUntil([&] { return ranIn != 0; }, 2000);
    probe.DetachThread();
  }).join();
  EXPECT_EQ(worker, ranIn);
}

TEST(NetWndControl, BackgroundExceptionAbortsAndIsShownUnlessTheHandlerKeepsTheComponent) {
  TShownExceptions shown;
  TProbe probe(1);
  probe.AllocateWindow();
  probe.OnMessage = [](TMessage&) { throw std::runtime_error("boom"); };
  int ownerAborts = 0;
  probe.OwnerAbort = [&] { ++ownerAborts; };

  platform::PostMessage(probe.WindowHandle(), probe.Numbers()[0], 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return probe.Aborts == 1; }));
  EXPECT_EQ(1, ownerAborts);
  EXPECT_EQ((std::vector<std::string>{"boom"}), shown.Shown);

  std::string seen;
  probe.OnBgException = [&](TNetWndControl*, const std::exception& e, bool& canClose) {
    seen = e.what();
    canClose = false;
  };
  platform::PostMessage(probe.WindowHandle(), probe.Numbers()[0], 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
  PumpFor(20);
  EXPECT_EQ("boom", seen);
  EXPECT_EQ(1, probe.Aborts);
  EXPECT_EQ(1, ownerAborts);
  EXPECT_EQ(1u, shown.Shown.size());

  // The silent abort is ignored altogether.
  probe.OnBgException = nullptr;
  probe.OnMessage = [](TMessage&) { throw net::EAbort(); };
  platform::PostMessage(probe.WindowHandle(), probe.Numbers()[0], 0, 0);
  PumpFor(50);
  EXPECT_EQ(1, probe.Aborts);
  EXPECT_EQ(1u, shown.Shown.size());
}

TEST(NetWndControl, ProcessOneMessageAndQuit) {
  TProbe probe(1);
  probe.AllocateWindow();
  probe.SetMultiThreaded(true);
  EXPECT_FALSE(probe.ProcessOneMessage() && !probe.Received.empty());
  platform::PostMessage(probe.WindowHandle(), probe.Numbers()[0], 0, 0);
  platform::PostQuitMessage(0);
  platform::PostMessage(probe.WindowHandle(), probe.Numbers()[0], 0, 0);
  probe.PumpMessages();  // the quit comes after the messages posted before it is taken
  EXPECT_TRUE(probe.QuitSeen());
  EXPECT_EQ(2u, probe.Received.size());
  probe.SetQuitSeen(false);
  EXPECT_FALSE(probe.ProcessOneMessage());

  // RunMessageLoop returns at the quit message.
  platform::PostMessage(probe.WindowHandle(), probe.Numbers()[0], 0, 0);
  platform::PostQuitMessage(0);
  probe.RunMessageLoop();
  EXPECT_TRUE(probe.QuitSeen());
  EXPECT_EQ(3u, probe.Received.size());
}

TEST(NetWndControl, TickMessagesForDestroyedTimersAreDropped) {
  TShownExceptions shown;
  TProbe probe(1);
  probe.AllocateWindow();
  int ticks = 0;
  auto* timer = new net::TNetTimer(&probe);
  timer->SetInterval(10);
  timer->SetOnTimer([&](net::TNetTimer*) { ++ticks; });
  const WPARAM stale = reinterpret_cast<WPARAM>(timer);
  delete timer;
  platform::PostMessage(probe.WindowHandle(), platform::WM_TIMER, stale, 0);
  auto* threadTimer = new net::TNetThreadTimer(&probe);
  const WPARAM staleThread = reinterpret_cast<WPARAM>(threadTimer);
  const LPARAM identity = static_cast<LPARAM>(threadTimer->Identity());
  delete threadTimer;
  platform::PostMessage(probe.WindowHandle(), net::ThreadTimerMessage(), staleThread, identity);
  PumpFor(60);
  EXPECT_EQ(0, ticks);
  EXPECT_TRUE(shown.Shown.empty());
}

}  // namespace

namespace {

TEST(NetWndControlDeathTest, AWindowAskedForAfterFinalisationFailsTheAssertion) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        net::NetWndFinalize();
        TProbe probe(1);
        try {
          probe.AllocateWindow();
        } catch (const net::EAssertionFailed& e) {
          std::exit(std::string(e.what()) == "Unit is already finalized, check your threads!!!" ? 0 : 1);
        }
        std::exit(2);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
