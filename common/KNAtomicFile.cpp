#include "KNAtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "KNException.h"

namespace kn {

std::string systemErrorText(const std::string& context, int err) {
  return context + ": " + std::strerror(err);
}

void writeFileAtomic(const std::string& path, std::string_view data, mode_t mode) {
  std::string tmp = path + ".tmp-XXXXXX";
  int fd = ::mkstemp(tmp.data());
  if (fd < 0) throw Exception(systemErrorText("Cannot create " + tmp, errno));
  auto fail = [&](const char* what) {
    int err = errno;
    ::close(fd);
    ::unlink(tmp.c_str());
    throw Exception(systemErrorText(std::string(what) + " " + path, err));
  };
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("Cannot write");
    }
    done += static_cast<size_t>(n);
  }
  if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) fail("Cannot write");
  if (::close(fd) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    throw Exception(systemErrorText("Cannot write " + path, err));
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    throw Exception(systemErrorText("Cannot replace " + path, err));
  }
}

}  // namespace kn
