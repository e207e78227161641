#include "net/net_wnd_control.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/application.h"
#include "net/timer_dispatch.h"

namespace net {

// The handlers of one thread.
class TNetWndHandlerList {
 public:
  explicit TNetWndHandlerList(DWORD threadId) : ThreadId(threadId) {}
  DWORD ThreadId;
  std::vector<std::unique_ptr<TNetWndHandler>> Handlers;
};

// One per process. Its lock guards the lists, the handlers and their tables. The lock is
// recursive because purging queued messages peeks the queue, and a wait-descriptor callback
// run from there may allocate a window of its own.
class TNetWndHandlerPool {
 public:
  TNetWndHandler* GetHandler(int count, DWORD threadId);
  void FreeHandler(TNetWndHandler*& handler);
  bool Empty() const { return FLists.empty(); }
  int HandlerCount(DWORD threadId) const;

 private:
  std::vector<std::unique_ptr<TNetWndHandlerList>> FLists;
};

namespace {

// Deliberately never destroyed: components may release windows during static destruction.
std::recursive_mutex& PoolLock() {
  static auto* lock = new std::recursive_mutex;
  return *lock;
}
std::mutex& ClassLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

TNetWndHandlerPool* gPool = nullptr;  // under PoolLock
bool gFinalized = false;              // under PoolLock
int gLiveWindows = 0;                 // under ClassLock

TNetWndHandlerPool& Pool() {
  if (!gPool) gPool = new TNetWndHandlerPool;
  return *gPool;
}

void TryFreePool() {
  std::lock_guard<std::recursive_mutex> guard(PoolLock());
  if (gPool && gPool->Empty()) {
    delete gPool;
    gPool = nullptr;
  }
}

// Runs the finalisation at process exit.
struct TFinalizer {
  ~TFinalizer() { NetWndFinalize(); }
} gFinalizer;

LRESULT NetWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* handler = reinterpret_cast<TNetWndHandler*>(platform::GetWindowLongPtr(hwnd, 0));
  if (!handler || !handler->IsHandler())
    return platform::DefWindowProc(hwnd, message, wParam, lParam);
  TMessage msg{message, wParam, lParam, 0};
  handler->HandleMessage(msg);
  return msg.Result;
}

}  // namespace

void NetWndFinalize() {
  TryFreePool();
  std::lock_guard<std::recursive_mutex> guard(PoolLock());
  gFinalized = true;
}

int NetWndHandlerCount(DWORD threadId) {
  std::lock_guard<std::recursive_mutex> guard(PoolLock());
  return gPool ? gPool->HandlerCount(threadId) : 0;
}

int NetWndLiveWindowCount() {
  std::lock_guard<std::mutex> guard(ClassLock());
  return gLiveWindows;
}

// ---- pool ----

TNetWndHandler* TNetWndHandlerPool::GetHandler(int count, DWORD threadId) {
  if (count > kMaxMessageIds) throw EAssertionFailed("Message IDs out of bounds!");
  TNetWndHandlerList* list = nullptr;
  for (auto it = FLists.rbegin(); it != FLists.rend(); ++it)
    if ((*it)->ThreadId == threadId) {
      list = it->get();
      break;
    }
  if (!list) {
    FLists.push_back(std::make_unique<TNetWndHandlerList>(threadId));
    list = FLists.back().get();
  }
  for (auto& handler : list->Handlers)
    if (kMaxMessageIds - handler->FUsedCount >= count) return handler.get();
  auto handler = std::make_unique<TNetWndHandler>();
  handler->FOwnerList = list;
  list->Handlers.push_back(std::move(handler));
  return list->Handlers.back().get();
}

void TNetWndHandlerPool::FreeHandler(TNetWndHandler*& handler) {
  TNetWndHandlerList* list = handler->FOwnerList;
  auto& handlers = list->Handlers;
  std::unique_ptr<TNetWndHandler> owned;
  for (auto it = handlers.begin(); it != handlers.end(); ++it)
    if (it->get() == handler) {
      owned = std::move(*it);
      handlers.erase(it);
      break;
    }
  if (handlers.empty()) {
    for (auto it = FLists.begin(); it != FLists.end(); ++it)
      if (it->get() == list) {
        FLists.erase(it);
        break;
      }
  }
  owned.reset();
  handler = nullptr;
}

int TNetWndHandlerPool::HandlerCount(DWORD threadId) const {
  int count = 0;
  for (const auto& list : FLists)
    if (list->ThreadId == threadId) count += static_cast<int>(list->Handlers.size());
  return count;
}

// ---- handler ----

TNetWndHandler::TNetWndHandler() = default;

TNetWndHandler::~TNetWndHandler() {
  if (FWindow) DestroyHiddenWindow();
  FMagic = 0;
}

void TNetWndHandler::CreateHiddenWindow() {
  if (FWindow) return;
  HWND window = platform::CreateWindow(&NetWndProc, 0);
  if (!window)
    throw ENetException("Unable to create TNetWndControl hidden window.  Error #" +
                        std::to_string(platform::GetLastError()) + ".");
  FWindow = window;
  platform::SetWindowLongPtr(FWindow, 0, reinterpret_cast<platform::LONG_PTR>(this));
  std::lock_guard<std::mutex> guard(ClassLock());
  ++gLiveWindows;
}

void TNetWndHandler::DestroyHiddenWindow() {
  FTable.fill(nullptr);
  FUsedCount = 0;
  if (!FWindow) return;
  platform::SetWindowLongPtr(FWindow, 0, 0);
  platform::DestroyWindow(FWindow);
  FWindow = nullptr;
  std::lock_guard<std::mutex> guard(ClassLock());
  --gLiveWindows;
}

UINT TNetWndHandler::TakeMessageNumber(TNetWndControl* component) {
  if (FMsgLow < platform::WM_USER) throw ENetException("MsgLow not defined");
  if (FUsedCount >= kMaxMessageIds) throw ENetException("No more free message");
  for (int i = 0; i < kMaxMessageIds; ++i)
    if (!FTable[static_cast<size_t>(i)]) {
      FTable[static_cast<size_t>(i)] = component;
      ++FUsedCount;
      return FMsgLow + static_cast<UINT>(i);
    }
  throw ENetException("No more free message");  // unreachable while the count is right
}

void TNetWndHandler::FreeMessageNumber(UINT& number) {
  if (number == 0) return;
  if (FMsgLow < platform::WM_USER) throw ENetException("MsgLow not defined");
  if (number < FMsgLow || number >= FMsgLow + kMaxMessageIds)
    throw ENetException("Msg value out of bound");
  const size_t index = number - FMsgLow;
  if (!FTable[index]) throw ENetException("Msg not registered");
  FTable[index] = nullptr;
  --FUsedCount;
  // A message of a freed number must never reach the number's next owner.
  if (FWindow) {
    platform::MSG msg;
    while (platform::PeekMessage(&msg, FWindow, number, number, platform::PM_REMOVE)) {
    }
  }
  number = 0;
  if (FUsedCount <= 0) DestroyHiddenWindow();
}

void TNetWndHandler::FreeNumbersOf(const TNetWndControl* component) {
  for (int i = 0; i < kMaxMessageIds && FWindow; ++i)
    if (FTable[static_cast<size_t>(i)] == component) {
      UINT number = FMsgLow + static_cast<UINT>(i);
      FreeMessageNumber(number);  // the last one destroys the window and clears the table
    }
}

void TNetWndHandler::HandleMessage(TMessage& msg) {
  try {
    if (msg.Msg >= FMsgLow && msg.Msg < FMsgLow + kMaxMessageIds) {
      if (TNetWndControl* component = FTable[msg.Msg - FMsgLow]) {
        component->DispatchComponentMessage(msg);  // may destroy the component and this handler
        return;
      }
    }
    if (MessageHook) {
      bool handled = false;
      MessageHook(this, msg, handled);
      if (handled) return;
    }
    if (msg.Msg == platform::WM_TIMER) {
      DeliverWindowTimerTick(msg.WParam);
      return;
    }
    if (msg.Msg == ThreadTimerMessage()) {
      DeliverThreadTimerTick(msg.WParam, msg.LParam);
      return;
    }
    msg.Result = platform::DefWindowProc(FWindow, msg.Msg, msg.WParam, msg.LParam);
  } catch (const std::exception& e) {
    // Nothing unwinds through the platform's dispatch.
    if (OnBgException) {
      bool canClose = true;
      try {
        OnBgException(this, e, canClose);
      } catch (...) {
      }
    } else {
      ApplicationHandleException(e);
    }
  }
}

// ---- component ----

TNetWndControl::TNetWndControl() = default;

TNetWndControl::~TNetWndControl() {
  *FAlive = false;
  if (!FReleased) {
    FReleased = true;
    try {
      ReleaseWindow();
    } catch (...) {
    }
  }
}

HWND TNetWndControl::Handle() {
  if (!FHandle) AllocateWindow();
  return FHandle;
}

void TNetWndControl::AllocateWindow() {
  if (FHandle) return;
  std::lock_guard<std::recursive_mutex> guard(PoolLock());
  if (gFinalized) throw EAssertionFailed("Unit is already finalized, check your threads!!!");
  FThreadId = platform::GetCurrentThreadId();
  if (!FHandler) FHandler = Pool().GetHandler(MsgCount(), FThreadId);
  try {
    FHandler->CreateHiddenWindow();
    FHandle = FHandler->Window();
    AllocateMsgHandlers();
  } catch (...) {
    // Leave nothing half taken behind.
    try {
      FreeMsgHandlers();
    } catch (...) {
    }
    if (FHandler->UsedCount() <= 0) {
      FHandler->DestroyHiddenWindow();
      Pool().FreeHandler(FHandler);
    }
    FHandler = nullptr;
    FHandle = nullptr;
    FThreadId = 0;
    throw;
  }
}

void TNetWndControl::ReleaseWindow() {
  if (!FHandle) return;
  bool finalized;
  {
    std::lock_guard<std::recursive_mutex> guard(PoolLock());
    FreeMsgHandlers();
    // A class whose destructor did not release the window itself has already lost its
    // FreeMsgHandlers override: its numbers must not stay behind pointing at a dead object.
    if (FHandler) FHandler->FreeNumbersOf(this);
    if (FHandler && FHandler->UsedCount() <= 0) Pool().FreeHandler(FHandler);
    FHandle = nullptr;
    FHandler = nullptr;
    FThreadId = 0;
    finalized = gFinalized;
  }
  if (finalized) TryFreePool();
}

void TNetWndControl::AllocateMsgHandlers() { FReleaseMsg = TakeMessageNumber(); }

void TNetWndControl::FreeMsgHandlers() { FreeMessageNumber(FReleaseMsg); }

UINT TNetWndControl::TakeMessageNumber() { return FHandler->TakeMessageNumber(this); }

void TNetWndControl::FreeMessageNumber(UINT& number) {
  if (FHandler) FHandler->FreeMessageNumber(number);
}

void TNetWndControl::Release() {
  platform::PostMessage(Handle(), FReleaseMsg, 0, 0);
}

void TNetWndControl::AttachThread() {
  if (FHandle) throw ENetException("Cannot attach when not detached");
  AllocateWindow();
}

void TNetWndControl::DetachThread() {
  if (!FHandle) return;  // not attached: nothing to give up
  if (FThreadId != platform::GetCurrentThreadId())
    throw ENetException("Cannot detach from another thread");
  ReleaseWindow();
}

void TNetWndControl::RunMessageLoop() {
  platform::MSG msg;
  while (platform::GetMessage(&msg, nullptr, 0, 0) > 0) {
    platform::TranslateMessage(&msg);
    platform::DispatchMessage(&msg);
  }
  FQuitSeen = true;
}

bool TNetWndControl::ProcessOneMessage() {
  platform::MSG msg;
  if (!platform::PeekMessage(&msg, nullptr, 0, 0, platform::PM_REMOVE)) return false;
  if (msg.message == platform::WM_QUIT) {
    FQuitSeen = true;
  } else {
    platform::TranslateMessage(&msg);
    platform::DispatchMessage(&msg);
  }
  return true;
}

void TNetWndControl::ProcessAllMessages() {
  auto alive = FAlive;
  while (ProcessOneMessage()) {  // may re-enter
    if (!*alive) break;  // a handler destroyed this component
  }
}

void TNetWndControl::PumpMessages() {
  if (OnPumpMessages)
    OnPumpMessages(this);
  else if (FMultiThreaded)
    ProcessAllMessages();
  else
    ApplicationProcessMessages();
}

bool TNetWndControl::QuitSeen() const { return FQuitSeen || ApplicationTerminated(); }

void TNetWndControl::DispatchComponentMessage(TMessage& msg) {
  try {
    ComponentWndProc(msg);
  } catch (const std::exception& e) {
    ProcessBgException(e);
  }
}

void TNetWndControl::ComponentWndProc(TMessage& msg) {
  if (msg.Msg == FReleaseMsg && FReleaseMsg != 0) {
    WMRelease(msg);
    return;
  }
  msg.Result = platform::DefWindowProc(FHandle, msg.Msg, msg.WParam, msg.LParam);
}

void TNetWndControl::WMRelease(TMessage&) { delete this; }

void TNetWndControl::TriggerBgException(const std::exception& e, bool& canClose) {
  if (OnBgException) OnBgException(this, e, canClose);
}

void TNetWndControl::ProcessBgException(const std::exception& e) {
  if (dynamic_cast<const EAbort*>(&e)) return;
  auto alive = FAlive;
  bool canClose = true;
  const bool handlerSet = static_cast<bool>(OnBgException);
  try {
    TriggerBgException(e, canClose);  // may re-enter
  } catch (...) {
  }
  if (*alive && canClose) {
    try {
      if (OwnerAbort) OwnerAbort();  // may re-enter
    } catch (...) {
    }
    if (*alive) {
      try {
        AbortOnError();
      } catch (...) {
      }
    }
  }
  if (!handlerSet) ApplicationHandleException(e);
}

}  // namespace net
