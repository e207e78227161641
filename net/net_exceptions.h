#pragma once
// The exception classes of the socket layer, one per area.

#include <stdexcept>
#include <string>

namespace net {

// Dispatcher errors: window class, hidden window, message numbers, thread attach/detach.
class ENetException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Socket and socket-library errors.
class ESocketException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Timer errors ("Owner not assigned", "No window available", ...).
class ENetTimerException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A broken programming contract ("Message IDs out of bounds!", use after finalisation).
class EAssertionFailed : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// The silent abort: thrown to leave an event handler without anything being reported.
// Background-exception handling ignores it.
class EAbort : public std::runtime_error {
 public:
  EAbort() : std::runtime_error("Operation aborted") {}
};

}  // namespace net
