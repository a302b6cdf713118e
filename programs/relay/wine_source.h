// The states read from the player under Wine: vek-ipc-read.exe --watch
// --until-prefix-idle runs as this process's child while a Wine program of
// the prefix runs, its lines read through a pipe; no Wine process runs for it
// while none does. When each step happens is wine_prefix::reader_schedule's
// decision; this carries it out with the loop's descriptors: an inotify
// watch for a starting wineserver, pidfds for the reader's and the server's
// end, the reader's pipe. A reader that dies is run again and what the
// destination shows stands meanwhile: besides the reader's own lines, this
// hands on "absent" only while no wineserver runs. Ending interrupts the reader (Ctrl+C under Wine), and
// kills it if it has not ended within `interrupt_time`; Wine's other
// processes are never signalled: they serve the player.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "reading/state_input.h"
#include "relay/loop.h"
#include "wine_prefix/lifecycle.h"
#include "wine_prefix/wineserver.h"

namespace relay {

struct wine_settings {
  std::string prefix;  // the player's Wine prefix
  std::string wine;    // Wine's program, "wine" found in PATH
  std::string reader;  // vek-ipc-read.exe
};

class wine_source final : public source {
 public:
  static constexpr clock::duration interrupt_time = std::chrono::seconds(2);

  // Sets WINEPREFIX for the children.
  wine_source(std::string_view program, wine_settings settings);
  // Ends a reader still running (interrupted, killed if it lingers).
  ~wine_source();
  wine_source(const wine_source&) = delete;
  wine_source& operator=(const wine_source&) = delete;

  progress turn(bool ending, wait_list& wait, const std::function<void(const reading::now_playing&)>& take) override;

 private:
  struct running_reader;
  bool start_reader();
  // The reader's pending lines, and whether it has ended (reaped, status kept).
  bool read_reader(const std::function<void(const reading::now_playing&)>& take);
  void watch_server_end();

  std::string program_;
  wine_settings settings_;
  wine_prefix::server_places places_;
  wine_prefix::reader_schedule schedule_;
  std::optional<wine_prefix::server_start_watch> start_watch_;
  std::optional<wine_prefix::descriptor> server_end_;
  std::unique_ptr<running_reader> reader_;
  bool absent_handed_on_ = false;
};

}  // namespace relay
