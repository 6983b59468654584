// glibc: malloc_trim and the mmap threshold.
#include <malloc.h>

#include "ext.memory.h"

namespace kn::memory {

void returnFreedMemory() { ::malloc_trim(0); }

// glibc raises the threshold by itself after a large block is freed, unless it was set here.
void mapBlocksFrom(std::size_t bytes) { ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(bytes)); }

}  // namespace kn::memory
