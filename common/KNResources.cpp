#include "KNResources.h"

#include "KNException.h"

#include <string>

// The linker gathers the record pointers of every generated source into the section "kn_resources"
// and defines these bounds; they are weak so that a program without resources links too (both null).
extern "C" {
extern const kn::detail::ResourceRecord* const __start_kn_resources[] __attribute__((weak));
extern const kn::detail::ResourceRecord* const __stop_kn_resources[] __attribute__((weak));
}

namespace kn {
namespace {

bool sameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = char(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = char(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

const detail::ResourceRecord* lookup(std::string_view name) {
  for (auto* p = __start_kn_resources; p && p < __stop_kn_resources; ++p)
    if (sameName((*p)->name, name)) return *p;
  return nullptr;
}

}  // namespace

std::string_view findResource(std::string_view name) {
  const auto* r = lookup(name);
  if (!r) throw Exception("Resource " + std::string(name) + " not found");
  return {reinterpret_cast<const char*>(r->data), r->size};
}

bool hasResource(std::string_view name) { return lookup(name) != nullptr; }

}  // namespace kn
