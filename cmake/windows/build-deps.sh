#!/usr/bin/env bash
#   build-deps.sh [package...]     (default: all of those below)
#
# Builds the static Windows libraries both programs link, from Debian's own source packages, with
# Debian's mingw-w64 cross compiler, into a cache outside the clone:
#
#   $KN_WIN_DEPS_CACHE (default ~/.cache/kestrane/win-deps)/
#     src/<package>-<version>/      the unpacked source package
#     stamps/<package>-<version>    written once that build is installed
#     prefix/                       include/, lib/ and lib/pkgconfig/ of every library
#
# A package whose stamp exists is not built again, so a second run costs nothing; a new Debian
# version of a package builds that package afresh. Nothing is downloaded from anywhere but the
# machine's own apt sources (their deb-src twins, which setup.sh adds).
#
#   OpenSSL   libcrypto only (Ed25519 signatures), no TLS: Windows' own Schannel does TLS
#   libcurl   HTTP and HTTPS over Schannel, nothing else
#   libzip    on Debian's ready Windows zlib (libz-mingw-w64-dev), Windows' own crypto for AES
#   tinyxml2
#   cpp-httplib  the whole header (Debian's own package splits it and compiles the half), for the
#                tests' loopback servers
set -euo pipefail

cache=${KN_WIN_DEPS_CACHE:-$HOME/.cache/kestrane/win-deps}
prefix=$cache/prefix
host=x86_64-w64-mingw32
toolchain=$(cd "$(dirname "$0")" && pwd)/mingw64.cmake
jobs=${KN_JOBS:-$(nproc)}
mkdir -p "$cache/src" "$cache/stamps" "$prefix"

# The versions of `package`'s source that apt knows, newest first.
source_versions() {
  apt-cache showsrc "$1" 2>/dev/null | awk '/^Version:/ {print $2}' | sort -rV | uniq
}

# Unpacks the newest source of `package` that the mirrors still hold (a mirror may list a security
# update it no longer serves) into src/<package>-<version>; prints the version.
fetch() {
  local package=$1 version work unpacked
  for version in $(source_versions "$package"); do
    [ -d "$cache/src/$package-$version" ] && { printf '%s\n' "$version"; return 0; }
    work=$(mktemp -d "$cache/src/.get.XXXXXX")
    if (cd "$work" && apt-get source -qq "$package=$version" >"$work/apt.log" 2>&1); then
      unpacked=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -1)
      mv "$unpacked" "$cache/src/$package-$version"
      rm -rf "$work"
      printf '%s\n' "$version"
      return 0
    fi
    echo "build-deps: the source of $package $version cannot be fetched; trying an older one" >&2
    rm -rf "$work"
  done
  echo "build-deps: no source of $package can be fetched (is a deb-src entry there? ./setup.sh windows adds one)" >&2
  return 1
}

cmake_build() {  # <source dir> <build dir> cmake-options...
  local src=$1 build=$2
  shift 2
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DKN_WIN_DEPS="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF "$@" >"$build.log" 2>&1 ||
    { tail -40 "$build.log" >&2; return 1; }
  cmake --build "$build" -j "$jobs" >>"$build.log" 2>&1 && cmake --install "$build" >>"$build.log" 2>&1 ||
    { tail -40 "$build.log" >&2; return 1; }
}

build_openssl() {  # libcrypto and its headers only: the TLS library and the programs are not needed
  local src=$1
  # One && chain: `set -e` does not reach into a subshell that has an || after it.
  (
    cd "$src" &&
      ./Configure mingw64 no-shared no-tests no-ssl3 no-engine no-dso \
        --cross-compile-prefix=$host- --prefix="$prefix" --libdir=lib >"$src.log" 2>&1 &&
      make -j "$jobs" build_generated >>"$src.log" 2>&1 &&
      make -j "$jobs" libcrypto.a >>"$src.log" 2>&1 &&
      install -d "$prefix/include/openssl" "$prefix/lib" &&
      install -m 644 include/openssl/*.h "$prefix/include/openssl/" &&
      install -m 644 libcrypto.a "$prefix/lib/"
  ) || { tail -40 "$src.log" >&2; return 1; }
}

build_curl() {
  cmake_build "$1" "$1/build-win" -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DHTTP_ONLY=ON \
    -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_USE_LIBSSH2=OFF -DUSE_LIBIDN2=OFF \
    -DUSE_NGHTTP2=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DCURL_ZLIB=OFF -DENABLE_UNICODE=ON \
    -DCURL_DISABLE_LDAP=ON -DENABLE_MANUAL=OFF
}

build_libzip() {
  cmake_build "$1" "$1/build-win" -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF \
    -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF -DENABLE_OPENSSL=OFF -DENABLE_WINDOWS_CRYPTO=ON \
    -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF \
    -DZLIB_LIBRARY=/usr/$host/lib/libz.a -DZLIB_INCLUDE_DIR=/usr/$host/include
}

build_tinyxml2() {
  cmake_build "$1" "$1/build-win" -Dtinyxml2_BUILD_TESTING=OFF
}

build_cpp-httplib() {
  install -D -m 644 "$1/httplib.h" "$prefix/include/httplib.h"
}

packages=("$@")
((${#packages[@]})) || packages=(openssl curl libzip tinyxml2 cpp-httplib)
for package in "${packages[@]}"; do
  built=
  for version in $(source_versions "$package"); do
    [ -f "$cache/stamps/$package-$version" ] && built=$version && break
  done
  if [ -n "$built" ]; then
    echo "build-deps: $package $built (cached)"
    continue
  fi
  started=$SECONDS
  version=$(fetch "$package")
  echo "build-deps: building $package $version"
  "build_$package" "$cache/src/$package-$version"
  touch "$cache/stamps/$package-$version"
  echo "build-deps: $package $version built in $((SECONDS - started)) s"
done
echo "build-deps: Windows libraries in $prefix"
