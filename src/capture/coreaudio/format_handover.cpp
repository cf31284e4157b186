#include "capture/coreaudio/format_handover.h"

#include <bit>

namespace quenwick {

// Whoever reads a word that a publish stored (acquire on the word, release on the store) also
// sees the odd sequence stored before it, so a copy that took any new word fails the second
// sequence check. Ordering through the words themselves rather than through fences keeps the
// hand-over visible to ThreadSanitizer.

void FormatHandover::publish(const AudioStreamBasicDescription& format) {
  const auto raw = std::bit_cast<std::array<std::uint64_t, kWords>>(format);
  const std::uint64_t start = sequence_.load(std::memory_order_relaxed);
  sequence_.store(start + 1, std::memory_order_relaxed);
  for (std::size_t i = 0; i < kWords; ++i) words_[i].store(raw[i], std::memory_order_release);
  sequence_.store(start + 2, std::memory_order_release);
}

bool FormatHandover::takeNewer(std::uint64_t& generation, AudioStreamBasicDescription& out) const {
  const std::uint64_t before = sequence_.load(std::memory_order_acquire);
  if ((before & 1) != 0 || before / 2 == generation) return false;

  std::array<std::uint64_t, kWords> raw{};
  for (std::size_t i = 0; i < kWords; ++i) raw[i] = words_[i].load(std::memory_order_acquire);
  if (sequence_.load(std::memory_order_relaxed) != before) return false;  // torn: try next time

  out = std::bit_cast<AudioStreamBasicDescription>(raw);
  generation = before / 2;
  return true;
}

}  // namespace quenwick
