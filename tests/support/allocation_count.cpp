#include "support/allocation_count.h"

#include <cstdlib>
#include <new>

// Every form of operator new comes here, through these two (the library's own forms call them).
void* operator new(std::size_t size) {
  if (quenwick::testing::watched) ++quenwick::testing::allocationsCounted;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void* operator new(std::size_t size, std::align_val_t align) {
  if (quenwick::testing::watched) ++quenwick::testing::allocationsCounted;
  const auto alignment = static_cast<std::size_t>(align);
  if (void* p = std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment)) {
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
  std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
