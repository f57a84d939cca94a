// Our metrics plug-in library, on files in a temporary directory: the exact
// text of both files, and that readers never see half a file. The daemon
// hands it only valid sources and paths, so its own refusals are not
// exercised; a file in the way is (rrd_test.cc).
#include "metrics/rrdlib.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <set>
#include <string>
#include <thread>

#include "support/control.h"
#include "support/metrics_files.h"

namespace {

namespace fs = std::filesystem;
using tarn_test::exists;
using tarn_test::read_text;
using tarn_test::source_member;

const std::string HOST = "6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a00";
const std::string VM = "0a0a0a0a-1111-4222-8333-444455556666";

struct temp_dir {
  std::string path = fs::temp_directory_path() / ("rrdlib-test-" + std::to_string(getpid()));
  temp_dir() { fs::create_directories(path); }
  ~temp_dir() { fs::remove_all(path); }
};
std::set<std::string> names(const std::string& dir) {
  std::set<std::string> all;
  for (const auto& e : fs::directory_iterator(dir)) all.insert(e.path().filename());
  return all;
}

rrd_source source(const char* name, std::atomic<uint64_t>* v, int32_t scale = RRD_SCALE_DERIVE,
                  int32_t type = RRD_TYPE_INT64) {
  auto sample = [](void* arg) { return static_cast<std::atomic<uint64_t>*>(arg)->load(); };
  return {name, "Things seen", HOST.c_str(), "u",     "0",    "inf", sample, v, RRD_OWNER_HOST,
          0,    scale,         type,         nullptr, nullptr};
}

// Two buckets (at or below 0.5 and 2 seconds) and what lies above them.
void sample_waits(void* arg, rrd_histogram* out) {
  const uint64_t scale = *static_cast<uint64_t*>(arg);
  out->bounds = 2;
  out->le[0] = 0.5;
  out->le[1] = 2;
  out->cumulative[0] = 2 * scale;
  out->cumulative[1] = 3 * scale;
  out->count = 4 * scale;
  out->sum = 0.25 * static_cast<double>(scale);
}

TEST(RrdLib, PublishesBothFilesExactly) {
  temp_dir dir;
  const std::string path = dir.path + "/sub/plugin";  // the directory is created
  rrd_handle* h = rrd_open("my_plugin", 0, path.c_str());
  ASSERT_NE(h, nullptr) << strerror(errno);
  // Published at once, with no sources yet.
  tarn_test::json_value doc(json_tokener_parse(read_text(path).c_str()));
  EXPECT_STREQ(json_object_to_json_string_ext(doc.get(), JSON_C_TO_STRING_PLAIN),
               R"({"plugin":"my_plugin","domain":0,"sources":[]})");
  EXPECT_EQ(read_text(path + ".prom"), "");

  std::atomic<uint64_t> seen{7}, state{2}, fill{std::bit_cast<uint64_t>(42.5)};
  rrd_source c = source("things_seen", &seen);
  rrd_source g = source("vm_state", &state, RRD_SCALE_GAUGE);
  g.description = "State";
  g.owner_uuid = VM.c_str();
  g.owner = RRD_OWNER_VM;
  rrd_source d = source("fill_level", &fill, RRD_SCALE_GAUGE, RRD_TYPE_DOUBLE);
  d.description = "Line one\\two\nthree \"q\"";
  // Two series of one histogram family, told apart by a label, with another
  // source added between them: a family's series follow its HELP and TYPE.
  uint64_t hits = 1, misses = 2;
  const char* const hit_labels[] = {"result", "hit", nullptr};
  const char* const miss_labels[] = {"result", "mi\"ss", nullptr};
  rrd_source wh = source("waits", nullptr);
  wh.units = "seconds";
  wh.type = RRD_TYPE_HISTOGRAM;
  wh.histogram = sample_waits;
  wh.sample_arg = &hits;
  wh.labels = hit_labels;
  rrd_source wm = wh;
  wm.sample_arg = &misses;
  wm.labels = miss_labels;
  for (rrd_source* s : {&c, &g, &wh, &d, &wm}) ASSERT_EQ(rrd_add_src(h, s), 0);
  // Refused: the same series again; a family member of other units, which
  // would give the family two HELP lines; a label the histogram owns.
  rrd_source other_units = wm;
  other_units.labels = nullptr;
  other_units.units = "ms";
  const char* const le_label[] = {"le", "1", nullptr};
  rrd_source le = wm;
  le.labels = le_label;
  EXPECT_EQ(rrd_add_src(h, &wm), -EEXIST);
  EXPECT_EQ(rrd_add_src(h, &other_units), -EINVAL);
  EXPECT_EQ(rrd_add_src(h, &le), -EINVAL);
  ASSERT_EQ(rrd_sample(h, nullptr), 0);
  // The host's UUID appears once, as an info metric; a VM's labels its
  // series, so that per-VM files differ only in labels and values (the
  // textfile collector rejects a family whose HELP or TYPE differs between
  // files). A HELP line stays one line.
  EXPECT_EQ(
      read_text(path + ".prom"),
      "# HELP my_plugin_installation_info Installation UUID of the host that owns the "
      "my_plugin sources\n# TYPE my_plugin_installation_info gauge\n"
      "my_plugin_installation_info{installation_uuid=\"6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a00\"} 1\n"
      "# HELP things_seen_total Things seen (u); published as a running total\n"
      "# TYPE things_seen_total counter\nthings_seen_total 7\n"
      "# HELP vm_state State (u)\n# TYPE vm_state "
      "gauge\nvm_state{client_uuid=\"0a0a0a0a-1111-4222-8333-444455556666\"} 2\n"
      "# HELP waits Things seen (seconds)\n# TYPE waits histogram\n"
      "waits_bucket{result=\"hit\",le=\"0.5\"} 2\nwaits_bucket{result=\"hit\",le=\"2\"} 3\n"
      "waits_bucket{result=\"hit\",le=\"+Inf\"} 4\nwaits_sum{result=\"hit\"} 0.25\n"
      "waits_count{result=\"hit\"} 4\n"
      "waits_bucket{result=\"mi\\\"ss\",le=\"0.5\"} 4\nwaits_bucket{result=\"mi\\\"ss\",le=\"2\"} "
      "6\n"
      "waits_bucket{result=\"mi\\\"ss\",le=\"+Inf\"} 8\nwaits_sum{result=\"mi\\\"ss\"} 0.5\n"
      "waits_count{result=\"mi\\\"ss\"} 8\n"
      "# HELP fill_level Line one\\\\two\\nthree \"q\" (u)\n"
      "# TYPE fill_level gauge\nfill_level 42.5\n");
  // The JSON document carries each series' labels and its quantiles,
  // interpolated as Prometheus's histogram_quantile does: the median of
  // 2 + 1 + 1 observations lies at the top of the first bucket, the 99th
  // percentile above every bound, so at the last.
  tarn_test::json_value sampled(json_tokener_parse(read_text(path).c_str()));
  json_object* waits =
      json_object_array_get_idx(json_object_object_get(sampled.get(), "sources"), 2);
  EXPECT_STREQ(json_object_to_json_string_ext(json_object_object_get(waits, "labels"),
                                              JSON_C_TO_STRING_PLAIN),
               R"({"result":"hit"})");
  EXPECT_STREQ(json_object_to_json_string_ext(json_object_object_get(waits, "value"),
                                              JSON_C_TO_STRING_PLAIN),
               R"({"count":4,"sum":0.25,"p50":0.5,"p99":2.0,"buckets":[[0.5,2],[2.0,3]]})");
  ASSERT_EQ(rrd_del_src(h, &wh), 0);
  ASSERT_EQ(rrd_del_src(h, &wm), 0);

  // A removed source is no longer published, and without a host source there
  // is no info metric. A sample leaves no temporary file behind.
  ASSERT_EQ(rrd_del_src(h, &c), 0);
  ASSERT_EQ(rrd_del_src(h, &d), 0);
  state = 3;
  ASSERT_EQ(rrd_sample(h, nullptr), 0);
  EXPECT_EQ(read_text(path + ".prom"),
            "# HELP vm_state State (u)\n# TYPE vm_state gauge\n"
            "vm_state{client_uuid=\"0a0a0a0a-1111-4222-8333-444455556666\"} 3\n");
  EXPECT_EQ(names(dir.path + "/sub"), (std::set<std::string>{"plugin", "plugin.prom"}));

  // Values as each type and scale publishes them: JSON has no NaN or
  // infinity, and a derived counter is unsigned.
  ASSERT_EQ(rrd_del_src(h, &g), 0);
  std::atomic<uint64_t> v{0};
  const double inf = std::numeric_limits<double>::infinity();
  auto bits = [](double x) { return std::bit_cast<uint64_t>(x); };
  const struct {
    int32_t scale, type;
    uint64_t bits;
    const char *prom, *json;
  } values[] = {
      {RRD_SCALE_DERIVE, RRD_TYPE_INT64, ~0ull, "v_total 18446744073709551615",
       "18446744073709551615"},
      {RRD_SCALE_GAUGE, RRD_TYPE_DOUBLE, bits(0.25), "v 0.25", "0.25"},
      {RRD_SCALE_GAUGE, RRD_TYPE_DOUBLE, bits(std::nan("")), "v NaN", "null"},
      {RRD_SCALE_GAUGE, RRD_TYPE_DOUBLE, bits(inf), "v +Inf", "null"},
      {RRD_SCALE_GAUGE, RRD_TYPE_DOUBLE, bits(-inf), "v -Inf", "null"},
  };
  for (const auto& row : values) {
    rrd_source s = source("v", &v, row.scale, row.type);
    v = row.bits;
    ASSERT_EQ(rrd_add_src(h, &s), 0);
    ASSERT_EQ(rrd_sample(h, nullptr), 0);
    EXPECT_TRUE(read_text(path + ".prom").ends_with(std::string("\n") + row.prom + "\n"))
        << row.prom;
    EXPECT_EQ(source_member(path, "v", "value"), row.json) << row.prom;
    ASSERT_EQ(rrd_del_src(h, &s), 0);
  }
  EXPECT_EQ(rrd_close(h), 0);
  EXPECT_FALSE(exists(path));
  EXPECT_FALSE(exists(path + ".prom"));
}

// Two threads sample one handle while a reader keeps reading both files:
// every read is a whole document. The path is held by the handle until it
// is closed (a client removed and configured again opens it anew).
TEST(RrdLib, ReadersNeverSeeAPartialFile) {
  temp_dir dir;
  const std::string path = dir.path + "/p";
  rrd_handle* h = rrd_open("p", 0, path.c_str());
  ASSERT_NE(h, nullptr);
  errno = 0;
  EXPECT_EQ(rrd_open("p", 0, path.c_str()), nullptr);
  EXPECT_EQ(errno, EBUSY);
  std::atomic<uint64_t> v{0};
  for (int i = 0; i < 40; i++) {
    const std::string name = "source_" + std::to_string(i);  // copied by the library
    rrd_source s = source(name.c_str(), &v);
    ASSERT_EQ(rrd_add_src(h, &s), 0);
  }
  ASSERT_EQ(rrd_sample(h, nullptr), 0);
  std::atomic<int> failures{0}, writing{2};
  auto writer = [&] {
    for (int i = 0; i < 300; i++, v++) failures += rrd_sample(h, nullptr) != 0;
    writing--;
  };
  std::thread w1(writer), w2(writer);
  int reads = 0, partial = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (; writing > 0 && reads < 100000 && std::chrono::steady_clock::now() < deadline; reads++) {
    const std::string prom = read_text(path + ".prom");
    // The info metric's three lines, and three per source.
    partial += std::count(prom.begin(), prom.end(), '\n') != 3 + 3 * 40;
    partial += source_member(path, "source_39", "value") == "<absent>";
  }
  w1.join(), w2.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(partial, 0) << "of " << reads << " reads";
  EXPECT_EQ(names(dir.path), (std::set<std::string>{"p", "p.prom"}));
  EXPECT_EQ(rrd_close(h), 0);
  h = rrd_open("p", 0, path.c_str());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(rrd_close(h), 0);
}

}  // namespace
