// Unit tests of the PipeWire layer: what gets linked to the capture node (channel positions,
// client ownership, the link plan).
#include <gtest/gtest.h>
#include <pipewire/pipewire.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "capture/mixing/channel_map.h"
#include "capture/pipewire/capture_channel.h"
#include "capture/pipewire/graph_watch.h"
#include "capture/pipewire/link_plan.h"

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

// The host's processes as a table.
struct Processes final : ProcessView {
  std::vector<ProcessIdentity> table;
  std::optional<ProcessIdentity> process(std::int32_t pid) const override {
    for (const ProcessIdentity& p : table) {
      if (p.pid == pid) return p;
    }
    return std::nullopt;
  }
  std::vector<ProcessIdentity> all() const override { return table; }
};

TEST(ProcessMatch, AClientBelongsToTheProcessesItsTrustworthyPidNames) {
  // Two sandboxes of the same browser and one of another application know themselves as 2.
  Processes host;
  host.table = {{2, 2, "kthreadd", 1},  {4242, 4242, "pw-play", 2}, {5000, 5000, "firefox", 3},
                {7000, 2, "chrome", 4}, {7001, 2, "chrome", 5},     {7100, 2, "a-very-long-bin", 6},
                {8000, 2, "slack", 7}};
  const std::tuple<ClientIdentity, std::vector<TargetProcess>> table[] = {
      {native(4242), {{4242, 2}}},
      {native(4243, 4242), {}},                        // the kernel's pid beats the claim
      {{std::nullopt, 4242, "", false}, {{4242, 2}}},  // no kernel pid: the claim is all there is
      {pulse(5000, "firefox"), {{5000, 3}}},
      {pulse(5000, "firefox-bin"), {{5000, 3}}},     // a binary that renamed its thread
      {pulse(2, "chrome"), {{7000, 4}, {7001, 5}}},  // a namespace pid, and the binary agrees
      {pulse(2, "slack"), {{8000, 7}}},
      {pulse(2, "a-very-long-binary-name"), {{7100, 6}}},  // comm keeps 15 characters
      {pulse(2, ""), {{2, 1}}},                            // no binary to tell a sandbox by
      {pulse(3, "chrome"), {}},
      {{std::nullopt, std::nullopt, "", true}, {}},
  };
  for (const auto& row : table) {
    const auto& [client, processes] = row;
    EXPECT_EQ(processesOf(client, host), processes) << "row " << &row - table;
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
  const auto self = systemProcesses().process(getpid());
  ASSERT_TRUE(self.has_value());
  EXPECT_EQ(std::tie(self->pid, self->namespacePid, self->command, self->startTime),
            std::tuple(getpid(), getpid(), comm, readProcessFacts(getpid())->startTime));
  EXPECT_EQ(systemProcesses().process(0x3ffffff0), std::nullopt);
}

constexpr std::uint32_t kCapture = 50, kLeft = 51, kRight = 52;
constexpr std::int32_t kOwnPid = 999;

const auto L = [](std::uint32_t n, std::uint32_t p) { return PlannedLink{n, p, kCapture, kLeft}; };
const auto R = [](std::uint32_t n, std::uint32_t p) { return PlannedLink{n, p, kCapture, kRight}; };

// The listed pids are the targets, each the process that started at time 1.
LinkRule ruleFor(bool global, const std::vector<std::int32_t>& pids) {
  const auto isTarget = [pids](const TargetProcess& process) {
    return process.startTime == 1 && std::find(pids.begin(), pids.end(), process.pid) != pids.end();
  };
  return {global, isTarget, {kOwnPid, 1}, kCapture};
}

// Every kind of object the rule has to tell apart. Every process started at time 1, but 666, a
// stranger that took the pid of a process that ended.
GraphState exampleGraph() {
  GraphState g;
  const auto player = [&](std::uint32_t client, std::optional<ClientIdentity> owner,
                          std::uint32_t node, std::map<std::uint32_t, std::string> ports) {
    std::vector<TargetProcess> processes;
    if (owner) {
      const std::int32_t pid = owner->viaPulse ? *owner->applicationPid : *owner->securityPid;
      processes.push_back({pid, pid == 666 ? 2u : 1u});
    }
    g.clients[client] = {owner, processes};
    g.nodes[node] = {client, true, false, true};
    for (const auto& [id, channel] : ports) g.ports[id] = {node, true, false, channel, ""};
  };
  player(10, native(100), 60, {{61, "FL"}, {62, "FR"}});
  player(11, native(200), 70, {{71, "FL"}, {72, "FR"}});
  player(12, native(300), 80, {{81, "MONO"}});
  player(13, native(400), 90, {{91, "FL"}, {92, "FR"}, {93, "FC"}, {94, "LFE"}, {95, "RL"}});
  player(14, pulse(500, "firefox"), 100, {{101, "FL"}, {102, "FR"}});
  player(18, native(666), 130, {{131, "FR"}});     // the stranger
  player(1, native(kOwnPid), 105, {{106, "FL"}});  // a stream of our own
  player(16, std::nullopt, 110, {{111, "FL"}});    // its client's info is not in yet
  player(19, native(700), 150, {{151, "FL"}, {152, "FR"}});
  g.nodes[150].relay = true;  // a loopback's playback side
  player(20, native(800), 160, {{161, "FL"}});
  g.nodes[160].infoKnown = false;  // a relay or not: global mode cannot tell yet
  player(21, native(901), 170, {{171, "FL"}});
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

TEST(LinkPlan, LinksEachHeardStreamPortToTheInputsOfItsSide) {
  // Every process but the targets, or only those; the links planned.
  const std::tuple<bool, std::vector<std::int32_t>, std::vector<PlannedLink>> table[] = {
      {false, {200, 100}, {L(60, 61), R(60, 62), L(70, 71), R(70, 72)}},
      {false, {300}, {L(80, 81), R(80, 81)}},
      {false, {400}, {}},  // a surround stream: no mix inputs yet
      {false, {500}, {L(100, 101), R(100, 102)}},
      {false, {700}, {L(150, 151), R(150, 152)}},  // a relay, when its process is a target
      // pipewire-pulse itself, a process without streams, ourselves even when listed, the
      // process whose pid the stranger took.
      {false, {900, 12345, kOwnPid, 666}, {}},
      {true,
       {200, 400, 500},
       {L(60, 61), R(60, 62), L(80, 81), R(80, 81), R(130, 131), L(170, 171)}},
  };
  for (const auto& [global, pids, links] : table) {
    EXPECT_EQ(planLinks(exampleGraph(), ruleFor(global, pids)).links, links)
        << (global ? "all but " : "only ") << ::testing::PrintToString(pids);
  }
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

// What the graph watch asks of the server, as lines.
struct RecordingServer final : GraphServer {
  void bind(std::uint32_t id, bool client) override {
    asked.push_back("bind " + std::string(client ? "client " : "node ") + std::to_string(id));
  }
  void unbind(std::uint32_t id) override { asked.push_back("unbind " + std::to_string(id)); }
  bool link(const PlannedLink& link) override {
    asked.push_back("link " + ::testing::PrintToString(link));
    return true;
  }
  void unlink(const PlannedLink& link) override {
    asked.push_back("unlink " + ::testing::PrintToString(link));
  }
  std::vector<std::string> taken() { return std::exchange(asked, {}); }
  std::vector<std::string> asked;
};

// A registry event's properties.
struct Props {
  Props(std::initializer_list<std::pair<const char*, const char*>> pairs) {
    for (const auto& [key, value] : pairs) items.push_back(SPA_DICT_ITEM_INIT(key, value));
    dict = SPA_DICT_INIT(items.data(), static_cast<std::uint32_t>(items.size()));
  }
  std::vector<spa_dict_item> items;
  spa_dict dict;
};

void addPort(GraphWatch& watch, std::uint32_t id, const char* node, const char* direction,
             const char* channel) {
  const Props port{{PW_KEY_NODE_ID, node},
                   {PW_KEY_PORT_DIRECTION, direction},
                   {PW_KEY_AUDIO_CHANNEL, channel},
                   {PW_KEY_PORT_NAME, "port"}};
  watch.globalAdded(id, PW_TYPE_INTERFACE_Port, &port.dict);
}

// The watch driven by the registry's events as a server sends them, in an order a server may
// choose: whole requests after each step. A stream waits for its client's info; a port that goes
// takes its link with it, also when a new port of the same node and channel takes its id; a link
// the server refused is not asked for again while its ports stay; a client that goes takes its
// streams' links; whoever follows the process list hears of each client that brings a process
// with it or takes one away; and whoever follows who plays hears of a linked stream that runs.
TEST(GraphWatch, FollowsTheRegistryEventByEvent) {
  RecordingServer server;
  Processes host;
  host.table = {{100, 100, "pw-play", 1}, {200, 200, "pw-play", 1}};
  GraphWatch watch(server, host);
  int listChanges = 0;
  watch.onProcessesChanged([&] { ++listChanges; });
  watch.setRule(ruleFor(false, {100}));
  addPort(watch, kLeft, "50", "in", "FL");
  addPort(watch, kRight, "50", "in", "FR");
  const Props client{{PW_KEY_SEC_PID, "100"}},
      stream{{PW_KEY_MEDIA_CLASS, "Stream/Output/Audio"}, {PW_KEY_CLIENT_ID, "10"}};
  watch.globalAdded(10, PW_TYPE_INTERFACE_Client, &client.dict);
  watch.globalAdded(60, PW_TYPE_INTERFACE_Node, &stream.dict);
  addPort(watch, 61, "60", "out", "FL");
  addPort(watch, 62, "60", "out", "FR");
  EXPECT_EQ(server.taken(), (std::vector<std::string>{"bind client 10", "bind node 60"}));
  watch.clientInfo(10, &client.dict);
  EXPECT_EQ(server.taken(), (std::vector<std::string>{"link 60:61->50:51", "link 60:62->50:52"}));
  EXPECT_EQ(listChanges, 1);
  // A linked stream plays only while its node runs.
  std::vector<std::vector<std::int32_t>> told;
  watch.followPlaying([&](const std::vector<std::int32_t>& pids) { told.push_back(pids); });
  watch.nodeRunning(60, true);
  watch.nodeRunning(60, false);
  EXPECT_EQ(told, (std::vector<std::vector<std::int32_t>>{{}, {100}, {}}));

  watch.globalRemoved(61);
  addPort(watch, 61, "60", "out", "FL");
  EXPECT_EQ(server.taken(), (std::vector<std::string>{"unlink 60:61->50:51", "link 60:61->50:51"}));

  watch.linkRefused({60, 62, kCapture, kRight});
  watch.linkGone({60, 62, kCapture, kRight});
  const Props other{{PW_KEY_SEC_PID, "200"}};
  watch.globalAdded(11, PW_TYPE_INTERFACE_Client, &other.dict);
  watch.clientInfo(11, &other.dict);
  EXPECT_EQ(server.taken(), (std::vector<std::string>{"bind client 11"}));
  EXPECT_EQ(listChanges, 2);
  watch.globalRemoved(62);
  addPort(watch, 62, "60", "out", "FR");
  EXPECT_EQ(server.taken(), (std::vector<std::string>{"link 60:62->50:52"}));

  watch.globalRemoved(10);
  EXPECT_EQ(server.taken(),
            (std::vector<std::string>{"unbind 10", "unlink 60:61->50:51", "unlink 60:62->50:52"}));
  EXPECT_EQ(listChanges, 3);
}

// A sink that takes its time with each cycle.
// A PipeWire that runs for screen sharing only has neither a sink nor a stream that plays: the
// graph carries no audio, and PulseAudio is looked for beside it.
TEST(GraphWatch, TellsWhetherTheGraphCarriesAudio) {
  RecordingServer server;
  Processes host;
  GraphWatch watch(server, host);
  const struct {
    std::uint32_t id;
    const char* mediaClass;  // null: the global goes
    bool carries;
  } steps[] = {{1, "Video/Source", false}, {2, "Stream/Input/Audio", false},
               {3, "Audio/Source", false}, {4, "Audio/Sink", true},
               {4, nullptr, false},        {5, "Stream/Output/Audio", true}};
  for (const auto& step : steps) {
    if (step.mediaClass == nullptr) {
      watch.globalRemoved(step.id);
    } else {
      const Props node{{PW_KEY_MEDIA_CLASS, step.mediaClass}};
      watch.globalAdded(step.id, PW_TYPE_INTERFACE_Node, &node.dict);
    }
    EXPECT_EQ(carriesAudio(watch.state()), step.carries) << step.id;
  }
}

struct SlowSink final : CycleSink {
  void deliver(const CapturedCycle&) noexcept override {
    ++entered, std::this_thread::sleep_for(std::chrono::milliseconds(100)), ++left;
  }
  std::atomic<int> entered{0}, left{0};
};

// Detaching the sink returns only once a cycle under way on the delivering thread has left it, and
// no cycle reaches it after.
TEST(CaptureChannel, DetachWaitsForADeliveryUnderWay) {
  using namespace std::chrono_literals;
  CaptureChannel channel;
  SlowSink sink;
  auto& [entered, left] = sink;
  const float sound[4] = {0.5f, 0.5f, 0.5f, 0.5f};
  const CapturedPlanes cycle{sound, sound, 4, 48000, 0};
  channel.attach(sink);
  std::thread data([&] { channel.deliver(cycle); });
  while (entered == 0) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(channel.detach(5s));
  EXPECT_EQ(left.load(), 1) << "detached while the block still ran";
  data.join();
  channel.deliver(cycle);
  EXPECT_EQ(entered.load(), 1);
}

// What reached a sink: each cycle's time, length, first sample and generation.
struct Heard {
  std::uint64_t ms;
  std::uint32_t frames;
  float first;
  std::uint64_t generation;
  friend bool operator==(const Heard&, const Heard&) = default;
};
void PrintTo(const Heard& h, std::ostream* os) {
  *os << h.ms << "ms:" << h.frames << "x" << h.first << "/g" << h.generation;
}
struct RecordingSink final : CycleSink {
  void deliver(const CapturedCycle& cycle) noexcept override {
    const SamplePlane& left = cycle.planes[0];
    heard.push_back({*cycle.timeNs / 1'000'000, left.frames,
                     static_cast<const float*>(left.data)[0], cycle.formatGeneration});
  }
  std::vector<Heard> heard;
};

// Cycles of the delivering thread (c: at a time in ms, of a length, every sample one value, at a
// rate) and the loop and main threads' calls between them (k: a link, a: attach), and what the sink
// hears. For 200 ms from a link, zeros wait for the next cycle and give way to one that starts
// before their middle (a driver move's second run of the same time); cycles from the first link
// on are kept until the sink is attached and reach it first, with their times and formats, as
// far as they fit.
TEST(CaptureChannel, KeepsTheCyclesBeforeTheSinkAndLetsARerunReplaceZeros) {
  struct Step {
    char what;
    std::uint64_t ms = 0;
    float value = 0;
    std::uint32_t frames = 480;
    std::uint32_t rate = 48000;
  };
  constexpr std::uint32_t kMost = CaptureChannel::kKeptFrames;
  // clang-format off
  const std::tuple<const char*, std::vector<Step>, std::vector<Heard>> table[] = {
      {"zeros",
       {{'a'}, {'c', 0, 0}, {'k'}, {'c', 10, 0}, {'c', 20, .5f}, {'c', 30, 0}, {'c', 30, .25f},
        {'c', 40, 0}, {'c', 44, .5f}, {'c', 50, 0}, {'c', 59, .5f}, {'c', 70, 0}, {'c', 210, 0},
        {'c', 210, .5f}},
       {{0, 480, 0, 1}, {10, 480, 0, 1}, {20, 480, .5f, 1}, {30, 480, .25f, 1},
        {44, 480, .5f, 1}, {50, 480, 0, 1}, {59, 480, .5f, 1}, {70, 480, 0, 1},
        {210, 480, 0, 1}, {210, 480, .5f, 1}}},
      {"kept",
       {{'c', 0, .5f}, {'k'}, {'c', 10, .5f}, {'c', 20, 0}, {'c', 20, .25f, 441, 44100},
        {'a'}, {'c', 30, .5f, 441, 44100}},
       {{10, 480, .5f, 1}, {20, 441, .25f, 2}, {30, 441, .5f, 2}}},
      {"full",
       {{'k'}, {'c', 0, .5f, kMost - 1000}, {'c', 1000, .25f, 2000}, {'c', 1100, .25f, 500},
        {'a'}, {'c', 1200, .5f}},
       {{0, kMost - 1000, .5f, 1}, {1200, 480, .5f, 1}}},
      {"not kept", {{'c', 0, .5f}, {'a'}, {'c', 10, .5f}}, {{10, 480, .5f, 1}}},
  };
  // clang-format on
  for (const auto& [name, steps, heard] : table) {
    CaptureChannel channel;
    RecordingSink sink;
    for (const Step& step : steps) {
      if (step.what == 'k') channel.linking();
      if (step.what == 'a') channel.attach(sink);
      if (step.what != 'c') continue;
      const std::vector<float> plane(step.frames, step.value);
      channel.deliver({plane.data(), plane.data(), step.frames, step.rate, step.ms * 1'000'000});
    }
    EXPECT_EQ(sink.heard, heard) << name;
  }
}

}  // namespace
}  // namespace quenwick::pipewire
