// The interface-thread handshake with stand-in thread functions: real threads
// and eventfds, no packet sockets (listener_root_test.cc runs the real ones).
#include "net/interface_thread.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include "contexts/proxy_context.h"
#include "support/log_capture.h"

namespace {

std::atomic<int> running{0};  // stand-ins started and not yet returned
std::atomic<int> stopped{0};  // stand-ins that returned on the stop value
std::atomic<int> ignored{0};  // other values read (and ignored)

// Returns on the stop value, or after 20 s.
int wait_for_stop(tlt_context* tlt) {
  for (int i = 0; i < 200; i++) {  // bounded: 20 s
    pollfd p{tlt->efd, POLLIN, 0};
    eventfd_t value = 0;
    if (poll(&p, 1, 100) != 1 || eventfd_read(tlt->efd, &value) != 0) continue;
    if (value == INTERFACE_THREAD_STOP) {
      stopped++;
      break;
    }
    ignored++;
  }
  running--;
  return 0;
}

int silent_thread(tlt_context* tlt) {
  running++;
  return wait_for_stop(tlt);
}

int ready_thread(tlt_context* tlt) {
  running++;
  signal_thread_ready(tlt);
  return wait_for_stop(tlt);
}

int listener_1_fails(tlt_context* tlt) {  // as a listener on a missing interface
  if (!tlt->name.ends_with("-1")) return ready_thread(tlt);
  signal_thread_error(tlt, ENODEV);
  return 0;
}

int fails_with_zero(tlt_context* tlt) {
  signal_thread_error(tlt, 0);
  return 0;
}

int reports_twice(tlt_context* tlt) {
  signal_thread_ready(tlt);
  signal_thread_error(tlt, EIO);
  return silent_thread(tlt);
}

class InterfaceThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    running = stopped = ignored = 0;
    interface_thread_init(&ctx);
    ctx.listener_threads = 2;
    ctx.arp_proxy = true;
    use(ready_thread, ready_thread);
    a.uuid = "0b7e4c1a-0000-4000-8000-00000000000a";
    a.interface = "eth1";
    b.uuid = "0b7e4c1a-0000-4000-8000-00000000000b";
    b.interface = "eth2";
    logs.clear();
  }
  void TearDown() override {
    interface_thread_destroy(&ctx);  // stops whatever a test left running
    interface_thread_set_hooks(nullptr);
    EXPECT_EQ(running, 0);
  }
  void use(tlt_function listener, tlt_function arp, int timeout_ms = 10000) {
    hooks = {listener, arp, timeout_ms};
    interface_thread_set_hooks(&hooks);
  }
  interface_thread* group(const std::string& name) {
    auto found = ctx.interface_thread_ht->find(name);
    return found == ctx.interface_thread_ht->end() ? nullptr : found->second.get();
  }
  std::vector<std::string> logged(const std::string& text) {
    std::vector<std::string> out;
    for (const auto& l : logs.lines()) {
      if (l.message.find(text) != std::string::npos) out.push_back(l.message);
    }
    return out;
  }

  proxy_context ctx;
  client_context a, b;
  interface_thread_hooks hooks;
  tarn_test::log_capture logs;
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
  const std::string c = "Client " + a.uuid + " - ";
  EXPECT_EQ(logged(" - Spawning "),
            (std::vector<std::string>{c + "Spawning udp-eth1-0", c + "Spawning udp-eth1-1",
                                      c + "Spawning arp-eth1"}));
  EXPECT_TRUE(logs.contains(c + "Waiting for 3 threads to be ready for eth1..."));
  EXPECT_TRUE(logs.contains(c + "All 3 threads are ready for eth1"));

  // Not the stop value: ignored (once read; the counter would add the two).
  ASSERT_EQ(eventfd_write(g->threads[0]->efd, 7), 0);
  for (int i = 0; i < 1000 && ignored == 0; i++) usleep(1000);
  ASSERT_EQ(ignored, 1);
  logs.clear();
  interface_thread_remove(&ctx, &a);
  EXPECT_EQ(stopped, 3);
  EXPECT_EQ(group("eth1"), nullptr);
  EXPECT_EQ(logged(" - Kill"),
            (std::vector<std::string>{c + "Killing udp-eth1-0...", c + "Killed udp-eth1-0",
                                      c + "Killing udp-eth1-1...", c + "Killed udp-eth1-1",
                                      c + "Killing arp-eth1...", c + "Killed arp-eth1"}));

  // The kernel keeps 15 characters of a name.
  b.interface = "averyverylongif0";
  ASSERT_EQ(interface_thread_create(&ctx, &b, 1), 0);
  EXPECT_EQ(kernel_name(group("averyverylongif0")->threads[0]), "udp-averyverylo");
}

TEST_F(InterfaceThreads, AnyFailureLeavesNothingRunning) {
  const std::string c = "Client " + a.uuid + " - ";
  struct {
    tlt_function listener, arp;
    int timeout_ms, result;
    const char* line;
  } cases[] = {
      {listener_1_fails, ready_thread, 10000, -ENODEV,
       "Thread udp-eth1-1 signalled error 19; aborting..."},
      {ready_thread, silent_thread, 300, -ETIMEDOUT,
       "Timed out waiting for remaining 1 threads to be ready"},
      // An error of 0 would add nothing to the counter and leave the creator
      // waiting for the time-out; it arrives as EIO.
      {fails_with_zero, fails_with_zero, 10000, -EIO, " signalled error 5; aborting..."},
  };
  for (const auto& f : cases) {
    SCOPED_TRACE(f.line);
    use(f.listener, f.arp, f.timeout_ms);
    logs.clear();
    EXPECT_EQ(interface_thread_create(&ctx, &a, 1), f.result);
    EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, f.line));
    EXPECT_TRUE(logs.contains(c + "Stopping any running interface threads for eth1..."));
    EXPECT_EQ(running, 0);
    EXPECT_EQ(group("eth1"), nullptr);
  }

  // A second report is refused rather than written to a closed channel.
  use(reports_twice, reports_twice);
  logs.clear();
  EXPECT_EQ(interface_thread_create(&ctx, &a, 1), 0);
  interface_thread_remove(&ctx, &a);  // joined: each has made its second report
  EXPECT_EQ(logs.count("reported its state twice"), 3u);
}

}  // namespace
