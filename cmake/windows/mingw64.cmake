# Cross-building for 64-bit Windows with Debian's mingw-w64 (POSIX threads), tests run under Wine.
#
#   cmake --preset windows        (./setup.sh windows builds the libraries first)
#
# KN_WIN_DEPS names the folder where cmake/windows/build-deps.sh installed the static Windows builds
# of libcurl (Schannel), libzip, OpenSSL's libcrypto and tinyxml2.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KN_MINGW x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${KN_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KN_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${KN_MINGW}-windres)
set(CMAKE_AR ${KN_MINGW}-gcc-ar-posix)
set(CMAKE_RANLIB ${KN_MINGW}-gcc-ranlib-posix)

if(NOT DEFINED KN_WIN_DEPS)
  if(DEFINED ENV{KN_WIN_DEPS})
    set(KN_WIN_DEPS $ENV{KN_WIN_DEPS})
  else()
    set(KN_WIN_DEPS $ENV{HOME}/.cache/kestrane/win-deps/prefix)
  endif()
endif()
set(KN_WIN_DEPS ${KN_WIN_DEPS} CACHE PATH "Static Windows builds of the dependencies")

# Libraries and headers come from the mingw-w64 sysroot and the dependency prefix only, never
# from the Linux system; programs (pkg-config, the embedder) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${KN_MINGW} ${KN_WIN_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} ${KN_WIN_DEPS}/lib/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Each program is one .exe that needs no DLL beyond Windows' own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# CTest runs the Windows test programs through Wine, in a Wine prefix of the build folder (the
# top-level CMakeLists.txt names it: the toolchain does not know the build folder yet).
set(KN_WINE_RUN ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
