// The configuration loader against real key files.
#include "core/config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "contexts/proxy_context.h"

namespace {

struct config_file {
  std::string dir, path;
  config_file() {
    char tmpl[] = "/tmp/tarn-config-XXXXXX";
    dir = mkdtemp(tmpl) != nullptr ? tmpl : "/tmp";
    path = dir + "/tarnproxy.conf";
  }
  ~config_file() {
    unlink(path.c_str());
    rmdir(dir.c_str());
  }
  int load(const std::string& text, proxy_context* c) {
    std::ofstream(path) << text;
    return config_load(c, path.c_str());
  }
};

TEST(Config, DefaultsOverridesAndFallbacks) {
  config_file f;
  // A missing file, a syntax error and keys outside [Main] all give defaults.
  for (const char* text :
       {static_cast<const char*>(nullptr), "this is not a key file\n[Main\narpProxy=true\n",
        "[Other]\narpProxy=true\nlistenerThreads=abc\n[Main]\nunknownKey=1\n"}) {
    proxy_context c;
    EXPECT_EQ(text ? f.load(text, &c) : config_load(&c, "/nonexistent/tarnproxy.conf"), 4);
    EXPECT_EQ(c.listener_threads, 4);
    EXPECT_EQ(c.listener_fanout, 6u);  // PACKET_FANOUT_CBPF
    EXPECT_TRUE(c.packet_mmap);
    EXPECT_EQ(c.cache_monitor_interval_s, 5);
    EXPECT_FLOAT_EQ(c.cache_start_purge_free_space, 0.05f);
    EXPECT_FLOAT_EQ(c.cache_start_purge_free_inodes, 0.05f);
    EXPECT_FLOAT_EQ(c.cache_goal_purge_free_space, 0.15f);
    EXPECT_FLOAT_EQ(c.cache_goal_purge_free_inodes, 0.15f);
    EXPECT_FALSE(c.arp_proxy);
    EXPECT_TRUE(c.workaround_migrate_freeze);
    EXPECT_EQ(c.prepop_holdoff_us, 90 * G_USEC_PER_SEC);
    EXPECT_EQ(c.cache_vdi_timeout_s, 120);
  }
  proxy_context b;
  EXPECT_EQ(
      f.load(
          "[Main]\nlistenerThreads=2\nprepopIoThreads=-1\nlistenerFanout=hash\npacketMmap=false\n"
          "cacheMonitorIntervalInS=2.9\ncacheStartPurgeFreeSpace=0.1\n"
          "cacheStartPurgeFreeInodes=0.2\ncacheGoalPurgeFreeSpace=0.3\n"
          "cacheGoalPurgeFreeInodes=0.4\nworkaroundMigrateFreeze=0\narpProxy=true\n"
          "prepopHoldOffInS=-5\ncacheVdiTimeoutInS=0\n",
          &b),
      -1);
  EXPECT_EQ(b.listener_threads, 2);
  EXPECT_EQ(b.listener_fanout, 0u);
  EXPECT_FALSE(b.packet_mmap);
  EXPECT_EQ(b.cache_monitor_interval_s, 2);  // truncated, not rounded
  EXPECT_FLOAT_EQ(b.cache_start_purge_free_space, 0.1f);
  EXPECT_FLOAT_EQ(b.cache_start_purge_free_inodes, 0.2f);
  EXPECT_FLOAT_EQ(b.cache_goal_purge_free_space, 0.3f);
  EXPECT_FLOAT_EQ(b.cache_goal_purge_free_inodes, 0.4f);
  EXPECT_TRUE(b.arp_proxy);
  EXPECT_FALSE(b.workaround_migrate_freeze);
  EXPECT_EQ(b.prepop_holdoff_us, 0);    // a negative hold-off is none
  EXPECT_EQ(b.cache_vdi_timeout_s, 1);  // a script always gets a moment

  // Fanout names, and listener threads below one meaning one per CPU.
  const std::pair<const char*, long> rows[] = {
      {"listenerFanout=lb", 1}, {"listenerFanout=cpu", 2}, {"listenerFanout=cbpf", 6},
      {"listenerThreads=1", 1}, {"listenerThreads=0", -1}, {"listenerThreads=-3", -1},
  };
  for (const auto& [line, want] : rows) {
    proxy_context c;
    f.load(std::string("[Main]\n") + line + "\n", &c);
    const bool fanout = std::string(line).starts_with("listenerFanout");
    const long got = fanout ? static_cast<long>(c.listener_fanout) : c.listener_threads;
    EXPECT_EQ(got, want < 0 ? sysconf(_SC_NPROCESSORS_ONLN) : want) << line;
  }
}

TEST(ConfigDeathTest, UninterpretableValuesAreFatalWithTheKeysMessage) {
  GTEST_FLAG_SET(death_test_style, "fast");  // nothing here runs threads
  config_file f;
  const std::pair<const char*, const char*> cases[] = {
      {"listenerFanout=LB", "Unrecognised listenerFanout string 'LB'"},
      {"cacheMonitorIntervalInS=abc", "Unable to interpret cacheMonitorIntervalInS: "},
      {"packetMmap=yes", "Unable to interpret packetMmap: "},
      {"listenerThreads=2.5", "Unable to interpret listenerThreads: "},
      {"prepopIoThreads=many", "Unable to interpret prepopIoThreads: "},
      {"cacheGoalPurgeFreeInodes=", "Unable to interpret cacheGoalPurgeFreeInodes: "},
      {"arpProxy=on", "Unable to interpret arpProxy: "},
  };
  for (const auto& [line, message] : cases) {
    proxy_context c;
    EXPECT_DEATH(f.load(std::string("[Main]\n") + line + "\n", &c), message) << line;
  }
}

}  // namespace
