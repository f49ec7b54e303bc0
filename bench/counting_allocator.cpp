// The global operator new and delete, replaced to count allocations.
#include "bench/counting_allocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

static std::atomic<int64_t> allocations{0};

int64_t heapAllocations() { return allocations.load(std::memory_order_relaxed); }

// g++ 12 takes the replaced pair below for a mismatch once it inlines them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
