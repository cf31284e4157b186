// Counting of heap allocations for the tests that prove a thread allocates nothing.
//
// Counting works in every build of the tests. Under AddressSanitizer and ThreadSanitizer the
// sanitizer's allocator reports each allocation to a hook. Without them, the global operator new
// is replaced, and on glibc malloc and its relatives are interposed as well, all forwarding to
// the C library's own allocator.

#include "allocation_count.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUENWICK_SANITIZED_ALLOCATOR 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUENWICK_SANITIZED_ALLOCATOR 1
#endif

#if defined(QUENWICK_SANITIZED_ALLOCATOR)
// From the sanitizer runtime's allocator interface (sanitizer/allocator_interface.h, which not
// every compiler installs).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*,
                                                                             std::size_t),
                                                         void (*free_hook)(const volatile void*));
#endif

namespace {

// Set only on the threads under test, and only while they are being watched.
thread_local bool watched = false;
std::atomic<std::size_t> allocations{0};

void noteAllocation() {
  if (watched) allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

#if defined(QUENWICK_SANITIZED_ALLOCATOR)

namespace {

void onMalloc(const volatile void*, std::size_t) {
  noteAllocation();
}
void onFree(const volatile void*) {}

// Hooks stay installed for the life of the process; they count nothing unless a thread is
// watched.
void installHooks() {
  static const bool installed = [] {
    return __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree) != 0;
  }();
  ASSERT_TRUE(installed) << "no room for another allocator hook";
}

}  // namespace

#else

namespace {

void installHooks() {}

}  // namespace

#if defined(__GLIBC__)
// glibc's own allocator, under names that interposing malloc does not reach.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void* __libc_valloc(std::size_t);
void* __libc_pvalloc(std::size_t);
}

namespace {
void* rawAllocate(std::size_t size) {
  return __libc_malloc(size == 0 ? 1 : size);
}
void* rawAllocateAligned(std::size_t size, std::size_t alignment) {
  return __libc_memalign(alignment, size == 0 ? 1 : size);
}
}  // namespace

// The C allocation functions of this process, the C++ runtime's included, come here.
extern "C" {
void* malloc(std::size_t size) {
  noteAllocation();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  noteAllocation();
  return __libc_calloc(count, size);
}
void* realloc(void* pointer, std::size_t size) {
  noteAllocation();
  return __libc_realloc(pointer, size);
}
void* memalign(std::size_t alignment, std::size_t size) {
  noteAllocation();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
  noteAllocation();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  noteAllocation();
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* pointer = __libc_memalign(alignment, size);
  if (pointer == nullptr) return ENOMEM;
  *out = pointer;
  return 0;
}
void* valloc(std::size_t size) {
  noteAllocation();
  return __libc_valloc(size);
}
void* pvalloc(std::size_t size) {
  noteAllocation();
  return __libc_pvalloc(size);
}
}
#else
namespace {
void* rawAllocate(std::size_t size) {
  return std::malloc(size == 0 ? 1 : size);
}
void* rawAllocateAligned(std::size_t size, std::size_t alignment) {
  void* pointer = nullptr;
  return posix_memalign(&pointer, alignment, size == 0 ? 1 : size) == 0 ? pointer : nullptr;
}
}  // namespace
#endif

// The replaceable global allocation functions, all of them, so that every C++ allocation is
// counted once, whichever form made it.
void* operator new(std::size_t size) {
  noteAllocation();
  if (void* pointer = rawAllocate(size)) return pointer;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return ::operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  noteAllocation();
  return rawAllocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return ::operator new(size, std::nothrow);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  noteAllocation();
  if (void* pointer = rawAllocateAligned(size, static_cast<std::size_t>(alignment))) {
    return pointer;
  }
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return ::operator new(size, alignment);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  noteAllocation();
  return rawAllocateAligned(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return ::operator new(size, alignment, std::nothrow);
}
void operator delete(void* pointer) noexcept {
  std::free(pointer);
}
void operator delete[](void* pointer) noexcept {
  std::free(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept {
  std::free(pointer);
}
void operator delete[](void* pointer, std::size_t) noexcept {
  std::free(pointer);
}
void operator delete(void* pointer, const std::nothrow_t&) noexcept {
  std::free(pointer);
}
void operator delete[](void* pointer, const std::nothrow_t&) noexcept {
  std::free(pointer);
}
void operator delete(void* pointer, std::align_val_t) noexcept {
  std::free(pointer);
}
void operator delete[](void* pointer, std::align_val_t) noexcept {
  std::free(pointer);
}
void operator delete(void* pointer, std::size_t, std::align_val_t) noexcept {
  std::free(pointer);
}
void operator delete[](void* pointer, std::size_t, std::align_val_t) noexcept {
  std::free(pointer);
}
void operator delete(void* pointer, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(pointer);
}
void operator delete[](void* pointer, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(pointer);
}

#endif

namespace quenwick::testing {
namespace {
// Allocations the compiler may not remove: through function pointers it cannot see through.
void* (*volatile allocateBytes)(std::size_t) = std::malloc;
void* (*volatile allocateObject)(std::size_t) = static_cast<void* (*)(std::size_t)>(::operator new);
}  // namespace

void startCountingAllocations() {
  installHooks();
}
void watchThisThread(bool watch) {
  watched = watch;
}
std::size_t allocationsCounted() {
  return allocations.load();
}
void resetAllocationCount() {
  allocations.store(0);
}

std::size_t countedOfTwoAllocations() {
  const std::size_t before = allocations.load();
  std::free(allocateBytes(32));
  ::operator delete(allocateObject(32));
  return allocations.load() - before;
}

}  // namespace quenwick::testing
