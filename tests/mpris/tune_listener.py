#!/usr/bin/python3
"""A now-playing listener as a chat client has it, on the session bus.

It reads the org.mpris.MediaPlayer2.* names there when it starts, once each.
After that it subscribes to a player's PropertiesChanged only when
NameOwnerChanged shows the name appear, and reads a player (GetAll) only when
that signal comes. A reply whose Metadata is empty or whose status is Paused
changes nothing. Stopped with Metadata holding only the NoTrack track id, or
the name going away, publishes the empty tune. Else it publishes the artists
(joined with ", "), the title and the album as the tune's source.

Prints "listening" once it is subscribed to NameOwnerChanged and has read the
names, then each tune it publishes as one JSON object a line: {} for the
empty tune, else the tune's non-empty fields of artist, title and source.

usage: tune_listener.py [DELAYS]. With DELAYS, a file, it appends there for
each appearance of a name the milliseconds from the NameOwnerChanged that
showed it to the first tune read from that player, one a line: how late a
player's state reaches such a client, on the client's own clock.
"""
import json
import sys
import time

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

PREFIX = "org.mpris.MediaPlayer2."
OBJECT = "/org/mpris/MediaPlayer2"
PLAYER = "org.mpris.MediaPlayer2.Player"
PROPERTIES = "org.freedesktop.DBus.Properties"
NO_TRACK = "/org/mpris/MediaPlayer2/TrackList/NoTrack"

bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
subscriptions = {}  # bus name: its PropertiesChanged subscription
appeared = {}  # bus name: when it appeared, until its first tune
delays = open(sys.argv[1], "a", encoding="utf-8") if len(sys.argv) > 1 else None


def publish(tune, name=None):
    if name in appeared:
        delay_ms = (time.monotonic() - appeared.pop(name)) * 1000
        if delays:
            print(f"{delay_ms:.1f}", file=delays, flush=True)
    print(json.dumps(tune, ensure_ascii=False), flush=True)


def on_properties(connection, result, name):
    try:
        (properties,) = connection.call_finish(result).unpack()
    except GLib.Error:
        return  # the player went away meanwhile: its NameOwnerChanged follows
    metadata = properties.get("Metadata", {})
    status = properties.get("PlaybackStatus")
    if not metadata or status == "Paused":
        return
    if status == "Stopped" and metadata == {"mpris:trackid": NO_TRACK}:
        publish({}, name)
        return
    tune = {
        "artist": ", ".join(metadata.get("xesam:artist", [])),
        "title": metadata.get("xesam:title", ""),
        "source": metadata.get("xesam:album", ""),
    }
    publish({field: value for field, value in tune.items() if value}, name)


def read_player(name):
    bus.call(name, OBJECT, PROPERTIES, "GetAll", GLib.Variant("(s)", (PLAYER,)), GLib.VariantType("(a{sv})"),
             Gio.DBusCallFlags.NONE, -1, None, on_properties, name)


def on_properties_changed(connection, sender, path, interface, member, parameters, name):
    read_player(name)


def on_name_owner_changed(connection, sender, path, interface, member, parameters, data):
    name, old_owner, new_owner = parameters.unpack()
    if not name.startswith(PREFIX):
        return
    if new_owner and not old_owner:
        appeared[name] = time.monotonic()
        subscriptions[name] = bus.signal_subscribe(name, PROPERTIES, "PropertiesChanged", OBJECT, None,
                                                   Gio.DBusSignalFlags.NONE, on_properties_changed, name)
    elif old_owner and not new_owner:
        if name in subscriptions:
            bus.signal_unsubscribe(subscriptions.pop(name))
        appeared.pop(name, None)
        publish({})


bus.signal_subscribe("org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus",
                     None, Gio.DBusSignalFlags.NONE, on_name_owner_changed, None)
# A call after the subscription is answered after it took effect.
(names,) = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListNames", None,
                         GLib.VariantType("(as)"), Gio.DBusCallFlags.NONE, -1, None).unpack()
for name in names:
    if name.startswith(PREFIX):
        read_player(name)
print("listening", flush=True)
GLib.MainLoop().run()
