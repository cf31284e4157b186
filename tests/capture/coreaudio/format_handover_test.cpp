// The format hand-over under load: one thread publishes format after format, each made of one
// number throughout, while another takes them as fast as it can. A torn read, or one of a write
// half done, shows as a format of two numbers. Run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "capture/coreaudio/format_handover.h"

namespace quenwick {
namespace {

AudioStreamBasicDescription made(std::uint32_t n) {
  return {double(n), n, n, n, n, n, n, n, n};
}

TEST(FormatHandover, EveryFormatTakenIsOneWholePublishedFormat) {
  FormatHandover handover;
  // Stopped and joined however the test ends.
  std::jthread writer([&](std::stop_token stop) {
    for (std::uint32_t n = 1; !stop.stop_requested(); ++n) handover.publish(made(n));
  });
  // The reader takes formats while the writer keeps publishing, until it has taken many.
  std::uint64_t generation = 0;
  AudioStreamBasicDescription format;
  for (int taken = 0; taken < 20000;) {
    const std::uint64_t before = generation;
    if (!handover.takeNewer(generation, format)) continue;
    ++taken;
    ASSERT_GT(generation, before);
    const AudioStreamBasicDescription expected = made(static_cast<std::uint32_t>(generation));
    ASSERT_EQ(std::memcmp(&format, &expected, sizeof format), 0)
        << "generation " << generation << " took rate " << format.mSampleRate;
  }
}

}  // namespace
}  // namespace quenwick
