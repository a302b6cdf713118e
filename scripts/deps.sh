# Sourced by demo.sh and test.sh: installs whatever of the toolchain is missing
# on a Debian 12 machine. Idempotent; runs apt-get update at most once.
vek_packages="cmake ninja-build g++ googletest libbenchmark-dev clang llvm lld libclang-rt-14-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386 nlohmann-json3-dev hyperfine libssl-dev
  prosody libstrophe-dev pkg-config openssl libcli11-dev"

vek_ensure_deps() {
  local missing="" pkg
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    missing="force-update"
  fi
  for pkg in $vek_packages; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing="$missing $pkg"
  done
  [ -z "$missing" ] && { vek_ensure_benchmark_source; return; }
  echo "==> installing:${missing/force-update/}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  # shellcheck disable=SC2086
  apt-get install -y -q --no-install-recommends $vek_packages && vek_ensure_benchmark_source
}

# Google Benchmark for the 32-bit Windows benchmarks: Debian ships the library
# for Linux only, so the win32 preset builds Debian's source package of it.
# Fetched with the machine's own Debian archives as source entries, into a
# private package list; the system's apt configuration is left as it is.
vek_benchmark_source=build/third_party/benchmark
vek_ensure_benchmark_source() {
  [ -f "$vek_benchmark_source/CMakeLists.txt" ] && return 0
  echo "==> fetching the source of Google Benchmark for the Windows build"
  local work status=0
  work=$(mktemp -d)
  chmod 755 "$work"  # apt's download user reads it
  mkdir -p "$work/lists/partial"
  cat /etc/apt/sources.list.d/*.sources 2>/dev/null | sed -n '/^Types:/s/.*/Types: deb-src/p; /^Types:/!p' >"$work/sources"
  local apt=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$work" -o Dir::State::Lists="$work/lists")
  mv "$work/sources" "$work/debian.sources"
  if apt-get "${apt[@]}" update -q >/dev/null && (cd "$work" && apt-get "${apt[@]}" source --download-only benchmark >/dev/null 2>&1); then
    mkdir -p "$vek_benchmark_source"
    tar xzf "$work"/benchmark_*.orig.tar.gz -C "$vek_benchmark_source" --strip-components=1 || status=1
  else
    status=1
  fi
  rm -rf "$work"
  return $status
}

