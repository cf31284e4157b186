#include "capture/mixing/channel_map.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace quenwick {
namespace {

// Left and right positions of SPA's channel table. Front, side, rear, wide, high, top and back
// positions all have a side; the centre ones (FC, RC, TC, TFC, TRC, FCH, BC) have none.
constexpr std::array<std::string_view, 13> kLeftSide = {
    "FL", "SL", "RL", "FLC", "TFL", "TRL", "RLC", "FLW", "FLH", "TFLC", "TSL", "LLFE", "BLC"};
constexpr std::array<std::string_view, 13> kRightSide = {
    "FR", "SR", "RR", "FRC", "TFR", "TRR", "RRC", "FRW", "FRH", "TFRC", "TSR", "RLFE", "BRC"};
// Of the sided positions, those heard from the front at full weight.
constexpr std::array<std::string_view, 12> kFront = {"FL",  "FR",  "FLC", "FRC", "FLW",  "FRW",
                                                     "FLH", "FRH", "TFL", "TFR", "TFLC", "TFRC"};
constexpr std::array<std::string_view, 4> kLowFrequency = {"LFE", "LFE2", "LLFE", "RLFE"};

bool contains(const auto& table, std::string_view position) {
  return std::find(table.begin(), table.end(), position) != table.end();
}

MixWeights unscaled(std::string_view position) {
  constexpr float kHalfPower = 0.70710678f;  // 1/√2
  if (contains(kLowFrequency, position)) return {};
  const float weight = contains(kFront, position) ? 1.0f : kHalfPower;
  switch (captureInputsFor(position)) {
    case CaptureInputs::left:
      return {weight, 0.0f};
    case CaptureInputs::right:
      return {0.0f, weight};
    case CaptureInputs::both:
      break;
  }
  return {kHalfPower, kHalfPower};
}

}  // namespace

CaptureInputs captureInputsFor(std::string_view position) {
  if (contains(kLeftSide, position)) return CaptureInputs::left;
  if (contains(kRightSide, position)) return CaptureInputs::right;
  return CaptureInputs::both;
}

MixWeights mixdownWeights(std::string_view position, const std::vector<std::string>& positions) {
  MixWeights sum;
  for (const std::string& other : positions) {
    const MixWeights w = unscaled(other);
    sum.left += w.left;
    sum.right += w.right;
  }
  const MixWeights w = unscaled(position);
  return {sum.left > 0 ? w.left / sum.left : 0.0f, sum.right > 0 ? w.right / sum.right : 0.0f};
}

}  // namespace quenwick
