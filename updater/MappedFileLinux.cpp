// The mapping by mmap.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>

#include "KNFd.h"
#include "KNOs.h"
#include "MappedFile.h"

namespace kn {

MappedFile::MappedFile(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) throw EOSError("cannot read " + path);
  size_ = static_cast<std::size_t>(st.st_size);
  if (size_ == 0) return;
  void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd.get(), 0);
  if (p == MAP_FAILED) throw EOSError("cannot map " + path + ": " + os().errorText(errno));
  data_ = static_cast<const unsigned char*>(p);
}

MappedFile::~MappedFile() {
  if (data_) ::munmap(const_cast<unsigned char*>(data_), size_);
}

}  // namespace kn
