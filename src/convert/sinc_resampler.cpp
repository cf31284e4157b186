#include "convert/sinc_resampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <numeric>

#include "convert/pcm_sample.h"
#include "convert/resampler.h"
#include "convert/vector_clones.h"

namespace quenwick {
namespace {

// The prototype low-pass, in units of the lower rate's sample period: cut off at 0.468 of that
// rate (7.49 kHz at 16 kHz), Kaiser window for 82 dB. Passband ripple is about 1e-4 up to 0.4375
// (7 kHz), the stopband from 0.5 (8 kHz) at least 80 dB down.
constexpr double kCutoff = 0.468;
constexpr double kBeta = 0.1102 * (82.0 - 8.7);
// Kernel values per unit, interpolated linearly in between: the error stays near -100 dB.
constexpr int kPointsPerUnit = 256;
constexpr int kPoints = SincResampler::kHalfWidth * kPointsPerUnit;

// Filters are padded to a multiple of the dot product's step.
constexpr std::size_t kLanes = 32;

// Outputs made in one go, once their inputs and filters are known.
constexpr std::size_t kBatch = 64;

// Input is taken into the history this many samples at a time, whatever the block's size.
constexpr std::size_t kChunk = 4096;

// Room for the filters of every phase of a rate, in floats: 44.1 kHz needs 160 x 256 of them,
// 11.025 kHz 640 x 96. A rate with more phases makes each output's filter as it goes.
constexpr std::size_t kFilterRoom = std::size_t{1} << 16;

constexpr std::size_t paddedTaps(std::int64_t half) {
  return (static_cast<std::size_t>(2 * half) + kLanes - 1) / kLanes * kLanes;
}

constexpr std::size_t kLargestTaps =
    paddedTaps(static_cast<std::int64_t>(SincResampler::kHalfWidth * SincResampler::kLargestRatio));

// The rates that graphs and devices run at: their filters are made with the resampler, so that
// a change to one of them costs the thread that converts no more than a look-up.
constexpr double kCommonRates[] = {8000,  11025, 12000, 16000, 22050,  24000, 32000,
                                   44100, 48000, 88200, 96000, 176400, 192000};

// The modified Bessel function of order 0, by its power series.
double besselI0(double x) {
  double sum = 1.0;
  double term = 1.0;
  for (int k = 1; term > 1e-17 * sum; ++k) {
    const double half = x / (2.0 * k);
    term *= half * half;
    sum += term;
  }
  return sum;
}

// The kernel at 0, 1/kPointsPerUnit, ..., kHalfWidth: a sinc of the cut-off times the window.
const std::vector<double>& kernelTable() {
  static const std::vector<double> table = [] {
    std::vector<double> values(kPoints + 1);
    const double windowScale = 1.0 / besselI0(kBeta);
    for (int i = 0; i <= kPoints; ++i) {
      const double t = static_cast<double>(i) / kPointsPerUnit;
      const double x = 2.0 * kCutoff * t;
      const double sinc = i == 0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
      const double edge = t / SincResampler::kHalfWidth;
      const double window = besselI0(kBeta * std::sqrt(std::max(0.0, 1.0 - edge * edge)));
      values[i] = 2.0 * kCutoff * sinc * window * windowScale;
    }
    return values;
  }();
  return table;
}

// The kernel at `u` table points (not negative) from its centre, zero from kHalfWidth on.
double kernelAt(const std::vector<double>& table, double u) {
  if (!(u < kPoints)) return 0.0;
  const auto i = static_cast<std::size_t>(u);
  const double frac = u - static_cast<double>(i);
  return table[i] + (table[i + 1] - table[i]) * frac;
}

// Eight floats in one value, which compilers map onto whatever vector registers the target has.
using Lanes = float __attribute__((vector_size(32)));

// Four running sums of eight lanes each, combined in a fixed order: the same bits on every
// instruction set. `n` is a multiple of kLanes.
[[gnu::always_inline]] inline float dot(const float* x, const float* w, std::size_t n) {
  Lanes sum[4] = {};
  for (std::size_t j = 0; j < n; j += kLanes) {
    for (std::size_t q = 0; q < 4; ++q) {
      Lanes a;
      Lanes b;
      std::memcpy(&a, x + j + 8 * q, sizeof a);
      std::memcpy(&b, w + j + 8 * q, sizeof b);
      sum[q] += a * b;
    }
  }
  const Lanes s = (sum[0] + sum[1]) + (sum[2] + sum[3]);
  return ((s[0] + s[4]) + (s[2] + s[6])) + ((s[1] + s[5]) + (s[3] + s[7]));
}

// The samples of `count` (at most kBatch) outputs: output i weighs `taps` inputs from input[i]
// by filter[i].
QUENWICK_VECTOR_CLONES
void filterAll(const float* const* input, const float* const* filter, std::size_t taps,
               std::size_t count, std::int16_t* out) {
  float value[kBatch];
  for (std::size_t i = 0; i < count; ++i) value[i] = dot(input[i], filter[i], taps);
  for (std::size_t i = 0; i < count; ++i) out[i] = pcmSample(value[i]);
}

}  // namespace

SincResampler::SincResampler(std::size_t expectedFrames)
    : filters_(kFilterRoom),
      history_(kLargestTaps + 1 + kChunk),
      output_(static_cast<std::size_t>(static_cast<double>(expectedFrames) * 64.0) + 2) {
  kernelTable();  // made here, on the constructing thread, and never again
  for (const double rate : kCommonRates) {
    if (!configure(rate) || !everyPhase_) continue;
    std::vector<float>& filters = prepared_.emplace_back(rate, std::vector<float>()).second;
    filters.resize(static_cast<std::size_t>(den_) * taps_);
    makeEveryFilter(filters.data());
  }
  ready_ = false;
}

bool SincResampler::reset(double inputRate) {
  if (!configure(inputRate)) return false;
  const auto prepared =
      std::find_if(prepared_.begin(), prepared_.end(),
                   [inputRate](const auto& rate) { return rate.first == inputRate; });
  phases_ = prepared != prepared_.end() ? prepared->second.data() : filters_.data();
  if (everyPhase_ && prepared == prepared_.end()) makeEveryFilter(filters_.data());
  // The first output's filter reaches back taps_ - 1 samples before the stream: silence.
  held_ = taps_ - 1;
  first_ = 1 - static_cast<std::int64_t>(taps_);
  std::fill_n(history_.begin(), held_, 0.0f);
  return true;
}

void SincResampler::makeEveryFilter(float* filters) const {
  for (std::int64_t p = 0; p < den_; ++p) {
    makeFilter(static_cast<double>(p) / static_cast<double>(den_),
               filters + static_cast<std::size_t>(p) * taps_);
  }
}

bool SincResampler::configure(double inputRate) {
  const double ratio = inputRate / outRate;
  ready_ = isUsableRatio(ratio) && ratio <= kLargestRatio;
  if (!ready_) return false;
  if (inputRate == std::floor(inputRate)) {
    const auto rate = static_cast<std::int64_t>(inputRate);
    const std::int64_t common = std::gcd(rate, std::int64_t{16000});
    num_ = rate / common;
    den_ = 16000 / common;
  } else {
    den_ = std::int64_t{1} << 32;
    num_ = std::llround(std::ldexp(ratio, 32));
  }
  const bool down = num_ >= den_;
  stretch_ = down ? static_cast<double>(num_) / static_cast<double>(den_) : 1.0;
  delay_ = kHalfWidth * (down ? num_ : den_);
  half_ = (delay_ + den_ - 1) / den_;
  taps_ = paddedTaps(half_);
  index_ = 0;
  phase_ = 0;
  everyPhase_ = static_cast<std::size_t>(den_) * taps_ <= filters_.size();
  return true;
}

// Tap j weighs input centre + j + 1 + half_ - taps_, where the centre lies `phase` (in [0, 1))
// past a whole input sample. The taps sum to one, so that silence and a constant keep their level.
void SincResampler::makeFilter(double phase, float* filter) const {
  const std::vector<double>& table = kernelTable();
  // Tap j in table points from the kernel's centre: start + j * step, negative before it.
  const double step = kPointsPerUnit / stretch_;
  const double start =
      (static_cast<double>(1 + half_ - static_cast<std::int64_t>(taps_)) - phase) * step;
  double sum = 0.0;
  for (std::size_t j = 0; j < taps_; ++j) {
    const double weight = kernelAt(table, std::abs(start + static_cast<double>(j) * step));
    filter[j] = static_cast<float>(weight);
    sum += weight;
  }
  const auto scale = static_cast<float>(1.0 / sum);
  for (std::size_t j = 0; j < taps_; ++j) filter[j] *= scale;
}

const float* SincResampler::phaseFilter(std::int64_t phase) {
  if (everyPhase_) return phases_ + static_cast<std::size_t>(phase) * taps_;
  makeFilter(static_cast<double>(phase) / static_cast<double>(den_), filters_.data());
  return filters_.data();
}

std::span<const std::int16_t> SincResampler::process(std::span<const float> mono) {
  if (mono.empty() || !ready_) return {};
  const double ratio = static_cast<double>(num_) / static_cast<double>(den_);
  const auto room = static_cast<std::size_t>(static_cast<double>(mono.size()) / ratio) + 2;
  if (room > output_.size()) output_.resize(room);  // only for a block larger than expected

  const std::int64_t stepWhole = num_ / den_;
  const std::int64_t stepPart = num_ % den_;
  const std::int64_t delayWhole = delay_ / den_;
  const std::int64_t delayPart = delay_ % den_;
  // The filter's centre for the next output: its position less the delay.
  const auto centre = [&](std::int64_t& whole, std::int64_t& part) {
    whole = index_ - delayWhole;
    part = phase_ - delayPart;
    if (part < 0) {
      part += den_;
      --whole;
    }
  };
  const auto reach = static_cast<std::int64_t>(taps_) - 1 - half_;  // taps before the centre
  // A rate with too many phases has room for one filter at a time.
  const std::size_t batch = everyPhase_ ? kBatch : 1;

  std::size_t k = 0;
  for (std::size_t taken = 0; taken < mono.size();) {
    const std::size_t count = std::min(kChunk, mono.size() - taken);
    std::memcpy(history_.data() + held_, mono.data() + taken, count * sizeof(float));
    held_ += count;
    taken += count;
    const std::int64_t end = first_ + static_cast<std::int64_t>(held_);
    std::int64_t whole = 0;
    std::int64_t part = 0;
    // As the linear path: output n once a sample beyond position n * ratio has come. The
    // outputs are gathered as where they read and with which filter, then made together.
    while (index_ + 1 < end) {
      const float* input[kBatch];
      const float* filter[kBatch];
      std::size_t n = 0;
      for (; n < batch && index_ + 1 < end; ++n) {
        centre(whole, part);
        input[n] = history_.data() + (whole - reach - first_);
        filter[n] = phaseFilter(part);
        index_ += stepWhole;
        phase_ += stepPart;
        if (phase_ >= den_) {
          phase_ -= den_;
          ++index_;
        }
      }
      filterAll(input, filter, taps_, n, output_.data() + k);
      k += n;
    }
    // Keep only what a later output reads: at most taps_ + 1 samples.
    centre(whole, part);
    const auto drop = static_cast<std::size_t>(whole - reach - first_);
    held_ -= drop;
    std::memmove(history_.data(), history_.data() + drop, held_ * sizeof(float));
    first_ += static_cast<std::int64_t>(drop);
  }
  return {output_.data(), k};
}

}  // namespace quenwick
