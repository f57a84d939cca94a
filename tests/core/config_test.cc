// The configuration loader against real key files. The daemon's start-up with
// a file, and the fatal values it meets there, are in tests/e2e/daemon_test.cc.
#include "core/config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "contexts/proxy_context.h"

namespace {

const std::string FILE_PATH =
    std::filesystem::temp_directory_path() / ("tarn-config-" + std::to_string(getpid()));

// Loads `text` ("" for no file at all) and returns every setting as text.
std::string load(const std::string& text) {
  std::filesystem::remove(FILE_PATH);
  if (!text.empty()) std::ofstream(FILE_PATH) << text;
  proxy_context c;
  const int prepop = config_load(&c, FILE_PATH.c_str());
  std::filesystem::remove(FILE_PATH);
  char out[256];
  snprintf(out, sizeof out, "%d %u %d %d %g %g %g %g %d %d %lld %d %d %u %d", c.listener_threads,
           c.listener_fanout, c.packet_mmap, c.cache_monitor_interval_s,
           c.cache_start_purge_free_space, c.cache_start_purge_free_inodes,
           c.cache_goal_purge_free_space, c.cache_goal_purge_free_inodes, c.arp_proxy,
           c.workaround_migrate_freeze, static_cast<long long>(c.prepop_holdoff_us),
           c.cache_vdi_timeout_s, prepop, c.listener_ring_kib, c.collapse_forwarding);
  return out;
}

TEST(Config, DefaultsOverridesAndFallbacks) {
  const std::string defaults = "4 6 1 5 0.05 0.05 0.15 0.15 0 1 90000000 120 4 512 1";
  const std::string cpus = std::to_string(sysconf(_SC_NPROCESSORS_ONLN));
  const std::pair<std::string, std::string> rows[] = {
      // A missing file, a syntax error and keys outside [Main] give defaults.
      {"", defaults},
      {"this is not a key file\n[Main\narpProxy=true\n", defaults},
      {"[Other]\narpProxy=true\nlistenerThreads=abc\n[Main]\nunknownKey=1\n", defaults},
      // A monitor interval is truncated, a negative hold-off is none, a
      // script always gets a moment and a ring holds at least one read.
      {"[Main]\nlistenerThreads=2\nprepopIoThreads=-1\nlistenerFanout=hash\npacketMmap=false\n"
       "cacheMonitorIntervalInS=2.9\ncacheStartPurgeFreeSpace=0.1\ncacheStartPurgeFreeInodes=0.2\n"
       "cacheGoalPurgeFreeSpace=0.3\ncacheGoalPurgeFreeInodes=0.4\nworkaroundMigrateFreeze=0\n"
       "arpProxy=true\nprepopHoldOffInS=-5\ncacheVdiTimeoutInS=0\nlistenerRingKiB=16\n"
       "collapseForwarding=false\n",
       "2 0 0 2 0.1 0.2 0.3 0.4 1 0 0 1 -1 64 0"},
      {"[Main]\nlistenerFanout=cpu\nlistenerThreads=1\n", "1 2" + defaults.substr(3)},
      // Fewer than one listener thread means one per CPU.
      {"[Main]\nlistenerThreads=-3\n", cpus + defaults.substr(1)},
      {"[Main]\nlistenerRingKiB=2048\n", defaults.substr(0, defaults.size() - 5) + "2048 1"},
  };
  for (const auto& [text, want] : rows) EXPECT_EQ(load(text), want) << text;
}

TEST(ConfigDeathTest, UninterpretableValuesAreFatalWithTheKeysMessage) {
  GTEST_FLAG_SET(death_test_style, "fast");  // nothing here runs threads
  for (const char* key : {"listenerThreads=2.5", "prepopIoThreads=many",
                          "cacheGoalPurgeFreeInodes=", "arpProxy=on"}) {
    const std::string name(key, std::string(key).find('='));
    EXPECT_DEATH(load(std::string("[Main]\n") + key + "\n"), "Unable to interpret " + name + ": ")
        << key;
  }
}

}  // namespace
