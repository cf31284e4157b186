#include "capture/pipewire/link_plan.h"

#include <gtest/gtest.h>

#include <vector>

namespace quenwick::pipewire {
namespace {

constexpr std::uint32_t kCapture = 50;
constexpr std::uint32_t kCaptureFL = 51;
constexpr std::uint32_t kCaptureFR = 52;
constexpr std::int32_t kOwnPid = 999;

// A graph with every kind of object the rule has to tell apart.
class LinkPlanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Our capture node: two inputs and the monitor outputs every stream has.
    addClient(1, ClientIdentity{kOwnPid, kOwnPid, "quenwick", false});
    graph.nodes[kCapture] = {1, false};
    graph.ports[kCaptureFL] = {kCapture, false, false, "FL"};
    graph.ports[kCaptureFR] = {kCapture, false, false, "FR"};
    graph.ports[53] = {kCapture, true, true, "FL"};
    graph.ports[54] = {kCapture, true, true, "FR"};
    // A stereo player (pid 100) and another one (pid 200).
    addPlayer(10, 100, 60, {{61, "FL"}, {62, "FR"}});
    addPlayer(11, 200, 70, {{71, "FL"}, {72, "FR"}});
    // A mono player (pid 300) and a 5.1 one (pid 400).
    addPlayer(12, 300, 80, {{81, "MONO"}});
    addPlayer(13, 400, 90,
              {{91, "FL"}, {92, "FR"}, {93, "FC"}, {94, "LFE"}, {97, "SL"}, {98, "SR"}});
    // Our own process plays too (a stream of the agent's own, never tapped).
    graph.nodes[95] = {1, true};
    graph.ports[96] = {95, true, false, "FL"};
    // A pulse application (pid 500) through pipewire-pulse (pid 900).
    graph.clients[15] = {ClientIdentity{900, 500, "firefox", true}};
    graph.nodes[100] = {15, true};
    graph.ports[101] = {100, true, false, "FL"};
    graph.ports[102] = {100, true, false, "FR"};
    // A client whose info has not arrived yet.
    graph.clients[16] = {};
    graph.nodes[110] = {16, true};
    graph.ports[111] = {110, true, false, "FL"};
    // A sink (monitor outputs) and a source: devices, not streams.
    graph.nodes[120] = {kNoObject, false};
    graph.ports[121] = {120, false, false, "FL"};
    graph.ports[122] = {120, true, true, "FL"};
    graph.nodes[130] = {kNoObject, false};
    graph.ports[131] = {130, true, false, "FL"};
    // A player's input-side port and a port of a node the registry has not shown.
    graph.ports[63] = {60, false, false, "FL"};
    graph.ports[141] = {140, true, false, "FL"};
  }

  void addClient(std::uint32_t id, ClientIdentity identity) { graph.clients[id] = {identity}; }

  void addPlayer(std::uint32_t client, std::int32_t pid, std::uint32_t node,
                 std::vector<std::pair<std::uint32_t, std::string>> ports) {
    addClient(client, ClientIdentity{pid, pid, "pw-play", false});
    graph.nodes[node] = {client, true};
    for (const auto& [id, channel] : ports) graph.ports[id] = {node, true, false, channel};
  }

  LinkRule rule(bool global, std::vector<std::int32_t> pids) const {
    LinkRule r;
    r.everyProcessExceptListed = global;
    for (std::int32_t pid : pids) r.processes.push_back({pid, pid, ""});
    r.self = {kOwnPid, kOwnPid, "quenwick"};
    r.captureNodeId = kCapture;
    return r;
  }

  static PlannedLink toLeft(std::uint32_t node, std::uint32_t port) {
    return {node, port, kCapture, kCaptureFL};
  }
  static PlannedLink toRight(std::uint32_t node, std::uint32_t port) {
    return {node, port, kCapture, kCaptureFR};
  }

  GraphState graph;
};

TEST_F(LinkPlanTest, MixdownLinksOnlyTheListedProcessesChannelByChannel) {
  EXPECT_EQ(planLinks(graph, rule(false, {100})),
            (std::vector<PlannedLink>{toLeft(60, 61), toRight(60, 62)}));
  EXPECT_EQ(
      planLinks(graph, rule(false, {100, 200})),
      (std::vector<PlannedLink>{toLeft(60, 61), toRight(60, 62), toLeft(70, 71), toRight(70, 72)}));
  EXPECT_EQ(planLinks(graph, rule(false, {12345})), std::vector<PlannedLink>{});
}

TEST_F(LinkPlanTest, MonoAndSurroundPortsAreSpreadOverBothInputs) {
  EXPECT_EQ(planLinks(graph, rule(false, {300})),
            (std::vector<PlannedLink>{toLeft(80, 81), toRight(80, 81)}));
  EXPECT_EQ(
      planLinks(graph, rule(false, {400})),
      (std::vector<PlannedLink>{toLeft(90, 91), toRight(90, 92), toLeft(90, 93), toRight(90, 93),
                                toLeft(90, 94), toRight(90, 94), toLeft(90, 97), toRight(90, 98)}));
}

TEST_F(LinkPlanTest, PulseStreamsBelongToTheApplicationNotToPipewirePulse) {
  EXPECT_EQ(planLinks(graph, rule(false, {500})),
            (std::vector<PlannedLink>{toLeft(100, 101), toRight(100, 102)}));
  EXPECT_EQ(planLinks(graph, rule(false, {900})), std::vector<PlannedLink>{});
}

TEST_F(LinkPlanTest, GlobalTapsEveryStreamButTheExcludedOnesOursAndUndecidedOnes) {
  EXPECT_EQ(
      planLinks(graph, rule(true, {200, 500})),
      (std::vector<PlannedLink>{toLeft(60, 61), toRight(60, 62), toLeft(80, 81), toRight(80, 81),
                                toLeft(90, 91), toRight(90, 92), toLeft(90, 93), toRight(90, 93),
                                toLeft(90, 94), toRight(90, 94), toLeft(90, 97), toRight(90, 98)}));
}

TEST_F(LinkPlanTest, OurOwnProcessIsNeverTappedEvenWhenListed) {
  EXPECT_EQ(planLinks(graph, rule(false, {kOwnPid})), std::vector<PlannedLink>{});
  EXPECT_EQ(nodeIsTapped(95, graph.nodes[95], graph, rule(true, {})), false);
}

TEST_F(LinkPlanTest, NodesOfClientsWithoutInfoWaitUntilTheInfoArrives) {
  EXPECT_EQ(nodeIsTapped(110, graph.nodes[110], graph, rule(true, {})), std::nullopt);
  graph.clients[16].identity = ClientIdentity{600, 600, "pw-play", false};
  EXPECT_EQ(nodeIsTapped(110, graph.nodes[110], graph, rule(true, {})), true);
  EXPECT_EQ(nodeIsTapped(110, graph.nodes[110], graph, rule(true, {600})), false);
}

TEST_F(LinkPlanTest, NothingIsLinkedBeforeTheCaptureInputsExist) {
  graph.ports.erase(kCaptureFL);
  EXPECT_EQ(planLinks(graph, rule(false, {100})), (std::vector<PlannedLink>{toRight(60, 62)}));
  graph.ports.erase(kCaptureFR);
  EXPECT_EQ(planLinks(graph, rule(false, {100})), std::vector<PlannedLink>{});
}

TEST_F(LinkPlanTest, AProcessIsAnAudioProcessWhileAClientOfItExists) {
  EXPECT_TRUE(hasClientOf(graph, {100, 100, ""}));
  EXPECT_TRUE(hasClientOf(graph, {500, 500, ""}));
  EXPECT_FALSE(hasClientOf(graph, {900, 900, ""}));  // pipewire-pulse itself has no client here
  EXPECT_FALSE(hasClientOf(graph, {600, 600, ""}));  // client 16 is not known yet
  graph.clients.erase(10);
  EXPECT_FALSE(hasClientOf(graph, {100, 100, ""}));
}

}  // namespace
}  // namespace quenwick::pipewire
