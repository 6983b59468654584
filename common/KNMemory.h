// What the programs ask of the system's memory: giving back what they no longer use, so that an
// agent that idles for hours between audits does not stay as large as its largest moment.
//
// Each call is advice: where the system or its allocator has no such thing, it does nothing.
#pragma once

#include <cstddef>

namespace kn {

// Returns the allocator's free memory to the system (glibc: malloc_trim).
void releaseFreeMemory();

// Blocks of 128 KB and more are mapped and unmapped one by one (glibc: M_MMAP_THRESHOLD), so that
// freed generations of a growing buffer do not stay resident in the heap. Once per process.
void mapLargeBlocksSeparately();

// The whole pages inside [from, from + bytes) of memory that will only be read again, if at all,
// as zero (it is the caller's to know it never will) are given back (madvise MADV_DONTNEED).
void dropPages(const void* from, std::size_t bytes);

}  // namespace kn
