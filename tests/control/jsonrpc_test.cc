// Dispatch, version and id rules, the error table and the response format, as
// a peer reads them from the other end of a socketpair. The daemon's socket
// (tests/e2e/control_test.cc) covers the common rows; these are the rest.
#include "control/jsonrpc.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "contexts/proxy_context.h"
#include "core/unique_fd.h"
#include "support/log_capture.h"

namespace {

// The two ends of a stream socketpair: the handler's and the peer's.
struct peer_pair {
  unique_fd server, client;
  peer_pair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    server.reset(fds[0]), client.reset(fds[1]);
  }
  std::string drain() {  // "" when nothing was sent
    char buf[1 << 16];
    ssize_t n = recv(client.get(), buf, sizeof buf, MSG_DONTWAIT);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }
};

std::string error(int code, const char* message, const char* id) {
  return "{ \"jsonrpc\": \"2.0\", \"error\": { \"code\": " + std::to_string(code) +
         ", \"message\": \"" + message + "\" }, \"id\": " + id + " }";
}

int calls = 0;
void record(proxy_context*, json_object*, int) {
  calls++;
}

TEST(JsonRpcResponse, ResultsAndSendFailures) {
  tarn_test::log_capture logs;
  peer_pair pair;
  // The response keeps the id whole (error texts: site_commands_root_test.cc).
  json_ptr id(json_tokener_parse("{\"a\": [1, 2]}"));
  json_send_response(pair.server.get(), id.get(), "result", json_object_new_int(0));
  EXPECT_EQ(pair.drain(), "{ \"jsonrpc\": \"2.0\", \"result\": 0, \"id\": { \"a\": [ 1, 2 ] } }");

  // Without an id, a key or a connection nothing is sent; the value is still
  // released (the sanitizer build reports a leak otherwise).
  json_send_response_error(pair.server.get(), nullptr, 3);
  json_send_response(pair.server.get(), nullptr, "result", json_object_new_string("x"));
  json_send_response(pair.server.get(), id.get(), nullptr, json_object_new_string("x"));
  json_send_response(-1, id.get(), "result", json_object_new_string("x"));
  EXPECT_EQ(pair.drain(), "");

  // A closed peer is a warning, never a SIGPIPE; a response larger than the
  // socket buffer is cut, never waited for.
  peer_pair closed;
  closed.client.reset();
  json_send_response(closed.server.get(), id.get(), "result", json_object_new_string("OK"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "Cannot send a response back: "));
  int size = 4096;
  ASSERT_EQ(setsockopt(pair.server.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size), 0);
  const std::string big(1 << 20, 'x');
  json_send_response(pair.server.get(), id.get(), "result", json_object_new_string(big.c_str()));
  const size_t got = pair.drain().size();
  EXPECT_TRUE(got > 0 && got < big.size()) << got;
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "Cannot send a response back: sent "));
}

TEST(JsonRpcDispatch, OnlyTheStringVersionAndExactMethodNames) {
  proxy_context ctx;
  ctx.json_commands = std::make_unique<json_command_table>();
  register_json_command(&ctx, "echo", record);
  peer_pair pair;
  const std::pair<const char*, std::string> table[] = {
      {R"({"jsonrpc": 2.0, "method": "echo", "id": 3})", error(-32600, "Invalid request", "3")},
      {R"({"jsonrpc": "2.0\u0000", "method": "echo", "id": 4})",
       error(-32600, "Invalid request", "4")},
      {R"({"jsonrpc": "2.0", "method": 5, "id": 6})", error(-32601, "Method not found", "6")},
      {R"({"jsonrpc": "2.0", "method": "echo\u0000", "id": 7})",
       error(-32601, "Method not found", "7")},
      {R"({"jsonrpc": "2.0", "method": "nope"})", ""},
      {R"({"jsonrpc": "2.0", "id": 8})", ""},
      // The handler decides the response; "result" and "error" mean nothing.
      {R"({"jsonrpc": "2.0", "method": "echo", "id": 1, "result": 1, "error": 2})", ""},
  };
  for (const auto& [request, response] : table) {
    json_ptr parsed(json_tokener_parse(request));
    process_json_message(&ctx, parsed.get(), pair.server.get());
    EXPECT_EQ(pair.drain(), response) << request;
  }
  EXPECT_EQ(calls, 1);
}

}  // namespace
