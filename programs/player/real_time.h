// Playback on the wall clock, on the program's main thread. While it waits it
// serves the thread's message queue, as the player's main thread does for the
// windows it owns; Ctrl+C or the console closing ends playback early, in order.
#pragma once

#include "player/playback.h"

namespace real_time {

// From now on an interrupt ends playback instead of the process. Call it once
// the module is loaded: the handler registered last is asked first, and the
// module may register its own.
void catch_interrupts();

// Plays to the end; false when interrupted (the handlers then heard playback stop).
bool play(player::playback& playback);

}  // namespace real_time
