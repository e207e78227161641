#pragma once
// The hidden-window message dispatcher and the base of every message-driven component.
//
// All components of one thread share hidden windows: a process-wide pool keeps, per thread,
// a list of handlers; each handler owns one hidden window and a table of 100 message numbers
// (1025..1124). Each number in use belongs to exactly one component, and a message arriving
// at the window is routed to the component owning its number (an array index).
//
// A component takes its numbers when its window is allocated: every class in the chain takes
// its own in AllocateMsgHandlers (parent first) and gives them back in FreeMsgHandlers
// (derived first). C++ calls no overrides from constructors and destructors, so a class that
// adds numbers must, in its constructor, re-allocate a window its parent allocated
// (ReleaseWindow(); AllocateWindow();), and in its destructor call ReleaseWindow() itself.
// (Should a destructor forget, the base still gives back every number the component holds,
// so no stale entry is left pointing at the destroyed object.)

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "net/net_exceptions.h"
#include "platform/message_queue.h"

namespace net {

using platform::DWORD;
using platform::HWND;
using platform::LPARAM;
using platform::LRESULT;
using platform::UINT;
using platform::WPARAM;

constexpr int kMaxMessageIds = 100;                   // numbers per hidden window
constexpr UINT kFirstMessageNumber = platform::WM_USER + 1;  // 1025

// One message as routed to a component.
struct TMessage {
  UINT Msg = 0;
  WPARAM WParam = 0;
  LPARAM LParam = 0;
  LRESULT Result = 0;
};

class TNetWndControl;
class TNetWndHandlerList;

// One hidden window and its table of message numbers. Used under the pool lock.
class TNetWndHandler {
 public:
  TNetWndHandler();
  ~TNetWndHandler();
  TNetWndHandler(const TNetWndHandler&) = delete;
  TNetWndHandler& operator=(const TNetWndHandler&) = delete;

  // Creates the window when the handler has none. Throws ENetException.
  void CreateHiddenWindow();
  // Clears the table and destroys the window.
  void DestroyHiddenWindow();
  // The lowest free number, now owned by `component`. Throws ENetException.
  UINT TakeMessageNumber(TNetWndControl* component);
  // Frees `number` (0 is ignored), purges its queued messages and sets it to 0; destroys the
  // window when no number is left in use. Throws ENetException.
  void FreeMessageNumber(UINT& number);
  // Frees every number still held by `component` (see FreeMessageNumber).
  void FreeNumbersOf(const TNetWndControl* component);
  // Routes one message of the window: owner of its number, timer ticks, default.
  void HandleMessage(TMessage& msg);

  HWND Window() const { return FWindow; }
  UINT MsgLow() const { return FMsgLow; }
  int UsedCount() const { return FUsedCount; }
  TNetWndHandlerList* OwnerList() const { return FOwnerList; }
  bool IsHandler() const { return FMagic == kMagic; }

  // May claim any message before it is routed (nothing in this system sets it).
  std::function<void(TNetWndHandler* sender, TMessage& msg, bool& handled)> MessageHook;
  // Called when an exception escapes the routing itself (a timer handler, for example).
  std::function<void(TNetWndHandler* sender, const std::exception& e, bool& canClose)>
      OnBgException;

 private:
  friend class TNetWndHandlerPool;
  static constexpr uint32_t kMagic = 0x4E57484Eu;

  uint32_t FMagic = kMagic;
  HWND FWindow = nullptr;
  std::array<TNetWndControl*, kMaxMessageIds> FTable{};
  UINT FMsgLow = kFirstMessageNumber;
  int FUsedCount = 0;
  TNetWndHandlerList* FOwnerList = nullptr;
};

// The base of every message-driven component.
class TNetWndControl {
 public:
  using TBgExceptionEvent =
      std::function<void(TNetWndControl* sender, const std::exception& e, bool& canClose)>;
  using TPumpMessagesEvent = std::function<void(TNetWndControl* sender)>;

  // Creates no window; the first AllocateWindow (or Handle()) does.
  TNetWndControl();
  virtual ~TNetWndControl();
  TNetWndControl(const TNetWndControl&) = delete;
  TNetWndControl& operator=(const TNetWndControl&) = delete;

  // The hidden window, allocated in the calling thread when there is none yet.
  HWND Handle();
  // The hidden window or nullptr, without allocating.
  HWND WindowHandle() const { return FHandle; }
  // The thread that allocated the window (0 when none).
  DWORD ThreadId() const { return FThreadId; }
  TNetWndHandler* Handler() const { return FHandler; }
  UINT ReleaseMsg() const { return FReleaseMsg; }

  // Takes a handler of the calling thread with MsgCount() free numbers, its window, and the
  // component's numbers. Does nothing when the component has a window.
  void AllocateWindow();
  // Gives the numbers and the window back (purging messages still queued for them).
  void ReleaseWindow();
  // How many message numbers the class needs (summed along the class chain).
  virtual int MsgCount() const { return 1; }

  // Aborts the component after an unhandled background exception (nothing at this level).
  virtual void AbortOnError() {}
  // Destroys the component from the message loop: posts ReleaseMsg to its own window; the
  // component must have been created with `new`. Safe from inside the component's own
  // event handlers.
  void Release();

  // Allocates the window in the calling thread. Throws "Cannot attach when not detached".
  virtual void AttachThread();
  // Releases the window; only from the thread that allocated it, else throws
  // "Cannot detach from another thread".
  virtual void DetachThread();

  // GetMessage/dispatch until the quit message, then QuitSeen.
  void RunMessageLoop();
  // Takes and dispatches one message of the calling thread; false when none was pending.
  bool ProcessOneMessage();
  void ProcessAllMessages();
  // OnPumpMessages when set; else ProcessAllMessages when MultiThreaded; else the
  // application's message pump.
  void PumpMessages();

  bool QuitSeen() const;
  void SetQuitSeen(bool value) { FQuitSeen = value; }
  bool MultiThreaded() const { return FMultiThreaded; }
  virtual void SetMultiThreaded(bool value) { FMultiThreaded = value; }
  const std::string& Name() const { return FName; }
  void SetName(std::string name) { FName = std::move(name); }

  // Entry point of the handler: runs ComponentWndProc and turns an escaping exception into
  // background-exception handling. The component may be gone when this returns.
  void DispatchComponentMessage(TMessage& msg);

  TBgExceptionEvent OnBgException;
  TPumpMessagesEvent OnPumpMessages;
  // A container (the HTTP client) puts its own abort here, so a background exception in the
  // contained socket aborts the owner first.
  std::function<void()> OwnerAbort;

 protected:
  // Handles the component's own numbers; derived classes test theirs first and call the
  // parent's version for the rest.
  virtual void ComponentWndProc(TMessage& msg);
  // Take / give back the class's own message numbers (see the header comment).
  virtual void AllocateMsgHandlers();
  virtual void FreeMsgHandlers();
  UINT TakeMessageNumber();
  void FreeMessageNumber(UINT& number);

  // OnBgException, then abort unless the handler cleared CanClose.
  void ProcessBgException(const std::exception& e);
  virtual void TriggerBgException(const std::exception& e, bool& canClose);
  // The deferred destruction.
  virtual void WMRelease(TMessage& msg);

  // Turns false when the component is destroyed: hold a copy across user events.
  std::shared_ptr<bool> AliveToken() const { return FAlive; }

 private:
  bool FReleased = false;
  HWND FHandle = nullptr;
  DWORD FThreadId = 0;
  bool FQuitSeen = false;
  bool FMultiThreaded = false;
  TNetWndHandler* FHandler = nullptr;
  UINT FReleaseMsg = 0;
  std::string FName;
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

// Introspection of the pool (tests and diagnostics).
int NetWndHandlerCount(DWORD threadId);  // handlers of a thread
int NetWndLiveWindowCount();             // hidden windows of the process

// Marks the dispatcher finalised (done automatically at process exit) and frees the pool
// when no thread holds a window any more; later AllocateWindow calls fail the assertion.
void NetWndFinalize();

}  // namespace net
