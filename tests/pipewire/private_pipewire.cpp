#include "private_pipewire.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

namespace quenwick::pwtest {
namespace {

using namespace std::chrono_literals;
using harness::AgentProcess;
using harness::JsonArray;
using harness::JsonValue;

std::string typeOf(const JsonValue& object) {
  const JsonValue* type = object.find("type");
  return type != nullptr ? type->asString().value_or("") : "";
}

bool isSink(const JsonArray& dump, std::optional<std::int64_t> node) {
  for (const JsonValue& object : dump) {
    if (typeOf(object) != "PipeWire:Interface:Node" || integerOf(object.find("id")) != node) {
      continue;
    }
    const JsonValue* mediaClass = member(object, {"info", "props", "media.class"});
    return mediaClass != nullptr && mediaClass->asString() == "Audio/Sink";
  }
  return false;
}

bool hasDefaultSink(const JsonArray& dump) {
  for (const JsonValue& object : dump) {
    if (typeOf(object) != "PipeWire:Interface:Metadata") continue;
    const JsonValue* metadata = object.find("metadata");
    if (metadata == nullptr || !metadata->isArray()) continue;
    for (const JsonValue& entry : *metadata->array()) {
      const JsonValue* key = entry.find("key");
      if (key != nullptr && key->asString() == "default.audio.sink") return true;
    }
  }
  return false;
}

}  // namespace

const JsonValue* member(const JsonValue& object, std::initializer_list<const char*> path) {
  const JsonValue* at = &object;
  for (const char* key : path) {
    if (at == nullptr) return nullptr;
    at = at->find(key);
  }
  return at;
}

std::optional<std::int64_t> integerOf(const JsonValue* value) {
  if (value == nullptr) return std::nullopt;
  if (auto number = value->asInteger()) return number;
  if (auto text = value->asString()) {
    char* end = nullptr;
    const long long parsed = std::strtoll(text->c_str(), &end, 10);
    if (!text->empty() && *end == '\0') return parsed;
  }
  return std::nullopt;
}

std::string findProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

std::unique_ptr<PrivatePipeWire> PrivatePipeWire::start(std::string* error) {
  std::unique_ptr<PrivatePipeWire> stack(new PrivatePipeWire);
  char pattern[] = "/tmp/quenwick-pw-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    *error = "mkdtemp failed";
    return nullptr;
  }
  stack->directory_ = pattern;
  chmod(pattern, 0700);
  const std::string state = stack->directory_ + "/state";
  const std::string config = stack->directory_ + "/config";
  std::filesystem::create_directories(state);
  std::filesystem::create_directories(config);
  const std::string bus = "unix:path=" + stack->directory_ + "/bus";
  stack->environment_ = {
      "XDG_RUNTIME_DIR=" + stack->directory_,
      // Both win over XDG_RUNTIME_DIR in libpipewire; pin them to this stack as well.
      "PIPEWIRE_RUNTIME_DIR=" + stack->directory_,
      "PIPEWIRE_REMOTE=pipewire-0",
      "XDG_STATE_HOME=" + state,
      "XDG_CONFIG_HOME=" + config,
      "DBUS_SESSION_BUS_ADDRESS=" + bus,
      "PIPEWIRE_LOG_SYSTEMD=false",
  };

  for (const char* program : {"dbus-daemon", "pipewire", "wireplumber", "pw-dump", "pw-play"}) {
    if (findProgram(program).empty()) {
      *error = std::string(program) + " is not installed";
      return nullptr;
    }
  }
  stack->bus_ = stack->spawn("dbus-daemon", {"--session", "--nofork", "--address=" + bus});
  if (!stack->bus_) {
    *error = "cannot start dbus-daemon";
    return nullptr;
  }
  for (auto deadline = std::chrono::steady_clock::now() + 5s;
       !std::filesystem::exists(stack->directory_ + "/bus");) {
    if (std::chrono::steady_clock::now() > deadline) {
      *error = "the session bus did not come up";
      return nullptr;
    }
    std::this_thread::sleep_for(10ms);
  }
  stack->server_ = stack->spawn("pipewire", {"-c", QUENWICK_PIPEWIRE_TEST_CONF});
  for (auto deadline = std::chrono::steady_clock::now() + 5s;
       !std::filesystem::exists(stack->directory_ + "/pipewire-0");) {
    if (!stack->server_ || std::chrono::steady_clock::now() > deadline) {
      *error = "pipewire did not come up: " + (stack->server_ ? stack->server_->err() : "");
      return nullptr;
    }
    std::this_thread::sleep_for(10ms);
  }
  stack->sessionManager_ = stack->spawn("wireplumber", {});
  if (!stack->sessionManager_ || !stack->waitFor(hasDefaultSink, 10s)) {
    *error = "wireplumber did not choose the test sink";
    return nullptr;
  }
  return stack;
}

PrivatePipeWire::~PrivatePipeWire() {
  // The session manager first, the bus last: each one's clients go before it.
  for (auto* process : {&sessionManager_, &server_, &bus_}) {
    if (*process) {
      (*process)->sendSignal(SIGTERM);
      (*process)->wait(3s);
      process->reset();
    }
  }
  if (!directory_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
}

std::unique_ptr<AgentProcess> PrivatePipeWire::spawn(const std::string& program,
                                                     const std::vector<std::string>& args,
                                                     harness::StdinMode stdinMode) const {
  harness::SpawnOptions options;
  options.stdinMode = stdinMode;
  options.environment = environment_;
  std::string ignored;
  return AgentProcess::spawn(findProgram(program), args, options, &ignored);
}

std::unique_ptr<AgentProcess> PrivatePipeWire::play(const std::string& file) const {
  return spawn("pw-play", {file});
}

std::optional<JsonArray> PrivatePipeWire::dump() const {
  auto process = spawn("pw-dump", {});
  if (!process || process->wait(10s) != harness::ExitStatus::exitedWith(0)) return std::nullopt;
  auto parsed = harness::parseJson(process->out());
  if (!parsed || !parsed->isArray()) return std::nullopt;
  return *parsed->array();
}

bool PrivatePipeWire::waitFor(const std::function<bool(const JsonArray&)>& ready,
                              std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (auto graph = dump(); graph && ready(*graph)) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

bool PrivatePipeWire::waitForPlayer(pid_t pid, std::chrono::milliseconds timeout,
                                    bool needStream) const {
  return waitFor(
      [&](const JsonArray& graph) {
        const ProcessObjects objects = objectsOf(graph, pid);
        if (objects.clients.empty()) return false;
        if (!needStream) return true;
        for (const JsonValue& object : graph) {
          const auto id = integerOf(object.find("id"));
          if (typeOf(object) != "PipeWire:Interface:Link" || !id) continue;
          // A link into the sink, not only into an agent that taps the player.
          if (std::find(objects.nodes.begin(), objects.nodes.end(),
                        integerOf(member(object, {"info", "output-node-id"}))) !=
                  objects.nodes.end() &&
              isSink(graph, integerOf(member(object, {"info", "input-node-id"})))) {
            return true;
          }
        }
        return false;
      },
      timeout);
}

bool PrivatePipeWire::setSetting(const std::string& key, const std::string& value) const {
  auto process = spawn("pw-metadata", {"-n", "settings", "0", key, value});
  return process && process->wait(10s) == harness::ExitStatus::exitedWith(0);
}

ProcessObjects objectsOf(const JsonArray& dump, pid_t pid) {
  ProcessObjects objects;
  for (const JsonValue& object : dump) {
    if (typeOf(object) != "PipeWire:Interface:Client") continue;
    if (integerOf(member(object, {"info", "props", "pipewire.sec.pid"})) == pid) {
      objects.clients.push_back(*integerOf(object.find("id")));
    }
  }
  for (const JsonValue& object : dump) {
    if (typeOf(object) != "PipeWire:Interface:Node") continue;
    auto client = integerOf(member(object, {"info", "props", "client.id"}));
    if (client && std::find(objects.clients.begin(), objects.clients.end(), *client) !=
                      objects.clients.end()) {
      objects.nodes.push_back(*integerOf(object.find("id")));
    }
  }
  for (std::int64_t node : objects.nodes) {
    for (std::int64_t link : linksInto(dump, node)) objects.linksIn.push_back(link);
  }
  return objects;
}

std::vector<std::int64_t> linksInto(const JsonArray& dump, std::int64_t node) {
  std::vector<std::int64_t> links;
  for (const JsonValue& object : dump) {
    if (typeOf(object) != "PipeWire:Interface:Link") continue;
    if (integerOf(member(object, {"info", "input-node-id"})) == node) {
      links.push_back(*integerOf(object.find("id")));
    }
  }
  return links;
}

bool hasObject(const JsonArray& dump, std::int64_t id) {
  return std::any_of(dump.begin(), dump.end(),
                     [id](const JsonValue& object) { return integerOf(object.find("id")) == id; });
}

}  // namespace quenwick::pwtest
