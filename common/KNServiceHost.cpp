// The service host's portable part: the command line and the registration's checks.
#include "KNServiceHost.h"

#include <iostream>

#include "KNLib.h"
#include "KNServiceHostPlatform.h"

namespace kn {

namespace {

// The switch name of "/x", "-x" or "--x"; empty for anything else.
std::string_view switchName(std::string_view arg) {
  if (arg.starts_with("--")) return arg.substr(2);
  if (arg.starts_with('-') || arg.starts_with('/')) return arg.substr(1);
  return {};
}

bool isHelpSwitch(std::string_view name) {
  return sameTextIgnoringCase(name, "HELP") || sameTextIgnoringCase(name, "H") || name == "?";
}

}  // namespace

ServiceSwitches parseServiceSwitches(const std::vector<std::string>& args) {
  ServiceSwitches s;
  bool install = false, uninstall = false;
  for (const auto& a : args) {
    std::string_view name = switchName(a);
    if (sameTextIgnoringCase(name, "INSTALL")) {
      install = true;
    } else if (sameTextIgnoringCase(name, "UNINSTALL")) {
      uninstall = true;
    } else if (sameTextIgnoringCase(name, "SILENT")) {
      s.silent = true;
    } else if (!isHelpSwitch(name)) {
      throw EServiceUsageError(name.empty() ? "unexpected argument '" + a + "'" : "unknown switch '" + a + "'");
    }
  }
  if (install && uninstall) throw EServiceUsageError("INSTALL and UNINSTALL cannot be given together");
  if (install) s.action = ServiceAction::Install;
  if (uninstall) s.action = ServiceAction::Uninstall;
  return s;
}

bool helpRequested(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (isHelpSwitch(switchName(argv[i]))) return true;
  }
  return false;
}

std::optional<int> commandLineExit(const std::string& program, int argc, char** argv) {
  if (helpRequested(argc, argv)) {
    std::cout << serviceUsage(program) << std::flush;
    return 0;
  }
  try {
    parseServiceSwitches(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  } catch (const EServiceUsageError& e) {
    std::cerr << program << ": " << e.what() << "\n\n" << serviceUsage(program) << std::flush;
    return kServiceUsageExit;
  }
  return std::nullopt;
}

bool isValidServiceName(std::string_view name) {
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (name.empty() || !letter(name[0])) return false;
  for (char c : name) {
    if (!letter(c) && !digit(c)) return false;
  }
  return true;
}

int runServiceApplication(ServiceModule& module, int argc, char** argv) {
  ServiceSwitches switches;
  ServiceRegistration reg;
  try {
    reg = module.registration();  // first, so that every message below can name the service
    switches = parseServiceSwitches(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    if (!isValidServiceName(reg.name)) {
      throw EServiceHostError("'" + reg.name +
                              "' is not a valid service name (letters, digits and underscores, not "
                              "beginning with a digit)");
    }
  } catch (const std::exception& e) {
    std::cerr << "Service " << reg.name << ": " << e.what() << std::endl;
    return 1;
  }
  switch (switches.action) {
    case ServiceAction::Install:
      return detail::installService(module, reg, switches.silent);
    case ServiceAction::Uninstall:
      return detail::uninstallService(module, reg, switches.silent);
    case ServiceAction::Run:
      break;
  }
  try {
    return detail::runService(module);
  } catch (const EServiceHostError& e) {
    std::cerr << "Service " << reg.name << ": " << e.what() << std::endl;
    return 1;
  }
}

}  // namespace kn
