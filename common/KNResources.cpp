#include "KNResources.h"

#include "KNException.h"

#include <string>

namespace kn {

std::string_view findResource(std::string_view name) {
  std::optional<std::string_view> r = detail::platformResource(name);
  if (!r) throw Exception("Resource " + std::string(name) + " not found");
  return *r;
}

bool hasResource(std::string_view name) { return detail::platformResource(name).has_value(); }

}  // namespace kn
