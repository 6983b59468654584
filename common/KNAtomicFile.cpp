#include "KNAtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "KNLib.h"

namespace kn {

void writeFileAtomic(const std::string& path, std::string_view data, mode_t mode, ExistingMode existing) {
  const std::string what = "Cannot write file \"" + path + "\"";
  struct stat old;
  if (existing == ExistingMode::Keep && ::stat(path.c_str(), &old) == 0) mode = old.st_mode & 07777;

  std::string tmp = path + ".tmp-XXXXXX";
  int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) throwOSError(what, errno);
  bool ok = ::fchmod(fd, mode) == 0;
  for (size_t done = 0; ok && done < data.size();) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0) {
      ok = false, errno = EIO;  // a write that moves nothing would never finish
    } else if (errno != EINTR) {
      ok = false;
    }
  }
  ok = ok && ::fsync(fd) == 0;
  int err = errno;
  if (::close(fd) != 0 && ok) ok = false, err = errno;
  if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) ok = false, err = errno;
  if (!ok) {
    ::unlink(tmp.c_str());
    throwOSError(what, err);
  }
}

}  // namespace kn
