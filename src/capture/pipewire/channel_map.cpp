#include "capture/pipewire/channel_map.h"

#include <algorithm>
#include <array>

namespace quenwick::pipewire {
namespace {

// Left and right positions of SPA's channel table. Front, side, rear, wide, high, top and back
// positions all have a side; the centre ones (FC, RC, TC, TFC, TRC, FCH, BC) have none.
constexpr std::array<std::string_view, 13> kLeftSide = {
    "FL", "SL", "RL", "FLC", "TFL", "TRL", "RLC", "FLW", "FLH", "TFLC", "TSL", "LLFE", "BLC"};
constexpr std::array<std::string_view, 13> kRightSide = {
    "FR", "SR", "RR", "FRC", "TFR", "TRR", "RRC", "FRW", "FRH", "TFRC", "TSR", "RLFE", "BRC"};

bool contains(const auto& table, std::string_view position) {
  return std::find(table.begin(), table.end(), position) != table.end();
}

}  // namespace

CaptureInputs captureInputsFor(std::string_view position) {
  if (contains(kLeftSide, position)) return CaptureInputs::left;
  if (contains(kRightSide, position)) return CaptureInputs::right;
  return CaptureInputs::both;
}

}  // namespace quenwick::pipewire
