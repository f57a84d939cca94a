// Client contexts with their real interface threads and transmit sockets, on
// veth interfaces in a throwaway network namespace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "contexts/proxy_context.h"
#include "support/lab.h"
#include "support/netns.h"
#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;

// Registry tables for a test, torn down in shutdown order.
struct registry {
  proxy_context ctx;
  std::shared_ptr<site_context> sites[2];
  registry() {
    ctx.listener_threads = 2;
    ctx.listener_fanout = 6;  // cbpf
    ctx.packet_mmap = true;
    ctx.arp_proxy = true;
    interface_thread_init(&ctx);
    site_contexts_init(&ctx);
    client_contexts_init(&ctx);
    vdisk_contexts_init(&ctx);
    for (int i = 0; i < 2; i++) {
      sites[i] = std::make_shared<site_context>();
      sites[i]->uuid = "5e1a0000-0000-4000-8000-00000000010" + std::to_string(i);
      sites[i]->context = &ctx;
      ctx.site_context_ht->emplace(sites[i]->uuid, sites[i]);
    }
  }
  ~registry() {
    client_contexts_destroy(&ctx);
    vdisk_contexts_destroy(&ctx);
    ctx.site_context_ht.reset();
    interface_thread_destroy(&ctx);
  }
};

TEST(RealClients, PrepopulateOpensTheTransmitSocketAndRemovalClosesIt) {
  TARN_REQUIRE_ROOT();
  tarn_test::netns ns("tcl");
  ASSERT_EQ(ns.run("ip link add v0 type veth peer name v1 && ip link set v0 up && "
                   "ip link set v1 up"),
            0);
  registry r;
  const uint8_t mac[6] = {0x02, 0x00, 0x00, 0x00, 0x01, 0x01};
  const char* uuid = "3b2a1c0d-0000-4000-8000-00000000000a";
  auto create = [&](bool prepopulate) {
    tarn_test::netns_enter inside(ns);  // the threads inherit the namespace
    return client_contexts_create(&r.ctx, r.sites[0].get(), uuid, mac, "v0", prepopulate);
  };
  client_context* a = create(false);
  ASSERT_NE(a, nullptr);
  EXPECT_FALSE(a->xmitfd.valid());
  ASSERT_EQ(create(true), a);
  const int fd = a->xmitfd.get();
  int type = 0, hdrincl = 0;
  socklen_t len = sizeof type;
  ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len), 0);
  ASSERT_EQ(getsockopt(fd, IPPROTO_IP, IP_HDRINCL, &hdrincl, &len), 0);
  EXPECT_EQ(type, SOCK_RAW);
  EXPECT_EQ(hdrincl, 1);
  ASSERT_EQ(create(false), a);  // turning it off keeps the socket
  EXPECT_EQ(a->xmitfd.get(), fd);

  client_contexts_remove_by_uuid(&r.ctx, uuid);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

// Waits, bounded, until `pred` holds.
template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Two lab clients echo datagrams with a server without pause while their
// client contexts are created and removed again and again, a status reader
// walks the table and a stand-in prepopulation job holds whichever client it
// finds. The sanitizer builds check the lifetimes; the echo counts show that
// a client's traffic flows exactly while its context exists.
TEST(ClientsUnderTraffic, CreateAndRemoveWhileTrafficFlows) {
  TARN_REQUIRE_ROOT();
  constexpr int CLIENTS = 2;
  constexpr int ROUNDS = 6;
  constexpr uint16_t PORT = 6901;
  tarn_test::lab lab(CLIENTS);
  ASSERT_TRUE(lab.steer(true));

  registry r;
  proxy_context& ctx = r.ctx;
  auto& sites = r.sites;

  unique_fd server = lab.udp_socket(lab.server_ns(), lab.server_ip(), PORT);
  ASSERT_TRUE(server.valid());
  std::vector<unique_fd> vms;
  for (int i = 1; i <= CLIENTS; i++) {
    vms.push_back(lab.udp_socket(lab.client_ns(i), lab.client_ip(i), 0));
    ASSERT_TRUE(vms.back().valid());
  }

  std::atomic<bool> done{false};
  std::atomic<uint64_t> echoes[CLIENTS] = {};
  std::atomic<uint64_t> holds{0};
  std::vector<std::thread> helpers;
  // Also when an assertion ends the test early: the clients go first (the
  // helpers may hold one), then the helpers.
  struct finish {
    proxy_context& ctx;
    std::atomic<bool>& done;
    std::vector<std::thread>& helpers;
    ~finish() {
      client_contexts_destroy(&ctx);
      done = true;
      for (auto& t : helpers) t.join();
    }
  } finally{ctx, done, helpers};
  helpers.emplace_back([&] {  // the server echoes whatever reaches it
    std::vector<uint8_t> buf(2048);
    while (!done) {
      pollfd p{server.get(), POLLIN, 0};
      if (poll(&p, 1, 50) != 1) continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n = recvfrom(server.get(), buf.data(), buf.size(), 0,
                           reinterpret_cast<sockaddr*>(&from), &len);
      if (n >= 0) {
        sendto(server.get(), buf.data(), static_cast<size_t>(n), 0,
               reinterpret_cast<sockaddr*>(&from), len);
      }
    }
  });
  for (int i = 0; i < CLIENTS; i++) {
    helpers.emplace_back([&, i] {  // a VM sending without pause, sizes 0 to 1472
      const sockaddr_in to = tarn_test::lab_address(lab.server_ip(), PORT);
      std::vector<uint8_t> buf(2048);
      for (uint32_t seq = 0; !done; seq++) {
        size_t size = (seq * 97) % 1473;
        std::vector<uint8_t> out(size, static_cast<uint8_t>(seq));
        if (size > 2) out[2] = 0;  // never a protocol message
        sendto(vms[i].get(), out.data(), out.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
        pollfd p{vms[i].get(), POLLIN, 0};
        while (poll(&p, 1, 2) == 1) {
          if (recv(vms[i].get(), buf.data(), buf.size(), 0) >= 0) echoes[i]++;
        }
      }
    });
  }
  helpers.emplace_back([&] {  // the status queries walk the table
    while (!done) {
      {
        std::shared_lock<std::shared_mutex> hold(ctx.client_lock);
        if (ctx.client_context_ht) {
          for (auto& entry : *ctx.client_context_ht) {
            client_context* cc = entry.second.get();
            EXPECT_LE(cc->status.load(), CLIENTSTATUS_INCOMPATIBLE_PROTOCOL_VERSION);
            (void)cc->metrics.client_sent_b.load();
          }
        }
      }
      std::this_thread::sleep_for(1ms);
    }
  });
  helpers.emplace_back([&] {  // a prepopulation job on whichever client exists
    while (!done) {
      client_context* cc = nullptr;
      {
        std::shared_lock<std::shared_mutex> hold(ctx.client_lock);
        if (ctx.client_context_ht && !ctx.client_context_ht->empty()) {
          cc = ctx.client_context_ht->begin()->second.get();
          if (!client_context_hold(cc)) cc = nullptr;
        }
      }
      if (cc == nullptr) {
        std::this_thread::sleep_for(2ms);
        continue;
      }
      holds++;
      for (int i = 0; i < 20 && cc->prepopulate.load(std::memory_order_acquire) != 0; i++) {
        int type = 0;
        socklen_t len = sizeof type;
        EXPECT_EQ(getsockopt(cc->xmitfd.get(), SOL_SOCKET, SO_TYPE, &type, &len), 0);
        std::this_thread::sleep_for(2ms);
      }
      client_context_release(cc);
    }
  });

  auto uuid = [](int round, int i) {
    return "3b2a1c0d-0000-4000-8000-0000000" + std::to_string(10000 + round * 10 + i);
  };
  auto flowing = [&](int i, bool expected) {
    uint64_t before = echoes[i];
    if (expected) return eventually([&] { return echoes[i] >= before + 5; }, 5000ms);
    std::this_thread::sleep_for(300ms);  // what was in flight has landed
    before = echoes[i];
    std::this_thread::sleep_for(300ms);
    return echoes[i] == before;
  };
  for (int round = 0; round < ROUNDS; round++) {
    for (int i = 0; i < CLIENTS; i++) {
      tarn_test::mac_address mac = lab.client_mac(i + 1);
      client_context* cc;
      {
        tarn_test::lab_enter in(lab.host_ns());
        cc = client_contexts_create(&ctx, sites[i].get(), uuid(round, i).c_str(), mac.data(),
                                    lab.client_if(i + 1).c_str(), true);
      }
      ASSERT_NE(cc, nullptr) << "round " << round << " client " << i;
      EXPECT_TRUE(flowing(i, true)) << "round " << round << " client " << i;
    }
    // One site's client goes, by site or by uuid; the other's keeps flowing.
    int gone = round % CLIENTS;
    if (round % 3 == 0) {
      client_contexts_remove_by_site_context(&ctx, sites[gone].get());
    } else {
      client_contexts_remove_by_uuid(&ctx, uuid(round, gone).c_str());
    }
    EXPECT_TRUE(flowing(gone, false)) << "round " << round;
    EXPECT_TRUE(flowing(1 - gone, true)) << "round " << round;
    client_contexts_remove_by_uuid(&ctx, uuid(round, 1 - gone).c_str());
  }
  // Shutdown with both clients running under traffic.
  for (int i = 0; i < CLIENTS; i++) {
    tarn_test::mac_address mac = lab.client_mac(i + 1);
    tarn_test::lab_enter in(lab.host_ns());
    ASSERT_NE(client_contexts_create(&ctx, sites[i].get(), uuid(ROUNDS, i).c_str(), mac.data(),
                                     lab.client_if(i + 1).c_str(), true),
              nullptr);
  }
  client_contexts_destroy(&ctx);
  EXPECT_TRUE(ctx.interface_thread_ht->empty());
  EXPECT_GT(holds, 0u);
}

}  // namespace
