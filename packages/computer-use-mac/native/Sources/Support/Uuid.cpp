#include "support/Uuid.hpp"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <random>

namespace support {

std::string newUuidString() {
  std::array<std::uint8_t, 16> b{};
  std::size_t got = 0;
  while (got < b.size()) {
    ssize_t n = getrandom(b.data() + got, b.size() - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      // No kernel entropy call: fall back to the library's device-backed generator.
      std::random_device rd;
      for (auto& x : b) x = static_cast<std::uint8_t>(rd());
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(36);
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) s.push_back('-');
    s.push_back(hex[b[i] >> 4]);
    s.push_back(hex[b[i] & 0x0F]);
  }
  return s;
}

}  // namespace support
