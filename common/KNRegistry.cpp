#include "KNRegistry.h"

#include <mutex>

namespace kn {

const char* regRootName(RegRoot root) {
  return root == RegRoot::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

ERegistryException invalidDataType(const std::string& name) {
  return ERegistryException("Invalid data type for '" + name + "'");
}

namespace {

std::mutex registryMutex;
std::shared_ptr<TRegistry> current;  // null: the system's registry, made on first use

}  // namespace

std::shared_ptr<TRegistry> registry() {
  std::lock_guard lock(registryMutex);
  if (!current) current = newSystemRegistry();
  return current;
}

std::shared_ptr<TRegistry> setRegistry(std::shared_ptr<TRegistry> replacement) {
  std::lock_guard lock(registryMutex);
  auto previous = std::move(current);
  current = std::move(replacement);
  return previous;
}

}  // namespace kn
