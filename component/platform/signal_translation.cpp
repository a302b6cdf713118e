#include "platform/signal_translation.h"

#include <csignal>
#include <iterator>

#include "platform/platform.h"

void translate_signal(int signal_number) {
  platform::raise_noncontinuable_exception(fatal_signal_exception_code, static_cast<std::uint32_t>(signal_number));
}

namespace {

constexpr int translated_signals[] = {2, 15, 21, 22};  // SIGINT, SIGTERM, SIGBREAK, SIGABRT
platform::signal_handler previous_handlers[std::size(translated_signals)];
unsigned previous_abort_behavior;
bool installed = false;

}  // namespace

void install_signal_translation() {
  for (std::size_t i = 0; i < std::size(translated_signals); ++i)
    previous_handlers[i] = platform::install_signal_handler(translated_signals[i], translate_signal);
  previous_abort_behavior = platform::clear_abort_behavior();
  installed = true;
}

void remove_signal_translation() {
  if (!installed) return;
  installed = false;
  platform::restore_abort_behavior(previous_abort_behavior);
  for (std::size_t i = 0; i < std::size(translated_signals); ++i) {
    // Only where the translation is still in place: a handler installed since
    // belongs to someone else. A number the runtime refused gave no previous one.
    if (previous_handlers[i] == SIG_ERR) continue;
    const platform::signal_handler current = platform::install_signal_handler(translated_signals[i], previous_handlers[i]);
    if (current != translate_signal) platform::install_signal_handler(translated_signals[i], current);
  }
}
