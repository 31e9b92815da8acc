// Host-to-network byte order of 16-bit values, without the sockets headers.
#pragma once

#include <bit>
#include <cstdint>

namespace platform {

constexpr std::uint16_t HostToNetwork16(std::uint16_t value) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::uint16_t>((value << 8) | (value >> 8));
  }
  return value;
}

// Builds an address in network byte order from its four dotted parts.
constexpr std::uint32_t AddressFromParts(std::uint8_t a, std::uint8_t b,
                                         std::uint8_t c, std::uint8_t d) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::uint32_t>(a) | (static_cast<std::uint32_t>(b) << 8) |
           (static_cast<std::uint32_t>(c) << 16) | (static_cast<std::uint32_t>(d) << 24);
  }
  return (static_cast<std::uint32_t>(a) << 24) | (static_cast<std::uint32_t>(b) << 16) |
         (static_cast<std::uint32_t>(c) << 8) | static_cast<std::uint32_t>(d);
}

}  // namespace platform
