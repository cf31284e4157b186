#include "support/allocation_count.h"

#include <cstdlib>
#include <new>

#if defined(_WIN32)
#include <malloc.h>
#endif

namespace {

// The Windows C runtime has no aligned_alloc, and what _aligned_malloc gives only _aligned_free
// takes.
void* alignedAlloc(std::size_t alignment, std::size_t size) {
#if defined(_WIN32)
  return _aligned_malloc(size, alignment);
#else
  return std::aligned_alloc(alignment, size);
#endif
}

void alignedFree(void* p) {
#if defined(_WIN32)
  _aligned_free(p);
#else
  std::free(p);
#endif
}

}  // namespace

// Every form of operator new comes here, through these two (the library's own forms call them).
void* operator new(std::size_t size) {
  if (quenwick::testing::watched) ++quenwick::testing::allocationsCounted;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void* operator new(std::size_t size, std::align_val_t align) {
  if (quenwick::testing::watched) ++quenwick::testing::allocationsCounted;
  const auto alignment = static_cast<std::size_t>(align);
  if (void* p = alignedAlloc(alignment, (size + alignment - 1) / alignment * alignment)) {
    return p;
  }
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  alignedFree(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  alignedFree(p);
}
