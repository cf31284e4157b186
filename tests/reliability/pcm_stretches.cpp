#include "pcm_stretches.h"

#include <algorithm>
#include <limits>
#include <tuple>

namespace quenwick::reliability {
namespace {

// Four samples make the key that finds where a stretch starts: 64 bits of a pseudo-random
// signal, so a key almost never occurs twice.
constexpr std::size_t kKeySamples = 4;

std::uint64_t keyAt(const std::vector<std::int16_t>& samples, std::size_t at) {
  std::uint64_t key = 0;
  for (std::size_t i = 0; i < kKeySamples; ++i) {
    key = key << 16 | static_cast<std::uint16_t>(samples[at + i]);
  }
  return key;
}

struct Place {
  std::uint64_t key;
  std::uint32_t reference;
  std::uint32_t position;
  bool operator<(const Place& other) const {
    return std::tie(key, reference, position) <
           std::tie(other.key, other.reference, other.position);
  }
};

}  // namespace

Stretches coverByStretches(const std::vector<std::int16_t>& captured,
                           const std::vector<std::vector<std::int16_t>>& references) {
  std::vector<Place> index;
  for (std::size_t r = 0; r < references.size(); ++r) {
    const auto& reference = references[r];
    for (std::size_t at = 0; at + kKeySamples <= reference.size(); ++at) {
      index.push_back(
          {keyAt(reference, at), static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(at)});
    }
  }
  std::sort(index.begin(), index.end());

  Stretches result;
  std::size_t at = 0;
  while (at < captured.size() && captured[at] == 0) ++at;
  result.silentStart = at;
  result.shortest = std::numeric_limits<std::size_t>::max();
  while (at < captured.size()) {
    std::size_t longest = 0;
    if (at + kKeySamples <= captured.size()) {
      const std::uint64_t key = keyAt(captured, at);
      auto candidate = std::lower_bound(index.begin(), index.end(), Place{key, 0, 0});
      for (; candidate != index.end() && candidate->key == key; ++candidate) {
        const auto& reference = references[candidate->reference];
        std::size_t length = 0;
        while (at + length < captured.size() && candidate->position + length < reference.size() &&
               captured[at + length] == reference[candidate->position + length]) {
          ++length;
        }
        longest = std::max(longest, length);
      }
    }
    if (longest == 0) {
      ++result.unmatched;
      ++at;
      continue;
    }
    ++result.count;
    result.shortest = std::min(result.shortest, longest);
    result.last = longest;
    at += longest;
  }
  if (result.count == 0) result.shortest = 0;
  return result;
}

}  // namespace quenwick::reliability
