// System facts on Windows: the NetBIOS computer name, the process token's account and
// GetVolumeInformationW. registeredOwner() and registeredOrganization() and the pure pieces live in
// KNSysInfo.cpp.
#include <windows.h>

#include <vector>

#include "KNSysInfo.h"
#include "KNWinText.h"

namespace kn {
namespace {

struct Account {
  std::string name, domain;
};

// The account the process runs under, from its token; empty names when Windows refuses.
Account processAccount() {
  Account account;
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return account;
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buf(size);
  if (size && ::GetTokenInformation(token, TokenUser, buf.data(), size, &size)) {
    PSID sid = reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid;
    wchar_t name[256], domain[256];
    DWORD nameLen = 256, domainLen = 256;
    SID_NAME_USE use;
    if (::LookupAccountSidW(nullptr, sid, name, &nameLen, domain, &domainLen, &use)) {
      account.name = win::narrow(name);
      account.domain = win::narrow(domain);
    }
  }
  ::CloseHandle(token);
  return account;
}

}  // namespace

std::string computerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!::GetComputerNameExW(ComputerNameNetBIOS, name, &size)) return "";
  return sysinfo::shortComputerName(win::narrow(std::wstring_view(name, size)));
}

std::string userName() { return processAccount().name; }

std::string accountDomainName() { return processAccount().domain; }

std::string volumeSerialNumber(char drive) {
  wchar_t root[] = {static_cast<wchar_t>(drive), L':', L'\\', L'\0'};
  DWORD serial = 0;
  if (!::GetVolumeInformationW(root, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) return "";
  return sysinfo::formatVolumeSerial(serial);
}

}  // namespace kn
