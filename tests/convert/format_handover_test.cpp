// The format hand-over under load: one thread publishes format after format, each made of one
// number throughout, while another takes them as fast as it can. A torn read, or one of a write
// half done, shows as a format of two numbers. Run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "convert/format_handover.h"

namespace quenwick {
namespace {

PublishedFormat made(std::uint32_t n) {
  return {{double(n), n, n, n, n, n, n, n, n}, double(n)};
}

TEST(FormatHandover, EveryFormatTakenIsOneWholePublishedFormat) {
  constexpr std::uint32_t kPublished = 400000;
  FormatHandover handover;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (std::uint32_t n = 1; n <= kPublished; ++n) handover.publish(made(n));
    done = true;
  });
  std::uint64_t generation = 0;
  std::uint64_t taken = 0;
  PublishedFormat format;
  for (;;) {
    const bool finished = done;
    const std::uint64_t before = generation;
    if (!handover.takeNewer(generation, format)) {
      if (finished) break;
      continue;
    }
    ++taken;
    ASSERT_GT(generation, before);
    const PublishedFormat expected = made(static_cast<std::uint32_t>(generation));
    ASSERT_EQ(std::memcmp(&format, &expected, sizeof format), 0)
        << "generation " << generation << " took rate " << format.format.mSampleRate
        << " and ratio " << format.ratio;
  }
  writer.join();
  EXPECT_EQ(generation, kPublished);
  EXPECT_GT(taken, 1u);
}

}  // namespace
}  // namespace quenwick
