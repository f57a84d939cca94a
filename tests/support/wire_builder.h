// A little-endian builder of protocol messages for tests and benchmarks,
// written from the wire layout on its own (not with the engine's message
// layer), so that what it builds checks the engine rather than mirroring it.
//
//   bytes request = msg(IOS_READ_EXT_REQUEST_CODE, 36).u32(22, disk).offset(26, 512).b;
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tarn_test {

// An IPv4 socket address from its dotted text.
inline sockaddr_in address(const char* ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

using bytes = std::vector<uint8_t>;

struct msg {
  bytes b;
  msg(uint32_t opcode, size_t size) : b(size, 0) { u32(0, opcode); }
  msg& u8(size_t at, uint8_t v) {
    b.at(at) = v;
    return *this;
  }
  msg& u16(size_t at, uint16_t v) {
    for (size_t i = 0; i < 2; i++) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
    return *this;
  }
  msg& u32(size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; i++) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
    return *this;
  }
  // Read offsets travel as two halves, the high one first.
  msg& offset(size_t at, uint64_t v) {
    return u32(at, static_cast<uint32_t>(v >> 32)).u32(at + 4, static_cast<uint32_t>(v));
  }
  msg& data(size_t at, const bytes& d) {
    std::memcpy(b.data() + at, d.data(), d.size());
    return *this;
  }
  // Appends one TLV item: 16-bit type, 16-bit length, the value.
  msg& tlv(uint16_t type, const bytes& value) {
    size_t at = b.size();
    b.resize(at + 4 + value.size());
    u16(at, type).u16(at + 2, static_cast<uint16_t>(value.size()));
    // An empty value's data() may be null, which memcpy must never see.
    if (!value.empty()) std::memcpy(b.data() + at + 4, value.data(), value.size());
    return *this;
  }
};

inline uint32_t le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint16_t le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline bytes le_value(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

}  // namespace tarn_test
