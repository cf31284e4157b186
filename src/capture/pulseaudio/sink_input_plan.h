// What the PulseAudio backend records, decided apart from the server: which sink inputs are
// heard, by the processes they belong to, and how each channel of their sink reaches the
// capture's two sides.
//
// A sink input names its process only through the properties its client declared
// ("application.process.id" and "application.process.binary"): PulseAudio passes them on
// unchecked, so the pid is the client's word for it, and a sandboxed client's is a pid of its own
// namespace. processesOf() resolves both as it does for PipeWire's pulse clients.
#pragma once

#include <pulse/channelmap.h>

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "capture/mixing/channel_map.h"
#include "capture/process_targets.h"

namespace quenwick::pulseaudio {

struct SinkInputRecord {
  std::uint32_t sink = 0;
  // Played by a module of the server (a loopback, a combined sink) rather than by a client: it
  // carries on sound that is heard where it came from, or sound of no application.
  bool ofAModule = false;
  bool corked = false;
  std::vector<TargetProcess> processes;  // the processes its client declared
};

struct HearingRule {
  bool everyProcessButTargets = false;  // global mode: every application but the targets
  std::function<bool(const TargetProcess&)> isTarget;
};

// Whether the rule hears the sink input.
bool isHeard(const SinkInputRecord& input, const HearingRule& rule);

// PipeWire's name of a PulseAudio channel position ("FL", "LFE", "AUX3"): the channel map's rule
// speaks those.
std::string_view positionName(pa_channel_position_t position);

// Each channel's weights on the two sides, in the map's order: one or two channels go straight
// through, bit for bit; more are mixed down by their positions.
std::vector<MixWeights> sideWeights(const pa_channel_map& map);

}  // namespace quenwick::pulseaudio
