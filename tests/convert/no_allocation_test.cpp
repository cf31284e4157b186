// The capture callback allocates nothing on the IO thread once warmed up: every allocation made
// on the thread under test is counted while 10,000 buffer lists of varying layouts and sizes
// stream through the callback, with format changes published from another thread meanwhile.
//
// Counting works in every build of the tests. Under AddressSanitizer and ThreadSanitizer the
// sanitizer's allocator reports each allocation to a hook. Without them, the global operator new
// is replaced, and on glibc malloc and its relatives are interposed as well, all forwarding to
// the C library's own allocator.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "convert/audio_buffers.h"
#include "convert/capture_callback.h"
#include "convert/format_handover.h"
#include "convert/sample_layout.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

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

// Set only on the thread under test, and only while it is being watched.
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
void startCounting() {
  static const bool installed = [] {
    return __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree) != 0;
  }();
  ASSERT_TRUE(installed) << "no room for another allocator hook";
}

}  // namespace

#else

namespace {

void startCounting() {}

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

namespace quenwick {
namespace {

constexpr std::uint32_t kMaxChannels = 8;
// The warm-up sends blocks of kWarmFrames, more than the callback reserves room for up front, so
// that its room grows there. The steady state stays within them: mostly the block sizes of a
// real device, now and then a large one.
constexpr std::size_t kWarmFrames = 12000;
constexpr std::size_t kUsualFrames = 4096;
constexpr int kLists = 10000;

using Layout = SampleLayout;

PublishedFormat formatOf(Layout layout, double rate, std::uint32_t channels) {
  return {describeStream(layout, rate, channels), rate / 16000.0};
}

// The formats the stream cycles through, from 4 kHz (four output samples per input frame) to
// 192 kHz, in each layout.
std::vector<PublishedFormat> formats() {
  return {formatOf(Layout::f32, 48000, 2),   formatOf(Layout::planar, 44100, 8),
          formatOf(Layout::s16, 96000, 6),   formatOf(Layout::f32, 4000, 1),
          formatOf(Layout::planar, 8000, 2), formatOf(Layout::s16, 11025, 1),
          formatOf(Layout::f32, 192000, 8),  formatOf(Layout::planar, 37800, 3)};
}

// Everything the IO thread touches, made before it is watched: sample storage for the largest
// block in any layout and a buffer list with room for every channel.
struct Feed {
  Feed()
      : interleaved(kWarmFrames * kMaxChannels, 0.25f),
        planes(kMaxChannels, std::vector<float>(kWarmFrames, -0.5f)),
        raw(offsetof(AudioBufferList, mBuffers) + kMaxChannels * sizeof(AudioBuffer)) {
    list = new (raw.data()) AudioBufferList{};
    for (std::uint32_t c = 1; c < kMaxChannels; ++c) new (record(c)) AudioBuffer{};
  }

  AudioBuffer* record(std::uint32_t c) {
    return std::launder(reinterpret_cast<AudioBuffer*>(
        raw.data() + offsetof(AudioBufferList, mBuffers) + c * sizeof(AudioBuffer)));
  }

  // A list of `frames` frames laid out as `format` describes.
  const AudioBufferList* fill(const AudioStreamBasicDescription& format, std::size_t frames) {
    const std::uint32_t channels = format.mChannelsPerFrame;
    if ((format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0) {
      list->mNumberBuffers = channels;
      for (std::uint32_t c = 0; c < channels; ++c) {
        *record(c) = {1, static_cast<std::uint32_t>(frames * 4), planes[c].data()};
      }
    } else {
      list->mNumberBuffers = 1;
      *record(0) = {channels, static_cast<std::uint32_t>(frames * format.mBytesPerFrame),
                    interleaved.data()};
    }
    return list;
  }

  std::vector<float> interleaved;
  std::vector<std::vector<float>> planes;
  std::vector<std::byte> raw;
  AudioBufferList* list = nullptr;
};

// Allocations the compiler may not remove: through function pointers it cannot see through.
void* (*volatile allocateBytes)(std::size_t) = std::malloc;
void* (*volatile allocateObject)(std::size_t) = static_cast<void* (*)(std::size_t)>(::operator new);

TEST(NoAllocation, CaptureCallbackAllocatesNothingOnTheIoThreadOnceWarm) {
  startCounting();
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(devNull, 0);
  const auto cycle = formats();

  FormatHandover handover;
  handover.publish(cycle.front());
  CaptureCallback callback(handover, devNull);
  Feed feed;

  std::atomic<int> converted{0};
  std::size_t controlAllocations = 0;
  std::size_t steadyAllocations = 0;

  std::thread io([&] {
    // The thread's own first allocations (thread start-up, lazily bound symbols) are not the
    // callback's business: it is watched only from here.
    watched = true;

    // The count must see an allocation when there is one, through malloc and through new.
    const std::size_t before = allocations.load();
    std::free(allocateBytes(32));
    ::operator delete(allocateObject(32));
    controlAllocations = allocations.load() - before;

    // Warm-up: the largest block in every format, so that any room the callback keeps has grown
    // as far as this stream will ever need.
    std::uint64_t generation = 0;
    PublishedFormat current = cycle.front();
    for (const PublishedFormat& published : cycle) {
      handover.publish(published);
      callback(feed.fill(published.format, kWarmFrames));
      callback(feed.fill(published.format, 1));
    }
    handover.takeNewer(generation, current);

    // Steady state: varying sizes in whatever format the main thread last published.
    allocations.store(0);
    std::uint32_t seed = 12345;
    for (int i = 0; i < kLists; ++i) {
      handover.takeNewer(generation, current);
      seed = seed * 1664525u + 1013904223u;
      const std::size_t largest = (seed & 15) == 0 ? kWarmFrames : kUsualFrames;
      const std::size_t frames = (seed >> 8) % (largest + 1);
      callback(feed.fill(current.format, frames));
      converted.store(i + 1, std::memory_order_release);
    }
    steadyAllocations = allocations.load();
    watched = false;
  });

  // Format changes while the stream runs, from this thread as the main queue would make them.
  // They begin only after the warm-up has published its own.
  while (converted.load(std::memory_order_acquire) == 0) std::this_thread::yield();
  int published = 0;
  for (int next = 500; next < kLists; next += 500) {
    while (converted.load(std::memory_order_acquire) < next) std::this_thread::yield();
    handover.publish(cycle[static_cast<std::size_t>(published++) % cycle.size()]);
  }
  io.join();
  ::close(devNull);

  EXPECT_EQ(controlAllocations, 2u) << "allocations on the watched thread go uncounted";
  EXPECT_EQ(published, kLists / 500 - 1);
  EXPECT_EQ(steadyAllocations, 0u) << "the capture callback allocated on the IO thread";
}

}  // namespace
}  // namespace quenwick
