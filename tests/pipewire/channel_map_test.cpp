#include "capture/pipewire/channel_map.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace quenwick::pipewire {
namespace {

TEST(ChannelMap, SendsEachPositionToItsSideOrToBoth) {
  const std::vector<std::pair<std::string, CaptureInputs>> table = {
      {"FL", CaptureInputs::left},    {"FR", CaptureInputs::right},   {"MONO", CaptureInputs::both},
      {"FC", CaptureInputs::both},    {"LFE", CaptureInputs::both},   {"LFE2", CaptureInputs::both},
      {"AUX0", CaptureInputs::both},  {"AUX63", CaptureInputs::both}, {"UNK", CaptureInputs::both},
      {"", CaptureInputs::both},      {"SL", CaptureInputs::left},    {"SR", CaptureInputs::right},
      {"RL", CaptureInputs::left},    {"RR", CaptureInputs::right},   {"FLC", CaptureInputs::left},
      {"FRC", CaptureInputs::right},  {"TFL", CaptureInputs::left},   {"TFR", CaptureInputs::right},
      {"TRL", CaptureInputs::left},   {"TRR", CaptureInputs::right},  {"RLC", CaptureInputs::left},
      {"RRC", CaptureInputs::right},  {"FLW", CaptureInputs::left},   {"FRW", CaptureInputs::right},
      {"FLH", CaptureInputs::left},   {"FRH", CaptureInputs::right},  {"TFLC", CaptureInputs::left},
      {"TFRC", CaptureInputs::right}, {"TSL", CaptureInputs::left},   {"TSR", CaptureInputs::right},
      {"LLFE", CaptureInputs::left},  {"RLFE", CaptureInputs::right}, {"BLC", CaptureInputs::left},
      {"BRC", CaptureInputs::right},  {"RC", CaptureInputs::both},    {"TC", CaptureInputs::both},
      {"TFC", CaptureInputs::both},   {"TRC", CaptureInputs::both},   {"FCH", CaptureInputs::both},
      {"BC", CaptureInputs::both},    {"fl", CaptureInputs::both},  // positions are upper case;
                                                                    // anything else is unknown
  };
  for (const auto& [position, inputs] : table) {
    EXPECT_EQ(captureInputsFor(position), inputs) << position;
  }
}

}  // namespace
}  // namespace quenwick::pipewire
