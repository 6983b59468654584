#!/usr/bin/env bash
# porter-check: every portable source file of both programs compiles for Windows.
#
#   tools/porter-check/porter-check.sh [--not-in <build folder>] [file.cpp ...]
#
# Checks every .cpp of common/, agent/ (ext/ and audit/ included), updater/ and tools/keytool/,
# tests included, or only the files named. With --not-in, the files that the Windows build in that
# folder compiles for real (its compile_commands.json) are left out: the build checks them better. A file is a Linux half, and is not checked, when its
# name ends in "Linux.cpp" or "Linux_test.cpp"; there is no other exception. tools/platformserver
# is a Linux program and is not checked.
#
# Each file is compiled with `x86_64-w64-mingw32-g++-posix -std=c++20 -fsyntax-only` (KN_PORTER_CXX
# overrides the compiler) against the tree's own headers and the header parts of the Debian
# packages the sources use (nlohmann-json, curl, libzip, OpenSSL, tinyxml2, Lua 5.4, GoogleTest,
# cpp-httplib), gathered as symbolic links in a temporary folder so that no other Linux header is
# on the include path; cpp-httplib is used with TLS, as the tests build it. The path macros the
# CMake files give the tests (KN_..._PATH="...") are defined with a placeholder text. Two files at
# a time; each failing file is printed with its first errors, then "porter-check: N files, M
# failed". Exit status 1 when any file failed, 2 when the
# compiler or a package's headers are missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

built=
if [ "${1:-}" = --not-in ]; then
  built=$(cd "${2:?--not-in needs a build folder}" && pwd)
  shift 2
  [ -f "$built/compile_commands.json" ] || { echo "porter-check: no $built/compile_commands.json" >&2; exit 2; }
fi

cxx=${KN_PORTER_CXX:-x86_64-w64-mingw32-g++-posix}
if ! command -v "$cxx" >/dev/null; then
  echo "porter-check: $cxx not found (./setup.sh porter installs it)" >&2
  exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kn-porter.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/include" "$work/out"

# The header parts of the packages, each a link under the temporary include folder.
multiarch=$(gcc -print-multiarch 2>/dev/null || echo x86_64-linux-gnu)
link() {  # link <name in include/> <candidate paths...>
  local name=$1 p
  shift
  for p in "$@"; do
    if [ -e "$p" ]; then
      mkdir -p "$(dirname "$work/include/$name")"
      ln -s "$p" "$work/include/$name"
      return
    fi
  done
  echo "porter-check: no $name among: $*" >&2
  exit 2
}
link nlohmann /usr/include/nlohmann
link curl /usr/include/curl "/usr/include/$multiarch/curl"
link zip.h /usr/include/zip.h
link zipconf.h /usr/include/zipconf.h "/usr/include/$multiarch/zipconf.h"
link tinyxml2.h /usr/include/tinyxml2.h
link lua5.4 /usr/include/lua5.4
link gtest /usr/include/gtest
link gmock /usr/include/gmock
link httplib.h /usr/include/httplib.h
# OpenSSL: the portable headers, with the two that Debian keeps per architecture beside them.
mkdir -p "$work/include/openssl"
for h in /usr/include/openssl/*.h; do ln -s "$h" "$work/include/openssl/"; done
for h in opensslconf.h configuration.h; do
  [ -e "$work/include/openssl/$h" ] || link "openssl/$h" "/usr/include/$multiarch/openssl/$h"
done

areas=(common agent updater tools/keytool)
flags=(-std=c++20 -fsyntax-only -DUNICODE -D_UNICODE -D_WIN32_WINNT=0x0A00 -Wall -Wextra)
# cpp-httplib as the tests build it (its pkg-config file asks for it): with TLS.
flags+=(-DCPPHTTPLIB_OPENSSL_SUPPORT)
# The tree's headers: every folder of the areas that holds one.
while IFS= read -r dir; do flags+=("-I$root/$dir"); done < <(
  find "${areas[@]}" -name '*.h' -printf '%h\n' | sort -u)
flags+=("-I$work/include" "-I$work/include/lua5.4")
while IFS= read -r name; do flags+=("-D$name=\"porter-check\""); done < <(
  find "${areas[@]}" -name CMakeLists.txt -exec grep -ohE '\bKN_[A-Z0-9_]+=' {} + | tr -d = | sort -u)

if (($#)); then
  files=("$@")
else
  mapfile -t files < <(find "${areas[@]}" -name '*.cpp' ! -name '*Linux.cpp' ! -name '*Linux_test.cpp' | sort)
fi
if [ -n "$built" ]; then
  # "file": "<absolute path>" lines of the compile database, as paths inside the tree.
  mapfile -t compiled < <(grep -oE '"file": *"[^"]+"' "$built/compile_commands.json" |
    sed -E 's/^"file": *"//; s/"$//' | sed "s|^$root/||" | sort -u)
  mapfile -t files < <(printf '%s\n' "${files[@]}" | sort | comm -23 - <(printf '%s\n' "${compiled[@]}"))
fi

printf '%s\0' "${flags[@]}" >"$work/flags"
check_one() {  # check_one <file>: its errors go to out/<n>.log
  local log
  log="$work/out/$(printf '%s' "$1" | tr '/' '_').log"
  mapfile -d '' -t f <"$work/flags"
  "$cxx" "${f[@]}" "$1" >"$log" 2>&1 || echo "$1" >>"$log.failed"
}
export -f check_one
export cxx work
printf '%s\0' "${files[@]}" | xargs -0 -n1 -P2 bash -c 'check_one "$1"' _

failed=0
for f in "${files[@]}"; do
  log="$work/out/$(printf '%s' "$f" | tr '/' '_').log"
  if [ -e "$log.failed" ]; then
    failed=$((failed + 1))
    echo "FAILED $f"
    grep -m8 -E 'error|fatal' "$log" | sed 's/^/  /'
  fi
done
echo "porter-check: ${#files[@]} files, $failed failed"
((failed == 0))
