// How a captured frame is taken, and the packet-mmap transmit ring in
// anonymous memory (queue_data's frames, a wedged ring).
#include "net/listener.h"

#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <sys/mman.h>

#include <cstring>
#include <vector>

#include "net/listener_fixture.h"
#include "net/pmmap.h"
#include "support/log_capture.h"

namespace {

using namespace listener_test;

// A frame of `payload` bytes of UDP: 14 + ihl + 8 + payload bytes, with
// `edits` applied ({offset, value}) and cut or padded to `size`.
bytes frame(size_t payload, std::initializer_list<std::pair<size_t, uint8_t>> edits = {},
            size_t ihl = 20, size_t size = 0) {
  bytes f(14 + ihl + 8 + payload, 0x5c);
  const uint8_t eth[14] = {2, 0, 0, 0, 1, 1, 2, 0, 0, 0, 2, 0, 0x08, 0x00};
  memcpy(f.data(), eth, 14);
  memset(f.data() + 14, 0, ihl);
  f[14] = static_cast<uint8_t>(0x40 | (ihl / 4));
  f[16] = static_cast<uint8_t>((ihl + 8 + payload) >> 8);
  f[17] = static_cast<uint8_t>(ihl + 8 + payload);
  f[23] = 17;
  for (auto [at, value] : edits) f[at] = value;
  if (size != 0) f.resize(size, 0xee);
  return f;
}

TEST(ListenerCheckFrame, TakesOnlyWholeDatagramsAndNeverPaddingOrMissingBytes) {
  const auto D = LISTENER_DATAGRAM, T = LISTENER_TRUNCATED, I = LISTENER_INVALID,
             F = LISTENER_FRAGMENT;
  struct {
    const char* what;
    bytes f;
    size_t cut;  // bytes missing from the capture
    listener_verdict verdict;
    size_t ip_len, ihl;
  } cases[] = {
      {"a datagram of 0 bytes (42-byte frame)", frame(0), 0, D, 28, 20},
      {"0 bytes padded to 60", frame(0, {}, 20, 60), 0, D, 28, 20},
      {"1472 bytes", frame(1472), 0, D, 1500, 20},
      {"a 24-byte IP header", frame(10, {}, 24), 0, D, 42, 24},
      {"the capture cut short", frame(1472), 100, T, 0, 0},
      {"the capture cut inside the headers", frame(100), 120, T, 0, 0},
      {"shorter than its total length", frame(10, {{17, 60}}), 0, I, 0, 0},
      {"total length below header + 8", frame(10, {{17, 27}}), 0, I, 0, 0},
      {"no room for the IP header", frame(0, {}, 20, 33), 0, I, 0, 0},
      {"header length below 20", frame(10, {{14, 0x44}}), 0, I, 0, 0},
      {"IP version 6", frame(10, {{14, 0x65}}), 0, I, 0, 0},
      {"not UDP", frame(10, {{23, 6}}), 0, I, 0, 0},
      {"not IPv4", frame(10, {{12, 0x86}}), 0, I, 0, 0},
      {"first fragment", frame(100, {{20, 0x20}}), 0, F, 128, 20},
      {"later fragment", frame(100, {{21, 0xb9}}), 0, F, 128, 20},
      {"a later fragment's 4 bytes", frame(0, {{21, 0xb9}, {17, 24}}), 0, F, 24, 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // Only the captured bytes exist: ASan catches a read beyond them.
    bytes capture(c.f.begin(), c.f.end() - static_cast<long>(c.cut));
    listener_capture cap;
    EXPECT_EQ(listener_check_frame(capture.data(), capture.size(), c.f.size(), &cap), c.verdict);
    if (c.verdict == D || c.verdict == F) {
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
    for (uint32_t i = 0; i < PMMAP_FRAME_COUNT; i++)
      ring.frames.push_back({ring.mapping + i * PMMAP_FRAME_SIZE, PMMAP_FRAME_SIZE});
  }
  std::atomic_ref<uint32_t> status(uint32_t i) {
    return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(ring.frames[i].start));
  }
};

TEST(PmmapTransmit, AWedgedRingDropsFramesInsteadOfHangingTheThread) {
  memory_ring m;
  for (uint32_t i = 0; i < PMMAP_FRAME_COUNT; i++)
    m.status(i).store(i % 2 ? TP_STATUS_SENDING : TP_STATUS_SEND_REQUEST);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pmmap_tx_frame(&m.ring), nullptr);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1ms * PMMAP_TX_WAIT_LIMIT_MS);
  EXPECT_TRUE(m.ring.stalled);
  EXPECT_EQ(m.ring.dropped, 1u);
  EXPECT_EQ(m.ring.current, 0u);
  // While it stays wedged, frames and queued replies are dropped at once.
  EXPECT_EQ(pmmap_tx_frame(&m.ring), nullptr);
  queue_data_context q{-1, &m.ring, CLIENT.data(), CLIENT.data()};
  sockaddr_in a{};
  EXPECT_EQ(queue_data(&q, &a, &a, "x", 1), 0);
  EXPECT_EQ(m.ring.dropped, 3u);
  // Once the frame comes free the ring is used again.
  m.status(0).store(TP_STATUS_AVAILABLE);
  EXPECT_EQ(pmmap_tx_frame(&m.ring), m.ring.frames[0].start);
  EXPECT_FALSE(m.ring.stalled);
  EXPECT_EQ(m.ring.current, 1u);
}

// The one's complement sum over a region, folded: 0xFFFF when the stored
// checksum in it is right.
uint16_t ones_sum(const uint8_t* p, size_t len, uint32_t sum = 0) {
  for (size_t i = 0; i < len; i += 2) sum += (p[i] << 8) | (i + 1 < len ? p[i + 1] : 0);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}

TEST(QueueData, FillsOneSlotPerReplyAndRefusesWhatDoesNotFitWithRateLimitedWarnings) {
  tarn_test::log_capture log;
  log.clear();
  memory_ring m;
  log_limit refused_log;
  queue_data_context q{-1, &m.ring, IFACE.data(), CLIENT.data(), 0, &refused_log};
  const sockaddr_in server = tarn_test::lab_address("198.18.0.20", SERVER_PORT),
                    client = tarn_test::lab_address("198.18.0.101", 40001);
  const bytes payload = pattern(1955, 5);

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
    EXPECT_EQ(m.status(slot).load(), static_cast<uint32_t>(TP_STATUS_SEND_REQUEST));
    const auto* h = reinterpret_cast<const tpacket2_hdr*>(m.ring.frames[slot].start);
    EXPECT_EQ(h->tp_len, len + 42);
    EXPECT_EQ(h->tp_snaplen, len + 42);
    // The client's frame from the interface, with IPv4 flags 0 and TTL 128;
    // both checksums right (the UDP one over the pseudo-header).
    const uint8_t* ip = m.ring.frames[slot].start + 32 + 14;
    EXPECT_EQ(ones_sum(ip, 20), 0xffff) << "IP header checksum";
    const uint32_t pseudo = ones_sum(ip + 12, 8) + 17 + static_cast<uint32_t>(len + 8);
    EXPECT_EQ(ones_sum(ip + 20, len + 8, pseudo), 0xffff) << "UDP checksum";
    bytes want =
        udp_frame(CLIENT, IFACE, server, client, {payload.begin(), payload.begin() + long(len)});
    want[20] = 0;
    want[22] = 128;
    bytes got(ip - 14, ip + 28 + len);
    std::copy(want.begin() + 24, want.begin() + 26, got.begin() + 24);
    EXPECT_EQ(got, want);
  }
  EXPECT_EQ(m.ring.unsent, 3u);
}

}  // namespace
