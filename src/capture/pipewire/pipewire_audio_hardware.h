// The audio hardware interface on a PipeWire server (Linux).
//
// How the operations map:
// - process object (id2p): a pid is an audio process while the graph holds a client of it; the
//   object stands for that process (pid and start time), so a later process with the same pid
//   gets another one. Object ids are ours, stable for the run.
// - process list (prs#): the objects of every process with a client in the graph, announced to
//   its listeners whenever a client brings a process; a process object's pid (ppid).
// - process tap: our capture node plus a link rule that feeds it every audio output stream of
//   the description's processes (mixdown), or of every process but theirs and our own (global),
//   including streams that appear later. Writing the tap's description (tdsc) changes those
//   processes: the agent follows its targets through the process list and writes it, as on Core
//   Audio. The applications keep playing where they play; PipeWire sums the links into our inputs.
// - aggregate device: accepts the one tap by its UUID; its nominal rate is the graph's rate,
//   which is the tap's format rate.
// - tap format: non-interleaved float, two channels, at the graph's rate.
// - IO proc: one captured cycle per call, on PipeWire's data thread, as a list of two float
//   planes with the cycle's time (the driver's clock) and its format (the graph's rate then).
// - destroy calls: remove our links and node from the graph, bounded in time.
//
// Statuses are Core Audio's own codes; see pipewire_status.h.
#pragma once

#include <memory>

#include "capture/audio_hardware.h"

namespace quenwick {

std::unique_ptr<AudioHardware> makePipeWireAudioHardware();

}  // namespace quenwick
