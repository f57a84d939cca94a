// The configuration loader against real key files.
#include "core/config.h"

#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "contexts/proxy_context.h"

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarn-config-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/tarnproxy.conf";
  }
  void TearDown() override {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  void write(const std::string& text) { std::ofstream(path_) << text; }
  int load(proxy_context* c) { return config_load(c, path_.c_str()); }

  std::string dir_, path_;
};

long online_cpus() {
  return sysconf(_SC_NPROCESSORS_ONLN);
}

TEST_F(ConfigTest, MissingFileGivesEveryDefault) {
  proxy_context c;
  EXPECT_EQ(load(&c), 4);
  EXPECT_EQ(c.listener_threads, 4);
  EXPECT_EQ(c.listener_fanout, static_cast<uint32_t>(PACKET_FANOUT_CBPF));
  EXPECT_EQ(c.listener_fanout, 6u);
  EXPECT_TRUE(c.packet_mmap);
  EXPECT_EQ(c.cache_monitor_interval_s, 5);
  EXPECT_FLOAT_EQ(c.cache_start_purge_free_space, 0.05f);
  EXPECT_FLOAT_EQ(c.cache_start_purge_free_inodes, 0.05f);
  EXPECT_FLOAT_EQ(c.cache_goal_purge_free_space, 0.15f);
  EXPECT_FLOAT_EQ(c.cache_goal_purge_free_inodes, 0.15f);
  EXPECT_FALSE(c.arp_proxy);
  EXPECT_TRUE(c.workaround_migrate_freeze);
}

TEST_F(ConfigTest, FileValuesOverrideDefaultsKeyByKey) {
  write("[Main]\narpProxy=true\n");
  proxy_context a;
  EXPECT_EQ(load(&a), 4);
  EXPECT_TRUE(a.arp_proxy);
  EXPECT_EQ(a.listener_threads, 4);
  EXPECT_EQ(a.listener_fanout, 6u);
  EXPECT_TRUE(a.packet_mmap);
  EXPECT_TRUE(a.workaround_migrate_freeze);
  EXPECT_EQ(a.prepop_holdoff_us, 90 * G_USEC_PER_SEC);
  EXPECT_EQ(a.cache_vdi_timeout_s, 120);

  write(
      "[Main]\nlistenerThreads=2\nprepopIoThreads=-1\nlistenerFanout=hash\npacketMmap=false\n"
      "cacheMonitorIntervalInS=2.9\ncacheStartPurgeFreeSpace=0.1\ncacheStartPurgeFreeInodes=0.2\n"
      "cacheGoalPurgeFreeSpace=0.3\ncacheGoalPurgeFreeInodes=0.4\nworkaroundMigrateFreeze=0\n"
      "prepopHoldOffInS=-5\ncacheVdiTimeoutInS=0\n");
  proxy_context b;
  EXPECT_EQ(load(&b), -1);
  EXPECT_EQ(b.listener_threads, 2);
  EXPECT_EQ(b.listener_fanout, 0u);
  EXPECT_FALSE(b.packet_mmap);
  EXPECT_EQ(b.cache_monitor_interval_s, 2);  // truncated, not rounded
  EXPECT_FLOAT_EQ(b.cache_start_purge_free_space, 0.1f);
  EXPECT_FLOAT_EQ(b.cache_start_purge_free_inodes, 0.2f);
  EXPECT_FLOAT_EQ(b.cache_goal_purge_free_space, 0.3f);
  EXPECT_FLOAT_EQ(b.cache_goal_purge_free_inodes, 0.4f);
  EXPECT_FALSE(b.workaround_migrate_freeze);
  EXPECT_EQ(b.prepop_holdoff_us, 0);    // a negative hold-off is none
  EXPECT_EQ(b.cache_vdi_timeout_s, 1);  // a script always gets a moment
}

TEST_F(ConfigTest, ListenerThreadsBelowOneMeansOnePerCpu) {
  for (const char* v : {"0", "-3"}) {
    write(std::string("[Main]\nlistenerThreads=") + v + "\n");
    proxy_context c;
    load(&c);
    EXPECT_EQ(c.listener_threads, online_cpus()) << v;
  }
  write("[Main]\nlistenerThreads=1\n");
  proxy_context one;
  load(&one);
  EXPECT_EQ(one.listener_threads, 1);
}

TEST_F(ConfigTest, FanoutStringsMapExactly) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"hash", 0}, {"lb", 1}, {"cpu", 2}, {"cbpf", 6}};
  for (const auto& [text, mode] : cases) {
    write(std::string("[Main]\nlistenerFanout=") + text + "\n");
    proxy_context c;
    load(&c);
    EXPECT_EQ(c.listener_fanout, mode) << text;
  }
}

TEST_F(ConfigTest, KeysOutsideMainAndUnknownKeysAreIgnored) {
  write("[Other]\narpProxy=true\nlistenerThreads=abc\n[Main]\nunknownKey=1\n");
  proxy_context c;
  EXPECT_EQ(load(&c), 4);
  EXPECT_FALSE(c.arp_proxy);
  EXPECT_EQ(c.listener_threads, 4);
}

TEST_F(ConfigTest, SyntaxErrorFallsBackToDefaults) {
  write("this is not a key file\n[Main\narpProxy=true\n");
  proxy_context c;
  EXPECT_EQ(load(&c), 4);
  EXPECT_FALSE(c.arp_proxy);
}

using ConfigDeathTest = ConfigTest;

TEST_F(ConfigDeathTest, UninterpretableValuesAreFatalWithTheKeysMessage) {
  // Forked at the statement, so the fixture's directory is the parent's
  // alone and its tear-down removes it; nothing here runs threads.
  GTEST_FLAG_SET(death_test_style, "fast");
  const std::pair<const char*, const char*> cases[] = {
      {"listenerFanout=LB", "Unrecognised listenerFanout string 'LB'"},
      {"listenerFanout=rr", "Unrecognised listenerFanout string 'rr'"},
      {"cacheMonitorIntervalInS=abc", "Unable to interpret cacheMonitorIntervalInS: "},
      {"packetMmap=yes", "Unable to interpret packetMmap: "},
      {"listenerThreads=2.5", "Unable to interpret listenerThreads: "},
      {"prepopIoThreads=many", "Unable to interpret prepopIoThreads: "},
      {"cacheGoalPurgeFreeInodes=", "Unable to interpret cacheGoalPurgeFreeInodes: "},
      {"arpProxy=on", "Unable to interpret arpProxy: "},
  };
  for (const auto& [line, message] : cases) {
    write(std::string("[Main]\n") + line + "\n");
    proxy_context c;
    EXPECT_DEATH(load(&c), message) << line;
  }
}

}  // namespace
