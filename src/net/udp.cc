#include "net/udp.h"

#include <glib.h>
#include <linux/filter.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

#include "net/wire.h"

namespace {

// One's complement arithmetic does not care about byte order as long as every
// word is read the same way and the result is stored the same way (RFC 1071),
// so the sum runs over native 64-bit loads and is folded at the end.
uint64_t sum_bytes(const uint8_t* p, size_t len, uint64_t sum) {
  while (len >= 8) {
    uint64_t w;
    memcpy(&w, p, 8);
    sum += w;
    sum += (sum < w);  // end-around carry
    p += 8;
    len -= 8;
  }
  if (len >= 4) {
    uint32_t w;
    memcpy(&w, p, 4);
    sum += w;
    sum += (sum < w);
    p += 4;
    len -= 4;
  }
  if (len >= 2) {
    uint16_t w;
    memcpy(&w, p, 2);
    sum += w;
    sum += (sum < w);
    p += 2;
    len -= 2;
  }
  if (len == 1) {
    // The odd last byte is a word whose second byte is zero.
    uint8_t last[2] = {p[0], 0};
    uint16_t w;
    memcpy(&w, last, 2);
    sum += w;
    sum += (sum < w);
  }
  return sum;
}

uint16_t fold(uint64_t sum) {
  sum = (sum & 0xffffffffu) + (sum >> 32);
  sum = (sum & 0xffffffffu) + (sum >> 32);
  sum = (sum & 0xffffu) + (sum >> 16);
  sum = (sum & 0xffffu) + (sum >> 16);
  sum = (sum & 0xffffu) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}

// The pseudo-header: addresses, zero and protocol, UDP length, all as stored.
uint64_t pseudo_header_sum(const uint8_t* saddr, const uint8_t* daddr, const uint8_t* udp_len) {
  const uint8_t proto[2] = {0, IPPROTO_UDP};
  uint64_t sum = sum_bytes(saddr, 4, 0);
  sum = sum_bytes(daddr, 4, sum);
  sum = sum_bytes(proto, 2, sum);
  return sum_bytes(udp_len, 2, sum);
}

void store_checksum(uint8_t* field, uint16_t folded) {
  uint16_t c = static_cast<uint16_t>(~folded);
  if (c == 0) c = 0xffff;  // 0 means "no checksum" in UDP
  memcpy(field, &c, 2);
}

int attach(int fd, struct sock_filter* code, unsigned short len) {
  struct sock_fprog prog = {len, code};
  if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) != 0) {
    g_warning("setsockopt SO_ATTACH_FILTER %s", g_strerror(errno));
    return -1;
  }
  return 0;
}

}  // namespace

uint16_t udp_csum_fold(const uint8_t* data, size_t len, uint64_t initial) {
  return fold(sum_bytes(data, len, initial));
}

void calculate_udp_checksum(uint8_t* ip, size_t ip_len) {
  const size_t ip_header_length = static_cast<size_t>(ip[0] & 0x0f) * 4;
  g_return_if_fail(ip_len >= (ip_header_length + sizeof(struct udphdr)));
  const size_t ihl = ip_header_length;
  uint8_t* udp = ip + ihl;
  udp[6] = 0;
  udp[7] = 0;
  uint64_t sum = pseudo_header_sum(ip + 12, ip + 16, udp + 4);
  store_checksum(udp + 6, fold(sum_bytes(udp, ip_len - ihl, sum)));
}

bool udp_checksum_valid(const uint8_t* ip, size_t ip_len) {
  const size_t ihl = static_cast<size_t>(ip[0] & 0x0f) * 4;
  if (ip_len < ihl + sizeof(struct udphdr)) return false;
  const uint8_t* udp = ip + ihl;
  if (udp[6] == 0 && udp[7] == 0) return true;
  const size_t udp_len = (size_t{udp[4]} << 8) | udp[5];
  if (udp_len < sizeof(struct udphdr) || udp_len > ip_len - ihl) return false;
  // The sum over everything the checksum covers, itself included, is all ones.
  return fold(sum_bytes(udp, udp_len, pseudo_header_sum(ip + 12, ip + 16, udp + 4))) == 0xffff;
}

void udp_checksum_update(uint8_t* ip, size_t ihl, size_t at, const uint8_t* before, size_t len) {
  uint8_t* udp = ip + ihl;
  uint16_t old;
  memcpy(&old, udp + 6, 2);
  if (old == 0) return;
  // ~HC' = ~HC + ~m + m' summed over the changed words; the complement of a
  // sum of words is the sum of their complements, so the old bytes go in as
  // their complement, one word at a time (an odd last byte pairs with a zero
  // in both, which changes nothing).
  uint64_t sum = static_cast<uint16_t>(~old);
  for (size_t i = 0; i < len; i += 2) {
    uint8_t was[2] = {before[i], i + 1 < len ? before[i + 1] : uint8_t{0}};
    uint8_t now[2] = {udp[at + i], i + 1 < len ? udp[at + i + 1] : uint8_t{0}};
    uint16_t w, n;
    memcpy(&w, was, 2);
    memcpy(&n, now, 2);
    sum += static_cast<uint16_t>(~w);
    sum += n;
  }
  store_checksum(udp + 6, fold(sum));
}

void calculate_ip_checksum(uint8_t* ip) {
  ip[10] = 0;
  ip[11] = 0;
  uint16_t c = static_cast<uint16_t>(~fold(sum_bytes(ip, 20, 0)));
  memcpy(ip + 10, &c, 2);
}

void inet_raw_udp_header(uint8_t h[UDP_IP_HEADER_LEN], const struct sockaddr_in* src,
                         const struct sockaddr_in* dst, size_t len, uint16_t checksum) {
  memset(h, 0, UDP_IP_HEADER_LEN);
  const uint16_t total = htons(static_cast<uint16_t>(len + UDP_IP_HEADER_LEN));
  const uint16_t udp_len = htons(static_cast<uint16_t>(len + 8));
  h[0] = 0x45;
  memcpy(h + 2, &total, 2);
  h[8] = 128;
  h[9] = IPPROTO_UDP;
  memcpy(h + 12, &src->sin_addr.s_addr, 4);
  memcpy(h + 16, &dst->sin_addr.s_addr, 4);
  memcpy(h + 20, &src->sin_port, 2);
  memcpy(h + 22, &dst->sin_port, 2);
  memcpy(h + 24, &udp_len, 2);
  memcpy(h + 26, &checksum, 2);
}

ssize_t inet_raw_udp_send(int fd, const struct sockaddr_in* src, const struct sockaddr_in* dst,
                          const void* payload, size_t len) {
  uint8_t h[UDP_IP_HEADER_LEN];
  inet_raw_udp_header(h, src, dst, len, 0);
  uint64_t sum = pseudo_header_sum(h + 12, h + 16, h + 24);
  sum = sum_bytes(h + 20, 8, sum);
  store_checksum(h + 26, fold(sum_bytes(static_cast<const uint8_t*>(payload), len, sum)));

  // Header and payload go as two buffers of one message: the payload is
  // never copied.
  struct iovec iov[2] = {{h, sizeof h}, {const_cast<void*>(payload), len}};
  struct msghdr msg {};
  msg.msg_name = const_cast<struct sockaddr_in*>(dst);
  msg.msg_namelen = sizeof *dst;
  msg.msg_iov = iov;
  msg.msg_iovlen = 2;
  return sendmsg(fd, &msg, 0) - static_cast<ssize_t>(UDP_IP_HEADER_LEN);
}

int configure_filter(int fd, const uint8_t client_mac[6]) {
  const uint32_t m1 = load_be32(client_mac);
  const uint32_t m2 = load_be16(client_mac + 4);
  struct sock_filter code[] = {
      {0x30, 0, 0, 0},          {0x54, 0, 0, 1},      {0x15, 0, 1, 1},  {0x06, 0, 0, 0},
      {0x28, 0, 0, 12},         {0x15, 1, 0, 0x0800}, {0x06, 0, 0, 0},  {0x30, 0, 0, 23},
      {0x15, 1, 0, 17},         {0x06, 0, 0, 0},      {0x01, 0, 0, m1}, {0x20, 0, 0, 0},
      {0x1d, 0, 4, 0},          {0x01, 0, 0, m2},     {0x28, 0, 0, 4},  {0x1d, 0, 1, 0},
      {0x06, 0, 0, 0xffffffff}, {0x01, 0, 0, m1},     {0x20, 0, 0, 6},  {0x1d, 1, 0, 0},
      {0x06, 0, 0, 0},          {0x01, 0, 0, m2},     {0x28, 0, 0, 10}, {0x1d, 0, 1, 0},
      {0x06, 0, 0, 0xffffffff}, {0x06, 0, 0, 0},
  };
  static_assert(sizeof code / sizeof code[0] == 26);
  return attach(fd, code, 26);
}

int configure_arp_filter(int fd, const uint8_t if_mac[6], const uint8_t client_mac[6]) {
  const uint32_t a1 = load_be32(if_mac);
  const uint32_t a2 = load_be16(if_mac + 4);
  const uint32_t b1 = load_be32(client_mac);
  const uint32_t b2 = load_be16(client_mac + 4);
  struct sock_filter code[] = {
      {0x28, 0, 0, 12},         {0x15, 1, 0, 0x0806}, {0x06, 0, 0, 0},          {0x28, 0, 0, 20},
      {0x15, 1, 0, 1},          {0x15, 8, 21, 2},     {0x01, 0, 0, b1},         {0x20, 0, 0, 6},
      {0x1d, 0, 4, 0},          {0x01, 0, 0, b2},     {0x28, 0, 0, 10},         {0x1d, 0, 1, 0},
      {0x06, 0, 0, 0xffffffff}, {0x06, 0, 0, 0},      {0x01, 0, 0, a1},         {0x20, 0, 0, 6},
      {0x1d, 0, 3, 0},          {0x01, 0, 0, a2},     {0x28, 0, 0, 10},         {0x1d, 7, 0, 0},
      {0x01, 0, 0, b1},         {0x20, 0, 0, 0},      {0x1d, 0, 4, 0},          {0x01, 0, 0, b2},
      {0x28, 0, 0, 4},          {0x1d, 0, 1, 0},      {0x06, 0, 0, 0xffffffff}, {0x06, 0, 0, 0},
  };
  static_assert(sizeof code / sizeof code[0] == 28);
  return attach(fd, code, 28);
}
