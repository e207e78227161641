#include "net/application.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "platform/message_queue.h"
#include "runtime/message_box.h"

namespace net {

namespace {

std::mutex gHookLock;
std::function<void(const std::exception&)> gExceptionHandler;
std::function<void()> gMessagePump;
std::atomic<bool> gTerminated{false};

void DefaultProcessMessages() {
  platform::MSG msg;
  while (platform::PeekMessage(&msg, nullptr, 0, 0, platform::PM_REMOVE)) {
    if (msg.message == platform::WM_QUIT) {
      gTerminated = true;
      break;
    }
    platform::TranslateMessage(&msg);
    platform::DispatchMessage(&msg);
  }
}

}  // namespace

void ApplicationHandleException(const std::exception& e) {
  std::function<void(const std::exception&)> handler;
  {
    std::lock_guard<std::mutex> guard(gHookLock);
    handler = gExceptionHandler;
  }
  if (handler)
    handler(e);
  else
    runtime::ShowMessage(e.what());
}

std::function<void(const std::exception&)> SetApplicationExceptionHandler(
    std::function<void(const std::exception&)> handler) {
  std::lock_guard<std::mutex> guard(gHookLock);
  return std::exchange(gExceptionHandler, std::move(handler));
}

void ApplicationProcessMessages() {
  std::function<void()> pump;
  {
    std::lock_guard<std::mutex> guard(gHookLock);
    pump = gMessagePump;
  }
  if (pump)
    pump();
  else
    DefaultProcessMessages();
}

std::function<void()> SetApplicationMessagePump(std::function<void()> pump) {
  std::lock_guard<std::mutex> guard(gHookLock);
  return std::exchange(gMessagePump, std::move(pump));
}

bool ApplicationTerminated() { return gTerminated; }
void SetApplicationTerminated(bool terminated) { gTerminated = terminated; }

}  // namespace net
