// A site with clients of vDisks, built directly, for the chunk-store tests.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cache/chunks.h"
#include "contexts/proxy_context.h"
#include "control/lifecycle.h"

namespace chunks_test {

constexpr const char* KEY = "101-2-3-4-5-6-7-8-9";

// One site caching in `cache_path`; its clients take their vDisk reference
// as the packet path would, which creates the vDisk's directory.
struct store {
  proxy_context ctx;
  site_context site;
  std::vector<std::unique_ptr<client_context>> clients;

  store(const std::string& cache_path, uint64_t chunk_size) {
    client_contexts_init(&ctx);
    vdisk_contexts_init(&ctx);
    site.uuid = "5d3a0e52-9f4b-4c1e-8a57-0c6f1e2b7d90";
    site.cache_path = cache_path;
    site.chunk_size = chunk_size;
    site.block_size = 4096;
    site.write_budget = INT64_MAX / 2;
    site.context = &ctx;
  }
  ~store() {
    for (auto& cc : clients) vdisk_context_ref_dec_and_del(cc.get(), *cc->session.lock());
    clients.clear();
    client_contexts_destroy(&ctx);
    vdisk_contexts_destroy(&ctx);
  }
  client_context* add_client(const char* key = KEY) {
    clients.push_back(std::make_unique<client_context>());
    client_context* cc = clients.back().get();
    cc->uuid = "c1e2d3f4-0000-4000-8000-" + std::to_string(100000000000 + clients.size());
    cc->site_context = &site;
    g_strlcpy(cc->session.lock()->vdisk_key, key, CLIENT_VDISK_KEY_SIZE);
    vdisk_context_ref_inc(cc, *cc->session.lock());
    return cc;
  }
  std::string chunk_path(uint64_t number, const char* key = KEY) const {
    return site.cache_path + "/" + key + "/" + std::to_string(number);
  }
};

// Bitmap byte `index` of a chunk file, or -1 if unreadable.
inline int bitmap_byte(const std::string& path, uint64_t chunk_size, uint64_t index) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  uint8_t b = 0;
  ssize_t n = fd < 0 ? -1 : pread(fd, &b, 1, static_cast<off_t>(chunk_size + index));
  if (fd >= 0) close(fd);
  return n == 1 ? b : -1;
}

inline std::vector<uint8_t> random_bytes(std::mt19937_64& rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// TARN_TEST_SEED when set, else fresh; printed so a failure can be repeated.
inline uint64_t test_seed() {
  const char* fixed = std::getenv("TARN_TEST_SEED");
  uint64_t seed = fixed != nullptr ? std::strtoull(fixed, nullptr, 0) : std::random_device{}();
  std::printf("seed %llu (set TARN_TEST_SEED to repeat)\n", static_cast<unsigned long long>(seed));
  return seed;
}

// A fresh directory under the temporary directory, removed with its contents.
struct temp_dir {
  std::string path;
  temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarn-chunks-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path = pattern;
  }
  ~temp_dir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
};

}  // namespace chunks_test
