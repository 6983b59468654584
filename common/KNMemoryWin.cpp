// Memory advice on Windows: the process heap is compacted; the rest has no counterpart worth its
// risk (the heap maps large blocks separately by itself, and heap pages cannot be discarded).
#include "KNMemory.h"

#include <windows.h>

namespace kn {

void releaseFreeMemory() { ::HeapCompact(::GetProcessHeap(), 0); }

void mapLargeBlocksSeparately() {}

void dropPages(const void*, std::size_t) {}

}  // namespace kn
