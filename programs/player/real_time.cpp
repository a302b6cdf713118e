#include "player/real_time.h"

#include <windows.h>

#include <chrono>
#include <cmath>

namespace real_time {
namespace {

using std::chrono::steady_clock;

// Set from the console's control thread; the main thread notices it while it waits.
const HANDLE interrupt_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);

BOOL WINAPI on_console_event(DWORD) {
  SetEvent(interrupt_event);
  return TRUE;
}

// Waits until `due` after `start`, dispatching the thread's messages, at
// least once even when it is already due; false when interrupted.
bool wait_until(steady_clock::time_point start, player::elapsed due) {
  for (;;) {
    const double remaining = (due - player::elapsed(steady_clock::now() - start)).count();
    const DWORD timeout = remaining > 0 ? static_cast<DWORD>(std::ceil(remaining)) : 0;
    if (MsgWaitForMultipleObjects(1, &interrupt_event, FALSE, timeout, QS_ALLINPUT) == WAIT_OBJECT_0) return false;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    if (timeout == 0) return true;
  }
}

}  // namespace

void catch_interrupts() { SetConsoleCtrlHandler(on_console_event, TRUE); }

bool play(player::playback& playback) {
  const steady_clock::time_point start = steady_clock::now();
  const auto since_start = [start] { return player::elapsed(steady_clock::now() - start); };
  for (auto due = playback.advance(since_start()); due; due = playback.advance(since_start())) {
    if (!wait_until(start, *due)) {
      playback.interrupt();
      return false;
    }
  }
  return true;
}

}  // namespace real_time
