// What the agent asks of the C library's allocator: a long-running service that handles a large
// reply or document now and then should not stay as large as the largest one until it ends.
//
// These are hints. Where the system's allocator has no such control the calls do nothing, and
// nothing depends on them but the process's resident size. Any thread may call.
#pragma once

#include <cstddef>

namespace kn::memory {

// Gives the heap memory freed so far back to the system, instead of keeping it in the allocator's
// arenas for later allocations.
void returnFreedMemory();

// Blocks of at least `bytes` are taken from the system one by one and returned to it when freed,
// rather than from the heap, where a freed generation of a growing buffer would stay resident.
void mapBlocksFrom(std::size_t bytes);

}  // namespace kn::memory
