// quenwick-steady: the agent's real run control on Windows, over a capture that always has
// something to hear, for the tests under Wine, which has no process loopback. From start() on it
// delivers a cycle of 48 kHz stereo floats every 10 ms, each sample of which converts to 0x0A0A:
// the byte that an output in text mode would turn into 0x0D 0x0A. Every half second it says that
// the format changed (to the same one), so that status lines keep coming. A test program: never
// shipped.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

#include "app/agent.h"
#include "convert/sample_layout.h"

namespace quenwick {
namespace {

constexpr std::uint32_t kRate = 48000, kFrames = 480;
// 2570.5 / 32767 of full scale: truncated to 16 bits, 2570 (0x0A0A).
constexpr float kLevel = 2570.5f / 32767.0f;

class SteadyCapture final : public Capture {
 public:
  void listen(DispatchQueue& queue, CaptureEvents& events) override {
    queue_ = &queue;
    events_ = &events;
  }
  std::variant<Resolution, CaptureFailure> resolve(const Hearing&) override {
    return Resolution::somethingToHear;
  }
  std::optional<CaptureFailure> create() override { return std::nullopt; }
  std::variant<StreamFormat, CaptureFailure> format() override { return format_; }
  std::optional<CaptureFailure> start(CycleSink& sink) override {
    thread_ = std::thread([this, &sink] {
      std::vector<float> samples(2 * kFrames, kLevel);
      const SamplePlane block{samples.data(), kFrames};
      const auto first = std::chrono::steady_clock::now();
      for (std::uint64_t n = 0; !stopping_; ++n) {
        const auto due = first + n * std::chrono::milliseconds(10);
        std::this_thread::sleep_until(due);
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch());
        sink.deliver({{&block, 1}, kFrames, format_, 1, static_cast<std::uint64_t>(ns.count())});
        if (n % 50 == 49) queue_->post([this] { events_->formatChanged(format_); });
      }
    });
    return std::nullopt;
  }
  void halt() override {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // With QUENWICK_TORN_DOWN (a path), the teardown leaves a file there: a stop that ended the
  // run as it should, not with the process.
  void teardown() override {
    halt();
    if (const char* path = std::getenv("QUENWICK_TORN_DOWN")) std::ofstream{path};
  }
  std::string silenceAdvice() const override { return {}; }

 private:
  const StreamFormat format_ = describeStream(SampleLayout::f32, kRate, 2);
  DispatchQueue* queue_ = nullptr;
  CaptureEvents* events_ = nullptr;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace
}  // namespace quenwick

int main(int argc, char** argv) {
  const quenwick::Backends backends{
      {"steady", []() -> std::variant<quenwick::OpenedCapture, quenwick::CaptureFailure> {
         return quenwick::OpenedCapture{std::make_unique<quenwick::SteadyCapture>()};
       }}};
  quenwick::finish(quenwick::runAgent(argc, argv, backends));
}
