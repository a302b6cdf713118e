// The thin seam between the portable component and the operating system.
// platform_win32.cpp makes the real Windows calls; platform_linux.cpp is an
// in-process simulation with the same observable behaviour, for native builds.
// Nothing outside platform/ includes <windows.h>.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

using module_handle = void*;  // HINSTANCE
using window_handle = void*;  // HWND

// --- Window classes and message-only windows (user interface thread only) ---

// True if `class_name` is registered for `module`, or as a system-wide class.
bool window_class_exists(module_handle module, const wchar_t* class_name);
// Registers a class whose procedure is the default one. Failure is not reported.
void register_window_class(module_handle module, const wchar_t* class_name);
// A 1x1 popup window under the message-only parent with an empty title.
// Returns null on failure; the caller does not check.
window_handle create_message_window(module_handle module, const wchar_t* class_name);
void destroy_window(window_handle window);
// Sets the title from 8-bit text; false when the platform refuses.
bool set_window_title(window_handle window, const char* text);

// --- Atomic 32-bit counters ---
std::int32_t interlocked_increment(std::int32_t volatile* value);
std::int32_t interlocked_decrement(std::int32_t volatile* value);

// --- Fatal-signal plumbing of the C runtime ---
// Signal numbers are the Windows runtime's: 2 SIGINT, 15 SIGTERM, 21 SIGBREAK,
// 22 SIGABRT. The handler receives the same numbering.
using signal_handler = void (*)(int);
// Returns the handler that was installed before.
signal_handler install_signal_handler(int runtime_signal, signal_handler handler);
// Clears _WRITE_ABORT_MSG and _CALL_REPORTFAULT: abort() then only raises
// SIGABRT. Returns the flags as they were, for restore_abort_behavior.
unsigned clear_abort_behavior();
void restore_abort_behavior(unsigned flags);
// Raises a non-continuable structured exception with one argument word.
[[noreturn]] void raise_noncontinuable_exception(std::uint32_t code, std::uint32_t argument);

// --- Text formatting of the C runtime the module links ---
// "%.0f" of `seconds` as that runtime writes it (ties are its affair), cut to
// `size` bytes with its zero. Returns the length of the whole text, negative
// on failure, as snprintf does.
int format_whole_seconds(double seconds, char* out, std::size_t size);

}  // namespace platform
