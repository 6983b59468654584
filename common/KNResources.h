// Named data embedded in the executable at build time: the executable's resources.
//
// The build step kn_embed_resources (cmake/KnResources.cmake) embeds files; these functions find
// them by name. On Linux they are resource records in the linker section "kn_resources"
// (KNResourcesLinux.cpp); on Windows, resources of type "TEXT". Names compare without regard to ASCII letter case, as
// resource names always have. The data lives as long as the process, is followed by a NUL byte
// that is not part of it, and may be read from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace kn {

// The bytes of the resource `name`. Throws kn::Exception("Resource <name> not found").
std::string_view findResource(std::string_view name);

// Whether a resource `name` is embedded.
bool hasResource(std::string_view name);

namespace detail {
// The platform half: the bytes of the resource `name`, or nothing.
std::optional<std::string_view> platformResource(std::string_view name);

// One embedded resource, as the generated sources lay it out; the linker section "kn_resources"
// holds a pointer to each.
struct ResourceRecord {
  const char* name;
  const unsigned char* data;
  std::size_t size;
};
}  // namespace detail

}  // namespace kn
