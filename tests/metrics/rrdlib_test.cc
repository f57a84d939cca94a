// Our metrics plug-in library, on files in a temporary directory: what a
// sample publishes, what is refused, and that readers never see half a file.
#include "metrics/rrdlib.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/metrics_files.h"

namespace {

const char* HOST_UUID = "6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a00";
const char* VM_A = "0a0a0a0a-1111-4222-8333-444455556666";
const char* VM_B = "0b0b0b0b-1111-4222-8333-444455556666";

struct temp_dir {
  std::string path;
  temp_dir() {
    char templ[] = "/tmp/rrdlib-test.XXXXXX";
    if (mkdtemp(templ) != nullptr) path = templ;
  }
  ~temp_dir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
};

std::vector<std::string> entries(const std::string& path) {
  std::vector<std::string> names;
  DIR* d = opendir(path.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

using tarn_test::exists;
using tarn_test::read_text;

struct json_doc {
  json_object* root = nullptr;
  explicit json_doc(const std::string& text) { root = json_tokener_parse(text.c_str()); }
  ~json_doc() { json_object_put(root); }
  json_doc(const json_doc&) = delete;
  json_doc& operator=(const json_doc&) = delete;
  // The source entry of that name, or null.
  json_object* source(const std::string& name) const {
    json_object* sources = nullptr;
    if (root == nullptr || !json_object_object_get_ex(root, "sources", &sources)) return nullptr;
    for (size_t i = 0; i < json_object_array_length(sources); i++) {
      json_object* s = json_object_array_get_idx(sources, i);
      json_object* n = nullptr;
      if (json_object_object_get_ex(s, "name", &n) && name == json_object_get_string(n)) return s;
    }
    return nullptr;
  }
  size_t count() const {
    json_object* sources = nullptr;
    if (root == nullptr || !json_object_object_get_ex(root, "sources", &sources)) return 0;
    return json_object_array_length(sources);
  }
};

std::string member(json_object* o, const char* key) {
  json_object* v = nullptr;
  if (o == nullptr || !json_object_object_get_ex(o, key, &v)) return "<absent>";
  return v == nullptr ? "null" : json_object_get_string(v);
}

uint64_t sample_u64(void* arg) {
  return static_cast<std::atomic<uint64_t>*>(arg)->load();
}

uint64_t sample_double(void* arg) {
  return std::bit_cast<uint64_t>(*static_cast<double*>(arg));
}

rrd_source counter(const char* name, std::atomic<uint64_t>* v) {
  return rrd_source{
      name, "Things seen",  HOST_UUID, "things/s",       "0",           "inf", sample_u64,
      v,    RRD_OWNER_HOST, 0,         RRD_SCALE_DERIVE, RRD_TYPE_INT64};
}

rrd_source vm_gauge(const char* owner, std::atomic<uint64_t>* v) {
  return rrd_source{
      "vm_state", "State of the VM", owner, "state",         "0",           "4", sample_u64,
      v,          RRD_OWNER_VM,      0,     RRD_SCALE_GAUGE, RRD_TYPE_INT64};
}

// The lines of a Prometheus file that start with `prefix`.
std::vector<std::string> lines_with(const std::string& text, const std::string& prefix) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) out.push_back(line);
  }
  return out;
}

TEST(RrdLib, SamplePublishesEverySourceInBothFormats) {
  temp_dir dir;
  ASSERT_FALSE(dir.path.empty());
  const std::string path = dir.path + "/sub/plugin";  // the directory is created
  rrd_handle* h = rrd_open("my_plugin", 0, path.c_str());
  ASSERT_NE(h, nullptr) << strerror(errno);
  // Published at once, with no sources yet.
  EXPECT_EQ(json_doc(read_text(path)).count(), 0u);
  EXPECT_TRUE(exists(path + ".prom"));

  std::atomic<uint64_t> seen{7};
  std::atomic<uint64_t> vm{2};
  double fill = 42.5;
  rrd_source c = counter("things_seen", &seen);
  rrd_source g = vm_gauge(VM_A, &vm);
  rrd_source d{"fill_level",    "How full",     HOST_UUID, "percent",      "0",
               "100",           sample_double,  &fill,     RRD_OWNER_HOST, 1,
               RRD_SCALE_GAUGE, RRD_TYPE_DOUBLE};
  ASSERT_EQ(rrd_add_src(h, &c), 0);
  ASSERT_EQ(rrd_add_src(h, &g), 0);
  ASSERT_EQ(rrd_add_src(h, &d), 0);
  ASSERT_EQ(rrd_sample(h, nullptr), 0);

  {
    json_doc doc(read_text(path));
    ASSERT_NE(doc.root, nullptr);
    EXPECT_EQ(member(doc.root, "plugin"), "my_plugin");
    EXPECT_EQ(member(doc.root, "domain"), "0");
    ASSERT_EQ(doc.count(), 3u);
    json_object* s = doc.source("things_seen");
    EXPECT_EQ(member(s, "description"), "Things seen");
    EXPECT_EQ(member(s, "owner_uuid"), HOST_UUID);
    EXPECT_EQ(member(s, "units"), "things/s");
    EXPECT_EQ(member(s, "min"), "0");
    EXPECT_EQ(member(s, "max"), "inf");
    EXPECT_EQ(member(s, "owner_kind"), "0");
    EXPECT_EQ(member(s, "archive_default"), "0");
    EXPECT_EQ(member(s, "scale"), "2");
    EXPECT_EQ(member(s, "value_type"), "1");
    EXPECT_EQ(member(s, "value"), "7");
    EXPECT_EQ(member(doc.source("vm_state"), "owner_kind"), "1");
    EXPECT_EQ(member(doc.source("vm_state"), "value"), "2");
    EXPECT_EQ(member(doc.source("fill_level"), "value"), "42.5");
    EXPECT_EQ(member(doc.source("fill_level"), "archive_default"), "1");
  }
  const std::string prom = read_text(path + ".prom");
  EXPECT_NE(prom.find("# HELP things_seen_total Things seen (things/s); published as a running "
                      "total\n# TYPE things_seen_total counter\nthings_seen_total 7\n"),
            std::string::npos)
      << prom;
  EXPECT_NE(
      prom.find("# TYPE vm_state gauge\nvm_state{client_uuid=\"" + std::string(VM_A) + "\"} 2\n"),
      std::string::npos)
      << prom;
  EXPECT_NE(prom.find("fill_level 42.5\n"), std::string::npos) << prom;
  // The host's UUID appears once, as an info metric, not on every series.
  EXPECT_EQ(lines_with(prom, "my_plugin_installation_info{installation_uuid=\"" +
                                 std::string(HOST_UUID) + "\"} 1"),
            std::vector<std::string>{"my_plugin_installation_info{installation_uuid=\"" +
                                     std::string(HOST_UUID) + "\"} 1"});
  EXPECT_EQ(prom.find(" 1e"), std::string::npos);  // no timestamps or odd forms

  // Values follow their sources; a large counter keeps every digit.
  seen = 18446744073709551615ull;
  vm = 4;
  fill = 0.25;
  ASSERT_EQ(rrd_sample(h, nullptr), 0);
  {
    json_doc doc(read_text(path));
    EXPECT_EQ(member(doc.source("things_seen"), "value"), "18446744073709551615");
    EXPECT_EQ(member(doc.source("vm_state"), "value"), "4");
    EXPECT_EQ(member(doc.source("fill_level"), "value"), "0.25");
  }
  EXPECT_NE(read_text(path + ".prom").find("things_seen_total 18446744073709551615\n"),
            std::string::npos);

  // A removed source is no longer published; a sample leaves no temporary
  // file behind.
  ASSERT_EQ(rrd_del_src(h, &g), 0);
  ASSERT_EQ(rrd_sample(h, nullptr), 0);
  EXPECT_EQ(json_doc(read_text(path)).source("vm_state"), nullptr);
  EXPECT_EQ(read_text(path + ".prom").find("vm_state"), std::string::npos);
  EXPECT_EQ(entries(dir.path + "/sub"), (std::vector<std::string>{"plugin", "plugin.prom"}));

  EXPECT_EQ(rrd_close(h), 0);
  EXPECT_FALSE(exists(path));
  EXPECT_FALSE(exists(path + ".prom"));
}

TEST(RrdLib, RefusesWhatCannotBePublished) {
  temp_dir dir;
  ASSERT_FALSE(dir.path.empty());
  const std::string path = dir.path + "/p";

  // Paths: relative, a directory, a name that collides with the text files
  // or the temporary files, a path another handle holds.
  for (const std::string& bad :
       {std::string("relative/p"), dir.path + "/", dir.path + "/x.prom", dir.path + "/.hidden"}) {
    errno = 0;
    EXPECT_EQ(rrd_open("p", 0, bad.c_str()), nullptr) << bad;
    EXPECT_EQ(errno, EINVAL) << bad;
  }
  EXPECT_EQ(rrd_open(nullptr, 0, path.c_str()), nullptr);
  EXPECT_EQ(rrd_open("p", -1, path.c_str()), nullptr);
  // Something that is not a file where the document belongs: the open fails
  // and leaves nothing behind.
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  EXPECT_EQ(rrd_open("p", 0, path.c_str()), nullptr);
  EXPECT_FALSE(exists(path + ".prom"));
  EXPECT_EQ(entries(dir.path), std::vector<std::string>{"p"});
  ASSERT_EQ(rmdir(path.c_str()), 0);

  rrd_handle* h = rrd_open("p", 0, path.c_str());
  ASSERT_NE(h, nullptr);
  errno = 0;
  EXPECT_EQ(rrd_open("p", 0, path.c_str()), nullptr);
  EXPECT_EQ(errno, EBUSY);

  std::atomic<uint64_t> v{0};
  struct bad_case {
    const char* what;
    rrd_source source;
  };
  auto with = [&](auto change) {
    rrd_source s = counter("c", &v);
    change(s);
    return s;
  };
  const bad_case bad[] = {
      {"no name", with([](rrd_source& s) { s.name = nullptr; })},
      {"empty name", with([](rrd_source& s) { s.name = ""; })},
      {"no description", with([](rrd_source& s) { s.description = nullptr; })},
      {"no units", with([](rrd_source& s) { s.units = nullptr; })},
      {"owner not a UUID", with([](rrd_source& s) { s.owner_uuid = "host\"} 1\nevil 2"; })},
      {"min not a number", with([](rrd_source& s) { s.min = "zero"; })},
      {"max with trailing text", with([](rrd_source& s) { s.max = "100%"; })},
      {"max NaN", with([](rrd_source& s) { s.max = "nan"; })},
      {"no sampling function", with([](rrd_source& s) { s.sample = nullptr; })},
      {"owner kind", with([](rrd_source& s) { s.owner = 2; })},
      {"archive flag", with([](rrd_source& s) { s.archive_default = 2; })},
      {"scale 1", with([](rrd_source& s) { s.scale = 1; })},
      {"value type", with([](rrd_source& s) { s.type = 2; })},
  };
  for (const bad_case& c : bad) EXPECT_EQ(rrd_add_src(h, &c.source), -EINVAL) << c.what;
  EXPECT_EQ(rrd_add_src(nullptr, &bad[0].source), -EINVAL);
  EXPECT_EQ(rrd_add_src(h, nullptr), -EINVAL);

  rrd_source a = counter("seen.a", &v);
  rrd_source same = counter("seen.a", &v);
  rrd_source same_prom = counter("seen_a", &v);  // both are seen_a_total
  ASSERT_EQ(rrd_add_src(h, &a), 0);
  EXPECT_EQ(rrd_add_src(h, &same), -EEXIST);
  EXPECT_EQ(rrd_add_src(h, &same_prom), -EEXIST);
  EXPECT_EQ(rrd_del_src(h, &same_prom), -ENOENT);
  EXPECT_EQ(rrd_sample(h, &v), -EINVAL);  // the second argument is reserved
  EXPECT_EQ(rrd_sample(nullptr, nullptr), -EINVAL);

  // Nothing refused was published.
  ASSERT_EQ(rrd_sample(h, nullptr), 0);
  EXPECT_EQ(json_doc(read_text(path)).count(), 1u);
  EXPECT_EQ(rrd_close(h), 0);
  // Closed: the path is free again.
  h = rrd_open("p", 0, path.c_str());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(rrd_close(h), 0);
  EXPECT_EQ(rrd_close(nullptr), -EINVAL);
}

TEST(RrdLib, PrometheusNamesHelpAndValuesAreValid) {
  struct name_case {
    const char* name;
    int32_t scale;
    const char* expected;
  };
  const name_case names[] = {
      {"velorin_read_hits", RRD_SCALE_DERIVE, "velorin_read_hits_total"},
      {"velorin_read_total", RRD_SCALE_DERIVE, "velorin_read_total"},  // already a total
      {"velorin_space_utilization", RRD_SCALE_GAUGE, "velorin_space_utilization"},
      {"reads/s-per.vm", RRD_SCALE_GAUGE, "reads_s_per_vm"},
      {"a:b", RRD_SCALE_GAUGE, "a_b"},  // colons are for recording rules
      {"9lives", RRD_SCALE_GAUGE, "_9lives"},
      {"total", RRD_SCALE_DERIVE, "total_total"},
      {"ünï", RRD_SCALE_GAUGE, "__n__"},  // two bytes each
  };
  for (const name_case& c : names) {
    EXPECT_EQ(rrd_prometheus_name(c.name, c.scale), c.expected) << c.name;
  }

  temp_dir dir;
  ASSERT_FALSE(dir.path.empty());
  const std::string path = dir.path + "/p";
  rrd_handle* h = rrd_open("p", 0, path.c_str());
  ASSERT_NE(h, nullptr);
  double values[3] = {std::numeric_limits<double>::quiet_NaN(),
                      std::numeric_limits<double>::infinity(),
                      -std::numeric_limits<double>::infinity()};
  const char* names3[3] = {"d_nan", "d_inf", "d_minus_inf"};
  for (int i = 0; i < 3; i++) {
    rrd_source s{names3[i],       "Line one\\two\nthree \"q\"",
                 HOST_UUID,       "u",
                 "-inf",          "inf",
                 sample_double,   &values[i],
                 RRD_OWNER_HOST,  0,
                 RRD_SCALE_GAUGE, RRD_TYPE_DOUBLE};
    ASSERT_EQ(rrd_add_src(h, &s), 0);
  }
  std::atomic<uint64_t> negative{static_cast<uint64_t>(-5)};
  rrd_source signed_gauge{"offset",       "Offset", HOST_UUID,       "s",
                          "-inf",         "inf",    sample_u64,      &negative,
                          RRD_OWNER_HOST, 0,        RRD_SCALE_GAUGE, RRD_TYPE_INT64};
  ASSERT_EQ(rrd_add_src(h, &signed_gauge), 0);
  ASSERT_EQ(rrd_sample(h, nullptr), 0);

  const std::string prom = read_text(path + ".prom");
  EXPECT_NE(prom.find("d_nan NaN\n"), std::string::npos) << prom;
  EXPECT_NE(prom.find("d_inf +Inf\n"), std::string::npos) << prom;
  EXPECT_NE(prom.find("d_minus_inf -Inf\n"), std::string::npos) << prom;
  EXPECT_NE(prom.find("offset -5\n"), std::string::npos) << prom;
  // A HELP line stays one line: backslash and newline escaped.
  EXPECT_NE(prom.find("# HELP d_nan Line one\\\\two\\nthree \"q\" (u)\n"), std::string::npos)
      << prom;
  // JSON has no NaN or infinity: such values are published as null, and the
  // document stays valid.
  json_doc doc(read_text(path));
  ASSERT_NE(doc.root, nullptr);
  for (const char* n : names3) EXPECT_EQ(member(doc.source(n), "value"), "null") << n;
  EXPECT_EQ(member(doc.source("offset"), "value"), "-5");
  EXPECT_EQ(member(doc.source("d_nan"), "description"), "Line one\\two\nthree \"q\"");
  EXPECT_EQ(rrd_close(h), 0);
}

// node_exporter merges the files of one directory and rejects a family whose
// HELP or TYPE differs between them, so per-VM files may differ only in their
// labels and values.
TEST(RrdLib, PerVmFilesShareHelpAndType) {
  temp_dir dir;
  ASSERT_FALSE(dir.path.empty());
  std::atomic<uint64_t> a{1}, b{3};
  const std::string pa = dir.path + "/vm-a", pb = dir.path + "/vm-b";
  rrd_handle* ha = rrd_open("vm_plugin", 0, pa.c_str());
  rrd_handle* hb = rrd_open("vm_plugin", 0, pb.c_str());
  ASSERT_NE(ha, nullptr);
  ASSERT_NE(hb, nullptr);
  rrd_source sa = vm_gauge(VM_A, &a), sb = vm_gauge(VM_B, &b);
  ASSERT_EQ(rrd_add_src(ha, &sa), 0);
  ASSERT_EQ(rrd_add_src(hb, &sb), 0);
  ASSERT_EQ(rrd_sample(ha, nullptr), 0);
  ASSERT_EQ(rrd_sample(hb, nullptr), 0);
  const std::string fa = read_text(pa + ".prom"), fb = read_text(pb + ".prom");
  EXPECT_EQ(lines_with(fa, "#"), lines_with(fb, "#"));
  EXPECT_EQ(lines_with(fa, "#").size(), 2u);
  EXPECT_EQ(lines_with(fa, "vm_state"),
            std::vector<std::string>{"vm_state{client_uuid=\"" + std::string(VM_A) + "\"} 1"});
  EXPECT_EQ(lines_with(fb, "vm_state"),
            std::vector<std::string>{"vm_state{client_uuid=\"" + std::string(VM_B) + "\"} 3"});
  // No host source, so no info metric.
  EXPECT_EQ(fa.find("installation_info"), std::string::npos);
  EXPECT_EQ(rrd_close(ha), 0);
  EXPECT_EQ(rrd_close(hb), 0);
}

// Two threads sample one handle while a reader keeps reading both files:
// every read is a whole document.
TEST(RrdLib, ReadersNeverSeeAPartialFile) {
  temp_dir dir;
  ASSERT_FALSE(dir.path.empty());
  const std::string path = dir.path + "/p";
  rrd_handle* h = rrd_open("p", 0, path.c_str());
  ASSERT_NE(h, nullptr);
  std::atomic<uint64_t> v{0};
  std::vector<rrd_source> sources;
  std::vector<std::string> names;
  for (int i = 0; i < 40; i++) names.push_back("source_" + std::to_string(i));
  for (const std::string& n : names) sources.push_back(counter(n.c_str(), &v));
  for (const rrd_source& s : sources) ASSERT_EQ(rrd_add_src(h, &s), 0);
  ASSERT_EQ(rrd_sample(h, nullptr), 0);

  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < 2; t++) {
    writers.emplace_back([&] {
      for (int i = 0; i < 300; i++) {
        v++;
        if (rrd_sample(h, nullptr) != 0) failures++;
      }
    });
  }
  int reads = 0, partial = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::thread watcher([&] {
    for (auto& w : writers) w.join();
    done = true;
  });
  while (!done && reads < 100000 && std::chrono::steady_clock::now() < deadline) {
    json_doc doc(read_text(path));
    if (doc.count() != 40) partial++;
    const std::string prom = read_text(path + ".prom");
    if (lines_with(prom, "source_").size() != 40 || prom.back() != '\n') partial++;
    reads++;
  }
  watcher.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(partial, 0) << "of " << reads << " reads";
  EXPECT_GT(reads, 0);
  EXPECT_EQ(entries(dir.path), (std::vector<std::string>{"p", "p.prom"}));
  EXPECT_EQ(rrd_close(h), 0);
}

}  // namespace
