// Turns the C runtime's fatal signals into one structured exception, so that a
// Ctrl+C, a termination request or an abort() inside the player ends in the
// player's own crash handling instead of the runtime's message box.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t fatal_signal_exception_code = 0x6F8E1DC8;

// Installs translate_signal for SIGINT, SIGTERM, SIGBREAK and SIGABRT (2, 15,
// 21, 22) and switches off the runtime's abort message and fault reporting.
// Runs once, at module load.
void install_signal_translation();

// Puts back the handlers and abort behaviour that were in place before, at
// module unload: the C runtime outlives the module, and a handler left
// pointing into unloaded code would crash the next signal.
void remove_signal_translation();

// Raises the non-continuable exception fatal_signal_exception_code with the
// signal number as its one argument. Never returns.
[[noreturn]] void translate_signal(int signal_number);
