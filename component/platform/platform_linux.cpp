// In-process simulation of the Windows calls behind platform.h, written from
// what the component expects of them: classes per module, message-only
// windows with titles, atomic counters, and signal translation that ends the
// process the way an unhandled non-continuable exception would.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "platform/simulation.h"

namespace platform {
namespace {

struct window {
  std::wstring class_name;
  std::string title;
};

struct desktop {
  std::set<std::pair<module_handle, std::wstring>> classes;
  std::map<window_handle, std::unique_ptr<window>> windows;
  bool fail_titles = false;
  std::size_t title_writes = 0;
};

desktop& the_desktop() {
  static desktop instance;
  return instance;
}

window* find(window_handle handle) {
  auto& windows = the_desktop().windows;
  auto found = windows.find(handle);
  return found == windows.end() ? nullptr : found->second.get();
}

// Windows numbering <-> Linux numbering. SIGBREAK has no Linux counterpart.
int linux_signal(int runtime_signal) {
  switch (runtime_signal) {
    case 2: return SIGINT;
    case 15: return SIGTERM;
    case 22: return SIGABRT;
    default: return 0;
  }
}

int runtime_signal(int linux_number) {
  switch (linux_number) {
    case SIGINT: return 2;
    case SIGTERM: return 15;
    case SIGABRT: return 22;
    default: return linux_number;
  }
}

signal_handler installed_handlers[NSIG] = {};

extern "C" void dispatch_signal(int linux_number) {
  if (linux_number > 0 && linux_number < NSIG && installed_handlers[linux_number])
    installed_handlers[linux_number](runtime_signal(linux_number));
}

}  // namespace

bool window_class_exists(module_handle module, const wchar_t* class_name) {
  return the_desktop().classes.count({module, class_name}) != 0;
}

void register_window_class(module_handle module, const wchar_t* class_name) {
  the_desktop().classes.insert({module, class_name});
}

window_handle create_message_window(module_handle module, const wchar_t* class_name) {
  if (!window_class_exists(module, class_name)) return nullptr;
  auto created = std::make_unique<window>(window{class_name, {}});
  window_handle handle = created.get();
  the_desktop().windows.emplace(handle, std::move(created));
  return handle;
}

void destroy_window(window_handle handle) { the_desktop().windows.erase(handle); }

bool set_window_title(window_handle handle, const char* text) {
  desktop& d = the_desktop();
  window* target = find(handle);
  if (!target || d.fail_titles) return false;
  target->title = text;
  ++d.title_writes;
  return true;
}

std::int32_t interlocked_increment(std::int32_t volatile* value) {
  return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}

std::int32_t interlocked_decrement(std::int32_t volatile* value) {
  return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST);
}

signal_handler install_signal_handler(int runtime_signal_number, signal_handler handler) {
  const int number = linux_signal(runtime_signal_number);
  if (number == 0) return SIG_ERR;  // like signal() refusing a number it does not know
  // A real handler is reached through dispatch_signal, which passes it the
  // Windows number; SIG_DFL and SIG_IGN go to the kernel as they are.
  const bool dispatched = handler != SIG_DFL && handler != SIG_IGN;
  const signal_handler outer = std::signal(number, dispatched ? dispatch_signal : handler);
  const signal_handler previous = outer == dispatch_signal ? installed_handlers[number] : outer;
  installed_handlers[number] = dispatched ? handler : nullptr;
  return previous;
}

// glibc's abort() never writes a message of its own: nothing to clear.
unsigned clear_abort_behavior() { return 0; }
void restore_abort_behavior(unsigned) {}

// Linux has no structured exceptions. An unhandled non-continuable exception
// ends a Windows process with the exception code; here the process reports the
// code and argument on stderr and exits with the code's low byte.
void raise_noncontinuable_exception(std::uint32_t code, std::uint32_t argument) {
  char line[96];
  const int length = std::snprintf(line, sizeof line, "non-continuable exception 0x%08X, argument %u\n",
                                   static_cast<unsigned>(code), static_cast<unsigned>(argument));
  if (length > 0) (void)!::write(2, line, static_cast<std::size_t>(length));
  ::_exit(static_cast<int>(code & 0xFF));
}

int format_whole_seconds(double seconds, char* out, std::size_t size) {
  return std::snprintf(out, size, "%.0f", seconds);
}

namespace simulation {

window_handle find_message_window(const wchar_t* class_name) {
  for (auto& [handle, w] : the_desktop().windows)
    if (w->class_name == class_name) return handle;
  return nullptr;
}

std::string window_title(window_handle handle) {
  window* target = find(handle);
  return target ? target->title : std::string{};
}

bool window_exists(window_handle handle) { return find(handle) != nullptr; }

std::size_t live_window_count() { return the_desktop().windows.size(); }

void fail_title_writes(bool fail) { the_desktop().fail_titles = fail; }

std::size_t title_write_count() { return the_desktop().title_writes; }

void reset() {
  desktop& d = the_desktop();
  d.classes.clear();
  d.windows.clear();
  d.fail_titles = false;
  d.title_writes = 0;
}

}  // namespace simulation
}  // namespace platform
