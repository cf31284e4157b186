// Unit tests of the PipeWire layer: what gets linked to the capture node (channel positions,
// client ownership, the link plan), and the way from PipeWire's data thread to the block (the
// packet ring, the IO thread that takes over while the host stalls, and the whole path under
// load).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <numeric>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "capture/pipewire/channel_map.h"
#include "capture/pipewire/io_thread.h"
#include "capture/pipewire/link_plan.h"
#include "convert/capture_callback.h"
#include "convert/sample_layout.h"
#include "support/allocation_count.h"

namespace quenwick::pipewire {

void PrintTo(const PlannedLink& l, std::ostream* os) {
  *os << l.outputNode << ":" << l.outputPort << "->" << l.inputNode << ":" << l.inputPort;
}

namespace {

TEST(ChannelMap, EachPositionFeedsItsSideAndTheRestFeedBoth) {
  const std::pair<const char*, CaptureInputs> table[] = {
      {"FL SL RL FLC TFL TRL RLC FLW FLH TFLC TSL LLFE BLC", CaptureInputs::left},
      {"FR SR RR FRC TFR TRR RRC FRW FRH TFRC TSR RLFE BRC", CaptureInputs::right},
      // Centre, LFE, mono, auxiliary and unknown positions; SPA's names are upper case.
      {"FC RC TC TFC TRC FCH BC LFE LFE2 MONO AUX0 AUX63 UNK NA fl", CaptureInputs::both}};
  for (const auto& [positions, inputs] : table) {
    std::istringstream words(positions);
    for (std::string word; words >> word;) EXPECT_EQ(captureInputsFor(word), inputs) << word;
  }
  EXPECT_EQ(captureInputsFor(""), CaptureInputs::both);
}

ClientIdentity native(std::int32_t securityPid, std::optional<std::int32_t> claimed = {}) {
  return {securityPid, claimed, "", false};
}
ClientIdentity pulse(std::int32_t claimed, std::string binary) {
  return {900, claimed, std::move(binary), true};  // 900: pipewire-pulse, the socket's peer
}

TEST(ProcessMatch, AClientBelongsToTheProcessItsTrustworthyPidNames) {
  const ProcessIdentity player{4242, 4242, "pw-play"}, sandboxed{7000, 2, "chrome"};
  const std::tuple<ClientIdentity, ProcessIdentity, bool> table[] = {
      {native(4242), player, true},
      {native(4243, 4242), player, false},              // the kernel's pid beats the client's claim
      {{std::nullopt, 4242, "", false}, player, true},  // no kernel pid: the claim is all there is
      {pulse(5000, "firefox"), {5000, 5000, "firefox"}, true},
      {pulse(5000, "firefox"), {900, 900, "pipewire-pulse"}, false},
      // A sandbox's namespace pid (often 2) is shared, so the binary must agree too.
      {pulse(2, "chrome"), sandboxed, true},
      {pulse(2, "slack"), sandboxed, false},
      {pulse(3, "chrome"), sandboxed, false},
      {pulse(2, ""), {7000, 2, ""}, false},  // /proc could not tell the binary
      {pulse(2, "a-very-long-binary-name"), {7000, 2, "a-very-long-bin"}, true},  // comm: 15
      {native(0), {0, 0, ""}, false},
      {{std::nullopt, std::nullopt, "", true}, {1, 1, ""}, false},
  };
  for (const auto& row : table) {
    const auto& [client, process, belongs] = row;
    EXPECT_EQ(clientBelongsTo(client, process), belongs) << "row " << &row - table;
  }
}

TEST(ProcessMatch, ReadsPidsStrictlyAndTheInnermostNamespacePid) {
  for (const char* bad : {"", "0", "-3", "12x", " 12", "99999999999"})
    EXPECT_EQ(parsePid(bad), std::nullopt) << bad;
  EXPECT_EQ(parsePid(nullptr), std::nullopt);
  EXPECT_EQ(parsePid("1234"), 1234);
  EXPECT_EQ(innermostNamespacePid("Name:\tx\nNSpid:\t7000\t12\t2\nPPid:\t1\n"), 2);
  EXPECT_EQ(innermostNamespacePid("Name:\tx\n"), std::nullopt);
  std::string comm;
  std::getline(std::ifstream("/proc/self/comm"), comm);
  const ProcessIdentity self = identifyProcess(getpid()), gone = identifyProcess(0x3ffffff0);
  EXPECT_EQ(std::tie(self.pid, self.namespacePid, self.command),
            std::tuple(getpid(), getpid(), comm));
  // A process that /proc cannot show still matches by its pid.
  EXPECT_EQ(std::tie(gone.namespacePid, gone.command), std::tuple(0x3ffffff0, ""));
}

constexpr std::uint32_t kCapture = 50, kLeft = 51, kRight = 52;
constexpr std::int32_t kOwnPid = 999;

const auto L = [](std::uint32_t n, std::uint32_t p) { return PlannedLink{n, p, kCapture, kLeft}; };
const auto R = [](std::uint32_t n, std::uint32_t p) { return PlannedLink{n, p, kCapture, kRight}; };

// The processes of these tests, as the system would tell of them: each started at time 1, its
// parent init, but for a child and a grandchild of 200; 666 is a stranger that took the pid of a
// target which ended, and so started later.
std::optional<ProcessFacts> factsOf(std::int32_t pid) {
  const std::map<std::int32_t, std::int32_t> parents = {{201, 200}, {202, 201}};
  return ProcessFacts{pid == 666 ? 2u : 1u, parents.contains(pid) ? parents.at(pid) : 1};
}

LinkRule ruleFor(bool global, const std::vector<std::int32_t>& pids, bool tree = false) {
  LinkRule rule{global, {}, {}, {kOwnPid, kOwnPid, "quenwick"}, kCapture};
  rule.targets.tree = tree;
  rule.targets.read = factsOf;
  for (const std::int32_t pid : pids) {
    rule.processes.push_back({pid, pid, ""});
    rule.targets.processes.push_back({pid, 1});
  }
  return rule;
}

// Every kind of object the rule has to tell apart.
GraphState exampleGraph() {
  GraphState g;
  const auto player = [&](std::uint32_t client, std::optional<ClientIdentity> owner,
                          std::uint32_t node, std::map<std::uint32_t, std::string> ports) {
    g.clients[client] = {owner};
    g.nodes[node] = {client, true, false, true};
    for (const auto& [id, channel] : ports) g.ports[id] = {node, true, false, channel, ""};
  };
  player(10, native(100), 60, {{61, "FL"}, {62, "FR"}});
  player(11, native(200), 70, {{71, "FL"}, {72, "FR"}});
  player(12, native(300), 80, {{81, "MONO"}});
  player(13, native(400), 90, {{91, "FL"}, {92, "FR"}, {93, "FC"}, {94, "LFE"}, {95, "RL"}});
  player(14, pulse(500, "firefox"), 100, {{101, "FL"}, {102, "FR"}});
  player(17, native(202), 120, {{121, "FL"}});     // a grandchild of 200
  player(18, native(666), 130, {{131, "FR"}});     // the stranger
  player(1, native(kOwnPid), 105, {{106, "FL"}});  // a stream of our own
  player(16, std::nullopt, 110, {{111, "FL"}});    // its client's info is not in yet
  player(19, native(700), 150, {{151, "FL"}, {152, "FR"}});
  g.nodes[150].relay = true;  // a loopback's playback side
  player(20, native(800), 160, {{161, "FL"}});
  g.nodes[160].infoKnown = false;  // a relay or not: global mode cannot tell yet
  // Our capture stream and its inputs; a player's input and monitor; a port of a node that the
  // registry has not shown.
  g.nodes[kCapture] = {1, false, false, true};
  g.ports.insert({{kLeft, {kCapture, false, false, "FL", "input_FL"}},
                  {kRight, {kCapture, false, false, "FR", "input_FR"}},
                  {63, {60, false, false, "FL", ""}},
                  {64, {60, true, true, "FL", ""}},
                  {141, {140, true, false, "FL", ""}}});
  return g;
}

TEST(LinkPlan, LinksEachTappedStreamPortToTheInputsOfItsSide) {
  // Every process but the listed ones, or only those, with their trees or not; the links planned.
  const std::tuple<bool, std::vector<std::int32_t>, bool, std::vector<PlannedLink>> table[] = {
      {false, {200, 100}, false, {L(60, 61), R(60, 62), L(70, 71), R(70, 72)}},
      {false, {200}, true, {L(70, 71), R(70, 72), L(120, 121)}},
      {false, {300}, false, {L(80, 81), R(80, 81)}},
      {false, {400}, false, {}},  // a surround stream: no mix inputs yet
      {false, {500}, true, {L(100, 101), R(100, 102)}},
      {false, {700}, false, {L(150, 151), R(150, 152)}},  // a relay, when its process is listed
      // pipewire-pulse itself, a process without streams, ourselves even when listed, a stranger
      // with a target's pid.
      {false, {900, 12345, kOwnPid, 666}, true, {}},
      {true,
       {200, 400, 500},
       false,
       {L(60, 61), R(60, 62), L(80, 81), R(80, 81), L(120, 121), R(130, 131)}},
      {true, {200, 400, 500}, true, {L(60, 61), R(60, 62), L(80, 81), R(80, 81), R(130, 131)}},
  };
  for (const auto& [global, pids, tree, links] : table) {
    EXPECT_EQ(planLinks(exampleGraph(), ruleFor(global, pids, tree)).links, links)
        << (global ? "all but " : "only ") << ::testing::PrintToString(pids) << tree;
  }
}

TEST(LinkPlan, AClientsStreamsWaitForItsInfoAndLinkToEachCaptureInputThatExists) {
  GraphState graph = exampleGraph();
  const LinkRule rule = ruleFor(false, {600, 100});
  EXPECT_FALSE(hasClientOf(graph, rule.processes[0]));
  graph.clients[16].identity = native(600);
  EXPECT_TRUE(hasClientOf(graph, rule.processes[0]));
  EXPECT_EQ(planLinks(graph, rule).links, (std::vector{L(60, 61), R(60, 62), L(110, 111)}));
  graph.ports.erase(kLeft);
  EXPECT_EQ(planLinks(graph, rule).links, (std::vector{R(60, 62)}));
}

// Each channel of a surround stream asks for the mix input of its position in its layout, whose
// weights, front 1, centre and surround 1/√2, LFE none, add up to 1 on each side; once the inputs
// exist, each channel is linked to its own.
TEST(LinkPlan, ASurroundStreamIsMixedDownWithWeightsThatAddUpToOneOnEachSide) {
  GraphState graph = exampleGraph();
  const LinkRule rule = ruleFor(false, {400});
  const auto plan = planLinks(graph, rule);
  const std::tuple<std::string, float, float> wanted[] = {{"FL", 0.41421356f, 0},
                                                          {"FR", 0, 0.58578644f},
                                                          {"FC", 0.29289322f, 0.41421356f},
                                                          {"LFE", 0, 0},
                                                          {"RL", 0.29289322f, 0}};
  ASSERT_EQ(plan.missingInputs.size(), std::size(wanted));
  for (std::size_t i = 0; i < std::size(wanted); ++i) {
    const auto& [position, left, right] = wanted[i];
    const MixInput& input = plan.missingInputs[i];
    EXPECT_EQ(input.name, "mix_" + position + "_of_FC_FL_FR_LFE_RL");
    EXPECT_EQ(input.position, position);
    EXPECT_NEAR(input.weights.left, left, 1e-6) << position;
    EXPECT_NEAR(input.weights.right, right, 1e-6) << position;
    graph.ports[200 + i] = {kCapture, false, false, position, input.name};
  }
  const auto linked = planLinks(graph, rule);
  EXPECT_EQ(linked.links, (std::vector<PlannedLink>{{90, 91, kCapture, 200},
                                                    {90, 92, kCapture, 201},
                                                    {90, 93, kCapture, 202},
                                                    {90, 94, kCapture, 203},
                                                    {90, 95, kCapture, 204}}));
  EXPECT_TRUE(linked.missingInputs.empty());
  // 7.1 and a quadraphonic layout: full scale in every channel stays full scale on each side.
  const std::vector<std::string> layouts[] = {{"FL", "FR", "FC", "LFE", "RL", "RR", "SL", "SR"},
                                              {"FL", "FR", "RL", "RR"}};
  for (const auto& layout : layouts) {
    MixWeights sum;
    for (const auto& position : layout) {
      sum.left += mixdownWeights(position, layout).left;
      sum.right += mixdownWeights(position, layout).right;
    }
    EXPECT_NEAR(sum.left, 1, 1e-6);
    EXPECT_NEAR(sum.right, 1, 1e-6);
  }
}

using namespace std::chrono_literals;

// The host's end and ours of a pipe, or of a local stream socket pair.
struct Ends {
  explicit Ends(bool socket = false) {
    int fds[2] = {-1, -1};
    EXPECT_EQ(socket ? socketpair(AF_UNIX, SOCK_STREAM, 0, fds) : pipe(fds), 0);
    reader = fds[0], writer = fds[1];
  }
  ~Ends() { close(reader), close(writer); }
  int reader, writer;
};

void drain(int fd) {
  fcntl(fd, F_SETFL, O_NONBLOCK);
  char bytes[65536];
  while (read(fd, bytes, sizeof bytes) > 0) continue;
}

// Watches this thread, makes one allocation that the compiler cannot leave out and says how many
// the count saw.
std::size_t watchAndAllocateOnce() {
  testing::watched = true;
  const std::size_t before = testing::allocationsCounted;
  int* volatile kept = new int(1);
  delete kept;
  return testing::allocationsCounted - before;
}

// Each packet takes its size and a 4-byte header of the 64 bytes; one that does not fit is dropped
// and the ones taken come out whole and in order.
TEST(PacketRing, TakesAPacketOnlyWhenItAndItsHeaderFit) {
  PacketRing ring(64, 40);
  std::vector<std::uint8_t> out(40);
  EXPECT_FALSE(ring.push(out.data(), 0));
  EXPECT_FALSE(ring.push(out.data(), 41));  // larger than a packet may be
  // A push of N bytes, in two parts as a cycle is pushed, notes N, or -N when dropped; a pop (0)
  // notes the size that came out.
  std::vector<int> noted;
  for (const int step : {28, 29, 28, 1, 0, 24, 5, 0, 1, 0, 0, 0, 40, 17, 0, 0}) {
    std::vector<std::uint8_t> packet(step);
    std::iota(packet.begin(), packet.end(), static_cast<std::uint8_t>(step));
    const auto* p = packet.data();
    if (step > 0) {
      noted.push_back(ring.push(p, step / 3, p + step / 3, step - step / 3) ? step : -step);
    } else {
      noted.push_back(static_cast<int>(ring.pop(out.data())));
      for (int i = 0; i < noted.back(); ++i) EXPECT_EQ(out[i], noted.back() + i) << i;
    }
  }
  EXPECT_EQ(noted, (std::vector{28, -29, 28, -1, 28, 24, -5, 28, 1, 24, 1, 0, 40, -17, 40, 0}));
  EXPECT_EQ(ring.droppedPackets(), 4u);
}

// A producer and a consumer at full speed: every packet that arrives is whole and in the order
// pushed, until each one pushed has arrived or been counted as dropped.
TEST(PacketRing, KeepsPacketsWholeAndInOrderBetweenTwoThreads) {
  constexpr std::uint32_t kPackets = 100000;
  PacketRing ring(4096, 256);
  std::thread producer([&] {
    std::uint32_t words[64];
    for (std::uint32_t n = 0; n < kPackets; ++n) {
      std::fill_n(words, 64, n);
      ring.push(words, (1 + n % 64) * 4);
    }
  });
  std::uint32_t out[64], received = 0, broken = 0;
  for (std::int64_t last = -1; received + ring.droppedPackets() < kPackets;) {
    const std::uint32_t words = ring.pop(out) / 4;
    if (words == 0) continue;
    broken += words != 1 + out[0] % 64 || out[0] <= last ||
              static_cast<std::uint32_t>(std::count(out, out + words, out[0])) != words;
    last = out[0];
    ++received;
  }
  producer.join();
  EXPECT_EQ(broken, 0u);
}

// Waits for `done`, at most 10 s: only so that a fault fails rather than hangs.
void waitFor(auto done) {
  for (int i = 0; i < 10000 && !done(); ++i) std::this_thread::sleep_for(1ms);
}

// What the block saw of one run: a plane of samples for each input buffer, and the sample time.
struct BlockRun {
  std::vector<std::vector<float>> planes;
  double sampleTime = 0;
  bool operator==(const BlockRun&) const = default;
};

// Frames [first, first + count) of a stream whose left sample n is n and right sample -n.
BlockRun frames(std::uint32_t first, std::uint32_t count) {
  BlockRun run{{std::vector<float>(count), {}}, static_cast<double>(first)};
  std::iota(run.planes[0].begin(), run.planes[0].end(), static_cast<float>(first));
  for (const float s : run.planes[0]) run.planes[1].push_back(-s);
  return run;
}

void deliver(CaptureChannel& channel, std::uint32_t first, std::uint32_t count) {
  const BlockRun cycle = frames(first, count);
  channel.deliver(cycle.planes[0].data(), cycle.planes[1].data(), count, 48000);
}

// A block that notes each run, in the order they end. It holds the cycle that starts at frame
// `hold` while `holding`.
struct Recorder {
  AudioDeviceIOBlock block() {
    return [this](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp* time,
                  auto&&...) {
      BlockRun run{{}, time->mSampleTime};
      for (const AudioBuffer& buffer : buffersOf(*input)) {
        const auto* samples = static_cast<const float*>(buffer.mData);
        run.planes.emplace_back(samples, samples + buffer.mDataByteSize / sizeof(float));
      }
      holding = run.planes[0][0] == hold;
      while (holding) std::this_thread::sleep_for(1ms);
      std::lock_guard lock(mutex);
      runs.push_back(std::move(run));
      ++done;
    };
  }

  const float hold = -1;
  std::atomic<bool> holding{false};
  std::atomic<std::size_t> done{0};
  std::mutex mutex{};
  std::vector<BlockRun> runs{};
};

// Each cycle reaches the block once and in capture order, as a plane for each channel with the
// frames before it as its sample time. The data thread runs the block while the output can be
// written without waiting (a pipe); our thread does for an output that cannot (-1), in packets of
// at most 8192 frames. Then the two moments of a switch back to the data thread, held open: a cycle
// queued a moment ago that our thread has not yet woken for, and our thread still running the last
// cycle it took. The next cycle must queue behind it although the pipe is empty: run at once, it
// would end first.
TEST(IoThread, HandsEachCycleToTheBlockOnceInOrderAndOneAtATime) {
  using Cycles = std::vector<std::pair<std::uint32_t, std::uint32_t>>;  // first frame, frames
  const Cycles three = {{0, 2}, {2, 3}, {5, 10000}};
  // A pipe; which cycle is queued first (-2: none; -1: one, not yet taken; 0: one being run);
  // the cycles delivered; the runs the block sees.
  const std::tuple<bool, float, Cycles, std::vector<BlockRun>> table[] = {
      {true, -2, three, {frames(0, 2), frames(2, 3), frames(5, 10000)}},
      {false, -2, three, {frames(0, 2), frames(2, 3), frames(5, 8192), frames(8197, 1808)}},
      {true, -1, {{128, 128}}, {frames(0, 128), frames(128, 128)}},
      {true, 0, {{128, 128}}, {frames(0, 128), frames(128, 128)}},
  };
  for (const auto& [pipe, hold, cycles, runs] : table) {
    SCOPED_TRACE(hold);
    Ends host;
    Recorder recorder{hold};
    CaptureChannel channel;
    IoThread io(channel, recorder.block(), pipe ? host.writer : -1);
    io.start();
    const BlockRun queued = frames(0, 128);  // pushed as the data thread pushes a cycle
    if (hold > -2) channel.ring.push(queued.planes[0].data(), 512, queued.planes[1].data(), 512);
    if (hold == 0) channel.doorbell.ring();
    waitFor([&] { return recorder.holding == (hold == 0); });
    for (const auto& [first, count] : cycles) deliver(channel, first, count);
    recorder.holding = false;
    channel.doorbell.ring();  // the wake-up on its way to a queued cycle
    waitFor([&] { return recorder.done >= runs.size(); });
    EXPECT_TRUE(io.stop(5s));
    EXPECT_EQ(recorder.runs, runs);
  }
}

// What the data thread could not write is kept for our thread, which writes it before any later
// cycle: a cycle that comes before our thread has woken queues behind it, though the pipe may
// have room again by then. (Our thread starts only at the end, so the order cannot be luck.)
TEST(IoThread, BytesKeptFromAFullPipeGoOutBeforeTheNextCycle) {
  Ends host;
  ASSERT_GT(fcntl(host.writer, F_SETPIPE_SZ, 4096), 0);
  PcmOutput pcm(host.writer, nullptr);
  CaptureChannel channel;
  // Each cycle writes a third as many words as it has frames, all holding its first sample.
  IoThread io(
      channel,
      [&](const AudioTimeStamp*, const AudioBufferList* input, auto&&...) {
        const auto* samples = static_cast<const float*>(input->mBuffers[0].mData);
        pcm.write(std::vector<std::int16_t>(input->mBuffers[0].mDataByteSize / sizeof(float) / 3,
                                            static_cast<std::int16_t>(samples[0])));
      },
      host.writer);
  const std::vector<char> filler(4000, 'x');
  ASSERT_EQ(write(host.writer, filler.data(), filler.size()), 4000);
  const std::vector<float> first(3000, 1.0f), second(300, 2.0f);
  io.receive(first.data(), first.data(), 3000, 48000);  // finds no room: kept
  drain(host.reader);
  io.receive(second.data(), second.data(), 300, 48000);  // finds room
  io.start();
  EXPECT_TRUE(io.stop(5s));

  std::vector<std::int16_t> written(1100 + 1);
  EXPECT_EQ(read(host.reader, written.data(), written.size() * 2), 1100 * 2);
  written.pop_back();
  std::vector<std::int16_t> expected(1000, 1);
  expected.resize(1100, 2);
  EXPECT_EQ(written, expected);
}

// A host that stopped reading must not hold up teardown.
TEST(IoThread, StopGivesUpOnABlockThatDoesNotReturn) {
  Recorder recorder{0};
  CaptureChannel channel;
  IoThread io(channel, recorder.block(), -1);
  io.start();
  deliver(channel, 0, 1);
  waitFor([&] { return recorder.holding.load(); });
  EXPECT_FALSE(io.stop(50ms));
  recorder.holding = false;
  waitFor([&] { return io.finished(); });
}

// Stopping or destroying the IO proc returns only once a block the data thread is running has
// returned, and no cycle reaches it after.
TEST(IoThread, EndingWaitsForTheBlockOnTheDataThread) {
  for (const bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destroyed" : "stopped");
    Ends host;
    CaptureChannel channel;
    std::atomic<int> entered{0}, left{0};
    const auto block = [&](auto&&...) { ++entered, std::this_thread::sleep_for(100ms), ++left; };
    auto io = std::make_unique<IoThread>(channel, block, host.writer);
    io->start();
    std::thread data([&] { deliver(channel, 0, 1); });
    waitFor([&] { return entered > 0; });
    EXPECT_TRUE(destroy ? (io.reset(), true) : io->stop(5s));
    EXPECT_EQ(left.load(), 1) << "ended while the block still ran";
    data.join();
    deliver(channel, 1, 1);
    EXPECT_EQ(entered.load(), 1);
  }
}

// 10,000 cycles through the channel into the real capture callback while the host now keeps up
// and now stalls: both threads take turns at the block, which sees every cycle in order and
// never on two threads at once, and neither thread allocates once warm.
TEST(NoAllocation, ThePipeWirePathKeepsOrderAndAllocatesNothingOnceWarm) {
  constexpr std::uint32_t kLargest = CaptureChannel::kMaxPacketBytes / 8;
  Ends host;
  ASSERT_GT(fcntl(host.writer, F_SETPIPE_SZ, 32768), 0);  // small, so the host's pauses fill it
  FormatHandover handover;
  handover.publish({describeStream(SampleLayout::planar, 48000, 2), 48000 / 16000.0});
  PcmOutput pcm(host.writer, nullptr);
  CaptureCallback callback(handover, pcm);
  const auto dataThread = std::this_thread::get_id();
  std::atomic<bool> watch{false};
  std::atomic<int> inside{0}, overlaps{0}, ranOn{0};  // ranOn: 1 the data thread, 2 ours
  std::atomic<std::size_t> ioControl{0};
  float next = 0;  // the cycle due; it and the count below belong to whoever holds the block
  int misordered = 0;
  CaptureChannel channel;
  IoThread io(
      channel,
      [&](const AudioTimeStamp*, const AudioBufferList* input, auto&&...) {
        overlaps += inside++ != 0;
        const bool ours = std::this_thread::get_id() != dataThread;
        if (ours && watch && !testing::watched) ioControl = watchAndAllocateOnce();
        const float cycle = *static_cast<const float*>(input->mBuffers[0].mData);
        misordered += cycle != next;
        next = cycle + 1;
        callback(input);
        if (watch) ranOn |= ours ? 2 : 1;
        --inside;
      },
      host.writer);
  io.start();
  // The host keeps up for 240 cycles, then stops reading for 60 (long enough to fill the pipe,
  // short enough for the ring), so both threads take the block however loaded the machine is.
  std::atomic<bool> done{false}, stalled{false};
  std::thread reader([&] {
    while (!done) {
      std::this_thread::sleep_for(200us);
      if (!stalled) drain(host.reader);
    }
  });

  std::vector<float> samples(2 * kLargest, 0.5f);
  std::mt19937 random(5);
  std::size_t before = 0, dataControl = 0;
  for (int n = 0; n < 10200; ++n) {
    if (n == 200) {  // warm: the largest cycle has grown what the callback keeps
      before = testing::allocationsCounted;
      dataControl = watchAndAllocateOnce();
      watch = true;
    }
    stalled = n % 300 >= 240;
    const auto r = static_cast<std::uint32_t>(random());
    samples[0] = static_cast<float>(n);
    channel.deliver(samples.data(), samples.data() + kLargest,
                    r % 16 == 0 || n < 10 ? kLargest : 1 + r % 1024, 48000);
    std::this_thread::sleep_for(200us);
  }
  testing::watched = false;
  stalled = false;
  waitFor([&] { return channel.ring.empty(); });
  EXPECT_TRUE(io.stop(5s));
  const std::size_t counted = testing::allocationsCounted - before;
  done = true;
  reader.join();

  EXPECT_EQ((std::vector{dataControl, ioControl.load(), counted}),
            (std::vector<std::size_t>{1, 1, 2}))
      << "one allocation counted on each thread, then none by the path once warm";
  EXPECT_EQ(ranOn.load(), 3) << "not both threads ran the block";
  // Not a cycle dropped, nor run out of order or beside another.
  EXPECT_EQ(std::tuple(overlaps.load(), misordered, next), std::tuple(0, 0, 10200.0f));
}

}  // namespace
}  // namespace quenwick::pipewire
