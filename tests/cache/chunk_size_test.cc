#include <gtest/gtest.h>

#include <cstdint>

#include "cache/cache.h"

namespace {

constexpr uint64_t MiB10 = 10485760;

TEST(CacheChunkSize, FollowsTheFileSystemAndNeverWrapsPastInt32) {
  // The largest multiple of 10 MiB that a signed 32-bit config value holds.
  constexpr uint64_t CAP = 204 * MiB10;
  // {bytes, inodes, chunk size}
  const uint64_t cases[][3] = {
      // 100 GiB with 6,553,600 inodes: candidate 54,612 is no multiple of 10 MiB.
      {107374182400ULL, 6553600, MiB10},
      // Divisor 600, quotient 10 MiB, candidate 20 MiB; the quotient truncates.
      {6291456000ULL, 1000, 2 * MiB10},
      {6291456599ULL, 1000, 2 * MiB10},
      {6291456600ULL, 1000, MiB10},
      // No divisor, a zero candidate (0.6 truncates), a divisor above the total.
      {6291456000ULL, 0, MiB10},
      {6291456000ULL, 1, MiB10},
      {0, 1000, MiB10},
      {996147200ULL, UINT64_MAX, MiB10},
      {996147200ULL, 2000000000ULL, MiB10},
      // Two inodes give divisor 1: the candidate is twice the total, not rounded.
      {MiB10 / 2 + 1, 2, MiB10},
      {3 * MiB10 / 2, 2, 3 * MiB10},
      {3 * MiB10 / 2 + 1, 2, MiB10},
      // 205 x 10 MiB would wrap negative, 4096 x 10 MiB become 0 in 32 bits;
      // doubled quotients of 2^64 and more are still judged as multiples.
      {102 * MiB10, 2, CAP},
      {205 * MiB10 / 2, 2, CAP},
      {2048 * MiB10, 2, CAP},
      {5ULL << 61, 2, CAP},
      {UINT64_MAX, 2, MiB10},
  };
  for (const auto& [bytes, inodes, expected] : cases)
    EXPECT_EQ(cache_chunk_size(bytes, inodes), expected) << bytes << " / " << inodes;
}

}  // namespace
