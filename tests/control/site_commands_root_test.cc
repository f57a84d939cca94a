// "configure_site" and "remove_site" on real sites (cache VDI scripts in a
// private mount namespace) with stand-in interface threads, so clients need no
// real interface. Responses are read from the other end of a socketpair.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "contexts/proxy_context.h"
#include "control/jsonrpc.h"
#include "control/lifecycle.h"
#include "control/site_commands.h"
#include "core/unique_fd.h"
#include "net/interface_thread.h"
#include "support/log_capture.h"
#include "support/sandbox.h"

namespace {

namespace fs = std::filesystem;

const std::string S = "5e5e5e5e-0000-4000-8000-000000000001";
const std::string S2 = "5e5e5e5e-0000-4000-8000-000000000002";
const std::string V = "7e7e7e7e-0000-4000-8000-000000000001";
const std::string V2 = "7e7e7e7e-0000-4000-8000-000000000002";
const std::string R = "3e3e3e3e-0000-4000-8000-000000000001";
const std::string R2 = "3e3e3e3e-0000-4000-8000-000000000002";
const std::string T = "c1c1c1c1-0000-4000-8000-000000000001";
const std::string T2 = "c1c1c1c1-0000-4000-8000-000000000002";
const std::string OK17 = R"({ "jsonrpc": "2.0", "result": "OK", "id": 17 })";

std::atomic<int> started{0};
std::atomic<int> running{0};

int ready_thread(tlt_context* tlt) {
  started++;
  running++;
  signal_thread_ready(tlt);
  pollfd p{tlt->efd, POLLIN, 0};
  poll(&p, 1, 60000);  // bounded; only the stop value is ever written here
  running--;
  return 0;
}

std::string server(const std::string& uuid, const std::string& addresses = R"(["10.0.0.5"])",
                   const std::string& ports = R"("first_port": 100, "last_port": 110)") {
  return R"({"uuid": ")" + uuid + R"(", "addresses": )" + addresses + ", " + ports + "}";
}

std::string client(const std::string& uuid, const std::string& mac, const std::string& prepopulate,
                   const std::string& interface = R"("tap5")") {
  return R"({"uuid": ")" + uuid + R"(", "mac": ")" + mac + R"(", "interface": )" + interface +
         R"(, "prepopulate": )" + prepopulate + "}";
}

// `lists` is the text after "vdi" inside params, e.g. `, "servers": [...]`.
std::string configure_request(const std::string& site, const std::string& vdi,
                              const std::string& lists) {
  return R"({"jsonrpc": "2.0", "method": "configure_site", "params": {"site_uuid": ")" + site +
         R"(", "vdi": ")" + vdi + "\"" + lists + R"(}, "id": 17})";
}

std::string error17(int code, const std::string& message) {
  return R"({ "jsonrpc": "2.0", "error": { "code": )" + std::to_string(code) + R"(, "message": ")" +
         message + R"(" }, "id": 17 })";
}

std::string read_text(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string plain(const std::string& text) {
  json_ptr obj(json_tokener_parse(text.c_str()));
  return obj ? json_object_to_json_string_ext(obj.get(), JSON_C_TO_STRING_PLAIN) : "";
}

class SiteCommandsRoot : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() == 0 && sandbox_dir().empty()) sandbox_dir() = tarn_test::sandbox_enter_self();
  }
  static std::string& sandbox_dir() {
    static std::string dir;
    return dir;
  }
  void SetUp() override {
    TARN_REQUIRE_ROOT();
    ASSERT_FALSE(sandbox_dir().empty());
    started = running = 0;
    hooks = {ready_thread, ready_thread, 10000};
    interface_thread_set_hooks(&hooks);
    ctx.listener_threads = 1;
    interface_thread_init(&ctx);
    init_tables();
    ctx.site_state = std::make_unique<site_state_table>();
    site_state_set_dir(STATE_DIR);
    for (const auto& entry : fs::directory_iterator(STATE_DIR)) fs::remove_all(entry.path());
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    ours.reset(fds[0]);
    theirs.reset(fds[1]);
    logs.clear();
  }
  void TearDown() override {
    if (!ctx.site_context_ht) return;
    destroy_tables();
    interface_thread_destroy(&ctx);
    interface_thread_set_hooks(nullptr);
    site_state_set_dir(STATE_DIR);
    EXPECT_EQ(running, 0);
  }

  void init_tables() {
    site_contexts_init(&ctx);
    server_contexts_init(&ctx);
    client_contexts_init(&ctx);
    vdisk_contexts_init(&ctx);
  }
  void destroy_tables() {
    client_contexts_destroy(&ctx);
    vdisk_contexts_destroy(&ctx);
    server_contexts_destroy(&ctx);
    site_contexts_destroy(&ctx);
  }

  // The response the handler sent, "" when none: it sends at most once, with
  // one send, before it returns.
  std::string call(json_command_fn handler, const std::string& text) {
    json_ptr req(json_tokener_parse(text.c_str()));
    EXPECT_NE(req, nullptr) << text;
    handler(&ctx, req.get(), theirs.get());
    char buf[4096];
    ssize_t n = recv(ours.get(), buf, sizeof buf, MSG_DONTWAIT);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
  std::string configure(const std::string& text) { return call(process_configure_site, text); }
  std::string remove_site(const std::string& site) {
    return call(process_remove_site,
                R"({"jsonrpc": "2.0", "method": "remove_site", "params": {"site_uuid": ")" + site +
                    R"("}, "id": 17})");
  }

  server_context* find_server(const std::string& uuid) {
    auto it = ctx.server_context_ht->find(uuid);
    return it == ctx.server_context_ht->end() ? nullptr : it->second.get();
  }
  client_context* find_client(const std::string& uuid) {
    std::shared_lock lock(ctx.client_lock);
    for (auto& [key, cc] : *ctx.client_context_ht)
      if (cc->uuid == uuid) return cc.get();
    return nullptr;
  }
  bool has_site(const std::string& uuid) { return ctx.site_context_ht->count(uuid) != 0; }
  std::string stored(const std::string& site) {
    auto it = ctx.site_state->find(site);
    return it == ctx.site_state->end()
               ? ""
               : json_object_to_json_string_ext(it->second.get(), JSON_C_TO_STRING_PLAIN);
  }
  static fs::path state_file(const std::string& site) { return fs::path(STATE_DIR) / site; }
  static std::vector<std::string> state_names() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(STATE_DIR))
      names.push_back(entry.path().filename().string());
    return names;
  }

  interface_thread_hooks hooks;
  proxy_context ctx;
  unique_fd ours, theirs;
  tarn_test::log_capture logs;
};

TEST_F(SiteCommandsRoot, WorkedExampleResendAndReconciliation) {
  const std::string servers = R"(, "servers": [)" + server(R, R"(["10.0.0.5", "10.0.1.5"])") + "]";
  const std::string clients = R"(, "clients": [)" + client(T, "02:00:00:00:00:01", "true") + "]";
  const std::string example = configure_request(S, V, servers + clients);
  ASSERT_EQ(configure(example), OK17);

  ASSERT_TRUE(has_site(S));
  EXPECT_EQ(ctx.site_context_ht->at(S)->cache_vdi, V);
  server_context* r = find_server(R);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->address_count, 2u);
  EXPECT_EQ(r->addresses[0], inet_addr("10.0.0.5"));
  EXPECT_EQ(r->addresses[1], inet_addr("10.0.1.5"));
  EXPECT_EQ(r->first_port, 100u);
  EXPECT_EQ(r->last_port, 110u);
  client_context* t = find_client(T);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->prepopulate, 1);
  EXPECT_EQ(t->interface, "tap5");
  EXPECT_EQ(t->mac, (std::array<uint8_t, 6>{2, 0, 0, 0, 0, 1}));
  EXPECT_EQ(started, 1);
  EXPECT_EQ(read_text(state_file(S)), plain(example));
  EXPECT_EQ(stored(S), plain(example));

  // Identical again: no create call. Changes made behind the handler's back
  // survive, which they would not if a create operation had run.
  r->last_port = 999;
  t->prepopulate = 0;
  EXPECT_EQ(configure(example), OK17);
  EXPECT_EQ(r->last_port, 999u);
  EXPECT_EQ(t->prepopulate, 0);
  EXPECT_EQ(started, 1);

  // Members of the same server reordered count as a change: it is updated.
  const std::string reordered =
      R"(, "servers": [{"addresses": ["10.0.0.5", "10.0.1.5"], "uuid": ")" + R +
      R"(", "first_port": 100, "last_port": 110}])";
  EXPECT_EQ(configure(configure_request(S, V, reordered + clients)), OK17);
  EXPECT_EQ(r->last_port, 110u);
  EXPECT_EQ(t->prepopulate, 0);  // the client entry is unchanged

  const std::string port120 =
      R"(, "servers": [)" +
      server(R, R"(["10.0.0.5", "10.0.1.5"])", R"("first_port": 100, "last_port": 120)") + "]";
  EXPECT_EQ(configure(configure_request(S, V, port120 + clients)), OK17);
  EXPECT_EQ(find_server(R), r);
  EXPECT_EQ(r->last_port, 120u);

  // An absent list leaves its entries, and the stored request and the state
  // file keep naming them; an empty one then removes them.
  const std::string kept = configure_request(S, V, port120 + clients);
  EXPECT_EQ(configure(configure_request(S, V, "")), OK17);
  EXPECT_NE(find_server(R), nullptr);
  EXPECT_NE(find_client(T), nullptr);
  EXPECT_EQ(stored(S), plain(kept));
  EXPECT_EQ(read_text(state_file(S)), plain(kept));
  EXPECT_EQ(configure(configure_request(S, V, clients)), OK17);  // servers carried again
  EXPECT_EQ(stored(S), plain(configure_request(S, V, clients + port120)));
  EXPECT_EQ(configure(configure_request(S, V, port120 + R"(, "clients": [])")), OK17);
  EXPECT_EQ(find_client(T), nullptr);
  EXPECT_EQ(running, 0);
  EXPECT_NE(find_server(R), nullptr);
  EXPECT_EQ(configure(configure_request(S, V, R"(, "servers": [])")), OK17);
  EXPECT_EQ(find_server(R), nullptr);
  EXPECT_EQ(read_text(state_file(S)),
            plain(configure_request(S, V, R"(, "servers": [], "clients": [])")));

  // Another cache VDI for a live site is refused: internal error, no change.
  const std::string before = read_text(state_file(S));
  EXPECT_EQ(configure(configure_request(S, V2, "")), error17(-32603, "Internal error"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "Couldn't create site context"));
  EXPECT_TRUE(has_site(S));
  EXPECT_EQ(read_text(state_file(S)), before);

  EXPECT_EQ(remove_site(S), OK17);
  EXPECT_FALSE(has_site(S));
  EXPECT_TRUE(ctx.site_state->empty());
  EXPECT_TRUE(state_names().empty());
}

TEST_F(SiteCommandsRoot, FailuresLeaveNoNewSiteAndKeepEarlierEntriesOfAnOldOne) {
  const std::string servers = R"(, "servers": [)" + server(R) + "]";
  const std::string first_off = client(T, "02:00:00:00:00:01", "false");
  const std::string first_on = client(T, "02:00:00:00:00:01", "true");
  const std::string second_bad =
      R"({"uuid": ")" + T2 + R"(", "mac": "02:00:00:00:00:02", "prepopulate": true})";

  // New site, second client without "interface": nothing is left.
  EXPECT_EQ(configure(configure_request(
                S, V, servers + R"(, "clients": [)" + first_off + ", " + second_bad + "]")),
            error17(-32602, "Invalid params, interface"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "process_json_client: no interface"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_MESSAGE, "Removing contexts for site " + S));
  EXPECT_FALSE(has_site(S));
  EXPECT_EQ(find_server(R), nullptr);
  EXPECT_EQ(find_client(T), nullptr);
  EXPECT_EQ(running, 0);
  EXPECT_TRUE(ctx.site_state->empty());
  EXPECT_TRUE(state_names().empty());

  // Existing site: the first client's change stays, the stored request and
  // the state file stay those of the previous request.
  const std::string good = configure_request(S, V, servers + R"(, "clients": [)" + first_off + "]");
  ASSERT_EQ(configure(good), OK17);
  ASSERT_NE(find_client(T), nullptr);
  EXPECT_EQ(find_client(T)->prepopulate, 0);
  logs.clear();
  EXPECT_EQ(configure(configure_request(
                S, V, servers + R"(, "clients": [)" + first_on + ", " + second_bad + "]")),
            error17(-32602, "Invalid params, interface"));
  EXPECT_FALSE(logs.contains("Removing contexts"));
  ASSERT_NE(find_client(T), nullptr);
  EXPECT_EQ(find_client(T)->prepopulate, 1);
  EXPECT_EQ(find_client(T2), nullptr);
  EXPECT_EQ(read_text(state_file(S)), plain(good));
  EXPECT_EQ(stored(S), plain(good));

  // Lists of another type are refused before anything changes, for the old
  // site (its first server's new ports are not applied) and for a new one.
  server_context* r = find_server(R);
  ASSERT_NE(r, nullptr);
  const std::string new_ports =
      R"(, "servers": [)" + server(R, R"(["10.0.0.5"])", R"("first_port": 1, "last_port": 2)");
  EXPECT_EQ(configure(configure_request(
                S, V, new_ports + R"(, {"uuid": ")" + R2 + R"(", "addresses": "10.0.0.9"}])")),
            error17(-32602, "Invalid params, address"));
  EXPECT_EQ(configure(configure_request(S, V, new_ports + R"(], "clients": {})")),
            error17(-32602, "Invalid params, client_uuid"));
  EXPECT_EQ(configure(configure_request(S, V, R"(, "servers": "none")")),
            error17(-32602, "Invalid params, server_uuid"));
  EXPECT_EQ(r->first_port, 100u);
  EXPECT_EQ(find_server(R2), nullptr);
  EXPECT_EQ(configure(configure_request(S2, V2, R"(, "clients": 5)")),
            error17(-32602, "Invalid params, client_uuid"));
  EXPECT_FALSE(has_site(S2));
  EXPECT_EQ(read_text(state_file(S)), plain(good));
  EXPECT_EQ(state_names(), std::vector<std::string>{S});
}

TEST_F(SiteCommandsRoot, ServerEntries) {
  std::string forty = "[";
  for (int i = 0; i < 40; i++)
    forty += (i ? ", \"10.1.0." : "\"10.1.0.") + std::to_string(i) + "\"";
  forty += "]";
  const std::string lists = R"(, "servers": [)" + server(R, forty) + ", " +
                            server(R2, R"([null, "bogus", "10.2.0.1", 7])") + R"(, 4, "x"])";
  ASSERT_EQ(configure(configure_request(S, V, lists)), OK17);
  server_context* r = find_server(R);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->address_count, 32u);
  for (uint32_t i = 0; i < 32; i++)
    EXPECT_EQ(r->addresses[i], inet_addr(("10.1.0." + std::to_string(i)).c_str()));
  server_context* r2 = find_server(R2);
  ASSERT_NE(r2, nullptr);
  EXPECT_EQ(r2->address_count, 4u);
  EXPECT_EQ(r2->addresses[0], 0u);
  EXPECT_EQ(r2->addresses[1], 0xFFFFFFFFu);
  EXPECT_EQ(r2->addresses[2], inet_addr("10.2.0.1"));
  EXPECT_EQ(r2->addresses[3], inet_addr("7"));

  // A server without addresses is silently absent, and its request succeeds.
  logs.clear();
  EXPECT_EQ(configure(configure_request(S, V, R"(, "servers": [)" + server(R, "[]") + "]")), OK17);
  EXPECT_FALSE(logs.contains(G_LOG_LEVEL_CRITICAL, ""));
  EXPECT_EQ(find_server(R2), nullptr);

  const std::string bad_uuid = R"(, "servers": [)" + server("not-a-uuid") + "]";
  const std::string no_uuid = R"(, "servers": [{"addresses": []}])";
  const std::string no_addresses = R"(, "servers": [{"uuid": ")" + R + R"(", "first_port": 1}])";
  const std::string port0 =
      R"(, "servers": [)" + server(R, "[]", R"("first_port": 0, "last_port": 1)") + "]";
  const std::string no_last = R"(, "servers": [)" + server(R, "[]", R"("first_port": 1)") + "]";
  EXPECT_EQ(configure(configure_request(S, V, bad_uuid)),
            error17(-32602, "Invalid params, server_uuid"));
  EXPECT_EQ(configure(configure_request(S, V, no_uuid)),
            error17(-32602, "Invalid params, server_uuid"));
  EXPECT_EQ(configure(configure_request(S, V, no_addresses)),
            error17(-32602, "Invalid params, address"));
  EXPECT_EQ(configure(configure_request(S, V, port0)),
            error17(-32602, "Invalid params, first_port"));
  EXPECT_EQ(configure(configure_request(S, V, no_last)),
            error17(-32602, "Invalid params, last_port"));
  for (const char* warning :
       {"process_json_server: invalid server_uuid", "process_json_server: no uuid",
        "process_json_server: no addresses", "process_json_server: no first_port",
        "process_json_server: no last port"})
    EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, warning)) << warning;
}

TEST_F(SiteCommandsRoot, ClientEntriesPrepopulateAndMacForms) {
  struct spelling {
    const char* json;
    uint8_t expected;
  };
  const std::vector<spelling> spellings = {
      {"1", 1},       {R"("1")", 1},       {"true", 1},         {R"("TRUE")", 1}, {R"("Yes")", 1},
      {R"("on")", 1}, {R"("Enabled")", 1}, {R"("enable")", 1},  {"0", 0},         {"false", 0},
      {R"("no")", 0}, {R"("01")", 0},      {R"("enable ")", 0}, {R"("")", 0},     {"{}", 0},
  };
  const auto uuid = [](size_t i) {
    const char* hex = "0123456789abcdef";
    return std::string("c1c1c1c1-0000-4000-8000-0000000001") + hex[i / 16 % 16] + hex[i % 16];
  };
  std::string clients = R"(, "clients": [)";
  for (size_t i = 0; i < spellings.size(); i++) {
    const std::string mac = "2:0:0:0:1:" + std::to_string(i);  // read as hexadecimal
    clients += (i ? ", " : "") +
               client(uuid(i), mac, spellings[i].json, "\"tap" + std::to_string(i) + "\"");
  }
  clients += R"(, 5, null])";
  ASSERT_EQ(configure(configure_request(S, V, clients)), OK17);
  for (size_t i = 0; i < spellings.size(); i++) {
    client_context* cc = find_client(uuid(i));
    ASSERT_NE(cc, nullptr) << spellings[i].json;
    EXPECT_EQ(cc->prepopulate, spellings[i].expected) << spellings[i].json;
    const auto last = static_cast<uint8_t>(i / 10 * 16 + i % 10);
    EXPECT_EQ(cc->mac, (std::array<uint8_t, 6>{2, 0, 0, 0, 1, last}));
  }

  // Fields keep their low 8 bits, text after the sixth is ignored; hyphens,
  // five fields or a missing member are refused.
  const std::string odd =
      R"(, "clients": [)" + client(T, "0x1ff:0:0:0:2:03:ff", "1", R"("tapodd")") + "]";
  ASSERT_EQ(configure(configure_request(S2, V2, odd)), OK17);
  ASSERT_NE(find_client(T), nullptr);
  EXPECT_EQ(find_client(T)->mac, (std::array<uint8_t, 6>{0xff, 0, 0, 0, 2, 3}));
  for (const char* mac : {"02-00-00-00-00-09", "02:00:00:00:09", "zz:00:00:00:00:09"}) {
    EXPECT_EQ(
        configure(configure_request(S2, V2, R"(, "clients": [)" + client(T2, mac, "1") + "]")),
        error17(-32602, "Invalid params, mac"))
        << mac;
  }
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "process_json_client: invalid mac address"));
  const std::string no_mac = R"({"uuid": ")" + T2 + R"(", "interface": "x", "prepopulate": 1})";
  const std::string null_prepop = client(T2, "02:00:00:00:00:09", "null");
  const std::string bad_uuid = client("T2", "02:00:00:00:00:09", "1");
  EXPECT_EQ(configure(configure_request(S2, V2, R"(, "clients": [)" + no_mac + "]")),
            error17(-32602, "Invalid params, mac"));
  EXPECT_EQ(configure(configure_request(S2, V2, R"(, "clients": [)" + null_prepop + "]")),
            error17(-32602, "Invalid params, prepopulate"));
  EXPECT_EQ(configure(configure_request(S2, V2, R"(, "clients": [)" + bad_uuid + "]")),
            error17(-32602, "Invalid params, client_uuid"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "process_json_client_add: invalid client_uuid"));
  // All refused against the existing site S2: its client is still there.
  EXPECT_NE(find_client(T), nullptr);
  EXPECT_EQ(find_client(T2), nullptr);

  // A client whose create fails (its MAC is taken) is an internal error.
  EXPECT_EQ(configure(configure_request(
                S2, V2, R"(, "clients": [)" + client(T2, "2:0:0:0:1:0", "1") + "]")),
            error17(-32603, "Internal error"));
}

TEST_F(SiteCommandsRoot, StateFilesAreAtomicAndRestoreReplaysThem) {
  const std::string request = configure_request(
      S, V,
      R"(, "servers": [)" + server(R) + R"(], "clients": [)" + client(T, "2:0:0:0:0:1", "1") + "]");
  // A temporary left by a crash is overwritten, never left beside the file.
  std::ofstream(state_file("." + S + ".tmp")) << "partial";
  ASSERT_EQ(configure(request), OK17);
  EXPECT_EQ(state_names(), std::vector<std::string>{S});
  EXPECT_EQ(read_text(state_file(S)), plain(request));
  struct stat st {};
  ASSERT_EQ(stat(state_file(S).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A restart: contexts and stored requests gone, the file replayed. Nothing
  // is sent and the file is not written again.
  const ino_t inode = st.st_ino;
  destroy_tables();
  ctx.site_state->clear();
  init_tables();
  json_ptr saved(json_object_from_file(state_file(S).c_str()));
  ASSERT_NE(saved, nullptr);
  site_state_restore(&ctx, saved.get());
  char buf[64];
  EXPECT_EQ(recv(ours.get(), buf, sizeof buf, MSG_DONTWAIT), -1);
  EXPECT_TRUE(has_site(S));
  EXPECT_NE(find_server(R), nullptr);
  EXPECT_NE(find_client(T), nullptr);
  EXPECT_EQ(stored(S), read_text(state_file(S)));
  ASSERT_EQ(stat(state_file(S).c_str(), &st), 0);
  EXPECT_EQ(st.st_ino, inode);

  // A restored request that fails leaves no trace and no file change.
  json_ptr bad(
      json_tokener_parse(configure_request(S2, V2, R"(, "clients": [{"uuid": "x"}])").c_str()));
  site_state_restore(&ctx, bad.get());
  EXPECT_FALSE(has_site(S2));
  EXPECT_EQ(recv(ours.get(), buf, sizeof buf, MSG_DONTWAIT), -1);

  // An unwritable state directory is reported; the site is configured.
  site_state_set_dir("/nonexistent-tarn-state");
  logs.clear();
  EXPECT_EQ(configure(configure_request(S2, V2, "")), OK17);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING,
                            "Failed to write state file "
                            "/nonexistent-tarn-state/" +
                                S2));
  EXPECT_TRUE(has_site(S2));
  EXPECT_NE(stored(S2), "");
}

}  // namespace
