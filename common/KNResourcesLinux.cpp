// Resources on Linux: the records that the build step generates, gathered by the linker.
#include "KNResources.h"

#include "KNLib.h"

// The linker gathers the record pointers of every generated source into the section "kn_resources"
// and defines these bounds; they are weak so that a program without resources links too (both null).
extern "C" {
extern const kn::detail::ResourceRecord* const __start_kn_resources[] __attribute__((weak));
extern const kn::detail::ResourceRecord* const __stop_kn_resources[] __attribute__((weak));
}

namespace kn::detail {

std::optional<std::string_view> platformResource(std::string_view name) {
  for (auto* p = __start_kn_resources; p && p < __stop_kn_resources; ++p)
    if (sameTextIgnoringCase((*p)->name, name)) return std::string_view(reinterpret_cast<const char*>((*p)->data), (*p)->size);
  return std::nullopt;
}

}  // namespace kn::detail
