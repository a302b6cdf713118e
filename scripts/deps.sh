# shellcheck shell=bash
# Sourced by demo.sh, test.sh and install.sh: installs what the command being
# run needs and this Debian 12 or 13 machine lacks.
#
#   vek_ensure_deps install  build the release presets (linux-release,
#                            win32-release) and run what they make
#   vek_ensure_deps release  that, and make the release's packages
#                            (scripts/build-release.sh)
#   vek_ensure_deps demo     that, and the demo's private XMPP server
#   vek_ensure_deps test     everything test.sh builds and runs
#
# Idempotent: when nothing is missing it installs nothing and runs no
# apt-get update. Not as root, it names what is missing and how to install it.
# Returns non-zero, having said why on stderr, on failure.

# The release presets: the Linux programs (libstrophe and sdbus-c++, whose
# pkg-config file needs libsystemd's, through pkg-config; nlohmann-json,
# CLI11), the MinGW-w64 cross build of the component and its tools, zip for
# the component package, Wine to run them. From Debian 13 on, libstrophe's
# pkg-config file names zlib, which libstrophe-dev does not bring.
vek_packages_install="cmake ninja-build g++ pkg-config nlohmann-json3-dev libcli11-dev libstrophe-dev
  libsdbus-c++-dev libsystemd-dev g++-mingw-w64-i686 binutils-mingw-w64-i686 zip wine wine32:i386"
case "$(. /etc/os-release 2>/dev/null && echo "${VERSION_ID:-}")" in
  11 | 12) ;;
  *) vek_packages_install="$vek_packages_install zlib1g-dev" ;;
esac
# The release's packages: git, whose last commit's time dates the release;
# dpkg-dev (dpkg-shlibdeps) and file, which CPack runs for the Debian
# package; fakeroot, under which a builder other than root makes archives
# whose entries are root's.
vek_packages_release="$vek_packages_install git dpkg-dev file fakeroot"
# The demo's private Prosody, which makes its certificates with openssl; its
# contact is built with libstrophe too. Its private session bus for vek-mpris,
# and playerctl to show what the desktop sees.
vek_packages_demo="$vek_packages_install prosody openssl dbus-daemon playerctl"
# The tests besides: GoogleTest's sources; clang, lld and llvm-dlltool for the
# test player in Microsoft's C++ ABI, and clang's runtime (libFuzzer) for the
# fuzz preset, each the release's default version; OpenSSL's headers for the
# base64 benchmark's yardstick; ejabberd, the second XMPP server the publisher
# is tested against (the tests run their own instance; the package's service,
# if it starts, is left alone); Python for the relay and the failing server of
# the publisher's robustness scenarios; dbus-monitor (dbus-bin) and busctl
# (systemd) besides playerctl for vek-mpris, and Python's GLib bindings for
# the MPRIS listener that vek-mpris is tested with; what the release needs,
# lintian to check the Debian package and hardening-check (devscripts) its
# programs' protections, and to check that two builds give the same bytes:
# faketime to build in another year, diffoscope to show a difference, unzip
# to read the archives.
# Google Benchmark itself is built from Debian's source package (below).
vek_packages_test="$vek_packages_demo googletest clang llvm lld libclang-rt-dev libssl-dev ejabberd python3
  dbus-bin systemd python3-gi gir1.2-glib-2.0 git dpkg-dev file fakeroot lintian devscripts faketime
  diffoscope-minimal unzip"

vek_ensure_deps() {
  local packages
  case "${1:-}" in
    install) packages=$vek_packages_install ;;
    release) packages=$vek_packages_release ;;
    demo) packages=$vek_packages_demo ;;
    test) packages=$vek_packages_test ;;
    *)
      echo "vek_ensure_deps: unknown profile '${1:-}' (install, release, demo or test)" >&2
      return 2
      ;;
  esac
  # shellcheck disable=SC2086
  vek_install_packages $packages || return
  [ "$1" = test ] || return 0
  vek_ensure_benchmark_source
}

vek_install_packages() {
  local missing=() pkg add_i386=0
  dpkg --print-foreign-architectures | grep -qx i386 || add_i386=1
  for pkg; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && [ $add_i386 -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages: ${missing[*]}" >&2
    echo "run this as root, or install them as root, then run it again:" >&2
    [ $add_i386 -eq 0 ] || echo "  dpkg --add-architecture i386" >&2
    echo "  apt-get update && apt-get install --no-install-recommends ${missing[*]}" >&2
    return 1
  fi
  echo "==> installing: ${missing[*]}"
  [ $add_i386 -eq 0 ] || dpkg --add-architecture i386 || return
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q || { echo "apt-get update failed" >&2; return 1; }
  apt-get install -y -q --no-install-recommends "${missing[@]}" ||
    { echo "apt-get install failed: ${missing[*]}" >&2; return 1; }
}

# Writes into directory $1 the source counterpart of every enabled binary
# archive apt is configured with, whichever format configures it: one-line
# entries (derived.list) and deb822 stanzas (derived.sources). Entries that are
# already deb-src, disabled or on a disc are left out.
vek_write_source_entries() {
  local dir=$1 list="" parts="" file
  eval "$(apt-config shell list Dir::Etc::SourceList/f parts Dir::Etc::SourceParts/d)"
  for file in "$list" "$parts"*.list; do
    [ -f "$file" ] || continue
    # "deb [options] URI suite [components]", perhaps with a comment after it.
    sed -nE 's/^[[:space:]]*deb[[:space:]]+([^#]*).*/deb-src \1/p' "$file" | grep -v 'cdrom:'
  done >"$dir/derived.list"
  for file in "$parts"*.sources; do
    [ -f "$file" ] || continue
    awk 'BEGIN { RS = "" }
      {
        n = split($0, lines, "\n"); out = ""; binary = 0; enabled = 1
        for (i = 1; i <= n; i++) {
          line = lines[i]; key = tolower(line)
          if (key ~ /^types:/) {
            if (key ~ /[: \t]deb([ \t]|$)/) binary = 1
            line = "Types: deb-src"
          } else if (key ~ /^enabled:[ \t]*(no|false|off|0|disable)[ \t]*$/) {
            enabled = 0
          } else if (key ~ /^uris:.*cdrom:/) {
            enabled = 0
          }
          out = out line "\n"
        }
        if (binary && enabled) printf "%s\n", out
      }' "$file"
  done >"$dir/derived.sources"
}

# Google Benchmark, built in Release by bench/CMakeLists.txt for both the Linux
# and the Windows benchmarks from the same sources: Debian's source package
# (its binary package is a build without NDEBUG, and Linux only). Fetched with
# the machine's own archives as source entries, into a private package list;
# the system's apt configuration, lists and caches are left as they are.
vek_benchmark_source=build/third_party/benchmark
vek_ensure_benchmark_source() {
  [ -f "$vek_benchmark_source/CMakeLists.txt" ] && return 0
  echo "==> fetching the source of Google Benchmark"
  local work status=0
  work=$(mktemp -d) || return
  chmod 755 "$work" # apt's download user reads it
  mkdir -p "$work/lists/partial" "$work/parts"
  vek_write_source_entries "$work"
  mv "$work/derived.sources" "$work/parts/derived.sources"
  if [ ! -s "$work/derived.list" ] && [ ! -s "$work/parts/derived.sources" ]; then
    echo "no enabled 'deb' entry in apt's sources to fetch Google Benchmark's source from" >&2
    rm -rf "$work"
    return 1
  fi
  local apt=(-o Dir::Etc::SourceList="$work/derived.list" -o Dir::Etc::SourceParts="$work/parts"
    -o Dir::State::Lists="$work/lists" -o Dir::Cache::pkgcache="$work/pkgcache.bin"
    -o Dir::Cache::srcpkgcache="$work/srcpkgcache.bin")
  # An archive without sources only warns here; the download below is what must work.
  apt-get "${apt[@]}" update -q >"$work/log" 2>&1
  if (cd "$work" && apt-get "${apt[@]}" source --download-only benchmark) >>"$work/log" 2>&1 &&
    mkdir -p "$vek_benchmark_source.partial" &&
    tar xf "$work"/benchmark_*.orig.tar.* -C "$vek_benchmark_source.partial" --strip-components=1 &&
    [ -f "$vek_benchmark_source.partial/CMakeLists.txt" ]; then
    # Complete or absent: a half-unpacked tree would count as fetched.
    rm -rf "$vek_benchmark_source" && mv "$vek_benchmark_source.partial" "$vek_benchmark_source"
  else
    echo "could not fetch Google Benchmark's source package; apt said:" >&2
    grep -E '^(E|W):' "$work/log" | tail -n 10 >&2 || tail -n 10 "$work/log" >&2
    rm -rf "$vek_benchmark_source.partial"
    status=1
  fi
  rm -rf "$work"
  return $status
}
