// Unit tests of the PipeWire layer: what gets linked to the capture node (channel positions,
// client ownership, the link plan).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "capture/pipewire/capture_channel.h"
#include "capture/pipewire/channel_map.h"
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

// Each cycle reaches the block as the two planes it was captured in, with its time on the host
// clock and the driver's, and its format at the graph's rate then.
TEST(CaptureChannel, HandsTheBlockEachCycleWithItsTimeAndFormat) {
  CaptureChannel channel;
  std::vector<std::string> seen;
  const AudioDeviceIOBlock block =
      [&](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp* time,
          AudioBufferList*, const AudioTimeStamp*, const AudioStreamBasicDescription* format) {
        std::ostringstream line;
        for (const AudioBuffer& buffer : buffersOf(*input)) {
          line << buffer.mNumberChannels << "x" << buffer.mDataByteSize << "@"
               << static_cast<const float*>(buffer.mData)[0] << " ";
        }
        line << time->mHostTime << " " << time->mSampleTime << " " << time->mFlags << " "
             << format->mSampleRate << " " << format->mFormatFlags << " "
             << format->mChannelsPerFrame << " " << format->mBytesPerFrame;
        seen.push_back(line.str());
      };
  const float left[3] = {0.25f}, right[3] = {-0.5f};
  channel.deliver({left, right, 3, 48000, 1000, 10});  // no block yet: dropped
  channel.attach(block);
  channel.deliver({left, right, 3, 44100, 2000, 20});
  EXPECT_EQ(seen, (std::vector<std::string>{"1x12@0.25 1x12@-0.5 2000 20 3 44100 41 2 4"}));
}

// Detaching the IO block returns only once a cycle the data thread is delivering has left it, and
// no cycle reaches it after.
TEST(CaptureChannel, DetachWaitsForADeliveryUnderWay) {
  using namespace std::chrono_literals;
  CaptureChannel channel;
  std::atomic<int> entered{0}, left{0};
  const AudioDeviceIOBlock block = [&](auto&&...) {
    ++entered, std::this_thread::sleep_for(100ms), ++left;
  };
  const float silence[4] = {};
  const CapturedCycle cycle{silence, silence, 4, 48000, 0, 0};
  channel.attach(block);
  std::thread data([&] { channel.deliver(cycle); });
  while (entered == 0) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(channel.detach(5s));
  EXPECT_EQ(left.load(), 1) << "detached while the block still ran";
  data.join();
  channel.deliver(cycle);
  EXPECT_EQ(entered.load(), 1);
}

}  // namespace
}  // namespace quenwick::pipewire
