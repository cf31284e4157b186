#include "convert/format_handover.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace quenwick {
namespace {

PublishedFormat formatAt(double rate, std::uint32_t channels) {
  PublishedFormat published;
  published.format.mSampleRate = rate;
  published.format.mFormatFlags = kAudioFormatFlagIsFloat;
  published.format.mBytesPerFrame = 4 * channels;
  published.format.mChannelsPerFrame = channels;
  published.ratio = rate / 16000.0;
  return published;
}

TEST(FormatHandover, EachPublishedFormatIsTakenOnce) {
  FormatHandover handover;
  std::uint64_t generation = 0;
  PublishedFormat taken = formatAt(1, 1);
  EXPECT_FALSE(handover.takeNewer(generation, taken)) << "nothing published yet";
  EXPECT_EQ(generation, 0u);
  EXPECT_EQ(taken.format.mSampleRate, 1.0);

  handover.publish(formatAt(48000, 2));
  ASSERT_TRUE(handover.takeNewer(generation, taken));
  EXPECT_EQ(generation, 1u);
  EXPECT_EQ(taken.format.mSampleRate, 48000.0);
  EXPECT_EQ(taken.format.mBytesPerFrame, 8u);
  EXPECT_EQ(taken.format.mChannelsPerFrame, 2u);
  EXPECT_EQ(taken.ratio, 3.0);

  taken = formatAt(1, 1);
  EXPECT_FALSE(handover.takeNewer(generation, taken));
  EXPECT_EQ(generation, 1u);
  EXPECT_EQ(taken.format.mSampleRate, 1.0) << "a false take must leave the copy alone";

  // Two publications before the reader looks: it sees only the latest.
  handover.publish(formatAt(44100, 1));
  handover.publish(formatAt(8000, 6));
  ASSERT_TRUE(handover.takeNewer(generation, taken));
  EXPECT_EQ(generation, 3u);
  EXPECT_EQ(taken.format.mSampleRate, 8000.0);
  EXPECT_EQ(taken.ratio, 0.5);
  EXPECT_FALSE(handover.takeNewer(generation, taken));
}

}  // namespace
}  // namespace quenwick
