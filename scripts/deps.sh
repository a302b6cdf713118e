# Sourced by demo.sh and test.sh: installs whatever of the toolchain is missing
# on a Debian 12 machine. Idempotent; runs apt-get update at most once.
vek_packages="cmake ninja-build g++ googletest libbenchmark-dev clang llvm libclang-rt-14-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386 nlohmann-json3-dev hyperfine"

vek_ensure_deps() {
  local missing="" pkg
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    missing="force-update"
  fi
  for pkg in $vek_packages; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing="$missing $pkg"
  done
  [ -z "$missing" ] && return 0
  echo "==> installing:${missing/force-update/}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  # shellcheck disable=SC2086
  apt-get install -y -q --no-install-recommends $vek_packages
}
