#include "runtime/message_box.h"

#include <cstdio>
#include <mutex>

#include "runtime/codepage.h"

namespace runtime {
namespace {

std::mutex gLock;
TMessageBoxHandler gHandler;

void ShowOnStandardError(const std::string& text) {
  std::string utf8 = AnsiToUtf8(text);
  std::fprintf(stderr, "%s\n", utf8.c_str());
  std::fflush(stderr);
}

}  // namespace

void ShowMessage(const std::string& text) {
  TMessageBoxHandler handler;
  {
    std::lock_guard<std::mutex> hold(gLock);
    handler = gHandler;
  }
  // Called outside the lock: a real box runs a modal loop that may show another message.
  if (handler)
    handler(text);
  else
    ShowOnStandardError(text);
}

TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler) {
  std::lock_guard<std::mutex> hold(gLock);
  TMessageBoxHandler previous = std::move(gHandler);
  gHandler = std::move(handler);
  return previous;
}

}  // namespace runtime
