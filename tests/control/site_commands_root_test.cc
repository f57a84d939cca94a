// "configure_site" and "remove_site" as one run of requests against real sites
// (cache VDI scripts in a private mount namespace) with stand-in interface
// threads, so clients need no real interface. After each request: the answer,
// the registry, and the state files, which must be exactly the stored
// requests. Then a restart replays the files.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "contexts/proxy_context.h"
#include "control/jsonrpc.h"
#include "control/lifecycle.h"
#include "control/site_commands.h"
#include "core/unique_fd.h"
#include "net/interface_thread.h"
#include "support/log_capture.h"
#include "support/metrics_files.h"
#include "support/sandbox.h"

namespace {

namespace fs = std::filesystem;

// Test UUIDs read "<kind><n>" in the registry's description: a sites, b cache
// VDIs, c servers, d clients.
std::string id(char kind, int n) {
  char number[16];
  snprintf(number, sizeof number, "%012d", n);
  return std::string(8, kind) + "-0000-4000-8000-" + number;
}
const std::string A1 = id('a', 1), A2 = id('a', 2), A3 = id('a', 3), B1 = id('b', 1),
                  B2 = id('b', 2), B3 = id('b', 3), C1 = id('c', 1), C2 = id('c', 2),
                  D1 = id('d', 1), D2 = id('d', 2), D3 = id('d', 3);
std::string alias(const std::string& uuid) {
  if (uuid.size() != 36 || uuid.compare(8, 16, "-0000-4000-8000-") != 0) return uuid;
  return uuid.substr(0, 1) + std::to_string(std::stoi(uuid.substr(24)));
}

std::atomic<int> running{0};
int ready_thread(tlt_context* tlt) {
  running++;
  signal_thread_ready(tlt);
  pollfd p{tlt->efd, POLLIN, 0};
  poll(&p, 1, 60000);  // bounded; only the stop value is ever written here
  running--;
  return 0;
}

std::string srv(const std::string& uuid, const std::string& addresses = R"("10.0.0.5")",
                const std::string& ports = R"("first_port": 100, "last_port": 110)") {
  return R"({"uuid": ")" + uuid + R"(", "addresses": [)" + addresses + "], " + ports + "}";
}
std::string cli(const std::string& uuid, const std::string& mac, const std::string& prepopulate,
                const std::string& interface = "tap5") {
  return R"({"uuid": ")" + uuid + R"(", "mac": ")" + mac + R"(", "interface": ")" + interface +
         R"(", "prepopulate": )" + prepopulate + "}";
}
std::string list(const char* key, const std::string& entries) {
  return std::string(", \"") + key + "\": [" + entries + "]";
}
// `lists` is the text after "vdi" inside params.
std::string conf(const std::string& site, const std::string& vdi, const std::string& lists = "") {
  return R"({"jsonrpc": "2.0", "method": "configure_site", "params": {"site_uuid": ")" + site +
         R"(", "vdi": ")" + vdi + "\"" + lists + R"(}, "id": 17})";
}
std::string remove_req(const std::string& params) {
  return R"({"jsonrpc": "2.0", "method": "remove_site", "params": )" + params + R"(, "id": 17})";
}
// "OK", "" (no answer), an error message, or the member after "Invalid params, ".
std::string answer(const std::string& what) {
  const bool internal = what == "Internal error", bare = internal || what == "Invalid request";
  if (what.empty() || what == "OK")
    return what.empty() ? "" : R"({ "jsonrpc": "2.0", "result": "OK", "id": 17 })";
  return R"({ "jsonrpc": "2.0", "error": { "code": )" +
         std::string(internal ? "-32603" : "-32602") + R"(, "message": ")" +
         (bare ? what : "Invalid params, " + what) + R"(" }, "id": 17 })";
}
std::string plain(json_object* obj) {
  return obj ? json_object_to_json_string_ext(obj, JSON_C_TO_STRING_PLAIN) : "";
}
std::string plain(const std::string& text) {
  return plain(json_ptr(json_tokener_parse(text.c_str())).get());
}
std::multiset<std::string> words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// unshare(CLONE_NEWNS) refuses a threaded process: enter before any test runs.
struct enter_sandbox : ::testing::Environment {
  void SetUp() override {
    if (geteuid() == 0) tarn_test::sandbox_enter_self();
  }
};
const auto* const sandbox_env = ::testing::AddGlobalTestEnvironment(new enter_sandbox);

class SiteCommandsRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    TARN_REQUIRE_ROOT();
    hooks = {ready_thread, ready_thread, 10000};
    interface_thread_set_hooks(&hooks);
    ctx.listener_threads = 1;
    interface_thread_init(&ctx);
    tables(true);
    ctx.site_state = std::make_unique<site_state_table>();
    for (const auto& entry : fs::directory_iterator(STATE_DIR)) fs::remove_all(entry.path());
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    ours.reset(fds[0]);
    theirs.reset(fds[1]);
  }
  void TearDown() override {
    if (!ctx.site_context_ht) return;
    tables(false);
    interface_thread_destroy(&ctx);
    interface_thread_set_hooks(nullptr);
    site_state_set_dir(STATE_DIR);
    EXPECT_EQ(running, 0);
  }
  void tables(bool init) {
    if (init) {
      site_contexts_init(&ctx), server_contexts_init(&ctx);
      client_contexts_init(&ctx), vdisk_contexts_init(&ctx);
    } else {
      client_contexts_destroy(&ctx), vdisk_contexts_destroy(&ctx);
      server_contexts_destroy(&ctx), site_contexts_destroy(&ctx);
    }
  }

  // The answer, "" when none: a handler sends at most once, before it returns.
  std::string call(const std::string& text) {
    json_ptr req(json_tokener_parse(text.c_str()));
    const bool remove = text.find("\"remove_site\"") != std::string::npos;
    (remove ? process_remove_site : process_configure_site)(&ctx, req.get(), theirs.get());
    char buf[4096];
    ssize_t n = recv(ours.get(), buf, sizeof buf, MSG_DONTWAIT);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
  // "a1/b1" per site, "c1=10.0.0.5,10.0.1.5:100-110" per server and
  // "d1=02:00:00:00:00:01@tap5+" per client ("+": prepopulate).
  std::multiset<std::string> describe() {
    std::multiset<std::string> words;
    for (auto& [uuid, site] : *ctx.site_context_ht)
      words.insert(alias(uuid) + "/" + alias(site->cache_vdi));
    for (auto& [uuid, s] : *ctx.server_context_ht) {
      std::string w = alias(uuid) + "=";
      for (uint32_t i = 0; i < s->address_count; i++)
        w += (i ? "," : "") + std::string(inet_ntoa(in_addr{s->addresses[i]}));
      words.insert(w + ":" + std::to_string(s->first_port) + "-" + std::to_string(s->last_port));
    }
    for (auto& [key, c] : *ctx.client_context_ht) {
      char mac[18];
      snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", c->mac[0], c->mac[1], c->mac[2],
               c->mac[3], c->mac[4], c->mac[5]);
      words.insert(alias(c->uuid) + "=" + mac + "@" + c->interface + (c->prepopulate ? "+" : ""));
    }
    return words;
  }
  std::string stored(const std::string& site) {
    auto it = ctx.site_state->find(site);
    return it == ctx.site_state->end() ? "" : plain(it->second.get());
  }
  // The state directory holds exactly the stored requests, one file each.
  void expect_state_files_are_stored_requests() {
    std::map<std::string, std::string> files, want;
    for (const auto& entry : fs::directory_iterator(STATE_DIR))
      files[entry.path().filename().string()] = tarn_test::read_text(entry.path());
    for (const auto& [uuid, request] : *ctx.site_state) want[uuid] = plain(request.get());
    EXPECT_EQ(files, want);
  }

  interface_thread_hooks hooks;
  proxy_context ctx;
  unique_fd ours, theirs;
  tarn_test::log_capture logs;
};

struct step {
  std::string request, response;  // response as answer() takes it
  std::string state = "=";        // describe() afterwards, in any order; "=" unchanged
  std::string stored = {};        // a1's stored request afterwards, when given
  std::function<void()> before = {};
};

TEST_F(SiteCommandsRoot, RequestsReconcileTheRegistryAndTheStateFiles) {
  const std::string C1_TWO = srv(C1, R"("10.0.0.5", "10.0.1.5")");
  const std::string C1_120 =
      srv(C1, R"("10.0.0.5", "10.0.1.5")", R"("first_port": 100, "last_port": 120)");
  const std::string D1_ON = cli(D1, "02:00:00:00:00:01", "true");
  const std::string D1_OFF = cli(D1, "02:00:00:00:00:01", "false");
  const std::string D2_NO_IF =
      R"({"uuid": ")" + D2 + R"(", "mac": "02:00:00:00:00:02", "prepopulate": true})";
  const std::string NEW_PORTS = srv(C1, R"("10.0.0.5")", R"("first_port": 1, "last_port": 2)");
  const std::string ONE = "a1/b1 c1=10.0.0.5:100-110 d1=02:00:00:00:00:01@tap5+";
  const std::string D1W = " d1=02:00:00:00:00:01@tap5";
  const std::string TWO = "a1/b1 c1=10.0.0.5,10.0.1.5:100-";
  std::string forty, c1_32 = "c1=";
  for (int i = 0; i < 40; i++) forty += (i ? ",\"10.1.0." : "\"10.1.0.") + std::to_string(i) + "\"";
  for (int i = 0; i < 32; i++) c1_32 += (i ? ",10.1.0." : "10.1.0.") + std::to_string(i);
  const std::string WIDE = "a1/b1 d1=02:00:00:00:00:01@tap5+ " + c1_32 + ":100-110";
  // prepopulate spellings, the first eight true; MAC fields are hexadecimal.
  json_ptr spellings(json_tokener_parse(R"([1, "1", true, "TRUE", "Yes", "on", "Enabled",
      "enable", 0, false, "no", "01", "enable ", "", {}])"));
  std::string many, many_state = ONE + " a2/b2";
  for (int i = 0; i < 15; i++) {
    const std::string n = std::to_string(i), pad = i < 10 ? "0" : "";
    json_object* spelling = json_object_array_get_idx(spellings.get(), i);
    many += cli(id('e', i), "2:0:0:0:1:" + n, json_object_to_json_string(spelling), "e" + n) + ", ";
    // Read as hexadecimal, decimal digits print back the same.
    many_state += " e" + n + "=02:00:00:00:01:" + pad + n + "@e" + n + (i < 8 ? "+" : "");
  }
  const std::string ODD = ONE + " a2/b2 d2=ff:00:00:00:02:03@tapodd+";
  const std::string A1_ID = R"({"site_uuid": ")" + A1 + "\"}";

  const std::string EX = conf(A1, B1, list("servers", C1_TWO) + list("clients", D1_ON));
  const std::string EX120 = conf(A1, B1, list("servers", C1_120) + list("clients", D1_ON));
  const std::string GOOD = conf(A1, B1, list("servers", srv(C1)) + list("clients", D1_OFF));
  const fs::path victim = fs::path(STATE_DIR).parent_path() / "victim";
  const step steps[] = {
      // Refused before any site exists.
      {R"({"jsonrpc": "2.0", "id": null, "params": {}})", ""},
      {R"({"jsonrpc": "2.0", "id": 17})", "Invalid request"},
      {R"({"params": {}, "id": 17})", "site_uuid"},
      {conf("not-a-uuid", B1), "site_uuid"},
      {R"({"params": {"site_uuid": ")" + A1 + R"(", "cache_vdi": ")" + B1 + R"("}, "id": 17})",
       "cache_vdi", ""},
      {conf(A1, "abc"), "cache_vdi"},
      {remove_req(R"({"site_uuid": 5})"), "site_uuid"},
      // A site name is a file name: none may reach outside the directory.
      {remove_req(R"({"site_uuid": "../victim"})"), "site_uuid"},
      {conf("../victim", B1), "site_uuid"},
      {remove_req("{}"), "site_uuid"},
      {R"({"method": "remove_site", "id": 17})", "Invalid request"},
      {R"({"method": "remove_site", "params": )" + A1_ID + "}", ""},
      {remove_req(A1_ID), "OK", ""},  // an unknown site, after a warning
      // A crash's temporary is overwritten, never left beside the file.
      {EX, "OK", TWO + "110" + D1W + "+", plain(EX),
       [] { std::ofstream(fs::path(STATE_DIR) / ("." + A1 + ".tmp")) << "partial"; }},
      // Identical again: nothing is created anew, so changes made behind the
      // handler's back survive.
      {EX,
       "OK",
       TWO + "999" + D1W,
       {},
       [&] {
         ctx.server_context_ht->at(C1)->last_port = 999;
         ctx.client_context_ht->begin()->second->prepopulate = 0;
       }},
      // The same server with its members reordered is a change.
      {conf(A1, B1,
            R"(, "servers": [{"addresses": ["10.0.0.5", "10.0.1.5"], "uuid": ")" + C1 +
                R"(", "first_port": 100, "last_port": 110}])" + list("clients", D1_ON)),
       "OK", TWO + "110" + D1W},
      {EX120, "OK", TWO + "120" + D1W},
      // An absent list leaves its entries, and the stored request keeps naming
      // them; a later empty list removes them.
      {conf(A1, B1), "OK", TWO + "120" + D1W, plain(EX120)},
      {conf(A1, B1, list("clients", D1_ON)), "OK", TWO + "120" + D1W,
       plain(conf(A1, B1, list("clients", D1_ON) + list("servers", C1_120)))},
      {conf(A1, B1, list("servers", C1_120) + list("clients", "")), "OK", TWO + "120"},
      {conf(A1, B1, list("servers", "")), "OK", "a1/b1",
       plain(conf(A1, B1, list("servers", "") + list("clients", "")))},
      {conf(A1, B2), "Internal error"},  // another cache VDI for a live site
      {remove_req(A1_ID), "OK", ""},
      // A failed request leaves no new site behind...
      {conf(A1, B1, list("servers", srv(C1)) + list("clients", D1_OFF + ", " + D2_NO_IF)),
       "interface", ""},
      {GOOD, "OK", "a1/b1 c1=10.0.0.5:100-110" + D1W},
      // ...but keeps an old one's changes to earlier entries, and its stored
      // request.
      {conf(A1, B1, list("servers", srv(C1)) + list("clients", D1_ON + ", " + D2_NO_IF)),
       "interface", ONE, plain(GOOD)},
      // Lists of another type are refused before anything changes.
      {conf(A1, B1, list("servers", NEW_PORTS + R"(, {"uuid": ")" + C2 + R"(", "addresses": 1})")),
       "address", ONE},
      {conf(A1, B1, list("servers", NEW_PORTS) + R"(, "clients": {})"), "client_uuid"},
      {conf(A1, B1, R"(, "servers": {"uuid": "x"})"), "server_uuid"},
      // Server entries: at most 32 addresses, anything else in the list read
      // as an address; entries that are not objects are skipped.
      {conf(A1, B1,
            list("servers", srv(C1, forty) + ", " + srv(C2, R"(null, "bogus", "10.2.0.1", 7)") +
                                R"(, 4, "x")")),
       "OK", WIDE + " c2=0.0.0.0,255.255.255.255,10.2.0.1,0.0.0.7:100-110"},
      {conf(A1, B1, list("servers", srv(C1, ""))), "OK", WIDE},  // no addresses: not applied
      {conf(A1, B1, list("servers", srv("x"))), "server_uuid"},
      {conf(A1, B1, list("servers", R"({"addresses": []})")), "server_uuid"},
      {conf(A1, B1, list("servers", R"({"uuid": ")" + C1 + R"(", "first_port": 1})")), "address"},
      {conf(A1, B1, list("servers", srv(C1, "", R"("first_port": 0, "last_port": 1)"))),
       "first_port", WIDE},
      {conf(A1, B1, list("servers", srv(C1, "", R"("first_port": 1)"))), "last_port"},
      {conf(A1, B1, list("servers", srv(C1)) + list("clients", D1_ON)), "OK", ONE},
      {conf(A1, B1), "OK", ONE},
      // Client entries, of a second site.
      {conf(A2, B2, list("clients", many + "5, null")), "OK", many_state},
      // MAC fields keep their low 8 bits; text after the sixth is ignored.
      {conf(A2, B2, list("clients", cli(D2, "0x1ff:0:0:0:2:03:ff", "1", "tapodd"))), "OK", ODD},
      {conf(A2, B2, list("clients", cli(D3, "02-00-00-00-00-09", "1"))), "mac"},
      {conf(A2, B2, list("clients", cli(D3, "02:00:00:00:09", "1"))), "mac"},
      {conf(A2, B2, list("clients", R"({"uuid": ")" + D3 + R"(", "interface": "x"})")), "mac"},
      {conf(A2, B2, list("clients", cli(D3, "02:00:00:00:00:09", "null"))), "prepopulate"},
      {conf(A2, B2, list("clients", cli("d3", "02:00:00:00:00:09", "1"))), "client_uuid"},
      // A client whose create fails (its MAC is taken) is an internal error.
      {conf(A2, B2, list("clients", cli(D3, "2:0:0:0:0:1", "1"))), "Internal error"},
  };
  std::ofstream(victim) << "keep";
  logs.clear();
  for (const step& s : steps) {
    SCOPED_TRACE(s.request);
    if (s.before) s.before();
    const auto previous = describe();
    EXPECT_EQ(call(s.request), answer(s.response));
    EXPECT_EQ(describe(), s.state == "=" ? previous : words(s.state));
    EXPECT_EQ(s.stored.empty() ? "" : stored(A1), s.stored);
    expect_state_files_are_stored_requests();
    EXPECT_EQ(running, static_cast<int>(ctx.client_context_ht->size()));
  }
  EXPECT_EQ(tarn_test::read_text(victim), "keep");
  // Each refusal was logged; the known site's removal, the old site's failure
  // and the server without addresses were not.
  // "|" separates messages; one naming a "process_" function sets the prefix
  // of the next.
  std::istringstream warnings(
      "Couldn't create site context|process_json_client_add: invalid client_uuid|"
      "process_configure_site: no id|no params|no site_uuid|invalid site_uuid|no vdi|invalid vdi|"
      "clients is not an array|servers is not an array|process_remove_site: no site_uuid|no "
      "params|no id|process_json_server: addresses is not an array|invalid server_uuid|no uuid|"
      "no addresses|no first_port|no last port|process_json_client: no interface|invalid mac "
      "address|no mac|no prepopulate");
  std::string prefix;
  for (std::string w; std::getline(warnings, w, '|');) {
    if (w.starts_with("process_"))
      prefix = w.substr(0, w.find(": ") + 2), w = w.substr(prefix.size());
    EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, prefix + w)) << prefix + w;
  }
  EXPECT_EQ(
      logs.count("Failed to unlink /var/run/tarnproxy-state/" + A1 + ": No such file or directory"),
      1u);
  EXPECT_EQ(logs.count("Removing contexts for site " + A1 + " due to error"), 1u);
  EXPECT_FALSE(logs.contains(G_LOG_LEVEL_CRITICAL, ""));

  // Owner-only files. A restart replays them: the registry comes back, with
  // the lists a1's last request left out, and no file is written again.
  const std::string a1_file = fs::path(STATE_DIR) / A1;
  struct stat st = {};
  ASSERT_EQ(stat(a1_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const ino_t inode = st.st_ino;
  const auto before = describe();
  tables(false), ctx.site_state->clear(), tables(true);
  for (const auto& entry : fs::directory_iterator(STATE_DIR))
    site_state_restore(&ctx, json_ptr(json_object_from_file(entry.path().c_str())).get());
  EXPECT_EQ(describe(), before);
  expect_state_files_are_stored_requests();
  ASSERT_EQ(stat(a1_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_ino, inode);

  // An unwritable state directory is reported; the site is configured.
  site_state_set_dir("/nonexistent-tarn-state");
  EXPECT_EQ(call(conf(A3, B3)), answer("OK"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING,
                            "Failed to write state file /nonexistent-tarn-state/" + A3));
  EXPECT_EQ(describe().count("a3/b3"), 1u);
  EXPECT_NE(stored(A3), "");
}

}  // namespace
