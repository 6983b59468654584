// Owners, hard links and syncfs.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "KNFd.h"
#include "KNOs.h"
#include "PackageUnpackSystem.h"

namespace kn::unpack {

std::string nameProblem(const std::string& folder, const std::string& name) {
  if (name.size() > NAME_MAX || folder.size() + name.size() >= PATH_MAX)
    return "has a name longer than the file system allows";
  return "";
}

std::string nameKey(const std::string& name) { return name; }

bool awaitReplaceable(const std::string&, std::chrono::steady_clock::time_point, const std::stop_token&) {
  return true;  // a rename replaces a file whoever holds it open
}

void takeOverAttributes(const std::string& temp, const std::string& target, unsigned newMode) {
  Fd fd(::open(temp.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) throwOSError("Cannot write " + temp, errno);
  mode_t mode = static_cast<mode_t>(newMode);
  struct stat st;
  if (::lstat(target.c_str(), &st) == 0) {
    // The owner first: changing it clears set-id bits, which the old file may rightly carry.
    if (::fchown(fd.get(), st.st_uid, st.st_gid) != 0) throwOSError("Cannot give " + target + " its owner", errno);
    mode = st.st_mode & 07777;
  }
  if (::fchmod(fd.get(), mode) != 0) throwOSError("Cannot write " + temp, errno);
}

bool addSecondName(const std::string& target, const std::string& link) {
  if (::link(target.c_str(), link.c_str()) == 0) return true;
  if (errno == EEXIST) return false;
  throwOSError("Cannot keep a copy of " + target, errno);
}

void flushFolder(const std::string& folder) {
  Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) ::syncfs(fd.get());
}

}  // namespace kn::unpack
