#include <gtest/gtest.h>

#include <cstdint>

#include "cache/cache.h"

namespace {

constexpr uint64_t MiB10 = 10485760;

TEST(CacheChunkSize, WorkedExamples) {
  // 100 GiB with 6,553,600 inodes: candidate 54,612 is no multiple of 10 MiB.
  EXPECT_EQ(cache_chunk_size(107374182400ULL, 6553600), MiB10);
  // divisor 600, quotient 10 MiB, candidate 20 MiB.
  EXPECT_EQ(cache_chunk_size(6291456000ULL, 1000), 20971520u);
}

TEST(CacheChunkSize, NoDivisorOrZeroCandidateGivesDefault) {
  EXPECT_EQ(cache_chunk_size(6291456000ULL, 0), MiB10);
  EXPECT_EQ(cache_chunk_size(6291456000ULL, 1), MiB10);  // 0.6 truncates to 0
  EXPECT_EQ(cache_chunk_size(0, 1000), MiB10);
  // A divisor larger than the total: the quotient, and so the candidate, is 0.
  EXPECT_EQ(cache_chunk_size(996147200ULL, UINT64_MAX), MiB10);
  EXPECT_EQ(cache_chunk_size(996147200ULL, 2000000000ULL), MiB10);
}

TEST(CacheChunkSize, CandidatesThatAreNotMultiplesAreNotRounded) {
  // Two inodes give divisor 1: the candidate is twice the total.
  EXPECT_EQ(cache_chunk_size(MiB10 / 2 + 1, 2), MiB10);
  EXPECT_EQ(cache_chunk_size(3 * MiB10 / 2, 2), 3 * MiB10);
  EXPECT_EQ(cache_chunk_size(3 * MiB10 / 2 + 1, 2), MiB10);  // just above 30 MiB
  // Quotient truncation: 6,291,456,599 / 600 is still 10,485,760.
  EXPECT_EQ(cache_chunk_size(6291456599ULL, 1000), 20971520u);
  EXPECT_EQ(cache_chunk_size(6291456600ULL, 1000), MiB10);
}

TEST(CacheChunkSize, MultiplesBeyondInt32AreCappedNotWrapped) {
  EXPECT_EQ(CACHE_MAX_CHUNK_SIZE % MiB10, 0u);
  EXPECT_LE(CACHE_MAX_CHUNK_SIZE, static_cast<uint64_t>(INT32_MAX));
  EXPECT_GT(CACHE_MAX_CHUNK_SIZE + MiB10, static_cast<uint64_t>(INT32_MAX));

  // 204 × 10 MiB fits exactly; 205 × 10 MiB (2,149,580,800) would wrap negative.
  EXPECT_EQ(cache_chunk_size(102 * MiB10, 2), 204 * MiB10);
  EXPECT_EQ(cache_chunk_size(205 * MiB10 / 2, 2), CACHE_MAX_CHUNK_SIZE);
  // 4096 × 10 MiB is 10 × 2^32, which a 32-bit store would turn into 0.
  EXPECT_EQ(cache_chunk_size(2048 * MiB10, 2), CACHE_MAX_CHUNK_SIZE);
  // Doubled quotients of 2^64 and more cannot be converted back to 64 bits;
  // they are still judged by whether they are multiples of 10 MiB.
  EXPECT_EQ(cache_chunk_size(5ULL << 61, 2), CACHE_MAX_CHUNK_SIZE);  // 5 × 2^62
  EXPECT_EQ(cache_chunk_size(UINT64_MAX, 2), MiB10);                 // 2^65
}

}  // namespace
