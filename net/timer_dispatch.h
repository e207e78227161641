#pragma once
// The dispatcher's side of the timers: how a tick message is recognised and delivered.
// Both deliveries first look the timer up among the live timers, so a tick for a timer that
// has been destroyed meanwhile is dropped without touching freed memory.

#include "platform/win_types.h"

namespace net {

// The registered number of the thread-timer message ("NET_THREAD_TIMER_MESSAGE").
platform::UINT ThreadTimerMessage();

// A window-timer message (275): wParam is the timer's identity. Returns false when no live
// window timer has that identity (the message is then dropped).
bool DeliverWindowTimerTick(platform::WPARAM wParam);

// A thread-timer message: wParam the timer, lParam its identity number. False when dropped.
bool DeliverThreadTimerTick(platform::WPARAM wParam, platform::LPARAM lParam);

}  // namespace net
