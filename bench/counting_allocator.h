// Heap allocations counted by a replacement of the global operator new, for
// the benchmarks (linked into benchmark programs only, never into hestled).
#pragma once

#include <cstdint>

// Every operator new (and new[]) made by this process since it started: the
// C++ heap, which is where std::string, std::map and the JSON parser allocate.
// Plain malloc() calls of the C library are not counted.
int64_t heapAllocations();
