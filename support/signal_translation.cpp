#include "support/signal_translation.h"

#include <initializer_list>

#include "platform/platform.h"

void translate_signal(int signal_number) {
  platform::raise_noncontinuable_exception(fatal_signal_exception_code, static_cast<std::uint32_t>(signal_number));
}

void install_signal_translation() {
  for (int signal_number : {2, 15, 21, 22}) platform::install_signal_handler(signal_number, translate_signal);
  platform::clear_abort_behavior();
}
