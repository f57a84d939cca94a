// The daemon's use of the metrics plug-in library, published into a temporary
// directory: the installation UUID, the host sources following the counters,
// and the per-client status source with its forced and timed samples.
#include "metrics/rrd.h"

#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "contexts/clients.h"
#include "metrics/metrics.h"
#include "support/log_capture.h"
#include "support/metrics_files.h"

namespace {

using tarn_test::eventually;
using tarn_test::exists;
using tarn_test::read_text;
using tarn_test::source_member;

using namespace std::chrono_literals;

const char* INSTALLATION = "7c9e6679-7425-40de-944b-e07fc1f90ae7";
const char* CLIENT = "3f2504e0-4f89-41d3-9a0c-0305e82c3301";

struct temp_dir {
  std::string path;
  temp_dir() {
    char templ[] = "/tmp/rrd-test.XXXXXX";
    if (mkdtemp(templ) != nullptr) path = templ;
  }
  ~temp_dir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
};

bool write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

TEST(RrdInstallationUuid, ReadFromTheInventoryOrTheNullUuid) {
  tarn_test::log_capture log;
  temp_dir dir;
  ASSERT_FALSE(dir.path.empty());
  const std::string file = dir.path + "/inventory";
  struct inventory_case {
    const char* what;
    const char* contents;  // null: no file
    const char* uuid;
    const char* warning;
  };
  const inventory_case cases[] = {
      {"the line among others",
       "PRODUCT_BRAND='Quillon'\nINSTALLATION_UUID='7c9e6679-7425-40de-944b-e07fc1f90ae7'\n"
       "CONTROL_DOMAIN_UUID='0d8e1f4c-0000-4000-8000-000000000001'\n",
       INSTALLATION, nullptr},
      {"no such file", nullptr, RRD_NULL_UUID, "Failed to determine INSTALLATION_UUID. reason: "},
      {"no such line", "PRODUCT_BRAND='Quillon'\n", RRD_NULL_UUID,
       "Failed to find INSTALLATION_UUID in "},
      {"empty file", "", RRD_NULL_UUID, "Failed to find INSTALLATION_UUID in "},
      // The match runs to the line's last quote: never published as it is.
      {"two quoted values on the line",
       "INSTALLATION_UUID='7c9e6679-7425-40de-944b-e07fc1f90ae7' X='1'\n", RRD_NULL_UUID,
       "INSTALLATION_UUID is not a UUID: '7c9e6679-7425-40de-944b-e07fc1f90ae7' X='1'"},
      {"a value meant for the files", "INSTALLATION_UUID='a\"} 1\\nx'\n", RRD_NULL_UUID,
       "INSTALLATION_UUID is not a UUID: "},
      {"empty value", "INSTALLATION_UUID=''\n", RRD_NULL_UUID,
       "INSTALLATION_UUID is not a UUID: ''"},
  };
  for (const inventory_case& c : cases) {
    log.clear();
    std::filesystem::remove(file);
    if (c.contents != nullptr) {
      ASSERT_TRUE(write_text(file, c.contents));
    }
    EXPECT_EQ(rrd_installation_uuid(file.c_str()), c.uuid) << c.what;
    if (c.warning == nullptr) {
      EXPECT_EQ(log.count(""), 0u) << c.what;
    } else {
      EXPECT_TRUE(log.contains(G_LOG_LEVEL_WARNING, c.warning)) << c.what;
    }
  }
  // A file that cannot be read names the error and its code.
  log.clear();
  EXPECT_EQ(rrd_installation_uuid(dir.path.c_str()), RRD_NULL_UUID);
  EXPECT_TRUE(log.contains(G_LOG_LEVEL_WARNING, "Failed to determine INSTALLATION_UUID. reason: "));
  bool coded = false;
  for (const auto& line : log.lines()) {
    coded |= g_regex_match_simple(
        "^Failed to determine INSTALLATION_UUID\\. reason: .+ \\(\\d+\\)$", line.message.c_str(),
        static_cast<GRegexCompileFlags>(0), static_cast<GRegexMatchFlags>(0));
  }
  EXPECT_TRUE(coded) << "no error code";
}

// The eight host sources, registered as the thread does, publish what the
// counters say.
TEST(RrdHostSources, FollowTheCounters) {
  temp_dir dir;
  ASSERT_FALSE(dir.path.empty());
  const std::string path = dir.path + "/tarnproxy";
  metrics_record global, client;
  rrd_source sources[RRD_HOST_SOURCES];
  rrd_host_sources(&global, INSTALLATION, sources);
  rrd_handle* h = rrd_open("tarnproxy_host", 0, path.c_str());
  ASSERT_NE(h, nullptr);
  for (const rrd_source& s : sources) ASSERT_EQ(rrd_add_src(h, &s), 0) << s.name;

  // The attributes are checked on the daemon's own files (e2e); here, the
  // values.
  ASSERT_EQ(rrd_sample(h, nullptr), 0);
  for (const rrd_source& s : sources) {
    EXPECT_EQ(source_member(path, s.name, "owner_uuid"), INSTALLATION) << s.name;
    EXPECT_EQ(source_member(path, s.name, "value"), s.type == RRD_TYPE_INT64 ? "0" : "0.0")
        << s.name;
  }

  // Traffic as the engine and the cache manager count it.
  metrics_increment_cache_hit_reads(&global.ext, &client.ext);
  metrics_increment_cache_hit_reads(&global.ext, &client.ext);
  metrics_increment_cache_missed_reads(&global.ext, &client.ext);
  metrics_increment_cache_hit_reads(&global.mio, &client.mio);
  metrics_increment_cache_missed_reads(&global.mio, &client.mio);
  metrics_increment_cache_missed_reads(&global.mio, &client.mio);
  metrics_increment_cache_missed_reads(&global.mio, &client.mio);
  metrics_increment_unhandled_mio(&global, &client);  // not a read
  metrics_add_client_sent_b(&global, &client, 1500);
  metrics_add_server_sent_b(&global, &client, 4000000000u);
  metrics_add_server_sent_b(&global, &client, 4000000000u);
  metrics_add_proxy_saved_b(&global, &client, 512);
  metrics_add_cache_evicted_b(&global, 1ull << 40);
  metrics_set_cache_utilized_p_not_mt(&global, 37.25);
  ASSERT_EQ(rrd_sample(h, nullptr), 0);
  const std::pair<const char*, const char*> values[] = {
      {"velorin_read_total", "7"},
      {"velorin_read_hits", "3"},
      {"velorin_read_misses", "4"},
      {"velorin_traffic_client_sent", "1500"},
      {"velorin_traffic_server_sent", "8000000000"},
      {"velorin_traffic_proxy_saved", "512"},
      {"velorin_evicted", "1099511627776"},
      {"velorin_space_utilization", "37.25"},
  };
  for (const auto& [name, value] : values) {
    EXPECT_EQ(source_member(path, name, "value"), value) << name;
  }
  const std::string prom = read_text(path + ".prom");
  EXPECT_NE(prom.find("velorin_read_total 7\n"), std::string::npos) << prom;
  EXPECT_NE(prom.find("velorin_traffic_server_sent_total 8000000000\n"), std::string::npos);
  EXPECT_NE(prom.find("velorin_space_utilization 37.25\n"), std::string::npos);
  EXPECT_NE(prom.find("tarnproxy_host_installation_info{installation_uuid=\"" +
                      std::string(INSTALLATION) + "\"} 1\n"),
            std::string::npos);
  for (const rrd_source& s : sources) EXPECT_EQ(rrd_del_src(h, &s), 0);
  EXPECT_EQ(rrd_close(h), 0);
}

class RrdClient : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path.empty());
    base_ = dir_.path + "/tarnproxy";
    rrd_set_path(base_.c_str());
    cc_ = new client_context;
    cc_->uuid = CLIENT;
    file_ = base_ + "-" + CLIENT;
    log_.clear();  // the capture is shared by the whole process
  }
  void TearDown() override {
    if (cc_ != nullptr) client_context_free(cc_);
    rrd_set_path(nullptr);
  }
  std::string status() const { return source_member(file_, "tarncache_status", "value"); }

  temp_dir dir_;
  std::string base_;
  std::string file_;
  client_context* cc_ = nullptr;
  tarn_test::log_capture log_;
};

TEST_F(RrdClient, StatusChangesArePublishedAtOnce) {
  rrd_client_open(cc_);
  ASSERT_EQ(cc_->rrd_path, file_);
  EXPECT_EQ(status(), "<absent>");  // nothing sampled yet

  // Two changes within 4 seconds: both published, each at once.
  client_context_update_status(cc_, CLIENTSTATUS_INITIALISED);
  EXPECT_EQ(status(), "1");
  const std::pair<const char*, std::string> attributes[] = {
      {"description", "Velorin client status"},
      {"owner_uuid", CLIENT},
      {"units", "status"},
      {"min", "0"},
      {"max", "4"},
      {"owner_kind", "1"},
      {"archive_default", "0"},
      {"scale", "0"},
      {"value_type", "1"}};
  for (const auto& [key, value] : attributes)
    EXPECT_EQ(source_member(file_, "tarncache_status", key), value) << key;
  client_context_update_status(cc_, CLIENTSTATUS_CACHING);
  EXPECT_EQ(status(), "2");
  EXPECT_NE(read_text(file_ + ".prom")
                .find("tarncache_status{client_uuid=\"" + std::string(CLIENT) + "\"} 2\n"),
            std::string::npos);

  // A change that is not published by itself waits for the thread's sample,
  // which comes only 4 seconds after the last one (rrd_root_test): not now.
  cc_->status.store(CLIENTSTATUS_INCOMPATIBLE_WRITE_CACHE_MODE);
  rrd_client_sample(cc_, false);
  EXPECT_EQ(status(), "2");

  rrd_client_close(cc_);
  EXPECT_FALSE(exists(file_));
  EXPECT_FALSE(exists(file_ + ".prom"));
  EXPECT_TRUE(cc_->rrd_path.empty());
  // Closed: samples and a second close do nothing.
  client_context_update_status(cc_, CLIENTSTATUS_CACHING);
  rrd_client_close(cc_);
  EXPECT_FALSE(exists(file_));
  EXPECT_FALSE(log_.contains(G_LOG_LEVEL_WARNING, "")) << "unexpected warning";
}

TEST_F(RrdClient, FailedOpenLeavesTheClientWorkingWithoutASource) {
  // Something in the way of the client's file.
  ASSERT_EQ(mkdir(file_.c_str(), 0755), 0);
  rrd_client_open(cc_);
  EXPECT_TRUE(log_.contains(
      G_LOG_LEVEL_WARNING,
      std::string("Client ") + CLIENT + " - rrd_client_open failed in rrd_open for " + file_));
  EXPECT_TRUE(cc_->rrd_path.empty());
  EXPECT_EQ(cc_->rrd_handle, nullptr);
  client_context_update_status(cc_, CLIENTSTATUS_INITIALISED);
  client_context_update_status(cc_, CLIENTSTATUS_CACHING);
  EXPECT_EQ(cc_->status.load(), CLIENTSTATUS_CACHING);
  EXPECT_TRUE(
      log_.contains("Changed status from CLIENTSTATUS_INITIALISED to CLIENTSTATUS_CACHING"));
  log_.clear();
  rrd_client_close(cc_);
  client_context_free(cc_);
  cc_ = nullptr;
  // Removal touched nothing in the library.
  EXPECT_EQ(log_.count("rrd_client_close"), 0u);
  struct stat st {};
  ASSERT_EQ(stat(file_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_FALSE(exists(file_ + ".prom"));
}

TEST_F(RrdClient, OnlyUuidsBecomeFileNamesAndPublicationCanBeOff) {
  cc_->uuid = "../../etc/passwd";
  rrd_client_open(cc_);
  EXPECT_EQ(cc_->rrd_handle, nullptr);
  EXPECT_TRUE(
      log_.contains(G_LOG_LEVEL_WARNING, "Client ../../etc/passwd - rrd_client_open refused"));
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path));

  // Off (tests that create clients outside a sandbox): nothing is written.
  cc_->uuid = CLIENT;
  rrd_set_path(nullptr);
  rrd_client_open(cc_);
  client_context_update_status(cc_, CLIENTSTATUS_INITIALISED);
  EXPECT_EQ(cc_->rrd_handle, nullptr);
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path));
}

}  // namespace
