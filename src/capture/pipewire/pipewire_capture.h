// The PipeWire backend (Linux): the capture interface in PipeWire's own terms.
//
// - Who plays: a pid is heard while the graph holds a client of it (process_match.h) that the
//   targets take, by identity and, with trees, by descent.
// - What captures: a capture node of our own (capture_node.h), fed by links from the output
//   ports of every stream of the targets (processes mode), or of every process but the targets
//   and ourselves (global mode), streams that appear later included (graph_watch.h). The
//   applications keep playing where they play; PipeWire sums the links into our inputs.
// - Its format: two planes of floats at the graph's rate; a change of rate is a change of format.
// - Each cycle goes to the sink on the delivering thread, which PipeWire calls the data thread
//   (the real-time thread of the context's data loop), with the driver's clock and the rate of
//   that very cycle (capture_channel.h).
// - Teardown removes our links and node, bounded in time.
// - Failures say what PipeWire said, with its errno text.
// - It serves where PipeWire's client library loads and a server answers on the session's socket.
#pragma once

#include <memory>

#include "capture/backend.h"

namespace quenwick {

// "pipewire": opening it loads the library and connects, one try per run.
Backend pipeWireBackend();

}  // namespace quenwick
