// The PCM stream on standard output: signed 16-bit little-endian samples, one write per block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quenwick {

// Writes all of `bytes` to `fd`, continuing after partial writes and interruptions by signals,
// so that a block never loses or splits bytes. Returns false when the descriptor fails for good.
bool writeAll(int fd, std::span<const std::byte> bytes);

// Writes the samples little-endian, low byte first, in one whole write.
bool writePcm(int fd, std::span<const std::int16_t> samples);

}  // namespace quenwick
