// The base of every exception the system throws: an English message and the
// name of the exception's class, which the log's exception block prints.
#pragma once

#include <stdexcept>
#include <string>

namespace kn {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  // The class name as the log shows it ("class: " line of an exception block).
  virtual const char* className() const noexcept { return "Exception"; }
};

// Declares an exception class derived from `Base` whose className() is its own name.
#define KN_DECLARE_EXCEPTION(Name, Base)                              \
  class Name : public Base {                                          \
   public:                                                            \
    using Base::Base;                                                 \
    const char* className() const noexcept override { return #Name; } \
  }

// The class name of any exception: ours report their own, others their C++ type.
std::string exceptionClassName(const std::exception& e);

}  // namespace kn
