#include "capture/coreaudio/buffer_list_cycle.h"

#include <algorithm>
#include <cstddef>

namespace quenwick {

StreamFormat streamFormatOf(const AudioStreamBasicDescription& format) {
  const bool planar = (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
  const bool isFloat = planar || (format.mFormatFlags & kAudioFormatFlagIsFloat) != 0;
  return {format.mSampleRate, format.mChannelsPerFrame,
          isFloat ? SampleType::float32 : SampleType::int16, planar};
}

CapturedCycle cycleOfList(const AudioBufferList* list, const AudioStreamBasicDescription& format,
                          PlaneRoom& room) {
  CapturedCycle cycle;
  cycle.format = streamFormatOf(format);
  if (list == nullptr || list->mNumberBuffers == 0) return cycle;
  const auto buffers = buffersOf(*list);
  const AudioBuffer& first = buffers.front();
  // Without the first buffer's samples there is no frame count to go by.
  if (first.mData == nullptr) return cycle;

  if (cycle.format.planar) {
    if (buffers.size() > room.size()) return cycle;
    // The first buffer sets the frame count; any other is read as far as its own bytes go, and
    // a null one is a silent channel.
    cycle.frames = first.mDataByteSize / sizeof(float);
    for (std::size_t i = 0; i < buffers.size(); ++i) {
      room[i] = {buffers[i].mData, buffers[i].mDataByteSize / std::uint32_t{sizeof(float)}};
    }
    cycle.planes = {room.data(), buffers.size()};
    cycle.format.channels = static_cast<std::uint32_t>(buffers.size());
    return cycle;
  }

  // All channels in the first buffer; further buffers are not part of this layout. The buffer's
  // own channel count is the stride of its frames. The format's frame size decides how many
  // frames there are, but a buffer that holds fewer samples than that is read only as far as its
  // own byte count goes.
  if (format.mBytesPerFrame == 0) return cycle;
  const std::size_t sampleBytes =
      cycle.format.sampleType == SampleType::float32 ? sizeof(float) : sizeof(std::int16_t);
  const std::uint32_t channels = first.mNumberChannels == 0 ? 1 : first.mNumberChannels;
  cycle.frames = static_cast<std::uint32_t>(std::min<std::size_t>(
      first.mDataByteSize / format.mBytesPerFrame, first.mDataByteSize / (channels * sampleBytes)));
  room[0] = {first.mData, cycle.frames};
  cycle.planes = {room.data(), 1};
  cycle.format.channels = channels;
  return cycle;
}

}  // namespace quenwick
