#include "convert/sample_layout.h"

namespace quenwick {

std::string_view nameOf(SampleLayout layout) {
  switch (layout) {
    case SampleLayout::f32:
      return "f32";
    case SampleLayout::s16:
      return "s16";
    case SampleLayout::planar:
      return "planar";
  }
  return "?";
}

std::optional<SampleLayout> parseSampleLayout(std::string_view name) {
  for (const auto layout : {SampleLayout::f32, SampleLayout::s16, SampleLayout::planar}) {
    if (name == nameOf(layout)) return layout;
  }
  return std::nullopt;
}

std::uint32_t bytesPerSample(SampleLayout layout) {
  return layout == SampleLayout::s16 ? sizeof(std::int16_t) : sizeof(float);
}

AudioStreamBasicDescription describeStream(SampleLayout layout, double rate,
                                           std::uint32_t channels) {
  AudioStreamBasicDescription format{};
  format.mSampleRate = rate;
  format.mFormatID = kAudioFormatLinearPCM;
  format.mFramesPerPacket = 1;
  format.mChannelsPerFrame = channels;
  format.mBitsPerChannel = 8 * bytesPerSample(layout);
  switch (layout) {
    case SampleLayout::f32:
      format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
      format.mBytesPerFrame = channels * bytesPerSample(layout);
      break;
    case SampleLayout::s16:
      format.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
      format.mBytesPerFrame = channels * bytesPerSample(layout);
      break;
    case SampleLayout::planar:
      format.mFormatFlags =
          kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
      format.mBytesPerFrame = bytesPerSample(layout);
      break;
  }
  format.mBytesPerPacket = format.mBytesPerFrame;
  return format;
}

}  // namespace quenwick
