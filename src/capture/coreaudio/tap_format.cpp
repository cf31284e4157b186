#include "capture/coreaudio/tap_format.h"

#include "convert/resampler.h"  // what the conversion can work with

namespace quenwick {
namespace {

bool isUsableRate(double rate) {
  return rate > 0 && isUsableRatio(rate / outRate);
}

}  // namespace

TapFormatTracker::TapFormatTracker(AudioHardware& hardware, AudioObjectID tapID,
                                   FormatHandover& handover)
    : hardware_(hardware), tapID_(tapID), handover_(handover) {}

std::optional<AudioStreamBasicDescription> TapFormatTracker::readFormat() {
  constexpr auto formatAddress = globalAddress(kAudioTapPropertyFormat);
  AudioStreamBasicDescription format{};
  std::uint32_t formatSize = sizeof format;
  if (hardware_.getPropertyData(tapID_, formatAddress, 0, nullptr, &formatSize, &format) !=
      kAudioHardwareNoError) {
    return std::nullopt;
  }
  if (!isUsableRate(format.mSampleRate)) return std::nullopt;
  return format;
}

void TapFormatTracker::take(const AudioStreamBasicDescription& format) {
  tapFormat_ = format;
  handover_.publish(format);
}

std::optional<AudioStreamBasicDescription> TapFormatTracker::readInitialFormat() {
  std::lock_guard lock(mutex_);
  const auto format = readFormat();
  if (format) take(*format);
  started_ = true;
  return format;
}

std::optional<AudioStreamBasicDescription> TapFormatTracker::refreshFormat() {
  std::lock_guard lock(mutex_);
  if (!started_) return std::nullopt;
  const auto format = readFormat();
  if (!format || sameForConversion(*format, tapFormat_)) return std::nullopt;
  take(*format);
  return format;
}

}  // namespace quenwick
