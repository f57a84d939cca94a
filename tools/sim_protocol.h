// Wire helpers shared by the two simulators, tarn-sim-server and tarn-sim-vm.
//
// The simulators stand for the streaming server and a booting VM on either
// side of the daemon, so they speak the protocol from their own small codec
// rather than the daemon's message layer: a fault in one cannot hide the same
// fault in the other. Only the opcode constants are shared.
//
//   std::vector<uint8_t> m(SIM_MIO_REQUEST_SIZE);
//   sim_put32(m.data(), 0, IOS_READ_MIO_REQUEST_CODE);
//   uint32_t handle = sim_get32(reply.data(), SIM_OFF_CONNECTION_HANDLE);
//
// Every field is little-endian and unaligned; offsets are from the start of
// the UDP payload.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "protocol/opcodes.h"

// Message header: opcode, version, connection handle, 2 opaque bytes, the tag
// byte and 7 opaque bytes.
inline constexpr size_t SIM_HEADER_SIZE = 22;
inline constexpr size_t SIM_OFF_VERSION = 4;
inline constexpr size_t SIM_OFF_CONNECTION_HANDLE = 8;
inline constexpr size_t SIM_OFF_TAG = 14;

// Version byte of MIO messages: classic logins use 3, TLV (UEFI) logins 4.
inline constexpr uint32_t SIM_VERSION_CLASSIC = 3;
inline constexpr uint32_t SIM_VERSION_TLV = 4;

// Session messages.
inline constexpr size_t SIM_PORT_REPLY_SIZE = 42;
inline constexpr size_t SIM_OFF_BURST = 34;
inline constexpr size_t SIM_OFF_MTU = 38;
inline constexpr size_t SIM_LOGIN_REQUEST_SIZE = 64;
inline constexpr size_t SIM_OFF_LOGIN_MAC = 25;
inline constexpr size_t SIM_LOGIN_REPLY_SIZE = 172;
inline constexpr size_t SIM_OFF_LOGIN_CONNECTION = 36;
inline constexpr size_t SIM_OFF_LOGIN_DISK = 40;
// The vDisk a client asks for in select-disk, service and info requests.
inline constexpr size_t SIM_VDISK_REQUEST_SIZE = 34;
inline constexpr size_t SIM_OFF_REQUEST_VDISK = 22;
inline constexpr size_t SIM_SELECT_REPLY_SIZE = 48;
inline constexpr size_t SIM_OFF_SELECT_VDISK = 28;
// UEFI login: the MAC sits where the classic login has it; the vDisk the
// client wants follows it, at 36.
inline constexpr size_t SIM_OFF_UEFI_WANT_VDISK = 36;
inline constexpr size_t SIM_UEFI_LOGIN_REPLY_SIZE = 56;
inline constexpr size_t SIM_OFF_UEFI_VDISK = 40;
inline constexpr size_t SIM_OFF_UEFI_DISK = 44;
inline constexpr size_t SIM_HEARTBEAT_SIZE = 40;

// vDisk information record (V2 reply).
inline constexpr size_t SIM_INFO_REPLY_SIZE = 96;
inline constexpr size_t SIM_INFO_V1_REPLY_SIZE = 64;
inline constexpr size_t SIM_OFF_INFO_SECTORS = 28;
inline constexpr size_t SIM_OFF_INFO_WRITE_CACHE = 36;
inline constexpr size_t SIM_OFF_INFO_KEY_SUFFIX = 62;
inline constexpr size_t SIM_OFF_INFO_GUID = 66;
inline constexpr size_t SIM_GUID_SIZE = 16;

// TLV item types.
inline constexpr uint16_t SIM_TLV_VDISK_ID = 9;
inline constexpr uint16_t SIM_TLV_VDISK_PARAMS = 101;
inline constexpr uint16_t SIM_TLV_MTU = 134;
inline constexpr uint16_t SIM_TLV_BURST = 135;
inline constexpr uint16_t SIM_TLV_CONNECTION = 138;
inline constexpr uint16_t SIM_TLV_IDENTITY = 141;
inline constexpr size_t SIM_TLV_VDISK_PARAMS_SIZE = 28;
inline constexpr size_t SIM_TLV_IDENTITY_SIZE = 24;

// Extent reads.
inline constexpr size_t SIM_EXT_HEADER_SIZE = 36;
inline constexpr size_t SIM_OFF_EXT_DISK = 22;
inline constexpr size_t SIM_OFF_EXT_OFFSET_HI = 26;
inline constexpr size_t SIM_OFF_EXT_OFFSET_LO = 30;
inline constexpr size_t SIM_OFF_EXT_LENGTH = 34;

// MIO reads.
inline constexpr size_t SIM_MIO_REQUEST_SIZE = 48;
inline constexpr size_t SIM_MIO_HEADER_SIZE = 56;
inline constexpr size_t SIM_OFF_MIO_REQUEST_ID = 22;
inline constexpr size_t SIM_OFF_MIO_FLAGS = 26;
inline constexpr size_t SIM_OFF_MIO_THREAD = 28;
inline constexpr size_t SIM_OFF_MIO_DISK = 34;
inline constexpr size_t SIM_OFF_MIO_OFFSET_HI = 38;
inline constexpr size_t SIM_OFF_MIO_OFFSET_LO = 42;
inline constexpr size_t SIM_OFF_MIO_LENGTH = 46;
inline constexpr size_t SIM_OFF_FRAG_OFFSET = 48;
inline constexpr size_t SIM_OFF_FRAG_LENGTH = 50;
inline constexpr size_t SIM_OFF_FRAG_NUMBER = 52;
inline constexpr size_t SIM_OFF_FRAG_COUNT = 54;
// Bytes of a reply that repeat the request unchanged.
inline constexpr size_t SIM_MIO_ECHO_END = 48;
inline constexpr size_t SIM_EXT_ECHO_END = 34;

// Bit 31 of the connection handle marks a forced relogon.
inline constexpr uint32_t SIM_RELOGON_FLAG = 0x80000000u;

// Protocol offsets below this lie before the vDisk's first byte.
inline constexpr uint64_t SIM_DISK_BASE = 512;
inline constexpr uint32_t SIM_SECTOR = 512;

// The largest UDP payload one IPv4 datagram carries.
inline constexpr size_t SIM_MAX_UDP_PAYLOAD = 65507;

inline uint16_t sim_get16(const uint8_t* p, size_t off) {
  return static_cast<uint16_t>(p[off] | p[off + 1] << 8);
}
inline uint32_t sim_get32(const uint8_t* p, size_t off) {
  return static_cast<uint32_t>(p[off]) | static_cast<uint32_t>(p[off + 1]) << 8 |
         static_cast<uint32_t>(p[off + 2]) << 16 | static_cast<uint32_t>(p[off + 3]) << 24;
}
inline void sim_put16(uint8_t* p, size_t off, uint16_t v) {
  p[off] = static_cast<uint8_t>(v);
  p[off + 1] = static_cast<uint8_t>(v >> 8);
}
inline void sim_put32(uint8_t* p, size_t off, uint32_t v) {
  for (int i = 0; i < 4; i++) p[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A 64-bit offset travels as two 32-bit halves, high half first.
inline uint64_t sim_get_offset(const uint8_t* p, size_t hi_off) {
  return static_cast<uint64_t>(sim_get32(p, hi_off)) << 32 | sim_get32(p, hi_off + 4);
}
inline void sim_put_offset(uint8_t* p, size_t hi_off, uint64_t v) {
  sim_put32(p, hi_off, static_cast<uint32_t>(v >> 32));
  sim_put32(p, hi_off + 4, static_cast<uint32_t>(v));
}

// Data room of one MIO reply fragment and the number of fragments a read of
// `length` bytes takes; both need an MTU above the 56-byte fragment header.
inline size_t sim_fragment_room(uint32_t mtu) {
  return mtu > SIM_MIO_HEADER_SIZE ? mtu - SIM_MIO_HEADER_SIZE : 0;
}
inline size_t sim_fragment_count(size_t length, uint32_t mtu) {
  size_t room = sim_fragment_room(mtu);
  return room == 0 ? 0 : (length + room - 1) / room;
}

struct sim_tlv {
  uint16_t type = 0;
  const uint8_t* value = nullptr;
  uint16_t length = 0;
};

// The TLV items from offset 22 to the end of a message; nothing when the
// sequence does not end exactly at the end of the message.
inline std::optional<std::vector<sim_tlv>> sim_tlv_parse(const uint8_t* p, size_t len) {
  std::vector<sim_tlv> items;
  if (len < SIM_HEADER_SIZE) return std::nullopt;
  size_t at = SIM_HEADER_SIZE;
  while (at < len) {
    if (len - at < 4) return std::nullopt;
    sim_tlv t{sim_get16(p, at), p + at + 4, sim_get16(p, at + 2)};
    if (t.length > len - at - 4) return std::nullopt;
    items.push_back(t);
    at += 4 + t.length;
  }
  return items;
}

inline void sim_tlv_append(std::vector<uint8_t>& m, uint16_t type, const uint8_t* value,
                           uint16_t length) {
  size_t at = m.size();
  m.resize(at + 4 + length);
  sim_put16(m.data(), at, type);
  sim_put16(m.data(), at + 2, length);
  if (length > 0) std::memcpy(m.data() + at + 4, value, length);
}

inline void sim_tlv_append32(std::vector<uint8_t>& m, uint16_t type, uint32_t v) {
  uint8_t b[4];
  sim_put32(b, 0, v);
  sim_tlv_append(m, type, b, 4);
}

// A new message of `size` zero bytes with its opcode and version set.
inline std::vector<uint8_t> sim_message(uint32_t opcode, size_t size, uint32_t version) {
  std::vector<uint8_t> m(size < SIM_HEADER_SIZE ? SIM_HEADER_SIZE : size);
  sim_put32(m.data(), 0, opcode);
  sim_put32(m.data(), SIM_OFF_VERSION, version);
  return m;
}

// Parses a decimal or 0x-prefixed unsigned number that must fit `max`.
inline bool sim_parse_u64(const char* s, uint64_t max, uint64_t* out) {
  if (s == nullptr || *s == '\0' || *s == '-') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(s, &end, 0);
  if (errno != 0 || *end != '\0' || v > max) return false;
  *out = v;
  return true;
}

inline bool sim_parse_probability(const char* s, double* out) {
  if (s == nullptr || *s == '\0') return false;
  char* end = nullptr;
  double v = std::strtod(s, &end);
  if (*end != '\0' || !(v >= 0.0 && v <= 1.0)) return false;
  *out = v;
  return true;
}

inline std::string sim_address_text(const sockaddr_in& a) {
  char ip[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

inline std::string sim_ip_text(const sockaddr_in& a) {
  char ip[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  return ip;
}
