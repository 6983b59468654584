# The libraries of the Windows build: static builds in KN_WIN_DEPS (cmake/windows/build-deps.sh),
# Debian's mingw-w64 zlib, and nlohmann-json's headers from the Linux package (header-only), made
# visible without the rest of /usr/include.
set(KN_WIN_THIRD_PARTY ${CMAKE_BINARY_DIR}/third_party/include)
file(MAKE_DIRECTORY ${KN_WIN_THIRD_PARTY})
if(NOT EXISTS ${KN_WIN_THIRD_PARTY}/nlohmann)
  file(CREATE_LINK /usr/include/nlohmann ${KN_WIN_THIRD_PARTY}/nlohmann SYMBOLIC)
endif()
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json INTERFACE ${KN_WIN_THIRD_PARTY})

function(kn_static_library name file)
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "${file} is missing: run ./setup.sh windows (cmake/windows/build-deps.sh) first")
  endif()
  add_library(${name} STATIC IMPORTED)
  set_target_properties(${name} PROPERTIES IMPORTED_LOCATION ${file})
  target_include_directories(${name} INTERFACE ${KN_WIN_DEPS}/include)
  target_link_libraries(${name} INTERFACE ${ARGN})
endfunction()

# libcurl over Schannel, Windows' own TLS and certificate store.
kn_static_library(CURL::libcurl ${KN_WIN_DEPS}/lib/libcurl.a ws2_32 crypt32 secur32 bcrypt advapi32 normaliz wldap32)
kn_static_library(OpenSSL::Crypto ${KN_WIN_DEPS}/lib/libcrypto.a ws2_32 crypt32 bcrypt advapi32 user32)
add_library(OpenSSL::SSL INTERFACE IMPORTED)  # no TLS from OpenSSL on Windows
kn_static_library(KN::zlib /usr/x86_64-w64-mingw32/lib/libz.a)
kn_static_library(PkgConfig::LIBZIP ${KN_WIN_DEPS}/lib/libzip.a KN::zlib bcrypt advapi32)
kn_static_library(PkgConfig::TINYXML2 ${KN_WIN_DEPS}/lib/libtinyxml2.a)
# cpp-httplib's whole header, for the tests' loopback HTTP servers.
add_library(PkgConfig::HTTPLIB INTERFACE IMPORTED)
target_include_directories(PkgConfig::HTTPLIB INTERFACE ${KN_WIN_DEPS}/include)
target_link_libraries(PkgConfig::HTTPLIB INTERFACE ws2_32)
