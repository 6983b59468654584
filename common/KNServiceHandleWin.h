// Windows only: a handle of the Service Control Manager (the manager or a service), closed when
// its owner goes.
#pragma once

#include <windows.h>

namespace kn::win {

class ServiceHandle {
 public:
  explicit ServiceHandle(SC_HANDLE h = nullptr) : h_(h) {}
  ~ServiceHandle() {
    if (h_) ::CloseServiceHandle(h_);
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  SC_HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  SC_HANDLE h_;
};

}  // namespace kn::win
