#include "ext.curl.h"

#include "KNException.h"

namespace kn::curl {
namespace {

struct Loaded {
  Library functions{};
  std::string error;  // empty when every function was found
};

Loaded load() {
  Loaded l;
  loadLibrary(l.functions, l.error);
  return l;
}

}  // namespace

const Library& library() {
  static const Loaded loaded = load();
  if (!loaded.error.empty()) throw Exception("libcurl could not be loaded: " + loaded.error);
  return loaded.functions;
}

}  // namespace kn::curl
