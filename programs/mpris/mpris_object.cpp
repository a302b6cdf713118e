#include "mpris/mpris_object.h"

#include <cstdint>
#include <map>
#include <vector>

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
    : object_(sdbus::createObject(connection, object_path_name)), identity_(std::move(identity)) {
  auto& object = *object_;
  const auto constant = sdbus::Flags::CONST_PROPERTY_VALUE;
  const std::vector<std::string> no_strings;

  // The root: nothing to raise or quit, the player runs on its own.
  object.registerMethod("Raise").onInterface(root_interface).implementedAs([] {});
  object.registerMethod("Quit").onInterface(root_interface).implementedAs([] {});
  for (const char* name : {"CanQuit", "CanRaise", "HasTrackList"}) {
    object.registerProperty(name)
        .onInterface(root_interface)
        .withGetter([] { return false; })
        .withUpdateBehavior(constant);
  }
  object.registerProperty("Identity")
      .onInterface(root_interface)
      .withGetter([this] { return identity_; })
      .withUpdateBehavior(constant);
  for (const char* name : {"SupportedUriSchemes", "SupportedMimeTypes"}) {
    object.registerProperty(name)
        .onInterface(root_interface)
        .withGetter([no_strings] { return no_strings; })
        .withUpdateBehavior(constant);
  }

  // The player: what plays is shown; every control is accepted and does nothing.
  for (const char* name : {"Next", "Previous", "Pause", "PlayPause", "Stop", "Play"}) {
    object.registerMethod(name).onInterface(player_interface).implementedAs([] {});
  }
  object.registerMethod("Seek")
      .onInterface(player_interface)
      .withInputParamNames("Offset")
      .implementedAs([](std::int64_t) {});
  object.registerMethod("SetPosition")
      .onInterface(player_interface)
      .withInputParamNames("TrackId", "Position")
      .implementedAs([](sdbus::ObjectPath, std::int64_t) {});
  object.registerMethod("OpenUri")
      .onInterface(player_interface)
      .withInputParamNames("Uri")
      .implementedAs([](std::string) {});
  object.registerSignal("Seeked").onInterface(player_interface).withParameters<std::int64_t>("Position");

  object.registerProperty("PlaybackStatus").onInterface(player_interface).withGetter([this] {
    return std::string(view_.playing ? "Playing" : "Stopped");
  });
  object.registerProperty("Metadata").onInterface(player_interface).withGetter([this] {
    std::map<std::string, sdbus::Variant> metadata;
    for (const auto& [key, value] : view_.metadata) metadata.emplace(key, to_variant(value));
    return metadata;
  });
  // Some clients (playerctl) pass over a player that cannot play.
  object.registerProperty("CanPlay").onInterface(player_interface).withGetter([this] { return view_.playing; });
  for (const char* name : {"CanControl", "CanPause", "CanSeek", "CanGoNext", "CanGoPrevious"}) {
    object.registerProperty(name)
        .onInterface(player_interface)
        .withGetter([] { return false; })
        .withUpdateBehavior(constant);
  }
  // The player's position is not published; it changes without a signal.
  object.registerProperty("Position")
      .onInterface(player_interface)
      .withGetter([] { return std::int64_t{0}; })
      .withUpdateBehavior(sdbus::Flags::EMITS_NO_SIGNAL);
  for (const char* name : {"MinimumRate", "MaximumRate"}) {
    object.registerProperty(name)
        .onInterface(player_interface)
        .withGetter([] { return 1.0; })
        .withUpdateBehavior(constant);
  }
  // Writable by the interface's definition; refused, so that a client asking
  // for another rate or volume learns that nothing changed.
  for (const char* name : {"Rate", "Volume"}) {
    object.registerProperty(name)
        .onInterface(player_interface)
        .withGetter([] { return 1.0; })
        .withSetter([name](double) {
          throw sdbus::Error(
              "org.freedesktop.DBus.Error.NotSupported",
              std::string(name) + " cannot be set: vek-mpris shows what the player plays, it does not control it");
        });
  }
  object.finishRegistration();
}

void mpris_object::show(const player_view& view, bool signal) {
  view_ = view;
  if (signal) object_->emitPropertiesChangedSignal(player_interface, {"PlaybackStatus", "Metadata", "CanPlay"});
}

}  // namespace mpris
