# shellcheck shell=bash
# shellcheck disable=SC2154 # mpris: the program under test, set by the script
# What the vek-mpris scenarios share, sourced after tests/lib/scenario.sh.
#
#   mpris_bus WORK          a private session bus, its socket in the folder
#                           WORK; DBUS_SESSION_BUS_ADDRESS exported
#   mpris_start NAME ARG... vek-mpris ($mpris) with these arguments as the
#                           process NAME, its standard error in WORK/NAME.err,
#                           reading a FIFO that descriptor 7 writes to
#   send LINE...            writes the lines to descriptor 7, as the reader
#                           ends them ("\r\n")

mpris_bus() {
  mpris_work=$1
  start_process bus dbus-daemon --session --nofork --address="unix:path=$mpris_work/bus" --print-address=3 \
    3>"$mpris_work/address" 2>"$mpris_work/bus.err"
  wait_until 10 test -s "$mpris_work/address" || die "dbus-daemon did not start" "$mpris_work/bus.err"
  DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$mpris_work/address")
  export DBUS_SESSION_BUS_ADDRESS
}

mpris_start() {
  local name=$1
  shift
  rm -f "$mpris_work/$name.in"
  mkfifo "$mpris_work/$name.in"
  start_process --input "$mpris_work/$name.in" "$name" "$mpris" "$@" 2>"$mpris_work/$name.err"
  exec 7>"$mpris_work/$name.in"
}

send() { printf '%s\r\n' "$@" >&7; }
