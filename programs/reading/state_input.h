// The reader's JSON lines as a relay takes them from its standard input or
// from the reader it runs (Linux only): read from a non-blocking descriptor, split at line breaks, parsed.
// An empty line is ignored; a malformed one, or one over 16 MiB, is reported
// as "line N: malformed input (...); skipped" and skipped. The handlers run
// on the caller's thread, inside read().
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "reading/now_playing.h"

namespace reading {

class state_input {
 public:
  using state_handler = std::function<void(const now_playing&)>;
  using reporter = std::function<void(const std::string&)>;

  // `fd` stays the caller's; it is made non-blocking. `name` names it in
  // the message of a read error.
  state_input(int fd, reporter report, std::string name = "standard input");

  // Takes what can be read now: one chunk of at most 64 KiB, so that a flood
  // of input leaves turns to other work, or with `drain` everything there is,
  // handing each state to `on_state`. False once the input has ended, its
  // last line (even without a line break) handed on; a read error is
  // reported and ends it too.
  bool read(bool drain, const state_handler& on_state);

 private:
  void take(std::string_view data, const state_handler& on_state);
  void hand_on(std::string_view line, const state_handler& on_state);

  int fd_;
  std::string name_;
  reporter report_;
  std::string pending_;
  bool overlong_ = false;
  unsigned long line_number_ = 0;
};

}  // namespace reading
