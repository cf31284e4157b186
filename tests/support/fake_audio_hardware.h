// A scripted audio layer for tests: it answers every operation of the audio hardware interface
// as its script says, records every call with its arguments in a call log, and plays a scripted
// stream of buffer lists into the IO block on a thread of its own once the device is started.
//
// The script is plain text, one directive per line; '#' starts a comment and words are
// separated by blanks. Settings may come in any order. Steps run in the order written.
//
// Settings
//   log PATH                  the call log (default: $QUENWICK_FAKE_LOG; none when both are unset)
//   dump PATH                 the data of every delivered buffer is appended here, in order
//   pid PID OBJECT [STATUS]   the 'id2p' read for PID gives OBJECT with STATUS (default 0). PID
//                             may be "parent": the parent of this process at start-up. A pid not
//                             listed gives object 0 with status 0, as the platform does.
//   tap STATUS [ID]           createProcessTap's result (default 0, tap 100)
//   device STATUS [ID]        createAggregateDevice's result (default 0, device 200)
//   ioproc STATUS [ID|null]   createIOProcID's result (default 0, proc 300); "null" leaves the
//                             proc id null with whatever status is given
//   start STATUS              start's result (default 0)
//   listener STATUS           addPropertyListener's result (default 0)
//   format FORMAT             the tap's format at first (default 48000 2 f32)
//   read FORMAT               the reply of one 'tfmt' read; several are used in order, by the
//                             first reads, before reads give the tap's current format
//
// A STATUS is a signed decimal number or a four-character code in single quotes ('nope').
// A FORMAT is either "fail STATUS", or RATE CHANNELS LAYOUT [FIELD=VALUE...]:
//   RATE     any number (0, -48000, nan, 44100.5)
//   LAYOUT   f32: interleaved 32-bit float; s16: interleaved signed 16-bit;
//            planar: one 32-bit float buffer per channel
//   FIELD    id (four characters), flags, bpp, fpp, bpf, bits: override what the layout sets
//
// Steps, run one after another on the fake's IO thread from a successful start() on:
//   source ramp               generated: frame n, channel c holds ((n + 37c) mod 512 - 256) / 256
//   source sine HZ AMPLITUDE  generated: every channel holds AMPLITUDE sin(2 pi HZ n / rate)
//   source file PATH          the file's bytes: interleaved frames of the layout's sample type
//                             (planar takes them interleaved too and splits the channels);
//                             it starts again from its beginning when it runs out
//   pace MICROSECONDS         a pause after every delivered buffer list from here on
//   deliver COUNT FRAMES [OPTION...]
//                             COUNT buffer lists of FRAMES frames each, in the format the IO
//                             thread delivers ("forever" for COUNT: until stop()). Options make
//                             malformed lists:
//                               buffers=N   N buffer records (0: an empty list)
//                               bytes=N     mDataByteSize of the first buffer, and of the others
//                                           unless bytes2 is given
//                               bytes2=N    mDataByteSize of the second and later buffers
//                               channels=N  mNumberChannels of every record
//                               null=first|rest|all  which buffers have no data
//                             Each list takes FRAMES frames from the source, whatever its
//                             shape; a buffer holds its share of them, cut or padded with zeros
//                             to its mDataByteSize, in data allocated to exactly that size.
//                             After a start() without the IO proc made here, lists go nowhere.
//   change FORMAT             the tap's format changes: 'tfmt' reads and deliveries
//   tfmt FORMAT               only what 'tfmt' reads give changes; deliveries keep their format
//   notify tfmt|nsrt          posts the listeners of the tap's format (on the tap) or of the
//                             device's nominal sample rate (on the device) to their queues
//   sync                      waits until the agent's queue has run everything posted before;
//                             the first one returns once the agent serves its main queue
//   sleep MILLISECONDS
//
// The call log has one JSON object per line, written with one write(2) as the call happens, so
// the log is whole however the process ends. Calls carry "call" with their arguments and results
// ({"call":"start","device":200,"proc":300,"status":0}); the fake's own lines carry "fake":
// "notify" (with the number of listeners posted), "synced" after each sync, "done" after the
// last step.
//
// Example: a stereo tap at 48000 Hz whose rate changes to 44100 Hz after ten lists.
//   pid 4242 17
//   format 48000 2 f32
//   deliver 10 480
//   change 44100 2 f32
//   notify tfmt
//   notify nsrt
//   sync
//   deliver 10 441
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/audio_hardware.h"
#include "fake_script.h"

namespace quenwick::harness {

class CallLogLine;

class FakeAudioHardware final : public AudioHardware {
 public:
  // Reads the script at `path`. Nothing, with the reason in `error`, when it cannot be read or
  // the call log cannot be opened.
  static std::unique_ptr<FakeAudioHardware> fromFile(const std::string& path, std::string* error);
  static std::unique_ptr<FakeAudioHardware> fromScript(FakeScript script, std::string* error);

  ~FakeAudioHardware() override;

  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t qualifierDataSize, const void* qualifierData,
                           std::uint32_t* ioDataSize, void* outData) override;
  OSStatus createProcessTap(const TapDescription& description, AudioObjectID* outTapID) override;
  OSStatus destroyProcessTap(AudioObjectID tapID) override;
  OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                 AudioObjectID* outDeviceID) override;
  OSStatus destroyAggregateDevice(AudioObjectID deviceID) override;
  OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               DispatchQueue& queue, AudioObjectPropertyListener listener) override;
  OSStatus createIOProcID(AudioObjectID device, AudioDeviceIOBlock block,
                          AudioDeviceIOProcID* outProcID) override;
  OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) override;
  OSStatus start(AudioObjectID device, AudioDeviceIOProcID procID) override;
  OSStatus stop(AudioObjectID device, AudioDeviceIOProcID procID) override;

 private:
  struct Listener {
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    DispatchQueue* queue;
    AudioObjectPropertyListener block;
  };

  FakeAudioHardware(FakeScript script, int logFd, int dumpFd);

  void log(const std::string& line) const;
  OSStatus readProcessObject(std::uint32_t qualifierDataSize, const void* qualifierData,
                             std::uint32_t* ioDataSize, void* outData, CallLogLine& line);
  OSStatus readTapFormat(AudioObjectID object, std::uint32_t* ioDataSize, void* outData,
                         CallLogLine& line);

  // The IO thread.
  void runSteps();
  void deliver(const Step& step);
  void notify(std::uint32_t selector);
  void sync();
  // Waits up to `duration`; false when stop() came first.
  bool pause(std::chrono::microseconds duration);
  bool stopping();

  const FakeScript script_;
  const int logFd_;
  const int dumpFd_;
  const pid_t parentAtStart_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Listener> listeners_;
  FormatReply readReply_;                 // what 'tfmt' reads give now
  std::deque<FormatReply> pendingReads_;  // one-shot replies, used first
  bool stopRequested_ = false;
  std::uint64_t syncsPosted_ = 0;
  std::uint64_t syncsDone_ = 0;

  AudioDeviceIOBlock block_;
  AudioDeviceIOProcID procID_ = nullptr;
  bool procCreated_ = false;
  std::thread ioThread_;

  // IO thread only.
  AudioStreamBasicDescription streamFormat_{};
  SampleSource source_;
  std::vector<unsigned char> fileData_;
  std::size_t filePos_ = 0;
  std::uint64_t framesDelivered_ = 0;
  std::uint64_t listsDelivered_ = 0;
  std::chrono::microseconds pace_{0};
};

}  // namespace quenwick::harness
