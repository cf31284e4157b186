#include "capture/coreaudio/uuid.h"

#include <sys/random.h>  // getentropy, on Linux and macOS alike

#include <array>
#include <cstdint>
#include <random>

namespace quenwick {

std::string makeRandomUuid() {
  std::array<std::uint8_t, 16> bytes{};
  if (getentropy(bytes.data(), bytes.size()) != 0) {
    // No kernel randomness: fall back to the library's source rather than a fixed id.
    std::random_device device;
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(device());
  }
  bytes[6] = (bytes[6] & 0x0F) | 0x40;  // version 4
  bytes[8] = (bytes[8] & 0x3F) | 0x80;  // RFC 4122 variant

  static constexpr char hex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(hex[bytes[i] >> 4]);
    text.push_back(hex[bytes[i] & 0x0F]);
  }
  return text;
}

}  // namespace quenwick
