// The cache after the daemon dies and after the host loses power. Chunk data
// is written without fsync, so a power loss can leave a bitmap bit on disk
// whose data never got there; a cache the daemon cannot vouch for must be
// discarded, while one it can (clean shutdown, or a daemon crash in the same
// boot, where the kernel still holds every accepted write) stays warm.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/lab_daemon.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tarn_test::json_value;
using tarn_test::report_int;

// What a power loss leaves when the data writes after some point never
// reached the disk but the bitmap writes did: the later half of each chunk's
// present sectors hold stale bytes. Returns the sectors spoiled.
uint64_t drop_late_data_writes(const std::string& vdisk_dir) {
  uint64_t spoiled = 0;
  for (const auto& entry : fs::directory_iterator(vdisk_dir)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || !isdigit(static_cast<unsigned char>(name[0]))) continue;
    const uint64_t s = fs::file_size(entry.path()) / 4097 * 4096;
    std::fstream f(entry.path(), std::ios::in | std::ios::out | std::ios::binary);
    std::vector<char> bitmap(s / 4096);
    f.seekg(static_cast<std::streamoff>(s));
    f.read(bitmap.data(), static_cast<std::streamsize>(bitmap.size()));
    std::vector<uint64_t> present;
    for (uint64_t sector = 0; sector < s / 512; sector++) {
      if (static_cast<uint8_t>(bitmap[sector / 8]) & (0x80 >> (sector % 8)))
        present.push_back(sector);
    }
    const std::string stale(512, '\xee');
    for (size_t i = present.size() / 2; i < present.size(); i++) {
      f.seekp(static_cast<std::streamoff>(present[i] * 512));
      f.write(stale.data(), 512);
      spoiled++;
    }
  }
  return spoiled;
}

// VM i boots; its report must show every byte verified and no error.
// Returns the bytes the server sent it.
int64_t boot_and_verify(tarn_test::lab_daemon& d, int i) {
  auto vm = d.boot(i);
  json_value r = tarn_test::vm_report(*vm);
  EXPECT_TRUE(r) << vm->out();
  if (!r) return -1;
  EXPECT_EQ(report_int(r.get(), "errors"), 0) << vm->out();
  EXPECT_GT(report_int(r.get(), "bytes"), 0);
  json_value stats = d.server_stats();
  return stats ? d.served_to(stats.get(), i) : -1;
}

TEST(CrashConsistency, CacheIsKeptAfterADaemonCrashAndDiscardedAfterAPowerLoss) {
  TARN_REQUIRE_ROOT();
  tarn_test::lab_daemon_options options;
  options.clients = 4;
  tarn_test::lab_daemon d(options);
  ASSERT_TRUE(d.configure()) << d.sandbox().err();
  auto& sb = d.sandbox();

  const int64_t cold = boot_and_verify(d, 1);
  EXPECT_GT(cold, 0);

  // The daemon dies; the host lives on. The same boot may trust the cache.
  sb.kill_process();
  ASSERT_TRUE(d.start_daemon()) << sb.err();
  ASSERT_TRUE(sb.wait_for_output("Cache path configured", 10s)) << sb.err();
  const int64_t after_crash = boot_and_verify(d, 2);
  EXPECT_EQ(after_crash, 0) << "the cache should have stayed warm";
  EXPECT_EQ(sb.err().find("was not shut down cleanly"), std::string::npos);

  // The host loses power: everything dies, late data writes are lost, and the
  // machine comes back with a new boot id.
  sb.kill_process();
  const uint64_t spoiled = drop_late_data_writes(d.vdisk_dir());
  ASSERT_GT(spoiled, 0u);
  const auto [checked_before, wrong_before] = d.check_cache();
  EXPECT_EQ(wrong_before, spoiled) << "the spoiled sectors would be served";
  // The sandbox's own mount namespace sees the new boot id; the host does not.
  std::ofstream(sb.dir() + "/boot_id") << "8a6c1c9e-5f2d-4a47-9d0e-2b7c1f3e4d5a\n";
  ASSERT_EQ(sb.run("mount --bind \"$PWD/boot_id\" /proc/sys/kernel/random/boot_id"), 0);
  ASSERT_TRUE(d.start_daemon()) << sb.err();
  ASSERT_TRUE(sb.wait_for_output("was not shut down cleanly", 10s)) << sb.err();
  ASSERT_TRUE(sb.wait_for_output("Cache path configured", 10s)) << sb.err();
  const int64_t after_power_loss = boot_and_verify(d, 3);
  EXPECT_GT(after_power_loss, cold / 2) << "the cache should have been discarded";
  const auto [checked_after, wrong_after] = d.check_cache();
  EXPECT_GT(checked_after, 0u);
  EXPECT_EQ(wrong_after, 0u);

  // A clean restart keeps the rebuilt cache, whatever the boot id says.
  ASSERT_TRUE(d.start_daemon()) << sb.err();
  ASSERT_TRUE(sb.wait_for_output("Cache path configured", 10s)) << sb.err();
  const int64_t after_restart = boot_and_verify(d, 4);
  EXPECT_EQ(after_restart, 0) << "a clean restart should keep the cache warm";
  printf(
      "bytes from the server: cold boot %lld, after a daemon crash %lld; power loss: %llu of "
      "%llu cached sectors spoiled, then %lld bytes from the server, %llu sectors checked, %llu "
      "wrong; after a clean restart %lld\n",
      static_cast<long long>(cold), static_cast<long long>(after_crash),
      static_cast<unsigned long long>(spoiled), static_cast<unsigned long long>(checked_before),
      static_cast<long long>(after_power_loss), static_cast<unsigned long long>(checked_after),
      static_cast<unsigned long long>(wrong_after), static_cast<long long>(after_restart));
}

}  // namespace
