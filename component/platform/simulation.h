// Observation and fault-injection hooks of the Linux simulation of platform.h.
// Tests use these where the Windows build would use FindWindowEx and friends.
#pragma once

#include <string>

#include "platform/platform.h"

namespace platform::simulation {

// The first live message-only window of `class_name`, or null.
window_handle find_message_window(const wchar_t* class_name);
// Title of a live window; empty for an unknown handle.
std::string window_title(window_handle window);
bool window_exists(window_handle window);
std::size_t live_window_count();
// While set, set_window_title fails as it does for a destroyed window.
void fail_title_writes(bool fail);
std::size_t title_write_count();
// Forgets every class and window (between tests).
void reset();

}  // namespace platform::simulation
