// Named data embedded in the executable at build time, the stand-in for an executable's resources.
//
// The build step kn_embed_resources (cmake/KnResources.cmake) stores files as resource records;
// these functions find them by name. Names compare without regard to ASCII letter case, as
// resource names always have. The data lives as long as the process, is followed by a NUL byte
// that is not part of it, and may be read from any thread.
#pragma once

#include <cstddef>
#include <string_view>

namespace kn {

// The bytes of the resource `name`. Throws kn::Exception("Resource <name> not found").
std::string_view findResource(std::string_view name);

// Whether a resource `name` is embedded.
bool hasResource(std::string_view name);

namespace detail {
// One embedded resource, as the generated sources lay it out; the linker section "kn_resources"
// holds a pointer to each.
struct ResourceRecord {
  const char* name;
  const unsigned char* data;
  std::size_t size;
};
}  // namespace detail

}  // namespace kn
