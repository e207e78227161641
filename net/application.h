#pragma once
// What the socket layer asks of the application object of the GUI framework: its default
// exception presentation, its message pump, and its "terminating" flag. Each has a default
// that works without a GUI; the GUI replaces them at start.

#include <exception>
#include <functional>

namespace net {

// Presents an exception that no handler took (default: runtime::ShowMessage with what()).
void ApplicationHandleException(const std::exception& e);
std::function<void(const std::exception&)> SetApplicationExceptionHandler(
    std::function<void(const std::exception&)> handler);

// Processes the calling thread's pending messages (default: peek and dispatch until the queue
// is empty; a quit message sets the terminating flag).
void ApplicationProcessMessages();
std::function<void()> SetApplicationMessagePump(std::function<void()> pump);

// True once the application is ending; message loops and waits give up when it is set.
bool ApplicationTerminated();
void SetApplicationTerminated(bool terminated);

}  // namespace net
