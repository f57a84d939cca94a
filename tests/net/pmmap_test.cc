// The transmit ring without a socket, in anonymous memory: frames are taken
// in ring order, a busy ring is waited for only so long, a wedged ring drops
// frames at once instead of holding every one up, and queue_data's frames
// can be read back.
#include "net/pmmap.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <vector>

#include "net/ovs.h"
#include "support/log_capture.h"

namespace {

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
  void set_status(uint32_t i, uint32_t s) {
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(ring.frames[i].start)).store(s);
  }
  uint32_t status(uint32_t i) {
    return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(ring.frames[i].start)).load();
  }
};

TEST(PmmapTransmit, AWedgedRingDropsFramesInsteadOfHangingTheThread) {
  memory_ring m;
  for (uint32_t i = 0; i < PMMAP_FRAME_COUNT; i++) {
    m.set_status(i, i % 2 ? TP_STATUS_SENDING : TP_STATUS_SEND_REQUEST);
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
  m.set_status(0, TP_STATUS_AVAILABLE);
  EXPECT_EQ(pmmap_tx_frame(&m.ring), m.ring.frames[0].start);
  EXPECT_FALSE(m.ring.stalled);
  EXPECT_EQ(m.ring.current, 1u);
}

uint32_t u32_at(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
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

TEST(QueueData, FillsOneSlotPerReplyAndRefusesWhatDoesNotFit) {
  tarn_test::log_capture log;
  memory_ring m;
  const uint8_t if_mac[6] = {2, 0, 0, 0, 3, 1}, client_mac[6] = {2, 0, 0, 0, 1, 1};
  listener_log_limit refused_log;
  queue_data_context q{-1, &m.ring, if_mac, client_mac, 0, &refused_log};
  sockaddr_in server{}, client{};
  server.sin_family = client.sin_family = AF_INET;
  server.sin_port = htons(6901);
  client.sin_port = htons(40001);
  inet_pton(AF_INET, "198.18.0.20", &server.sin_addr);
  inet_pton(AF_INET, "198.18.0.101", &client.sin_addr);

  std::vector<uint8_t> payload(1955);
  for (size_t i = 0; i < payload.size(); i++) payload[i] = static_cast<uint8_t>(i * 13 + 5);

  for (int i = 0; i < 3; i++) EXPECT_EQ(queue_data(&q, &server, &client, payload.data(), 1955), 0);
  EXPECT_TRUE(log.contains(G_LOG_LEVEL_WARNING,
                           "queue_data: Packet length 2049 exceeds frame "
                           "size 2048"));
  EXPECT_EQ(log.count("exceeds frame size"), 1u) << "a repeated warning was not held back";
  EXPECT_EQ(m.ring.current, 0u);
  EXPECT_EQ(m.status(0), 0u);

  for (size_t len : {size_t{1954}, size_t{0}, size_t{7}}) {
    SCOPED_TRACE(testing::Message() << "payload " << len);
    const uint32_t slot = m.ring.current;
    ASSERT_EQ(queue_data(&q, &server, &client, payload.data(), len), static_cast<ssize_t>(len));
    EXPECT_EQ(m.ring.current, slot + 1);
    const uint8_t* s = m.ring.frames[slot].start;
    EXPECT_EQ(m.status(slot), static_cast<uint32_t>(TP_STATUS_SEND_REQUEST));
    EXPECT_EQ(u32_at(s + 4), len + 42);
    EXPECT_EQ(u32_at(s + 8), len + 42);
    const uint8_t* eth = s + 32;
    EXPECT_EQ(memcmp(eth, client_mac, 6), 0);
    EXPECT_EQ(memcmp(eth + 6, if_mac, 6), 0);
    EXPECT_EQ(be16_at(eth + 12), 0x0800);
    const uint8_t* ip = eth + 14;
    EXPECT_EQ(ip[0], 0x45);
    EXPECT_EQ(ip[1], 0);
    EXPECT_EQ(be16_at(ip + 2), len + 28);
    EXPECT_EQ(be16_at(ip + 4), 0);
    EXPECT_EQ(be16_at(ip + 6), 0);
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
    // Pseudo-header, then the UDP header and payload.
    const uint32_t pseudo = be16_at(ip + 12) + be16_at(ip + 14) + be16_at(ip + 16) +
                            be16_at(ip + 18) + 17 + static_cast<uint32_t>(len + 8);
    EXPECT_EQ(ones_sum(udp, len + 8, pseudo), 0xffff) << "UDP checksum";
  }
  EXPECT_EQ(m.ring.unsent, 3u);
}

}  // namespace
