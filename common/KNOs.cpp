// The OS seam's portable part: what every system does the same way over its own calls.
#include "KNOs.h"

#include <algorithm>
#include <utility>

namespace kn {

std::string Os::readFile(const std::string& path, std::size_t maxBytes) {
  std::unique_ptr<InputFile> file = openFile(path);
  std::string data;
  // Room for the whole file at once; files of /proc and /sys say 0 or 4096 and grow as read.
  data.reserve(static_cast<size_t>(std::min<std::uint64_t>(file->size(), maxBytes)));
  char buf[65536];
  while (std::size_t n = file->read(buf, sizeof buf)) {
    if (n > maxBytes - data.size())
      throw EOSError("Cannot read file \"" + path + "\". It is larger than " + std::to_string(maxBytes) + " bytes");
    data.append(buf, n);
  }
  return data;
}

// A lock moves; release(), which ends it, is each platform's.
FileLock::FileLock(FileLock&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    release();
    handle_ = std::exchange(other.handle_, kNone);
  }
  return *this;
}

}  // namespace kn
