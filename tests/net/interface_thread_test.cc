// The interface-thread handshake with stand-in thread functions: real threads
// and eventfds, no packet sockets (listener_root_test.cc runs the real ones).
#include "net/interface_thread.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include "contexts/proxy_context.h"
#include "support/log_capture.h"

namespace {

std::atomic<int> running{0}, stopped{0};  // stand-ins

// What a stand-in reports: ready; nothing; ENODEV as listener 1 (a missing
// interface); an error of 0; ready and then EIO.
enum class act { ready, silent, fail_1, zero, twice };
act listener_act, arp_act;

int stand_in(tlt_context* tlt, act a) {
  if (a == act::zero || (a == act::fail_1 && tlt->name.ends_with("-1"))) {
    signal_thread_error(tlt, a == act::zero ? 0 : ENODEV);
    return 0;
  }
  running++;
  if (a != act::silent) signal_thread_ready(tlt);
  if (a == act::twice) signal_thread_error(tlt, EIO);
  for (int i = 0; i < 200; i++) {  // returns on the stop value, or after 20 s
    pollfd p{tlt->efd, POLLIN, 0};
    eventfd_t value = 0;
    if (poll(&p, 1, 100) == 1 && eventfd_read(tlt->efd, &value) == 0 &&
        value == INTERFACE_THREAD_STOP) {
      stopped++;
      break;
    }
  }
  running--;
  return 0;
}
int listener_stand_in(tlt_context* tlt) {
  return stand_in(tlt, listener_act);
}
int arp_stand_in(tlt_context* tlt) {
  return stand_in(tlt, arp_act);
}

class InterfaceThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    running = stopped = 0;
    interface_thread_init(&ctx);
    ctx.listener_threads = 2;
    ctx.arp_proxy = true;
    use(act::ready, act::ready);
    a.uuid = "0b7e4c1a-0000-4000-8000-00000000000a";
    a.interface = "eth1";
    logs.clear();
  }
  void TearDown() override {
    interface_thread_destroy(&ctx);  // stops whatever a test left running
    interface_thread_set_hooks(nullptr);
    EXPECT_EQ(running, 0);
  }
  void use(act listener, act arp, int timeout_ms = 10000) {
    listener_act = listener;
    arp_act = arp;
    hooks = {listener_stand_in, arp_stand_in, timeout_ms};
    interface_thread_set_hooks(&hooks);
  }
  interface_thread* group(const std::string& name) {
    auto found = ctx.interface_thread_ht->find(name);
    return found == ctx.interface_thread_ht->end() ? nullptr : found->second.get();
  }
  std::vector<std::string> logged(const std::string& text) {
    std::vector<std::string> out;
    for (const auto& l : logs.lines())
      if (l.message.find(text) != std::string::npos) out.push_back(l.message);
    return out;
  }

  proxy_context ctx;
  client_context a;
  interface_thread_hooks hooks;
  tarn_test::log_capture logs;
  const std::string c = "Client 0b7e4c1a-0000-4000-8000-00000000000a - ";
};

std::string kernel_name(const std::unique_ptr<tlt_context>& tlt) {
  char name[32] = {};
  pthread_getname_np(tlt->thread.native_handle(), name, sizeof name);
  return name;
}

TEST_F(InterfaceThreads, StartsANamedGroupAndStopsItInOrder) {
  ASSERT_EQ(interface_thread_create(&ctx, &a, 0x12345), 0);
  EXPECT_EQ(running, 3);
  interface_thread* g = group("eth1");
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->fanout_group_id, 0x2345);  // the low 16 bits
  std::vector<std::string> names;
  for (auto& tlt : g->threads) names.push_back(kernel_name(tlt));
  EXPECT_EQ(names, (std::vector<std::string>{"udp-eth1-0", "udp-eth1-1", "arp-eth1"}));
  EXPECT_EQ(logged(" - Spawning "),
            (std::vector<std::string>{c + "Spawning udp-eth1-0", c + "Spawning udp-eth1-1",
                                      c + "Spawning arp-eth1"}));
  EXPECT_TRUE(logs.contains(c + "Waiting for 3 threads to be ready for eth1..."));
  EXPECT_TRUE(logs.contains(c + "All 3 threads are ready for eth1"));

  logs.clear();
  interface_thread_remove(&ctx, &a);
  EXPECT_EQ(stopped, 3);
  EXPECT_EQ(group("eth1"), nullptr);
  EXPECT_EQ(logged(" - Kill"),
            (std::vector<std::string>{c + "Killing udp-eth1-0...", c + "Killed udp-eth1-0",
                                      c + "Killing udp-eth1-1...", c + "Killed udp-eth1-1",
                                      c + "Killing arp-eth1...", c + "Killed arp-eth1"}));

  // The kernel keeps 15 characters of a name.
  a.interface = "averyverylongif0";
  ASSERT_EQ(interface_thread_create(&ctx, &a, 1), 0);
  EXPECT_EQ(kernel_name(group("averyverylongif0")->threads[0]), "udp-averyverylo");
}

// An error of 0 would add nothing to the counter and leave the creator
// waiting for the time-out: it arrives as EIO. A second report is refused
// rather than written to a closed channel.
TEST_F(InterfaceThreads, AnyFailureLeavesNothingRunning) {
  struct {
    act listener, arp;
    int timeout_ms, result;
    const char* line;
  } cases[] = {
      {act::fail_1, act::ready, 10000, -ENODEV,
       "Thread udp-eth1-1 signalled error 19; aborting..."},
      {act::ready, act::silent, 300, -ETIMEDOUT,
       "Timed out waiting for remaining 1 threads to be ready"},
      {act::zero, act::zero, 10000, -EIO, " signalled error 5; aborting..."},
      {act::twice, act::twice, 10000, 0, nullptr},
  };
  for (const auto& f : cases) {
    SCOPED_TRACE(f.result);
    use(f.listener, f.arp, f.timeout_ms);
    logs.clear();
    EXPECT_EQ(interface_thread_create(&ctx, &a, 1), f.result);
    if (f.line == nullptr) {
      interface_thread_remove(&ctx, &a);  // joined: each has made its second report
      EXPECT_EQ(logs.count("reported its state twice"), 3u);
      continue;
    }
    EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, f.line));
    EXPECT_TRUE(logs.contains(c + "Stopping any running interface threads for eth1..."));
    EXPECT_EQ(running, 0);
    EXPECT_EQ(group("eth1"), nullptr);
  }
}

}  // namespace
