#include "capture/pulseaudio/sink_input_plan.h"

#include <algorithm>
#include <array>
#include <string>

namespace quenwick::pulseaudio {

bool isHeard(const SinkInputRecord& input, const HearingRule& rule) {
  const bool ofATarget = std::any_of(input.processes.begin(), input.processes.end(), rule.isTarget);
  if (!rule.everyProcessButTargets) return ofATarget;
  return !input.ofAModule && !ofATarget;
}

std::string_view positionName(pa_channel_position_t position) {
  // PulseAudio's positions in its own order, from MONO (0) to TOP_REAR_CENTER.
  static constexpr std::array<std::string_view, 12> kFirst = {
      "MONO", "FL", "FR", "FC", "RC", "RL", "RR", "LFE", "FLC", "FRC", "SL", "SR"};
  static constexpr std::array<std::string_view, 7> kTop = {"TC",  "TFL", "TFR", "TFC",
                                                           "TRL", "TRR", "TRC"};
  static constexpr std::array<std::string_view, 32> kAux = {
      "AUX0",  "AUX1",  "AUX2",  "AUX3",  "AUX4",  "AUX5",  "AUX6",  "AUX7",
      "AUX8",  "AUX9",  "AUX10", "AUX11", "AUX12", "AUX13", "AUX14", "AUX15",
      "AUX16", "AUX17", "AUX18", "AUX19", "AUX20", "AUX21", "AUX22", "AUX23",
      "AUX24", "AUX25", "AUX26", "AUX27", "AUX28", "AUX29", "AUX30", "AUX31"};
  const int at = position;
  if (at >= PA_CHANNEL_POSITION_AUX0 && at <= PA_CHANNEL_POSITION_AUX31) {
    return kAux[at - PA_CHANNEL_POSITION_AUX0];
  }
  if (at >= PA_CHANNEL_POSITION_TOP_CENTER && at <= PA_CHANNEL_POSITION_TOP_REAR_CENTER) {
    return kTop[at - PA_CHANNEL_POSITION_TOP_CENTER];
  }
  if (at >= PA_CHANNEL_POSITION_MONO && at < PA_CHANNEL_POSITION_AUX0) return kFirst[at];
  return "UNK";
}

std::vector<MixWeights> sideWeights(const pa_channel_map& map) {
  std::vector<std::string> positions;
  for (unsigned channel = 0; channel < map.channels; ++channel) {
    positions.emplace_back(positionName(map.map[channel]));
  }
  std::vector<MixWeights> weights;
  for (const std::string& position : positions) {
    if (positions.size() > 2) {
      weights.push_back(mixdownWeights(position, positions));
      continue;
    }
    switch (captureInputsFor(position)) {
      case CaptureInputs::left:
        weights.push_back({1.0f, 0.0f});
        break;
      case CaptureInputs::right:
        weights.push_back({0.0f, 1.0f});
        break;
      case CaptureInputs::both:
        weights.push_back({1.0f, 1.0f});
        break;
    }
  }
  return weights;
}

}  // namespace quenwick::pulseaudio
