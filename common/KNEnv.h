// The environment knobs of both programs, and the paths they move.
//
//   KN_SYSROOT     prefix for every machine-wide path (hives, /var/lib, systemd units); empty = "/"
//   KN_TIME_SCALE  positive number dividing every schedule duration; default 1
//   KN_SYSTEMCTL   the systemctl-compatible program for service control; default "systemctl"
//   KN_UPDATE_URL  replaces the updater's built-in update server base (ends in "/")
//
// Each value is read from the environment at every call, so tests may set them freely.
#pragma once

#include <chrono>
#include <string>

namespace kn {

// KN_SYSROOT without a trailing "/" ("" for the real root).
std::string sysRoot();
// `absolutePath` (beginning with "/") below KN_SYSROOT.
std::string underSysRoot(const std::string& absolutePath);
// The folder of the running executable, ending in "/", and its file name. Tests may set another
// folder and name with setExeOverride(folder, name); empty arguments undo it.
std::string exeFolder();
std::string exeName();
std::string exePath();
void setExeOverride(const std::string& folder, const std::string& name);

// KN_TIME_SCALE as a number (1 when unset or not a positive number).
double timeScale();
// `d` divided by KN_TIME_SCALE, at least one millisecond when `d` was positive.
std::chrono::milliseconds scaled(std::chrono::milliseconds d);

}  // namespace kn
