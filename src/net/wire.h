// Big-endian field access for the Ethernet, ARP, IPv4 and UDP headers the
// daemon reads and builds (the protocol's own little-endian fields live in
// protocol/messages.h).
#pragma once

#include <cstdint>

inline uint16_t load_be16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t load_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline void store_be16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

// A MAC address read as a 48-bit big-endian integer, as the tables key it.
inline uint64_t mac_to_u48(const uint8_t mac[6]) {
  uint64_t key = 0;
  for (int i = 0; i < 6; i++) key = (key << 8) | mac[i];
  return key;
}
