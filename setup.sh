#!/usr/bin/env bash
# Installs the Debian packages the build needs (only those missing) and configures the build.
#   ./setup.sh            configure build/ (RelWithDebInfo)
#   ./setup.sh asan       configure build-asan/ (AddressSanitizer + UndefinedBehaviorSanitizer)
#   ./setup.sh bench      configure build-bench/ (Release, benchmarks)
#   ./setup.sh fuzz       configure build-fuzz/ (clang, libFuzzer targets of fuzz/, ASan + UBSan)
#   ./setup.sh porter     install the Windows cross compiler for tools/porter-check/porter-check.sh
#   ./setup.sh windows    the cross compiler and Wine, the static Windows libraries built from Debian's
#                         sources into ~/.cache/kestrane/win-deps (cmake/windows/build-deps.sh; a
#                         second run rebuilds nothing), then configure build-win/
set -euo pipefail
cd "$(dirname "$0")"

preset=${1:-default}

packages=(
  cmake ninja-build g++ pkg-config git
  libcurl4-openssl-dev libssl-dev nlohmann-json3-dev libtinyxml2-dev libzip-dev liblua5.4-dev
  libgtest-dev libbenchmark-dev libcpp-httplib-dev libsqlite3-dev
  zip unzip ca-certificates openssl
  dpkg-dev lintian logrotate curl
  chromium  # the demo page test renders the reference server's page headless
)

# The fuzz targets need clang and its libFuzzer runtime.
[ "$preset" = fuzz ] && packages+=(clang-14 libclang-rt-14-dev)
# The porter's check compiles the portable sources with mingw-w64 (POSIX threads flavour).
[ "$preset" = porter ] && packages+=(g++-mingw-w64-x86-64-posix)
# The Windows build: the cross compiler, Debian's Windows zlib, Wine for the tests; jq and Python
# for the checks and the TLS server of the tests; msitools (wixl) and osslsigncode for the MSI.
[ "$preset" = windows ] && packages+=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 jq python3
  wixl wixl-data msitools osslsigncode)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# Runs an apt-get command; while another apt or dpkg holds its lock (an unattended upgrade on a
# fresh machine, say), waits for it, at most 10 minutes, saying so once. Prints the command's
# output only when it fails.
apt_run() {
  local out deadline=$((SECONDS + 600)) said=false
  until out=$("$@" 2>&1); do
    if ((SECONDS < deadline)) && grep -qiE 'could not get lock|unable to acquire|unable to lock' <<<"$out"; then
      $said || echo "setup: another apt or dpkg is running; waiting for it to finish (at most 10 minutes)"
      said=true
      sleep 5
    else
      printf '%s\n' "$out" >&2
      echo "setup: '$*' failed" >&2
      return 1
    fi
  done
}

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  apt_run "${sudo[@]}" apt-get update -qq
  apt_run "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ "$preset" = windows ]; then
  # apt-get source needs the deb-src twin of every Debian suite apt already uses.
  if ! apt-cache showsrc openssl 2>/dev/null | grep -q '^Version:'; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    for f in /etc/apt/sources.list.d/*.sources; do
      grep -q '^Types: deb$' "$f" 2>/dev/null || continue
      sed 's/^Types: deb$/Types: deb-src/' "$f" | "${sudo[@]}" tee "/etc/apt/sources.list.d/kestrane-src-$(basename "$f")" >/dev/null
    done
    if [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list; then
      sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | "${sudo[@]}" tee /etc/apt/sources.list.d/kestrane-src.list >/dev/null
    fi
    apt_run "${sudo[@]}" apt-get update -qq
  fi
  cmake/windows/build-deps.sh
fi

if [ "$preset" = porter ]; then
  echo "setup: the porter's compiler is installed (tools/porter-check/porter-check.sh)"
  exit 0
fi
cmake --preset "$preset" >/dev/null
echo "setup: configured preset '$preset'"
