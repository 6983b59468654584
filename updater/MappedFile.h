// A regular file's bytes, mapped read-only for as long as the object lives, so that a package of a
// gigabyte is checked without being copied into the heap. The platform half is MappedFileLinux.cpp.
#pragma once

#include <cstddef>
#include <string>

namespace kn {

class MappedFile {
 public:
  // Maps the file at `path`, which must be a regular file (a symbolic link is not followed).
  // Throws EOSError "cannot read <path>" when it cannot be opened or is no regular file, and
  // "cannot map <path>: <reason>" when the system refuses the mapping. An empty file maps to nothing.
  explicit MappedFile(const std::string& path);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // The bytes; an empty file gives a valid pointer to no bytes.
  const unsigned char* data() const { return data_ ? data_ : reinterpret_cast<const unsigned char*>(""); }
  std::size_t size() const { return size_; }

 private:
  const unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace kn
