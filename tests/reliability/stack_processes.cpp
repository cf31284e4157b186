#include "stack_processes.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <set>
#include <string>

namespace quenwick::reliability {
namespace {

using harness::JsonArray;
using harness::JsonValue;
using pwtest::member;

std::string stringAt(const JsonValue& object, std::initializer_list<const char*> path) {
  const JsonValue* value = member(object, path);
  return value != nullptr ? value->asString().value_or("") : "";
}

std::optional<std::int64_t> integerAt(const JsonValue& object,
                                      std::initializer_list<const char*> path) {
  return pwtest::integerOf(member(object, path));
}

}  // namespace

std::optional<pid_t> serverPid(const pwtest::PrivatePipeWire& stack) {
  const std::string path = stack.directory() + "/pipewire-0";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return std::nullopt;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  std::optional<pid_t> pid;
  ucred peer{};
  socklen_t length = sizeof peer;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.pid > 0) {
    pid = peer.pid;
  }
  close(fd);
  return pid;
}

std::optional<pid_t> sessionManagerPid(const pwtest::PrivatePipeWire& stack) {
  const auto dump = stack.dump();
  if (!dump) return std::nullopt;
  for (const JsonValue& object : *dump) {
    if (stringAt(object, {"type"}) != "PipeWire:Interface:Client") continue;
    if (stringAt(object, {"info", "props", "application.process.binary"}) != "wireplumber") {
      continue;
    }
    if (auto pid = integerAt(object, {"info", "props", "pipewire.sec.pid"})) {
      return static_cast<pid_t>(*pid);
    }
  }
  return std::nullopt;
}

AgentTraces agentTraces(const JsonArray& dump) {
  AgentTraces traces;
  std::set<std::int64_t> captureNodes;
  for (const JsonValue& object : dump) {
    const std::string type = stringAt(object, {"type"});
    if (type == "PipeWire:Interface:Node" &&
        stringAt(object, {"info", "props", "node.name"}) == "quenwick-capture") {
      ++traces.nodes;
      if (auto id = integerAt(object, {"id"})) captureNodes.insert(*id);
    } else if (type == "PipeWire:Interface:Client" &&
               stringAt(object, {"info", "props", "application.process.binary"}) == "quenwick") {
      ++traces.clients;
    }
  }
  for (const JsonValue& object : dump) {
    if (stringAt(object, {"type"}) != "PipeWire:Interface:Link") continue;
    const auto in = integerAt(object, {"info", "input-node-id"});
    const auto out = integerAt(object, {"info", "output-node-id"});
    if ((in && captureNodes.contains(*in)) || (out && captureNodes.contains(*out))) {
      ++traces.links;
    }
  }
  return traces;
}

std::size_t countOfType(const JsonArray& dump, const std::string& type) {
  return static_cast<std::size_t>(std::count_if(
      dump.begin(), dump.end(), [&](const JsonValue& o) { return stringAt(o, {"type"}) == type; }));
}

}  // namespace quenwick::reliability
