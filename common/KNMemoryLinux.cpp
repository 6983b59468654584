// Memory advice on Linux: glibc's allocator and madvise.
#include "KNMemory.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace kn {

void releaseFreeMemory() { ::malloc_trim(0); }

void mapLargeBlocksSeparately() {
  static const int done = ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  (void)done;
}

void dropPages(const void* from, std::size_t bytes) {
  static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  auto begin = (reinterpret_cast<std::uintptr_t>(from) + page - 1) & ~(page - 1);
  auto end = (reinterpret_cast<std::uintptr_t>(from) + bytes) & ~(page - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

}  // namespace kn
