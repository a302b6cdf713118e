// vek-mpris: shows what the player plays to the desktop as an MPRIS 2 media
// player on the session bus. Reads the reader's JSON lines (vek-ipc-read
// --watch) on standard input, or with --wine runs the reader itself; owns
// org.mpris.MediaPlayer2.SUFFIX while the player runs. It runs in the relays'
// one loop, which waits on the states, signals and the bus together, so
// properties are answered while no state comes. On end of input, SIGINT or
// SIGTERM it releases the name and exits 0.
// The command line, its output and its exit statuses are told by --help.
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <variant>

#include "cli/command_line.h"
#include "mpris/bus_api.h"
#include "mpris/mpris_object.h"
#include "mpris/player_view.h"
#include "reading/output.h"
#include "relay/loop.h"
#include "relay/wine_options.h"

namespace {

constexpr char program[] = "vek-mpris";
constexpr char synopsis[] =
    "vek-mpris [--name SUFFIX] [--identity TEXT] [--verbose] < JSON-LINES\n"
    "       vek-mpris --wine [--reader FILE] [--name SUFFIX] [--identity TEXT] [--verbose]";
constexpr char description[] =
    "Shows what the player plays to the desktop (media keys, panels, playerctl) as\n"
    "an MPRIS 2 media player on the session bus, read from the JSON lines of\n"
    "vek-ipc-read.exe --watch (or vek-ipc-decode) on standard input, or with --wine\n"
    "from the player itself.";
const std::string footer =
    reading::json_lines_help("Input: the reader's JSON lines, one state per line, as vek-tune-publish takes them:",
                             true) +
    "A malformed line is reported on standard error and skipped.\n"
    "\n"
    "It owns the bus name org.mpris.MediaPlayer2.SUFFIX while the player runs (any\n"
    "state but absent): it releases the name while the player is absent and takes\n"
    "it again when the player comes back; before the first line it owns nothing.\n"
    "Each change is signalled once (PropertiesChanged); a line that changes nothing\n"
    "sends nothing. After taking the name it signals the state 7 times more, at\n"
    "15, 30, 60, 120, 240, 480 and 960 ms, for clients that subscribe only when\n"
    "they see the name appear; releasing the name cancels those left.\n"
    "The object /org/mpris/MediaPlayer2 shows:\n"
    "  PlaybackStatus  \"Playing\" while a track plays, else \"Stopped\"\n"
    "  CanPlay         true while a track plays, else false (playerctl passes over\n"
    "                  a player that cannot play)\n"
    "  Metadata        while a track plays: mpris:trackid /org/vek_ipc/track/N, new\n"
    "                  when the track's tags or length change; mpris:length in\n"
    "                  microseconds when the length is known; from the tags (names\n"
    "                  in any letter case, the first of a name counting):\n"
    "                  xesam:title, xesam:album, xesam:url (url, else uri); as\n"
    "                  lists of one: xesam:artist, xesam:albumArtist (\"album\n"
    "                  artist\"), xesam:genre, xesam:composer, xesam:comment;\n"
    "                  xesam:trackNumber and xesam:discNumber from tracknumber and\n"
    "                  discnumber (\"3\" or \"3/12\"). Empty tags are left out;\n"
    "                  invalid UTF-8 becomes U+FFFD. Else Metadata holds only\n"
    "                  mpris:trackid /org/mpris/MediaPlayer2/TrackList/NoTrack\n"
    "                  (no track).\n"
    "It controls nothing: CanControl, CanPause, CanSeek, CanGoNext and\n"
    "CanGoPrevious are false; Play, Pause, Stop, Next, Seek and the other methods do\n"
    "nothing; setting Rate or Volume is refused with the D-Bus error\n"
    "org.freedesktop.DBus.Error.NotSupported.\n"
    "\n" +
    std::string(relay::wine_help) +
    "\n"
    "--name and --identity may come from the environment instead, as the user\n"
    "service's settings give them: VEK_MPRIS_NAME, VEK_MPRIS_IDENTITY.\n"
    "\n"
    "Messages go to standard error; --verbose adds one line per change, with the\n"
    "time: \"vek-mpris: 12:00:01 \xE2\x96\xB6 Band \xE2\x80\x94 Song (3:35)\".\n"
    "Run by systemd (Type=notify), it says when it is ready and keeps a status line\n"
    "of what is shown and the name it owns.\n"
    "Exit status: 0 the input ended or a signal came (the name is released first);\n"
    "1 runtime failure: no session bus, the bus connection was lost, or another\n"
    "program owns the bus name; 2 usage error.\n";

void say(const std::string& text) { relay::say(program, text); }

struct options {
  std::string name_suffix = "vek_ipc";
  std::string identity = "VEK IPC";
  bool verbose = false;
  std::variant<std::monostate, relay::wine_settings> wine;
};

std::variant<options, int> parse_options(int argc, char** argv) {
  CLI::App app{"", program};
  options parsed;
  app.add_option("--name", parsed.name_suffix,
                 "own org.mpris.MediaPlayer2.SUFFIX (default vek_ipc):\nletters, digits, '_' and '-', not starting "
                 "with a digit")
      ->type_name("SUFFIX")
      ->envname("VEK_MPRIS_NAME");
  app.add_option("--identity", parsed.identity, "the player's name as the desktop shows it\n(default \"VEK IPC\")")
      ->type_name("TEXT")
      ->envname("VEK_MPRIS_IDENTITY");
  app.add_flag("--verbose", parsed.verbose, "report each change of what is shown, with the time");
  relay::wine_options wine(app);
  cli::follow_convention(app, synopsis, description, footer);
  if (const auto status = cli::parse(app, argc, argv)) return *status;
  auto wine_settings = wine.resolve();
  if (const auto* problem = std::get_if<std::string>(&wine_settings)) return cli::usage_error(app, *problem);
  if (const auto* settings = std::get_if<relay::wine_settings>(&wine_settings)) parsed.wine = *settings;
  if (!mpris::is_name_element(parsed.name_suffix))
    return cli::usage_error(app, "--name: \"" + mpris::dbus_text(parsed.name_suffix) +
                                     "\" cannot end a bus name: use letters, digits, '_' and '-', not starting "
                                     "with a digit");
  parsed.identity = mpris::dbus_text(parsed.identity);
  return parsed;
}

struct runtime_failure {
  std::string text;
};

// vek-mpris in the relays' loop: the object on the bus, the name owned while
// the player runs, and the bus's own events.
class mpris_destination final : public relay::destination {
 public:
  mpris_destination(const options& opts, sdbus::IConnection& connection, relay::service_status& status)
      : opts_(opts),
        status_(status),
        connection_(connection),
        object_(connection, opts.identity),
        bus_name_(std::string(mpris::bus_name_prefix) + opts.name_suffix) {}

  void take(const reading::now_playing& state) override {
    const auto changes = view_.apply(state);
    const auto& view = view_.view();
    // Taken before the change is signalled and released after it, so that
    // whoever watches the name sees every change.
    if (changes.presence && view.present) set_owned(true);
    object_.show(view, changes);
    if (changes.presence && !view.present) set_owned(false);
    if (opts_.verbose && (changes.presence || changes.properties)) {
      std::string line_text = relay::clock_time() + " " + reading::text_line(state);
      if (changes.presence) line_text += (view.present ? "; owns " : "; released ") + bus_name_;
      say(line_text);
    }
  }

  std::optional<int> turn(bool ending, relay::wait_list& wait) override {
    object_.run_due(relay::clock::now());
    while (mpris::bus::process_pending(connection_)) {
    }
    if (ending) {
      if (owned_) set_owned(false);
      return cli::exit_success;
    }
    const auto bus = mpris::bus::next_wait(connection_);
    for (const pollfd& descriptor : bus.descriptors) wait.watch(descriptor.fd, descriptor.events);
    if (bus.timeout_ms >= 0) wait.until(relay::clock::now() + std::chrono::milliseconds(bus.timeout_ms));
    // The object's next repeat of the state after taking the name is due then.
    wait.until(object_.next_due());
    return std::nullopt;
  }

 private:
  void set_owned(bool own) {
    try {
      if (own) {
        mpris::bus::request_name(connection_, bus_name_);
      } else {
        mpris::bus::release_name(connection_, bus_name_);
      }
      owned_ = own;
      status_.link(own ? "Owns " + bus_name_ : "");
    } catch (const sdbus::Error& error) {
      if (own && error.getName() == "org.freedesktop.DBus.Error.FileExists")
        throw runtime_failure{"cannot own " + bus_name_ +
                              ": another program owns it (choose another name with --name)"};
      throw runtime_failure{"cannot " + std::string(own ? "own " : "release ") + bus_name_ + ": " + error.getMessage()};
    }
  }

  const options& opts_;
  relay::service_status& status_;
  sdbus::IConnection& connection_;
  mpris::mpris_object object_;
  mpris::view_mapper view_;
  const std::string bus_name_;
  bool owned_ = false;
};

int run(const options& opts) {
  std::unique_ptr<sdbus::IConnection> connection;
  try {
    connection = sdbus::createSessionBusConnection();
  } catch (const sdbus::Error& error) {
    // Without an address, the bus is looked for in the user's runtime directory.
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const char* runtime_dir = std::getenv("XDG_RUNTIME_DIR");
    const std::string where = address ? std::string("DBUS_SESSION_BUS_ADDRESS=") + address
                              : runtime_dir
                                  ? std::string("DBUS_SESSION_BUS_ADDRESS not set, tried ") + runtime_dir + "/bus"
                                  : std::string("neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set");
    say("cannot connect to the session bus (" + where + "): " + error.getMessage());
    return cli::exit_failure;
  }
  try {
    relay::service_status status;
    mpris_destination destination(opts, *connection, status);
    return relay::run_from(program, opts.wine, true, destination, status);
  } catch (const runtime_failure& failure) {
    say(failure.text);
    return cli::exit_failure;
  } catch (const sdbus::Error& error) {
    say("lost the session bus: " + error.getMessage());
    return cli::exit_failure;
  }
}

}  // namespace

int main(int argc, char** argv) {
  return relay::run_reporting_failure(program, [&] {
    auto parsed = parse_options(argc, argv);
    if (const int* status = std::get_if<int>(&parsed)) return *status;
    return run(std::get<options>(parsed));
  });
}
