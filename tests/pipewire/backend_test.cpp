// The PipeWire layer called directly, the way the start-up code calls it, against a private
// server: what each operation returns and what reaches the IO block and the listeners.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>

#include "capture/pipewire/pipewire_audio_hardware.h"
#include "stack_test.h"
#include "test_audio.h"

namespace quenwick::pwtest {
namespace {

using namespace std::chrono_literals;

constexpr auto kId2p = globalAddress(kAudioHardwarePropertyTranslatePIDToProcessObject);
constexpr auto kTfmt = globalAddress(kAudioTapPropertyFormat);
constexpr auto kNsrt = globalAddress(kAudioDevicePropertyNominalSampleRate);
const std::string kTapUuid = "0F8E4C5A-1B2C-4D3E-8F90-A1B2C3D4E5F6";

// Holds what the layer posts until the test runs it, as the main queue would.
class RecordingQueue : public DispatchQueue {
 public:
  void post(std::function<void()> job) override {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  std::size_t pending() {
    std::lock_guard lock(mutex_);
    return jobs_.size();
  }
  void runAll() {
    std::vector<std::function<void()>> jobs;
    {
      std::lock_guard lock(mutex_);
      jobs.swap(jobs_);
    }
    for (auto& job : jobs) job();
  }

 private:
  std::mutex mutex_;
  std::vector<std::function<void()>> jobs_;
};

class Backend : public StackTest {
 protected:
  void SetUp() override {
    StackTest::SetUp();
    // This process talks to the private server itself.
    for (const std::string& entry : stack().environment()) {
      const auto equals = entry.find('=');
      setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
    hardware_ = makePipeWireAudioHardware();
  }

  OSStatus processObject(std::int32_t pid, AudioObjectID& object) {
    std::uint32_t size = sizeof object;
    object = kAudioObjectUnknown;
    return hardware_->getPropertyData(kAudioObjectSystemObject, kId2p, sizeof pid, &pid, &size,
                                      &object);
  }

  OSStatus tapFormat(AudioObjectID tap, AudioStreamBasicDescription& format) {
    std::uint32_t size = sizeof format;
    format = {};
    return hardware_->getPropertyData(tap, kTfmt, 0, nullptr, &size, &format);
  }

  static TapDescription describeTap(TapDescription::Kind kind, std::vector<AudioObjectID> ids) {
    TapDescription description;
    description.kind = kind;
    description.processes = std::move(ids);
    description.name = "Quenwick tap";
    description.isPrivate = true;
    description.uuid = kTapUuid;
    return description;
  }

  static AggregateDeviceDescription describeDevice(const std::string& tapUuid) {
    return {
        "Quenwick capture", "6A1C2B3D-0000-4000-8000-000000000001", true, true, {{tapUuid, true}}};
  }

  std::unique_ptr<AudioHardware> hardware_;
};

TEST_F(Backend, ResolvesPlayersAndCarriesTheirSoundToTheIoBlock) {
  ASSERT_TRUE(writeFloatWav(file("music.wav"), randomStereo(20 * kTestRate, 8)));
  auto player = stack().play(file("music.wav"));
  ASSERT_TRUE(player && stack().waitForPlayer(player->pid(), 10s));

  AudioObjectID playerObject = 0;
  ASSERT_EQ(processObject(player->pid(), playerObject), kAudioHardwareNoError);
  EXPECT_NE(playerObject, kAudioObjectUnknown);
  AudioObjectID again = 0;
  EXPECT_EQ(processObject(player->pid(), again), kAudioHardwareNoError);
  EXPECT_EQ(again, playerObject);  // stable for the run
  AudioObjectID none = 0;
  EXPECT_EQ(processObject(1, none), kAudioHardwareNoError);  // init plays nothing here
  EXPECT_EQ(none, kAudioObjectUnknown);
  std::uint32_t shortSize = 2;
  std::int32_t pid = player->pid();
  EXPECT_NE(hardware_->getPropertyData(kAudioObjectSystemObject, kId2p, sizeof pid, &pid,
                                       &shortSize, &none),
            kAudioHardwareNoError);

  AudioObjectID tap = 0;
  ASSERT_EQ(hardware_->createProcessTap(
                describeTap(TapDescription::Kind::stereoMixdownOfProcesses, {playerObject}), &tap),
            kAudioHardwareNoError);
  EXPECT_NE(tap, kAudioObjectUnknown);

  AudioObjectID device = 0;
  EXPECT_NE(hardware_->createAggregateDevice(describeDevice("11111111-2222-4333-8444-555555555555"),
                                             &device),
            kAudioHardwareNoError)
      << "a device must carry our tap, named by its UUID";
  ASSERT_EQ(hardware_->createAggregateDevice(describeDevice(kTapUuid), &device),
            kAudioHardwareNoError);
  EXPECT_NE(device, tap);

  AudioStreamBasicDescription format{};
  ASSERT_EQ(tapFormat(tap, format), kAudioHardwareNoError);
  EXPECT_EQ(format.mSampleRate, 48000.0);
  EXPECT_EQ(format.mFormatID, fourCharCode("lpcm"));
  EXPECT_EQ(format.mFormatFlags, 41u);    // float, packed, non-interleaved
  EXPECT_EQ(format.mBytesPerPacket, 4u);  // of one channel's plane
  EXPECT_EQ(format.mFramesPerPacket, 1u);
  EXPECT_EQ(format.mBytesPerFrame, 4u);
  EXPECT_EQ(format.mChannelsPerFrame, 2u);
  EXPECT_EQ(format.mBitsPerChannel, 32u);
  double rate = 0.0;
  std::uint32_t rateSize = sizeof rate;
  EXPECT_EQ(hardware_->getPropertyData(device, kNsrt, 0, nullptr, &rateSize, &rate),
            kAudioHardwareNoError);
  EXPECT_EQ(rate, 48000.0);

  std::atomic<std::uint64_t> frames{0};
  std::atomic<bool> sound{false};
  std::atomic<bool> malformed{false};
  std::atomic<std::thread::id> ioThread{};
  AudioDeviceIOProcID proc = nullptr;
  ASSERT_EQ(hardware_->createIOProcID(
                device,
                [&](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*,
                    AudioBufferList*, const AudioTimeStamp*) {
                  ioThread = std::this_thread::get_id();
                  if (input->mNumberBuffers != 2) {
                    malformed = true;
                    return;
                  }
                  const auto planes = buffersOf(*input);
                  for (const AudioBuffer& plane : planes) {
                    if (plane.mNumberChannels != 1 || plane.mDataByteSize % 4 != 0 ||
                        plane.mDataByteSize != planes[0].mDataByteSize || plane.mData == nullptr) {
                      malformed = true;
                      return;
                    }
                    const auto* samples = static_cast<const float*>(plane.mData);
                    const std::size_t count = plane.mDataByteSize / sizeof(float);
                    if (std::any_of(samples, samples + count, [](float s) { return s != 0.0f; })) {
                      sound = true;
                    }
                  }
                  frames += planes[0].mDataByteSize / 4;
                },
                &proc),
            kAudioHardwareNoError);
  ASSERT_NE(proc, nullptr);
  ASSERT_EQ(hardware_->start(device, proc), kAudioHardwareNoError);
  for (auto deadline = std::chrono::steady_clock::now() + 10s;
       (frames < 24000 || !sound) && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_GE(frames.load(), 24000u);
  EXPECT_TRUE(sound);
  EXPECT_FALSE(malformed);
  EXPECT_NE(ioThread.load(), std::this_thread::get_id());

  EXPECT_EQ(hardware_->stop(device, proc), kAudioHardwareNoError);
  const std::uint64_t stoppedAt = frames;
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(frames.load(), stoppedAt) << "the block ran after stop";
  EXPECT_EQ(hardware_->destroyIOProcID(device, proc), kAudioHardwareNoError);
  EXPECT_EQ(hardware_->destroyAggregateDevice(device), kAudioHardwareNoError);
  EXPECT_EQ(hardware_->destroyProcessTap(tap), kAudioHardwareNoError);

  auto graph = stack().dump();
  ASSERT_TRUE(graph);
  const ProcessObjects ours = objectsOf(*graph, getpid());
  EXPECT_TRUE(ours.clients.empty() && ours.nodes.empty()) << "left in the graph after teardown";
}

// Last in its suite: the graph keeps the new rate.
TEST_F(Backend, ListenersHearAGraphRateChangeOnTheirQueue) {
  AudioObjectID tap = 0;
  ASSERT_EQ(hardware_->createProcessTap(
                describeTap(TapDescription::Kind::stereoGlobalTapButExcludeProcesses, {}), &tap),
            kAudioHardwareNoError);
  AudioObjectID device = 0;
  ASSERT_EQ(hardware_->createAggregateDevice(describeDevice(kTapUuid), &device),
            kAudioHardwareNoError);
  AudioStreamBasicDescription format{};
  ASSERT_EQ(tapFormat(tap, format), kAudioHardwareNoError);
  ASSERT_EQ(format.mSampleRate, 48000.0);

  RecordingQueue queue;
  std::vector<std::pair<AudioObjectID, std::uint32_t>> heard;
  auto listenerFor = [&](AudioObjectID object) {
    return [&heard, object](std::uint32_t count, const AudioObjectPropertyAddress* addresses) {
      for (std::uint32_t i = 0; i < count; ++i) heard.emplace_back(object, addresses[i].mSelector);
    };
  };
  ASSERT_EQ(hardware_->addPropertyListener(tap, kTfmt, queue, listenerFor(tap)),
            kAudioHardwareNoError);
  ASSERT_EQ(hardware_->addPropertyListener(device, kNsrt, queue, listenerFor(device)),
            kAudioHardwareNoError);
  EXPECT_NE(hardware_->addPropertyListener(tap, kNsrt, queue, listenerFor(tap)),
            kAudioHardwareNoError);

  ASSERT_TRUE(stack().setSetting("clock.force-rate", "44100"));
  for (auto deadline = std::chrono::steady_clock::now() + 5s;
       queue.pending() < 2 && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(heard.empty()) << "listeners must only run on their queue";
  queue.runAll();
  std::sort(heard.begin(), heard.end());
  EXPECT_EQ(heard,
            (std::vector<std::pair<AudioObjectID, std::uint32_t>>{
                {tap, kAudioTapPropertyFormat}, {device, kAudioDevicePropertyNominalSampleRate}}));
  ASSERT_EQ(tapFormat(tap, format), kAudioHardwareNoError);
  EXPECT_EQ(format.mSampleRate, 44100.0);

  EXPECT_EQ(hardware_->destroyAggregateDevice(device), kAudioHardwareNoError);
  EXPECT_EQ(hardware_->destroyProcessTap(tap), kAudioHardwareNoError);
}

}  // namespace
}  // namespace quenwick::pwtest
