#include "mpris/mpris_object.h"

#include <cstdint>
#include <map>
#include <vector>

#include "mpris/bus_api.h"

namespace mpris {
namespace {

constexpr char object_path_name[] = "/org/mpris/MediaPlayer2";
constexpr char root_interface[] = "org.mpris.MediaPlayer2";
constexpr char player_interface[] = "org.mpris.MediaPlayer2.Player";

sdbus::Variant to_variant(const metadata_value& value) {
  return std::visit(
      [](const auto& held) -> sdbus::Variant {
        if constexpr (std::is_same_v<std::decay_t<decltype(held)>, object_path>) {
          return sdbus::Variant(sdbus::ObjectPath(held.text));
        } else {
          return sdbus::Variant(held);
        }
      },
      value);
}

}  // namespace

mpris_object::mpris_object(sdbus::IConnection& connection, std::string identity)
    : object_(bus::create_object(connection, object_path_name)), identity_(std::move(identity)) {
  const auto constant = sdbus::Flags::CONST_PROPERTY_VALUE;
  const std::vector<std::string> no_strings;

  // The root: nothing to raise or quit, the player runs on its own.
  bus::interface_table root(root_interface);
  root.method("Raise", [] {});
  root.method("Quit", [] {});
  for (const char* name : {"CanQuit", "CanRaise", "HasTrackList"}) root.property(name, constant, [] { return false; });
  root.property("Identity", constant, [this] { return identity_; });
  for (const char* name : {"SupportedUriSchemes", "SupportedMimeTypes"})
    root.property(name, constant, [no_strings] { return no_strings; });

  // The player: what plays is shown; every control is accepted and does nothing.
  bus::interface_table player(player_interface);
  for (const char* name : {"Next", "Previous", "Pause", "PlayPause", "Stop", "Play"}) player.method(name, [] {});
  player.method("Seek", {"Offset"}, [](std::int64_t) {});
  player.method("SetPosition", {"TrackId", "Position"}, [](sdbus::ObjectPath, std::int64_t) {});
  player.method("OpenUri", {"Uri"}, [](std::string) {});
  player.signal<std::int64_t>("Seeked", {"Position"});

  player.property("PlaybackStatus", [this] { return std::string(view_.playing ? "Playing" : "Stopped"); });
  player.property("Metadata", [this] {
    std::map<std::string, sdbus::Variant> metadata;
    for (const auto& [key, value] : view_.metadata) metadata.emplace(key, to_variant(value));
    return metadata;
  });
  // Some clients (playerctl) pass over a player that cannot play.
  player.property("CanPlay", [this] { return view_.playing; });
  for (const char* name : {"CanControl", "CanPause", "CanSeek", "CanGoNext", "CanGoPrevious"})
    player.property(name, constant, [] { return false; });
  // The player's position is not published; it changes without a signal.
  player.property("Position", sdbus::Flags::EMITS_NO_SIGNAL, [] { return std::int64_t{0}; });
  for (const char* name : {"MinimumRate", "MaximumRate"}) player.property(name, constant, [] { return 1.0; });
  // Writable by the interface's definition; refused, so that a client asking
  // for another rate or volume learns that nothing changed.
  for (const char* name : {"Rate", "Volume"}) {
    const auto unchanged = [] { return 1.0; };
    const auto refuse = [name](double) {
      throw bus::error(
          "org.freedesktop.DBus.Error.NotSupported",
          std::string(name) + " cannot be set: vek-mpris shows what the player plays, it does not control it");
    };
    player.writable_property(name, unchanged, refuse);
  }
  bus::add_interfaces(*object_, {std::move(root), std::move(player)});
}

void mpris_object::show(const player_view& view, const view_mapper::changes& changes) {
  view_ = view;
  if (changes.presence) {
    if (view_.present) {
      repeats_.name_taken(name_repeats::clock::now());
    } else {
      repeats_.name_released();
    }
  }
  if (changes.properties) signal_properties();
}

void mpris_object::run_due(name_repeats::clock::time_point now) {
  while (repeats_.take_due(now)) signal_properties();
}

void mpris_object::signal_properties() {
  bus::emit_properties_changed(*object_, player_interface, {"PlaybackStatus", "Metadata", "CanPlay"});
}

}  // namespace mpris
