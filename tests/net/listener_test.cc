// What the listeners do without a network: how a captured frame is taken,
// and the packet-mmap transmit ring in anonymous memory (queue_data's
// frames, a wedged ring).
#include "net/listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <sys/mman.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "net/pmmap.h"
#include "support/log_capture.h"

namespace {

using bytes = std::vector<uint8_t>;

// A frame of `payload` bytes of UDP: 14 + ihl + 8 + payload bytes, with
// `edits` applied ({offset, value}) and cut or padded to `size`.
bytes frame(size_t payload, std::initializer_list<std::pair<size_t, uint8_t>> edits = {},
            size_t ihl = 20, size_t size = 0) {
  bytes f(14 + ihl + 8 + payload, 0x5c);
  const uint8_t eth[14] = {2, 0, 0, 0, 1, 1, 2, 0, 0, 0, 2, 0, 0x08, 0x00};
  memcpy(f.data(), eth, 14);
  uint8_t* ip = f.data() + 14;
  memset(ip, 0, ihl);
  ip[0] = static_cast<uint8_t>(0x40 | (ihl / 4));
  ip[2] = static_cast<uint8_t>((ihl + 8 + payload) >> 8);
  ip[3] = static_cast<uint8_t>(ihl + 8 + payload);
  ip[9] = 17;
  for (auto [at, value] : edits) f[at] = value;
  if (size != 0) f.resize(size, 0xee);
  return f;
}

TEST(ListenerCheckFrame, TakesOnlyWholeDatagramsAndNeverPaddingOrMissingBytes) {
  struct {
    const char* what;
    bytes f;
    size_t cut;  // bytes missing from the capture
    listener_verdict verdict;
    size_t ip_len, ihl;
  } cases[] = {
      {"a datagram of 0 bytes (42-byte frame)", frame(0), 0, LISTENER_DATAGRAM, 28, 20},
      {"0 bytes padded to 60", frame(0, {}, 20, 60), 0, LISTENER_DATAGRAM, 28, 20},
      {"1472 bytes", frame(1472), 0, LISTENER_DATAGRAM, 1500, 20},
      {"a 24-byte IP header", frame(10, {}, 24), 0, LISTENER_DATAGRAM, 42, 24},
      {"the capture cut short", frame(1472), 100, LISTENER_TRUNCATED, 0, 0},
      {"the capture cut inside the headers", frame(100), 120, LISTENER_TRUNCATED, 0, 0},
      {"shorter than its total length", frame(10, {{17, 60}}), 0, LISTENER_INVALID, 0, 0},
      {"total length below header + 8", frame(10, {{17, 27}}), 0, LISTENER_INVALID, 0, 0},
      {"no room for the IP header", frame(0, {}, 20, 33), 0, LISTENER_INVALID, 0, 0},
      {"header length below 20", frame(10, {{14, 0x44}}), 0, LISTENER_INVALID, 0, 0},
      {"IP version 6", frame(10, {{14, 0x65}}), 0, LISTENER_INVALID, 0, 0},
      {"not UDP", frame(10, {{23, 6}}), 0, LISTENER_INVALID, 0, 0},
      {"not IPv4", frame(10, {{12, 0x86}}), 0, LISTENER_INVALID, 0, 0},
      {"first fragment", frame(100, {{20, 0x20}}), 0, LISTENER_FRAGMENT, 128, 20},
      {"later fragment", frame(100, {{21, 0xb9}}), 0, LISTENER_FRAGMENT, 128, 20},
      {"a later fragment's 4 bytes", frame(0, {{21, 0xb9}, {17, 24}}), 0, LISTENER_FRAGMENT, 24,
       20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // Only the captured bytes exist: ASan catches a read beyond them.
    const size_t captured = c.f.size() - c.cut;
    bytes capture(c.f.begin(), c.f.begin() + static_cast<long>(captured));
    listener_capture cap;
    EXPECT_EQ(listener_check_frame(capture.data(), captured, c.f.size(), &cap), c.verdict);
    if (c.verdict == LISTENER_DATAGRAM || c.verdict == LISTENER_FRAGMENT) {
      EXPECT_EQ(cap.ip_len, c.ip_len);
      EXPECT_EQ(cap.ihl, c.ihl);
      EXPECT_EQ(cap.ip, capture.data() + 14);
    }
  }
}

struct memory_ring {
  pmmap_ring ring;
  memory_ring() {
    void* m = mmap(nullptr, PMMAP_BLOCK_SIZE * PMMAP_BLOCK_COUNT, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(m, MAP_FAILED);
    ring.mapping = static_cast<uint8_t*>(m);
    ring.kind = PACKET_TX_RING;
    ring.req = {PMMAP_BLOCK_SIZE, PMMAP_BLOCK_COUNT, PMMAP_FRAME_SIZE, PMMAP_FRAME_COUNT};
    for (uint32_t i = 0; i < PMMAP_FRAME_COUNT; i++) {
      ring.frames.push_back({ring.mapping + i * PMMAP_FRAME_SIZE, PMMAP_FRAME_SIZE});
    }
  }
  std::atomic_ref<uint32_t> status(uint32_t i) {
    return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(ring.frames[i].start));
  }
};

TEST(PmmapTransmit, AWedgedRingDropsFramesInsteadOfHangingTheThread) {
  memory_ring m;
  for (uint32_t i = 0; i < PMMAP_FRAME_COUNT; i++) {
    m.status(i).store(i % 2 ? TP_STATUS_SENDING : TP_STATUS_SEND_REQUEST);
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pmmap_tx_frame(&m.ring), nullptr);
  EXPECT_GE(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(PMMAP_TX_WAIT_LIMIT_MS));
  EXPECT_TRUE(m.ring.stalled);
  EXPECT_EQ(m.ring.dropped, 1u);
  EXPECT_EQ(m.ring.current, 0u);

  // While it stays wedged, later frames are dropped without another wait,
  // and so are queued replies.
  EXPECT_EQ(pmmap_tx_frame(&m.ring), nullptr);
  const uint8_t mac[6] = {};
  queue_data_context q{-1, &m.ring, mac, mac};
  sockaddr_in a{};
  EXPECT_EQ(queue_data(&q, &a, &a, "x", 1), 0);
  EXPECT_EQ(m.ring.dropped, 3u);

  // Once the frame comes free the ring is used again.
  m.status(0).store(TP_STATUS_AVAILABLE);
  EXPECT_EQ(pmmap_tx_frame(&m.ring), m.ring.frames[0].start);
  EXPECT_FALSE(m.ring.stalled);
  EXPECT_EQ(m.ring.current, 1u);
}

uint16_t be16_at(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// The one's complement sum over a region, folded: 0xFFFF when the stored
// checksum in it is right.
uint16_t ones_sum(const uint8_t* p, size_t len, uint32_t sum = 0) {
  for (size_t i = 0; i + 1 < len; i += 2) sum += be16_at(p + i);
  if (len & 1) sum += static_cast<uint32_t>(p[len - 1] << 8);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}

TEST(QueueData, FillsOneSlotPerReplyAndRefusesWhatDoesNotFitWithRateLimitedWarnings) {
  tarn_test::log_capture log;
  log.clear();
  memory_ring m;
  const uint8_t if_mac[6] = {2, 0, 0, 0, 3, 1}, client_mac[6] = {2, 0, 0, 0, 1, 1};
  log_limit refused_log;
  queue_data_context q{-1, &m.ring, if_mac, client_mac, 0, &refused_log};
  sockaddr_in server{}, client{};
  server.sin_port = htons(6901);
  client.sin_port = htons(40001);
  inet_pton(AF_INET, "198.18.0.20", &server.sin_addr);
  inet_pton(AF_INET, "198.18.0.101", &client.sin_addr);
  bytes payload(1955);
  for (size_t i = 0; i < payload.size(); i++) payload[i] = static_cast<uint8_t>(i * 13 + 5);

  // The first warning at once, the next ones held back and counted in the
  // first line of the next interval.
  for (int i = 0; i < 3; i++) EXPECT_EQ(queue_data(&q, &server, &client, payload.data(), 1955), 0);
  refused_log.window -= LISTENER_LOG_INTERVAL_US;
  EXPECT_EQ(queue_data(&q, &server, &client, payload.data(), 1955), 0);
  EXPECT_EQ(log.count("queue_data: Packet length 2049 exceeds frame size 2048"), 2u);
  EXPECT_TRUE(
      log.contains(G_LOG_LEVEL_MESSAGE, "queue_data: 2 more lines like the next were not logged"));
  EXPECT_EQ(m.ring.current, 0u);
  EXPECT_EQ(m.status(0).load(), 0u);

  for (size_t len : {size_t{1954}, size_t{0}, size_t{7}}) {
    SCOPED_TRACE(testing::Message() << "payload " << len);
    const uint32_t slot = m.ring.current;
    ASSERT_EQ(queue_data(&q, &server, &client, payload.data(), len), static_cast<ssize_t>(len));
    EXPECT_EQ(m.ring.current, slot + 1);
    const uint8_t* s = m.ring.frames[slot].start;
    EXPECT_EQ(m.status(slot).load(), static_cast<uint32_t>(TP_STATUS_SEND_REQUEST));
    const auto* h = reinterpret_cast<const tpacket2_hdr*>(s);
    EXPECT_EQ(h->tp_len, len + 42);
    EXPECT_EQ(h->tp_snaplen, len + 42);
    const uint8_t* eth = s + 32;
    const uint8_t head[] = {2, 0, 0, 0, 1, 1, 2, 0, 0, 0, 3, 1, 0x08, 0, 0x45, 0};
    EXPECT_EQ(memcmp(eth, head, sizeof head), 0);
    const uint8_t* ip = eth + 14;
    EXPECT_EQ(be16_at(ip + 2), len + 28);
    EXPECT_EQ(be16_at(ip + 4) | be16_at(ip + 6), 0);  // id, flags and offset
    EXPECT_EQ(ip[8], 128);
    EXPECT_EQ(ip[9], 17);
    EXPECT_EQ(ones_sum(ip, 20), 0xffff) << "IP header checksum";
    EXPECT_EQ(memcmp(ip + 12, &server.sin_addr, 4), 0);
    EXPECT_EQ(memcmp(ip + 16, &client.sin_addr, 4), 0);
    const uint8_t* udp = ip + 20;
    EXPECT_EQ(be16_at(udp), 6901);
    EXPECT_EQ(be16_at(udp + 2), 40001);
    EXPECT_EQ(be16_at(udp + 4), len + 8);
    EXPECT_EQ(memcmp(udp + 8, payload.data(), len), 0);
    const uint32_t pseudo = ones_sum(ip + 12, 8) + 17 + static_cast<uint32_t>(len + 8);
    EXPECT_EQ(ones_sum(udp, len + 8, pseudo), 0xffff) << "UDP checksum";
  }
  EXPECT_EQ(m.ring.unsent, 3u);
}

}  // namespace
