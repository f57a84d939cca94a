// What the fuzz targets share: a check that stops the run with its reason
// (libFuzzer and the replay tests both report the abort), and a reader that
// takes fields from the front of an input.
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>

#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

namespace fuzz {

// Discards the daemon's log lines (they would slow every run down), but
// stops on CRITICAL: the daemon reserves it for broken preconditions.
inline void quiet_logs() {
  g_log_set_writer_func(
      [](GLogLevelFlags level, const GLogField* fields, gsize n, gpointer) {
        if (level & (G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR)) {
          for (gsize i = 0; i < n; i++)
            if (std::strcmp(fields[i].key, "MESSAGE") == 0)
              std::fprintf(stderr, "critical: %s\n", static_cast<const char*>(fields[i].value));
          std::abort();
        }
        return G_LOG_WRITER_HANDLED;
      },
      nullptr, nullptr);
}

// Takes fixed-size fields off the front of the input; once it runs dry every
// field reads as zero.
struct reader {
  std::span<const uint8_t> in;
  uint8_t u8() {
    if (in.empty()) return 0;
    uint8_t v = in[0];
    in = in.subspan(1);
    return v;
  }
  // Low byte first; sequenced, so that every compiler reads an input alike.
  uint16_t u16() {
    const uint8_t low = u8();
    return static_cast<uint16_t>(low | (u8() << 8));
  }
  uint32_t u32() {
    const uint16_t low = u16();
    return low | (static_cast<uint32_t>(u16()) << 16);
  }
  // Up to n bytes.
  std::span<const uint8_t> take(size_t n) {
    n = std::min(n, in.size());
    auto s = in.first(n);
    in = in.subspan(n);
    return s;
  }
  bool empty() const { return in.empty(); }
};

// A private directory under the temporary directory, removed with its
// contents when the process exits. libFuzzer runs every input in one
// process, so a target makes one at start and reuses it.
struct temp_dir {
  std::string path;
  explicit temp_dir(const char* name) {
    path = (std::filesystem::temp_directory_path() / (std::string("tarn-fuzz-") + name + "-XXXXXX"))
               .string();
    if (mkdtemp(path.data()) == nullptr) std::abort();
  }
  ~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  // Empties the directory, keeping it.
  void clear() const {
    std::error_code ignored;
    for (const auto& e : std::filesystem::directory_iterator(path, ignored))
      std::filesystem::remove_all(e.path(), ignored);
  }
};

}  // namespace fuzz
