// Interface threads with the real listeners and ARP proxy, on veth interfaces
// in a throwaway network namespace.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "contexts/proxy_context.h"
#include "net/interface_thread.h"
#include "support/netns.h"
#include "support/sandbox.h"

namespace {

// The kernel's names of this process's threads.
std::vector<std::string> thread_names() {
  std::vector<std::string> names;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return names;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name)) names.push_back(name);
  }
  closedir(dir);
  return names;
}

size_t threads_named(const std::string& prefix) {
  size_t n = 0;
  for (const auto& name : thread_names()) n += name.starts_with(prefix);
  return n;
}

// A joined thread's task entry may outlive the join for a moment: the kernel
// wakes the joiner before it releases the task. A thread still there after a
// second was never stopped.
size_t threads_left(const std::string& prefix) {
  size_t n = threads_named(prefix);
  for (int i = 0; n != 0 && i < 100; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    n = threads_named(prefix);
  }
  return n;
}

class RealInterfaceThreads : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    TARN_REQUIRE_ROOT();
    ns = std::make_unique<tarn_test::netns>("tif");
    ASSERT_EQ(ns->run("ip link add v0 type veth peer name v1 && ip link set v0 up && "
                      "ip link set v1 up"),
              0);
    interface_thread_init(&ctx);
    ctx.listener_threads = 2;
    ctx.arp_proxy = true;
    ctx.packet_mmap = GetParam();
    ctx.listener_fanout = 0;
    cc.uuid = "9f0e1d2c-0000-4000-8000-000000000001";
    cc.mac = {0x02, 0x00, 0x00, 0x00, 0x01, 0x01};
    cc.server_address.sin_family = AF_INET;
  }
  void TearDown() override {
    if (ctx.interface_thread_ht) interface_thread_remove(&ctx, &cc);
    interface_thread_destroy(&ctx);
  }

  std::unique_ptr<tarn_test::netns> ns;
  proxy_context ctx;
  client_context cc;
};

TEST_P(RealInterfaceThreads, GroupStartsNamedInOrderAndStopsCompletely) {
  cc.interface = "v0";
  {
    tarn_test::netns_enter inside(*ns);  // the threads inherit the namespace
    ASSERT_EQ(interface_thread_create(&ctx, &cc, 7), 0);
  }
  EXPECT_EQ(threads_named("udp-v0-0"), 1u);
  EXPECT_EQ(threads_named("udp-v0-1"), 1u);
  EXPECT_EQ(threads_named("arp-v0"), 1u);

  interface_thread_remove(&ctx, &cc);
  EXPECT_EQ(threads_left("udp-v0-"), 0u);
  EXPECT_EQ(threads_left("arp-v0"), 0u);
  EXPECT_TRUE(ctx.interface_thread_ht->empty());
}

TEST_P(RealInterfaceThreads, MissingInterfaceFailsWithTheThreadsErrno) {
  cc.interface = "nosuch0";
  {
    tarn_test::netns_enter inside(*ns);
    EXPECT_EQ(interface_thread_create(&ctx, &cc, 8), -ENODEV);
  }
  EXPECT_EQ(threads_left("udp-nosuch0-"), 0u);
  EXPECT_EQ(threads_left("arp-nosuch0"), 0u);
  EXPECT_TRUE(ctx.interface_thread_ht->empty());
}

INSTANTIATE_TEST_SUITE_P(Listeners, RealInterfaceThreads, ::testing::Values(true, false),
                         [](const auto& p) { return p.param ? "pmmap" : "ovs"; });

}  // namespace
