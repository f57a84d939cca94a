// Site commands up to the point where a site would be created: entry
// comparison, request validation, the types of the lists, and "remove_site"
// with its path safety. Responses are read from the other end of a socketpair.
#include "control/site_commands.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "contexts/proxy_context.h"
#include "control/jsonrpc.h"
#include "core/unique_fd.h"
#include "support/log_capture.h"

namespace {

namespace fs = std::filesystem;

const char* SITE = "5a5a5a5a-0000-4000-8000-000000000001";
const char* VDI = "7d7d7d7d-0000-4000-8000-000000000001";

json_ptr parse(const std::string& text) {
  json_ptr obj(json_tokener_parse(text.c_str()));
  EXPECT_NE(obj, nullptr) << text;
  return obj;
}

std::string request(const std::string& method, const std::string& params) {
  return R"({"jsonrpc": "2.0", "method": ")" + method + R"(", "id": 3, "params": )" + params + "}";
}

class SiteCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    site_contexts_init(&ctx);
    server_contexts_init(&ctx);
    client_contexts_init(&ctx);
    ctx.site_state = std::make_unique<site_state_table>();
    root = fs::temp_directory_path() / ("tarn-sitecmd-" + std::to_string(getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "state");
    site_state_set_dir((root / "state").string());
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    ours.reset(fds[0]);
    theirs.reset(fds[1]);
    logs.clear();
  }
  void TearDown() override {
    site_state_set_dir(STATE_DIR);
    fs::remove_all(root);
  }

  // What the handler sent: "" when nothing. The handler sends at most once,
  // with one send, before it returns, so no wait is needed.
  std::string call(void (*handler)(proxy_context*, json_object*, int), const std::string& text) {
    json_ptr req = parse(text);
    handler(&ctx, req.get(), theirs.get());
    char buf[4096];
    ssize_t n = recv(ours.get(), buf, sizeof buf, MSG_DONTWAIT);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
  std::string configure(const std::string& params) {
    return call(process_configure_site, request("configure_site", params));
  }
  std::string remove(const std::string& params) {
    return call(process_remove_site, request("remove_site", params));
  }
  static std::string error(int code, const std::string& message) {
    return R"({ "jsonrpc": "2.0", "error": { "code": )" + std::to_string(code) +
           R"(, "message": ")" + message + R"(" }, "id": 3 })";
  }
  std::string site_params(const std::string& extra) {
    return std::string(R"({"site_uuid": ")") + SITE + R"(", "vdi": ")" + VDI + "\"" + extra + "}";
  }

  proxy_context ctx;
  fs::path root;
  unique_fd ours, theirs;
  tarn_test::log_capture logs;
};

TEST(FindJsonObject, ComparesByUuidThenSerialisation) {
  json_ptr list = parse(R"([{"uuid": "a", "x": 1}, 5, {"uuid": "b", "x": 2},
                            {"uuid": "b", "x": 3}])");
  EXPECT_EQ(find_json_object(list.get(), parse(R"({"uuid": "a", "x": 1})").get()), 0);
  EXPECT_EQ(find_json_object(list.get(), parse(R"({"uuid": "a", "x": 2})").get()), 1);
  // Same values in another order, or a number written differently, differ.
  EXPECT_EQ(find_json_object(list.get(), parse(R"({"x": 1, "uuid": "a"})").get()), 1);
  EXPECT_EQ(find_json_object(list.get(), parse(R"({"uuid": "a", "x": 1.0})").get()), 1);
  // The first entry with the uuid decides.
  EXPECT_EQ(find_json_object(list.get(), parse(R"({"uuid": "b", "x": 3})").get()), 1);
  EXPECT_EQ(find_json_object(list.get(), parse(R"({"uuid": "B", "x": 2})").get()), 2);
  EXPECT_EQ(find_json_object(list.get(), parse(R"({"x": 1})").get()), 2);
  EXPECT_EQ(find_json_object(list.get(), parse(R"({"uuid": 7})").get()), 2);
  EXPECT_EQ(find_json_object(parse("[]").get(), parse(R"({"uuid": "a"})").get()), 2);
  EXPECT_EQ(find_json_object(nullptr, parse(R"({"uuid": "a"})").get()), 1);

  tarn_test::log_capture logs;
  logs.clear();
  EXPECT_EQ(find_json_object(list.get(), nullptr), 0);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_CRITICAL, "jobj_tofind != NULL"));
}

TEST_F(SiteCommands, ConfigureRejectsBadRequestsBeforeAnySite) {
  // No id (or a null one): no answer, no effect.
  EXPECT_EQ(call(process_configure_site,
                 R"({"jsonrpc": "2.0", "method": "configure_site", "params": {}})"),
            "");
  EXPECT_EQ(call(process_configure_site, R"({"jsonrpc": "2.0", "id": null, "params": {}})"), "");
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "process_configure_site: no id"));
  // Not an object: ignored.
  EXPECT_EQ(call(process_configure_site, "[1, 2]"), "");

  EXPECT_EQ(call(process_configure_site, R"({"jsonrpc": "2.0", "id": 3})"),
            error(-32602, "Invalid request"));
  EXPECT_EQ(configure("{}"), error(-32602, "Invalid params, site_uuid"));
  EXPECT_EQ(configure(R"({"site_uuid": "not-a-uuid", "vdi": "x"})"),
            error(-32602, "Invalid params, site_uuid"));
  EXPECT_EQ(configure(R"({"site_uuid": 12, "vdi": "x"})"),
            error(-32602, "Invalid params, site_uuid"));
  EXPECT_EQ(
      configure(std::string(R"({"site_uuid": ")") + SITE + R"(", "cache_vdi": ")" + VDI + "\"}"),
      error(-32602, "Invalid params, cache_vdi"));
  EXPECT_EQ(configure(std::string(R"({"site_uuid": ")") + SITE + R"(", "vdi": "abc"})"),
            error(-32602, "Invalid params, cache_vdi"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "process_configure_site: no params"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "process_configure_site: no site_uuid"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "process_configure_site: no vdi"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "process_configure_site: invalid vdi"));

  // Lists of another type than array, each with the number of its member.
  EXPECT_EQ(configure(site_params(R"(, "servers": {"uuid": "x"})")),
            error(-32602, "Invalid params, server_uuid"));
  EXPECT_EQ(configure(site_params(R"(, "clients": "none")")),
            error(-32602, "Invalid params, client_uuid"));
  EXPECT_EQ(configure(site_params(
                R"(, "servers": [{"uuid": "x", "addresses": "10.0.0.1", "first_port": 1}])")),
            error(-32602, "Invalid params, address"));

  EXPECT_TRUE(ctx.site_context_ht->empty());
  EXPECT_TRUE(ctx.server_context_ht->empty());
  EXPECT_TRUE(ctx.site_state->empty());
  EXPECT_TRUE(fs::is_empty(root / "state"));
}

TEST_F(SiteCommands, RemoveSiteTouchesOnlyStateFilesOfUuids) {
  std::ofstream(root / "victim") << "keep";
  std::ofstream(root / "state" / "not-a-uuid") << "keep";

  EXPECT_EQ(remove(R"({"site_uuid": "../victim"})"), error(-32602, "Invalid params, site_uuid"));
  EXPECT_EQ(remove(R"({"site_uuid": "not-a-uuid"})"), error(-32602, "Invalid params, site_uuid"));
  EXPECT_EQ(remove(R"({"site_uuid": 5})"), error(-32602, "Invalid params, site_uuid"));
  EXPECT_EQ(remove("{}"), error(-32602, "Invalid params, site_uuid"));
  EXPECT_EQ(call(process_remove_site, R"({"jsonrpc": "2.0", "id": 3})"),
            error(-32602, "Invalid request"));
  EXPECT_EQ(call(process_remove_site, R"({"params": {"site_uuid": "../victim"}})"), "");
  EXPECT_TRUE(fs::exists(root / "victim"));
  EXPECT_TRUE(fs::exists(root / "state" / "not-a-uuid"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "process_remove_site: invalid site_uuid"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "process_remove_site: no site_uuid"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "process_remove_site: no params"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "process_remove_site: no id"));

  // An unknown site answers OK after a warning; a stored one loses its entry
  // and its file.
  const std::string ok = R"({ "jsonrpc": "2.0", "result": "OK", "id": 3 })";
  const std::string by_uuid = std::string(R"({"site_uuid": ")") + SITE + "\"}";
  logs.clear();
  EXPECT_EQ(remove(by_uuid), ok);
  EXPECT_TRUE(logs.contains(
      G_LOG_LEVEL_WARNING,
      "Failed to unlink " + (root / "state" / SITE).string() + ": No such file or directory"));
  std::ofstream(root / "state" / SITE) << "{}";
  ctx.site_state->emplace(SITE, parse("{}"));
  logs.clear();
  EXPECT_EQ(remove(by_uuid), ok);
  EXPECT_FALSE(fs::exists(root / "state" / SITE));
  EXPECT_TRUE(ctx.site_state->empty());
  EXPECT_FALSE(logs.contains(G_LOG_LEVEL_WARNING, "Failed to unlink"));
}

}  // namespace
