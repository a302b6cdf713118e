#!/usr/bin/env bash
# Measures how soon a tune change reaches an XMPP contact, and how often the
# publisher wakes while nothing changes: what it measures and how is its
# --help, in usage() below.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  cat <<'EOF'
Measures how soon a tune change reaches an XMPP contact, and how often the
publisher wakes while nothing changes. A benchmark, not a test: run it by
hand on a quiet machine; ctest and test.sh never do.

  scripts/bench-chain.sh [--changes N] [--publisher PATH] [--no-wine]

A private Prosody on 127.0.0.1 (tests/xmpp/prosody.sh), vek-tune-publish
(linux-release) as alice and vek-tune-watch --timestamps as bob, the contact.
Each change is spaced 1.2 s apart, above the publisher's one-second pacing,
so no figure includes pacing. Reported: median, p90, min and max.

- reader line -> contact: from just before a JSON line is written into the
  publisher's input pipe to the contact printing the tune. Includes the
  publisher's reaction, TLS, Prosody's PEP notification, the contact's
  parsing; not the reader.
- idle wake-ups: the publisher's context switches (voluntary and not, from
  /proc) over 10 s while connected and fed nothing, divided by 10.
- title write -> contact (Wine): the whole chain. vek-player.exe --verbose
  plays a generated playlist through foo_vek_ipc.dll; vek-ipc-read.exe
  --watch (polling every 25 ms) feeds the publisher. The start is the time
  this script reads the player's "[event] ... dynamic_info title=..." line,
  which the player prints just before the component handles the event and
  writes the title: it also includes that line's way through Wine's console
  output and a pipe (well under a millisecond on an idle machine).
- idle with the player playing (Wine): the share of a core and the wake-ups
  of the reader, the publisher and the prefix's wineserver over 30 s while
  the player holds one track, after the last change.

--publisher PATH measures another build of the publisher (for a before and
after); --no-wine skips the Wine chain and its build.
EOF
}

changes=100 publisher="" wine=1
while [ $# -gt 0 ]; do
  case $1 in
    --changes) changes=$2; shift 2 ;;
    --publisher) publisher=$2; shift 2 ;;
    --no-wine) wine=0; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "bench-chain.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done

# shellcheck source=tests/lib/scenario.sh
source tests/lib/scenario.sh
build_preset linux-release build/linux-release.bench-build.log vek-tune-publish vek-tune-watch
[ "$wine" -eq 0 ] || build_preset win32-release build/win32-release.bench-build.log foo_vek_ipc vek-player vek-ipc-read
native=build/linux-release/bin
publisher=${publisher:-$native/vek-tune-publish}
[ -x "$publisher" ] || { echo "bench-chain.sh: no publisher at $publisher" >&2; exit 2; }

source tests/xmpp/prosody.sh
{ xmpp_setup && xmpp_add_account alice alice-bench && xmpp_add_account bob bob-bench && xmpp_start; } ||
  die "the private Prosody did not start"
(umask 077 && echo alice-bench >"$xmpp_dir/alice.pass" && echo bob-bench >"$xmpp_dir/bob.pass")
work=$(mktemp -d "${TMPDIR:-/tmp}/vek-bench.XXXXXX")
at_exit rm -rf "$work"

start_process contact "$native/vek-tune-watch" --jid bob@localhost --password-file "$xmpp_dir/bob.pass" \
  --server "127.0.0.1:$xmpp_port" --ca-file "$xmpp_ca" --from alice@localhost --timestamps \
  >"$work/contact.out" 2>"$work/contact.err"
wait_until 15 grep -qx ready "$work/contact.err" || die "the contact did not log in" "$work/contact.err"

command=("$publisher" --jid alice@localhost --password-file "$xmpp_dir/alice.pass"
  --server "127.0.0.1:$xmpp_port" --ca-file "$xmpp_ca")
label=$(date +%s)
echo "publisher: $publisher; $changes changes, 1.2 s apart; Prosody on 127.0.0.1"
python3 scripts/bench_chain.py pipe --contact-out "$work/contact.out" --label "p$label" --work "$work" \
  --changes "$changes" -- "${command[@]}"
if [ "$wine" -eq 1 ]; then
  cmake/wine-run build/win32-release/bin/vek-ipc-read.exe >/dev/null 2>&1 || true  # a warm prefix
  python3 scripts/bench_chain.py wine --contact-out "$work/contact.out" --label "w$label" --work "$work" \
    --changes "$changes" --idle 30 --wine-run cmake/wine-run --prefix "${WINEPREFIX:-${VEK_WINEPREFIX:-$(pwd)/build/wineprefix}}" \
    --bin build/win32-release/bin -- "${command[@]}"
fi
