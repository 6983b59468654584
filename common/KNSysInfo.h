// Facts about the machine and the account the process runs under. On Linux they come from
// uname/gethostname, the passwd database, the HKLM hive and the root file system.
#pragma once

#include <string>

namespace kn {

// The short host name (up to the first dot), at most 15 characters; "" when the system refuses.
std::string computerName();
// The computer name for a local account; the directory domain for an account from a directory.
// "" when the account cannot be looked up.
std::string accountDomainName();
// The name of the account the process runs under; "" when the system refuses.
std::string userName();
// "RegisteredOwner" / "RegisteredOrganization" of HKLM "SOFTWARE\Microsoft\Windows NT\CurrentVersion"
// in the HKLM hive; "" when absent or unreadable.
std::string registeredOwner();
std::string registeredOrganization();
// The serial of the volume behind `drive` (only 'C', the root file system, is known here) as
// "XXXX-XXXX", upper-case hexadecimal, high 16 bits first; "" when it cannot be read.
std::string volumeSerialNumber(char drive = 'C');

}  // namespace kn
