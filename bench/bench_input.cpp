#include "bench_input.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <map>
#include <memory>
#include <numbers>

namespace quenwick::bench {
namespace {

// Two tones a little apart in each ear and some noise from a fixed seed: sound that moves, as
// music would, and is the same on every run.
std::unique_ptr<Input> makeInput(double rate) {
  auto input = std::make_unique<Input>();
  input->rate = rate;
  input->frames = static_cast<std::size_t>(rate * kSeconds);
  input->interleaved.resize(input->frames * kChannels);
  input->interleaved16.resize(input->frames * kChannels);
  input->left.resize(input->frames);
  input->right.resize(input->frames);

  const double stepLeft = 2.0 * std::numbers::pi * 440.0 / rate;
  const double stepRight = 2.0 * std::numbers::pi * 554.37 / rate;
  std::uint32_t seed = 0x2545f491u;
  auto noise = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<float>(static_cast<std::int32_t>(seed)) / 2147483648.0f;  // [-1, 1)
  };
  for (std::size_t f = 0; f < input->frames; ++f) {
    const double t = static_cast<double>(f);
    const float left = 0.4f * static_cast<float>(std::sin(stepLeft * t)) + 0.1f * noise();
    const float right = 0.4f * static_cast<float>(std::sin(stepRight * t)) + 0.1f * noise();
    input->interleaved[2 * f] = left;
    input->interleaved[2 * f + 1] = right;
    input->interleaved16[2 * f] = static_cast<std::int16_t>(left * 32767.0f);
    input->interleaved16[2 * f + 1] = static_cast<std::int16_t>(right * 32767.0f);
    input->left[f] = left;
    input->right[f] = right;
  }
  return input;
}

}  // namespace

const Input& inputAt(double rate) {
  static std::map<double, std::unique_ptr<Input>> inputs;
  auto& input = inputs[rate];
  if (!input) input = makeInput(rate);
  return *input;
}

StreamFormat formatOf(Layout layout, double rate) {
  return describeStream(layout, rate, kChannels);
}

BlockFeed::BlockFeed(Layout layout, double rate, Source source)
    : layout_(layout), source_(source), input_(inputAt(rate)) {
  cycle_.format = formatOf(layout, rate);
  cycle_.formatGeneration = 1;
  cycle_.planes = {planes_.data(), layout == Layout::planar ? 2u : 1u};
}

std::size_t BlockFeed::startOf(std::size_t index) const {
  return (source_ == Source::kHot ? index % kHotBlocks : index) * kBlockFrames;
}

std::size_t BlockFeed::framesOf(std::size_t index) const {
  const std::size_t start = index * kBlockFrames;
  return std::min(kBlockFrames, input_.frames - start);
}

const float* BlockFeed::interleavedBlock(std::size_t index) const {
  return input_.interleaved.data() + startOf(index) * kChannels;
}

const CapturedCycle& BlockFeed::cycle(std::size_t index) {
  const std::size_t start = startOf(index);
  cycle_.frames = static_cast<std::uint32_t>(framesOf(index));
  switch (layout_) {
    case Layout::f32:
      planes_[0] = {input_.interleaved.data() + start * kChannels, cycle_.frames};
      break;
    case Layout::s16:
      planes_[0] = {input_.interleaved16.data() + start * kChannels, cycle_.frames};
      break;
    case Layout::planar:
      planes_[0] = {input_.left.data() + start, cycle_.frames};
      planes_[1] = {input_.right.data() + start, cycle_.frames};
      break;
  }
  return cycle_;
}

std::size_t BlockFeed::planeBytes() const {
  return cycle_.frames * bytesPerSample(layout_) * (layout_ == Layout::planar ? 1 : kChannels);
}

}  // namespace quenwick::bench
