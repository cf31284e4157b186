#include "convert/downmix.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace quenwick {
namespace {

constexpr std::uint32_t kFloat = kAudioFormatFlagIsFloat;
constexpr std::uint32_t kInt16 = 0;
constexpr std::uint32_t kPlanar = kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved;

// One buffer record of a case. Its data gets storage of exactly its own size, so a read past
// mDataByteSize trips AddressSanitizer.
struct Buffer {
  std::uint32_t channels = 1;
  std::optional<std::vector<std::byte>> data;  // none: a null mData
  std::optional<std::uint32_t> byteSize;       // none: the size of the data
};

template <typename T>
Buffer samples(std::uint32_t channels, std::vector<T> values) {
  std::vector<std::byte> bytes(values.size() * sizeof(T));
  if (!bytes.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  return {channels, std::move(bytes), std::nullopt};
}

Buffer floats(std::uint32_t channels, std::vector<float> values) {
  return samples(channels, std::move(values));
}

Buffer shorts(std::uint32_t channels, std::vector<std::int16_t> values) {
  return samples(channels, std::move(values));
}

Buffer sized(Buffer buffer, std::uint32_t byteSize) {
  buffer.byteSize = byteSize;
  return buffer;
}

const Buffer kNull{1, std::nullopt, 0};

struct Case {
  std::string name;
  std::uint32_t flags;
  std::uint32_t bytesPerFrame;
  std::vector<Buffer> buffers;
  std::vector<float> expected;
};

std::vector<float> mix(const Case& c, std::vector<float>& mono) {
  std::vector<std::vector<std::byte>> storage;
  std::vector<AudioBuffer> records;
  for (const Buffer& b : c.buffers) {
    void* data = nullptr;
    std::uint32_t size = b.byteSize.value_or(0);
    if (b.data) {
      storage.emplace_back(*b.data);
      data = storage.back().data();
      if (!b.byteSize) size = static_cast<std::uint32_t>(storage.back().size());
    }
    records.push_back({b.channels, size, data});
  }
  AudioStreamBasicDescription format{};
  format.mFormatFlags = c.flags;
  format.mBytesPerFrame = c.bytesPerFrame;
  downmix(records, format, mono);
  return mono;
}

std::vector<std::uint32_t> bitsOf(const std::vector<float>& values) {
  std::vector<std::uint32_t> bits;
  for (float v : values) bits.push_back(std::bit_cast<std::uint32_t>(v));
  return bits;
}

TEST(Downmix, Layouts) {
  const std::vector<Case> cases = {
      {"float stereo", kFloat, 8, {floats(2, {0.5f, -0.25f})}, {0.125f}},
      {"int16 full scale", kInt16, 4, {shorts(2, {32767, 32767})}, {1.0f}},
      {"int16 most negative", kInt16, 4, {shorts(2, {-32768, -32768})}, {-32768.0f / 32767.0f}},
      {"int16 scaled before the sum",
       kInt16,
       4,
       {shorts(2, {16384, 1})},
       {(0.0f + 16384.0f / 32767.0f + 1.0f / 32767.0f) / 2.0f}},
      {"zero channels read as one", kFloat, 4, {floats(0, {0.25f, -0.5f})}, {0.25f, -0.5f}},
      {"partial frame dropped", kFloat, 8, {floats(2, {0.5f, 0.5f, 0.75f})}, {0.5f}},
      {"further buffers ignored",
       kFloat,
       8,
       {floats(2, {0.5f, 0.25f}), floats(2, {1.0f, 1.0f})},
       {0.375f}},
      // Summed in channel order: 1e8 + 1 rounds back to 1e8 before -1e8 cancels it.
      {"three channels in order", kFloat, 12, {floats(3, {1e8f, 1.0f, -1e8f})}, {0.0f}},
      {"sum starts at +0", kFloat, 4, {floats(1, {-0.0f})}, {0.0f}},
      {"bytes per frame 0", kFloat, 0, {floats(2, {0.5f, 0.5f})}, {}},
      {"interleaved null data", kFloat, 8, {kNull}, {}},
      {"interleaved empty list", kFloat, 8, {}, {}},
      // The format says 8-byte frames, so 2 frames; four channels of floats fill only one.
      {"buffer smaller than its channels need",
       kFloat,
       8,
       {floats(4, {0.5f, 0.25f, 0.125f, 0.125f})},
       {0.25f}},
      {"int16 buffer smaller than its channels need",
       kInt16,
       2,
       {shorts(2, {100, 300})},
       {(0.0f + 100.0f / 32767.0f + 300.0f / 32767.0f) / 2.0f}},
      {"byte count below its data",
       kFloat,
       8,
       {sized(floats(2, {0.5f, 0.5f, 1.0f, 1.0f}), 12)},
       {0.5f}},

      {"planar pair",
       kPlanar,
       4,
       {floats(1, {0.5f, 1.0f}), floats(1, {0.25f, -1.0f})},
       {0.375f, 0.0f}},
      {"planar null channel counts as silence",
       kPlanar,
       4,
       {floats(1, {0.5f, -1.0f}), kNull},
       {0.25f, -0.5f}},
      {"planar ignores the float flag and channel counts",
       kInt16 | kAudioFormatFlagIsNonInterleaved,
       0,
       {floats(2, {0.5f}), floats(7, {0.25f})},
       {0.375f}},
      {"planar buffers summed in order",
       kPlanar,
       4,
       {floats(1, {1e8f}), floats(1, {1.0f}), floats(1, {-1e8f})},
       {0.0f}},
      {"planar short second buffer",
       kPlanar,
       4,
       {floats(1, {1.0f, 1.0f, 1.0f, 1.0f}), floats(1, {1.0f, 1.0f})},
       {1.0f, 1.0f, 0.5f, 0.5f}},
      {"planar first buffer of 3 bytes",
       kPlanar,
       4,
       {sized(floats(1, {0.5f}), 3), floats(1, {})},
       {}},
      {"planar first buffer null", kPlanar, 4, {kNull, floats(1, {0.5f})}, {}},
      {"planar empty list", kPlanar, 4, {}, {}},
  };
  for (const Case& c : cases) {
    std::vector<float> mono = {9.0f, 9.0f, 9.0f};  // left over from an earlier call
    EXPECT_EQ(bitsOf(mix(c, mono)), bitsOf(c.expected)) << c.name;
  }
}

TEST(Downmix, ReusesTheBlockWithoutAllocating) {
  std::vector<float> mono;
  mono.reserve(4);
  const float* storage = mono.data();
  const Case planar{"", kPlanar, 4, {floats(1, {1, 2, 3, 4}), floats(1, {1, 2, 3, 4})}, {}};
  const Case stereo{"", kFloat, 8, {floats(2, {1, 2, 3, 4})}, {}};
  EXPECT_EQ(mix(planar, mono), (std::vector<float>{1, 2, 3, 4}));
  EXPECT_EQ(mix(stereo, mono), (std::vector<float>{1.5f, 3.5f}));
  EXPECT_EQ(mono.data(), storage);
  EXPECT_EQ(mono.capacity(), 4u);
}

}  // namespace
}  // namespace quenwick
