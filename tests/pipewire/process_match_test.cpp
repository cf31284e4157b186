#include "capture/pipewire/process_match.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

namespace quenwick::pipewire {
namespace {

ClientIdentity native(std::int32_t securityPid, std::optional<std::int32_t> applicationPid = {}) {
  return {securityPid, applicationPid, "", false};
}

ClientIdentity pulse(std::int32_t serverPid, std::int32_t applicationPid, std::string binary) {
  return {serverPid, applicationPid, std::move(binary), true};
}

TEST(ProcessMatch, NativeClientsBelongToTheirSocketPeer) {
  const ProcessIdentity player{4242, 4242, "pw-play"};
  EXPECT_TRUE(clientBelongsTo(native(4242), player));
  EXPECT_FALSE(clientBelongsTo(native(4243), player));
  // A native client's own claim is not trusted over the kernel's pid.
  EXPECT_FALSE(clientBelongsTo(native(4243, 4242), player));
  // Without a kernel pid (another protocol), the claim is all there is.
  EXPECT_TRUE(clientBelongsTo({std::nullopt, 4242, "", false}, player));
}

TEST(ProcessMatch, PulseClientsBelongToTheApplicationNotTheServer) {
  const ProcessIdentity pulseServer{900, 900, "pipewire-pulse"};
  const ProcessIdentity browser{5000, 5000, "firefox"};
  const ClientIdentity client = pulse(900, 5000, "firefox");
  EXPECT_TRUE(clientBelongsTo(client, browser));
  EXPECT_FALSE(clientBelongsTo(client, pulseServer));
}

TEST(ProcessMatch, SandboxedPulseClientsMatchByNamespacePidAndBinary) {
  const ProcessIdentity sandboxed{7000, 2, "chrome"};
  EXPECT_TRUE(clientBelongsTo(pulse(900, 2, "chrome"), sandboxed));
  EXPECT_FALSE(clientBelongsTo(pulse(900, 2, "slack"), sandboxed));
  EXPECT_FALSE(clientBelongsTo(pulse(900, 3, "chrome"), sandboxed));
  // Outside a namespace the namespace pid is the pid itself: no second way to match.
  EXPECT_FALSE(clientBelongsTo(pulse(900, 2, "chrome"), ProcessIdentity{7000, 7000, "chrome"}));
  // comm holds 15 characters of a longer binary name.
  EXPECT_TRUE(clientBelongsTo(pulse(900, 2, "a-very-long-binary-name"),
                              ProcessIdentity{7000, 2, "a-very-long-bin"}));
}

TEST(ProcessMatch, NoPidMatchesNothing) {
  EXPECT_FALSE(clientBelongsTo(native(0), ProcessIdentity{0, 0, ""}));
  EXPECT_FALSE(clientBelongsTo({std::nullopt, std::nullopt, "", true}, ProcessIdentity{1, 1, ""}));
  EXPECT_FALSE(clientBelongsTo(native(-5), ProcessIdentity{-5, -5, ""}));
}

TEST(ProcessMatch, ParsesPidsStrictly) {
  EXPECT_EQ(parsePid("1234"), 1234);
  EXPECT_EQ(parsePid(nullptr), std::nullopt);
  EXPECT_EQ(parsePid(""), std::nullopt);
  EXPECT_EQ(parsePid("0"), std::nullopt);
  EXPECT_EQ(parsePid("-3"), std::nullopt);
  EXPECT_EQ(parsePid("12x"), std::nullopt);
  EXPECT_EQ(parsePid(" 12"), std::nullopt);
  EXPECT_EQ(parsePid("99999999999"), std::nullopt);
}

TEST(ProcessMatch, ReadsTheInnermostNamespacePid) {
  EXPECT_EQ(innermostNamespacePid("Name:\tx\nNSpid:\t7000\t12\t2\nPPid:\t1\n"), 2);
  EXPECT_EQ(innermostNamespacePid("Name:\tx\nNSpid:\t7000\n"), 7000);
  EXPECT_EQ(innermostNamespacePid("Name:\tx\n"), std::nullopt);
}

TEST(ProcessMatch, IdentifiesThisProcessFromProc) {
  const ProcessIdentity self = identifyProcess(static_cast<std::int32_t>(getpid()));
  std::ifstream comm("/proc/self/comm");
  std::string expected;
  std::getline(comm, expected);
  EXPECT_EQ(self.pid, getpid());
  EXPECT_EQ(self.command, expected);
  EXPECT_GT(self.namespacePid, 0);
  // A pid that does not exist keeps its pid and matches by pid alone.
  const ProcessIdentity gone = identifyProcess(0x3ffffff0);
  EXPECT_EQ(gone.namespacePid, gone.pid);
  EXPECT_EQ(gone.command, "");
}

}  // namespace
}  // namespace quenwick::pipewire
