#include "KNException.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace kn {

std::string exceptionClassName(const std::exception& e) {
  if (auto* own = dynamic_cast<const Exception*>(&e)) return own->className();
  const char* mangled = typeid(e).name();
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
  return status == 0 && demangled ? demangled.get() : mangled;
}

}  // namespace kn
