// Clients brought up and down with their real interface threads and transmit
// sockets while lab VMs and a server exchange datagrams through them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "contexts/proxy_context.h"
#include "control/lifecycle.h"
#include "net/interface_thread.h"
#include "support/lab.h"
#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;

// Two VMs echo datagrams with a server without pause while their clients
// are brought up and down, and a stand-in prepopulation job holds whichever
// client it finds. The echo counts show that a client's traffic flows
// exactly while it is up; the sanitizer builds check the lifetimes.
TEST(ClientsUnderTraffic, UpAndDownWhileTrafficFlows) {
  TARN_REQUIRE_ROOT();
  constexpr uint16_t PORT = 6901;
  tarn_test::lab lab(2);
  ASSERT_TRUE(lab.steer(true));
  proxy_context ctx;
  ctx.listener_threads = 2;
  ctx.listener_fanout = 6;  // cbpf
  ctx.packet_mmap = true;
  ctx.arp_proxy = true;
  interface_thread_init(&ctx);
  site_contexts_init(&ctx);
  client_contexts_init(&ctx);
  vdisk_contexts_init(&ctx);
  site_context site;
  site.uuid = "5e1a0000-0000-4000-8000-000000000100";
  site.context = &ctx;

  unique_fd server = lab.udp_socket(lab.server_ns(), lab.server_ip(), PORT);
  ASSERT_TRUE(server.valid());
  unique_fd vms[2];
  std::atomic<uint64_t> echoes[2] = {};
  std::atomic<bool> done{false};
  std::atomic<uint64_t> holds{0};
  std::vector<std::thread> helpers;
  // Also when an assertion ends the test early: the clients go first (the
  // job may hold one), then the helpers.
  struct finish {
    proxy_context& ctx;
    std::atomic<bool>& done;
    std::vector<std::thread>& helpers;
    ~finish() {
      client_contexts_destroy(&ctx);
      done = true;
      for (auto& t : helpers) t.join();
      vdisk_contexts_destroy(&ctx);
      interface_thread_destroy(&ctx);
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
      if (n >= 0) sendto(server.get(), buf.data(), n, 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  });
  for (int i = 0; i < 2; i++) {
    vms[i] = lab.udp_socket(lab.client_ns(i + 1), lab.client_ip(i + 1), 0);
    ASSERT_TRUE(vms[i].valid());
    helpers.emplace_back([&, i] {  // a VM sending without pause, sizes 0 to 1472
      const sockaddr_in to = tarn_test::lab_address(lab.server_ip(), PORT);
      std::vector<uint8_t> buf(2048);
      for (uint32_t seq = 0; !done; seq++) {
        std::vector<uint8_t> out((seq * 97) % 1473, 0);  // byte 2 zero: never a protocol message
        sendto(vms[i].get(), out.data(), out.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
        pollfd p{vms[i].get(), POLLIN, 0};
        while (poll(&p, 1, 2) == 1) {
          if (recv(vms[i].get(), buf.data(), buf.size(), 0) >= 0) echoes[i]++;
        }
      }
    });
  }
  helpers.emplace_back([&] {  // a prepopulation job on whichever client is up
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
        EXPECT_EQ(type, SOCK_RAW);
        std::this_thread::sleep_for(2ms);
      }
      client_context_release(cc);
    }
  });

  auto flowing = [&](int i, bool expected) {
    uint64_t before = echoes[i];
    for (int n = 0; expected && n < 1000 && echoes[i] < before + 5; n++) {
      std::this_thread::sleep_for(5ms);
    }
    if (expected) return echoes[i] >= before + 5;
    std::this_thread::sleep_for(300ms);  // what was in flight has landed
    before = echoes[i];
    std::this_thread::sleep_for(300ms);
    return echoes[i] == before;
  };
  auto uuid = [](int round, int i) {
    return "3b2a1c0d-0000-4000-8000-0000000" + std::to_string(10000 + round * 10 + i);
  };
  constexpr int ROUNDS = 4;
  for (int round = 0; round <= ROUNDS; round++) {
    for (int i = 0; i < 2; i++) {
      tarn_test::mac_address mac = lab.client_mac(i + 1);
      tarn_test::lab_enter in(lab.host_ns());
      ASSERT_NE(client_contexts_create(&ctx, &site, uuid(round, i).c_str(), mac.data(),
                                       lab.client_if(i + 1).c_str(), true),
                nullptr)
          << "round " << round << " client " << i;
    }
    if (round == ROUNDS) break;  // shutdown with both up under traffic
    EXPECT_TRUE(flowing(0, true) && flowing(1, true)) << "round " << round;
    const int gone = round % 2;
    client_contexts_remove_by_uuid(&ctx, uuid(round, gone).c_str());
    EXPECT_TRUE(flowing(gone, false)) << "round " << round;
    EXPECT_TRUE(flowing(1 - gone, true)) << "round " << round;
    client_contexts_remove_by_uuid(&ctx, uuid(round, 1 - gone).c_str());
  }
  client_contexts_destroy(&ctx);
  EXPECT_TRUE(ctx.interface_thread_ht->empty());
  EXPECT_GT(holds, 0u);
}

}  // namespace
