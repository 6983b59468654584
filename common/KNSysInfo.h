// Facts about the machine and the account the process runs under. On Linux they come from
// uname/gethostname, the passwd database, the HKLM hive and the root file system.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kn {

// The short host name (up to the first dot), at most 15 characters; "" when the system refuses.
std::string computerName();
// The computer name for a local account (one listed in /etc/passwd). For an account from a
// directory (LDAP, SSSD, winbind...), the machine's DNS domain: the domain name the system was
// given (getdomainname), else the part after the first dot of the host name or of its canonical
// name; the computer name when no domain is known. "" when the account cannot be looked up.
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

// Pure pieces of the answers above, apart from the system calls that feed them.
namespace sysinfo {

// A host name cut at its first dot and to 15 characters.
std::string shortComputerName(std::string_view hostName);
// Whether `passwdText` (the text of /etc/passwd) has an entry for `userName`.
bool isLocalAccount(std::string_view passwdText, std::string_view userName);
// The machine's DNS domain: `nisDomain` unless empty or "(none)", else the part of `hostName`
// after its first dot, else that of `fqdn`; "" when none of them has one.
std::string machineDomain(std::string_view nisDomain, std::string_view hostName, std::string_view fqdn);
// "XXXX-XXXX": upper-case hexadecimal, high 16 bits first.
std::string formatVolumeSerial(std::uint32_t serial);

}  // namespace sysinfo

}  // namespace kn
