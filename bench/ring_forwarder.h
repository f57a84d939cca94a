// A minimal, engine-free forwarder on a client's proxy port, the baseline of
// the lab benchmarks: per thread a receive ring and a transmit ring opened
// by the daemon's own setup_pmmap_socket and sized by pmmap_listener_frames
// (so the same geometry, receive filter and fanout group as a listener's,
// whatever the daemon changes in them),
// each UDP frame's checksum recomputed (veth leaves it partial) and the frame
// copied to the transmit ring, which is kicked once per lap.
//
//   ring_forwarder f;
//   if (f.start(lab.host_ns(), lab.client_if(1), lab.client_mac(1), 2, PACKET_FANOUT_HASH)) {
//     ... traffic ...
//   }
//   f.finish();  // f.kdrops: frames the kernel dropped on the receive rings
//
// Nothing else may listen on the port meanwhile. Needs root.
#pragma once

#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "contexts/clients.h"
#include "contexts/proxy_context.h"
#include "net/listener.h"
#include "net/pmmap.h"
#include "net/udp.h"
#include "support/lab.h"

class ring_forwarder {
 public:
  ring_forwarder() = default;
  ~ring_forwarder() { finish(); }
  ring_forwarder(const ring_forwarder&) = delete;
  ring_forwarder& operator=(const ring_forwarder&) = delete;

  // `threads` forwarding threads on `interface` of namespace `ns` for the
  // client with `mac`, in one fanout group (`fanout_mode`: PACKET_FANOUT_*),
  // with rings of `ring_kib` as the daemon's listenerRingKiB. False when a
  // ring could not be set up (finish() then cleans up).
  bool start(const std::string& ns, const std::string& interface, const tarn_test::mac_address& mac,
             int threads, uint32_t fanout_mode, uint16_t group = 0x77,
             uint32_t ring_kib = LISTENER_RING_KIB_DEFAULT) {
    client_.mac = mac;
    client_.interface = interface;
    stop_.reset(eventfd(0, EFD_CLOEXEC));
    if (!stop_) return false;
    {
      tarn_test::lab_enter in(ns);
      for (int i = 0; i < threads; i++) {
        auto w = std::make_unique<worker>();
        w->tlt.name = "fwd-" + interface + "-" + std::to_string(i);
        w->tlt.interface = interface;
        w->tlt.client = &client_;
        w->tlt.fanout_group_id = group;
        // As a listener does: frames sized for the link's MTU.
        w->tlt.mtu = get_interface_mtu(interface.c_str());
        const uint32_t frames = pmmap_listener_frames(ring_kib, w->tlt.mtu);
        const bool ok = setup_pmmap_socket(&w->rx, &w->tlt, htons(ETH_P_IP), PACKET_RX_RING,
                                           fanout_mode, frames) >= 0 &&
                        setup_pmmap_socket(&w->tx, &w->tlt, 0, PACKET_TX_RING, 0, frames) >= 0;
        workers_.push_back(std::move(w));
        if (!ok) return false;
      }
    }
    for (auto& w : workers_) w->thread = std::thread(&ring_forwarder::run, this, w.get());
    return true;
  }

  // Stops the threads, adds the receive rings' kernel drops to kdrops and
  // releases the rings.
  void finish() {
    if (stop_) eventfd_write(stop_.get(), 1);
    for (auto& w : workers_) {
      if (w->thread.joinable()) w->thread.join();
      struct tpacket_stats st {};
      socklen_t len = sizeof st;
      if (w->rx.fd >= 0 && getsockopt(w->rx.fd, SOL_PACKET, PACKET_STATISTICS, &st, &len) == 0)
        kdrops += st.tp_drops;
    }
    workers_.clear();
    stop_.reset();
  }

  uint64_t kdrops = 0;

 private:
  struct worker {
    tlt_context tlt;
    pmmap_ring rx, tx;  // released by their destructors
    std::thread thread;
  };

  static std::atomic_ref<uint32_t> status(uint8_t* f) {
    return std::atomic_ref<uint32_t>(reinterpret_cast<tpacket2_hdr*>(f)->tp_status);
  }

  // The frame to copy, or 0 when it is not a whole IPv4 frame that fits a
  // transmit frame; a whole UDP datagram gets its checksum.
  static uint32_t prepare(uint8_t* f, uint32_t tx_room) {
    auto* h = reinterpret_cast<tpacket2_hdr*>(f);
    if (h->tp_net < h->tp_mac || h->tp_snaplen < h->tp_len) return 0;
    const uint32_t link = h->tp_net - h->tp_mac;
    if (h->tp_snaplen < link + 20) return 0;
    uint8_t* ip = f + h->tp_net;
    const uint32_t total = static_cast<uint32_t>((ip[2] << 8) | ip[3]);
    if (total < 20 || link + total > h->tp_snaplen || link + total > tx_room) return 0;
    const bool fragment = ((ip[6] & 0x3f) | ip[7]) != 0;
    if (ip[9] == IPPROTO_UDP && !fragment) calculate_udp_checksum(ip, total);
    return link + total;
  }

  void run(worker* w) {
    pmmap_ring& rx = w->rx;
    pmmap_ring& tx = w->tx;
    const uint32_t tx_room = tx.req.tp_frame_size - PMMAP_TX_DATA_OFFSET;
    struct pollfd p[2] = {{rx.fd, POLLIN, 0}, {stop_.get(), POLLIN, 0}};
    for (;;) {
      if (poll(p, 2, -1) < 0) continue;
      if (p[1].revents & POLLIN) return;
      bool queued = false;
      // One lap at most, so that the stop request is seen.
      for (size_t n = 0; n < rx.frames.size(); n++) {
        uint8_t* f = rx.frames[rx.current].start;
        if ((status(f).load(std::memory_order_acquire) & TP_STATUS_USER) == 0) break;
        if (const uint32_t len = prepare(f, tx_room); len != 0) {
          uint8_t* t = tx.frames[tx.current].start;
          while (status(t).load(std::memory_order_acquire) &
                 (TP_STATUS_SEND_REQUEST | TP_STATUS_SENDING)) {
            send(tx.fd, nullptr, 0, MSG_DONTWAIT);
            struct pollfd o = {tx.fd, POLLOUT, 0};
            poll(&o, 1, 1);
          }
          const auto* h = reinterpret_cast<const tpacket2_hdr*>(f);
          memcpy(t + PMMAP_TX_DATA_OFFSET, f + h->tp_mac, len);
          reinterpret_cast<tpacket2_hdr*>(t)->tp_len = len;
          reinterpret_cast<tpacket2_hdr*>(t)->tp_snaplen = len;
          status(t).store(TP_STATUS_SEND_REQUEST, std::memory_order_release);
          tx.current = (tx.current + 1) % static_cast<uint32_t>(tx.frames.size());
          queued = true;
        }
        status(f).store(TP_STATUS_KERNEL, std::memory_order_release);
        rx.current = (rx.current + 1) % static_cast<uint32_t>(rx.frames.size());
      }
      if (queued) send(tx.fd, nullptr, 0, MSG_DONTWAIT);
    }
  }

  client_context client_;
  unique_fd stop_;
  std::vector<std::unique_ptr<worker>> workers_;
};
