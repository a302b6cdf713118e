// The options by which a relay reads the player itself, under Wine, rather
// than from standard input; how its user service runs it:
//   --wine          run vek-ipc-read.exe --watch under Wine in the player's
//                   prefix ($WINEPREFIX, else ~/.wine) while a Wine program
//                   of the prefix runs, with Wine's program $WINE, else wine
//   --reader FILE   vek-ipc-read.exe ($VEK_IPC_READ; by default
//                   ../share/vek-ipc/vek-ipc-read.exe from the program's folder)
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "cli/command_line.h"
#include "relay/loop.h"
#include "relay/wine_source.h"

namespace relay {

class wine_options {
 public:
  // Adds the options to `app`, which keeps pointers into this object.
  explicit wine_options(CLI::App& app);
  wine_options(const wine_options&) = delete;
  wine_options& operator=(const wine_options&) = delete;

  // After a successful parse: nothing without --wine; else the settings,
  // each checked, or the problem to report as a usage error.
  std::variant<std::monostate, wine_settings, std::string> resolve() const;
  // Whether --wine was given.
  bool requested() const { return wine_; }

 private:
  bool wine_ = false;
  std::string reader_;
};

// The part of a relay's --help that tells how --wine works.
extern const char wine_help[];

// Runs `to` in the loop, from the reader under Wine when `wine` holds
// settings, else from standard input (`chunked`: see input_source).
int run_from(std::string_view program, const std::variant<std::monostate, wine_settings>& wine, bool chunked,
             destination& to, service_status& status);

}  // namespace relay
