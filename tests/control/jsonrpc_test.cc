// Dispatch, version and id rules, the error table and the response format,
// observed as a peer reads them from the other end of a socketpair.
#include "control/jsonrpc.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "contexts/proxy_context.h"
#include "core/unique_fd.h"
#include "support/log_capture.h"

namespace {

class peer_pair {
 public:
  peer_pair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    server_.reset(fds[0]);
    client_.reset(fds[1]);
  }
  int server() const { return server_.get(); }
  // Everything the server side has written so far (nothing pending is "").
  std::string drain() {
    std::string text;
    char buf[4096];
    for (;;) {
      struct pollfd p = {client_.get(), POLLIN, 0};
      if (poll(&p, 1, 0) != 1) break;
      ssize_t n = recv(client_.get(), buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0) break;
      text.append(buf, static_cast<size_t>(n));
    }
    return text;
  }

 private:
  unique_fd server_, client_;
};

json_ptr parse(const char* text) {
  return json_ptr(json_tokener_parse(text));
}

TEST(JsonRpcResponse, ErrorTableEntriesAsSent) {
  struct entry {
    int number;
    int code;
    const char* message;
  };
  const entry table[] = {
      {0, 0, "OK"},
      {1, -32603, "Internal error"},
      {2, -32602, "Invalid params, id"},
      {3, -32600, "Invalid request"},
      {4, -32601, "Method not found"},
      {5, -32602, "Invalid request"},
      {6, -32602, "Invalid params, site_uuid"},
      {7, -32602, "Invalid params, cache_vdi"},
      {8, -32602, "Invalid params, server_uuid"},
      {9, -32602, "Invalid params, address"},
      {10, -32602, "Invalid params, first_port"},
      {11, -32602, "Invalid params, last_port"},
      {12, -32602, "Invalid params, client_uuid"},
      {13, -32602, "Invalid params, mac"},
      {14, -32602, "Invalid params, interface"},
      {15, -32602, "Invalid params, prepopulate"},
      // Out of range selects "Internal error".
      {16, -32603, "Internal error"},
      {1000, -32603, "Internal error"},
      {-1, -32603, "Internal error"},
  };
  peer_pair pair;
  json_ptr id(json_object_new_int(42));
  for (const auto& e : table) {
    json_send_response_error(pair.server(), id.get(), e.number);
    EXPECT_EQ(pair.drain(),
              "{ \"jsonrpc\": \"2.0\", \"error\": { \"code\": " + std::to_string(e.code) +
                  ", \"message\": \"" + e.message + "\" }, \"id\": 42 }")
        << "error number " << e.number;
  }
  // The response took its own reference: the caller's id is still whole.
  EXPECT_EQ(json_object_get_int(id.get()), 42);
  json_send_response_error(pair.server(), nullptr, 3);
  EXPECT_EQ(pair.drain(), "");
}

TEST(JsonRpcResponse, ResultIdAndKeyRules) {
  peer_pair pair;
  json_ptr id(json_object_new_string("req-7"));
  json_send_response(pair.server(), id.get(), "result", json_object_new_string("OK"));
  EXPECT_EQ(pair.drain(), "{ \"jsonrpc\": \"2.0\", \"result\": \"OK\", \"id\": \"req-7\" }");

  json_ptr structured(json_tokener_parse("{\"a\": [1, 2]}"));
  json_send_response(pair.server(), structured.get(), "result", json_object_new_int(0));
  EXPECT_EQ(pair.drain(), "{ \"jsonrpc\": \"2.0\", \"result\": 0, \"id\": { \"a\": [ 1, 2 ] } }");

  // Without an id, a key or a connection nothing is sent; the value is still
  // released (the sanitizer build reports a leak otherwise).
  json_send_response(pair.server(), nullptr, "result", json_object_new_string("x"));
  json_send_response(pair.server(), id.get(), nullptr, json_object_new_string("x"));
  json_send_response(-1, id.get(), "result", json_object_new_string("x"));
  EXPECT_EQ(pair.drain(), "");

  // A closed peer is a warning, never a SIGPIPE.
  tarn_test::log_capture logs;
  logs.clear();
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  unique_fd server(fds[0]);
  close(fds[1]);
  json_send_response(server.get(), id.get(), "result", json_object_new_string("OK"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "Cannot send a response back: "));

  // A response larger than the socket buffer is cut, never waited for.
  logs.clear();
  peer_pair small;
  int size = 4096;
  ASSERT_EQ(setsockopt(small.server(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size), 0);
  std::string big(1 << 20, 'x');
  json_send_response(small.server(), id.get(), "result", json_object_new_string(big.c_str()));
  std::string got = small.drain();
  EXPECT_GT(got.size(), 0u);
  EXPECT_LT(got.size(), big.size());
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "Cannot send a response back: sent "));
}

// What the registered test handlers saw.
struct handler_call {
  std::string which;
  std::string request;
  int connection;
};
std::vector<handler_call> calls;

void record_first(proxy_context*, json_object* request, int connection) {
  calls.push_back({"first", json_object_to_json_string(request), connection});
}
void record_second(proxy_context*, json_object* request, int connection) {
  calls.push_back({"second", json_object_to_json_string(request), connection});
}

class JsonRpcDispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    calls.clear();
    context_.json_commands = std::make_unique<json_command_table>();
    register_json_command(&context_, "echo", record_first);
    logs_.clear();
  }
  // Processes `text` and returns what the peer received.
  std::string process(const char* text) {
    json_ptr request = parse(text);
    EXPECT_TRUE(request) << text;
    process_json_message(&context_, request.get(), pair_.server());
    return pair_.drain();
  }

  proxy_context context_;
  peer_pair pair_;
  tarn_test::log_capture logs_;
};

const char* INVALID_REQUEST =
    "{ \"jsonrpc\": \"2.0\", \"error\": { \"code\": -32600, \"message\": \"Invalid request\" }, ";
const char* NOT_FOUND =
    "{ \"jsonrpc\": \"2.0\", \"error\": { \"code\": -32601, \"message\": \"Method not found\" }, ";

TEST_F(JsonRpcDispatch, VersionMethodAndIdRules) {
  struct request_case {
    const char* request;
    std::string response;  // "" for none
  };
  const request_case table[] = {
      {R"({"jsonrpc": "1.0", "method": "echo", "id": 1})",
       std::string(INVALID_REQUEST) + "\"id\": 1 }"},
      {R"({"jsonrpc": "2.0 ", "method": "echo", "id": 2})",
       std::string(INVALID_REQUEST) + "\"id\": 2 }"},
      {R"({"jsonrpc": 2.0, "method": "echo", "id": 3})",
       std::string(INVALID_REQUEST) + "\"id\": 3 }"},
      {R"({"jsonrpc": "2.0\u0000", "method": "echo", "id": 4})",
       std::string(INVALID_REQUEST) + "\"id\": 4 }"},
      {R"({"jsonrpc": "1.0", "method": "echo"})", ""},
      {R"({"jsonrpc": "1.0", "method": "echo", "id": null})", ""},
      {R"({"jsonrpc": "2.0", "method": "nope", "id": "x"})",
       std::string(NOT_FOUND) + "\"id\": \"x\" }"},
      {R"({"jsonrpc": "2.0", "method": 5, "id": 6})", std::string(NOT_FOUND) + "\"id\": 6 }"},
      {R"({"jsonrpc": "2.0", "method": "echo\u0000", "id": 7})",
       std::string(NOT_FOUND) + "\"id\": 7 }"},
      {R"({"jsonrpc": "2.0", "method": "nope"})", ""},
      {R"({"jsonrpc": "2.0", "method": "nope", "id": null})", ""},
      {R"({"jsonrpc": "2.0", "id": 8})", ""},
  };
  for (const auto& c : table) EXPECT_EQ(process(c.request), c.response) << c.request;
  EXPECT_TRUE(calls.empty());
  EXPECT_FALSE(logs_.contains("process_json_message: no version"));

  EXPECT_EQ(process(R"({"method": "echo", "id": 9})"),
            std::string(INVALID_REQUEST) + "\"id\": 9 }");
  EXPECT_TRUE(logs_.contains(G_LOG_LEVEL_WARNING, "process_json_message: no version"));
  EXPECT_TRUE(calls.empty());
}

TEST_F(JsonRpcDispatch, HandlerDecidesTheResponse) {
  // "result" and "error" in a request mean nothing; the handler gets the
  // request as it came, with the connection, even without an id.
  const char* with_id = R"({"jsonrpc": "2.0", "method": "echo", "id": 1, "result": 1, "error": 2})";
  EXPECT_EQ(process(with_id), "");
  EXPECT_EQ(process(R"({"jsonrpc": "2.0", "method": "echo"})"), "");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].which, "first");
  EXPECT_EQ(calls[0].connection, pair_.server());
  EXPECT_EQ(calls[0].request, json_object_to_json_string(parse(with_id).get()));
  EXPECT_EQ(calls[1].request, "{ \"jsonrpc\": \"2.0\", \"method\": \"echo\" }");

  // Registering a name again replaces its handler.
  register_json_command(&context_, "echo", record_second);
  register_json_command(&context_, "other", record_first);
  EXPECT_EQ(context_.json_commands->size(), 2u);
  process(R"({"jsonrpc": "2.0", "method": "echo", "id": 2})");
  process(R"({"jsonrpc": "2.0", "method": "other", "id": 3})");
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[2].which, "second");
  EXPECT_EQ(calls[3].which, "first");
}

TEST_F(JsonRpcDispatch, PreconditionsAndNonObjects) {
  register_json_command(&context_, nullptr, record_second);
  register_json_command(&context_, "x", nullptr);
  EXPECT_EQ(logs_.count("(method != NULL) && (callback_fn != NULL)"), 2u);
  EXPECT_EQ(context_.json_commands->count("x"), 0u);

  for (const char* text :
       {R"([{"jsonrpc": "2.0", "method": "echo", "id": 1}])", "\"echo\"", "17"}) {
    logs_.clear();
    EXPECT_EQ(process(text), "") << text;
    EXPECT_TRUE(
        logs_.contains(G_LOG_LEVEL_CRITICAL, "json_object_get_type(json_obj) == json_type_object"))
        << text;
  }
  // JSON null parses to no object at all.
  process_json_message(&context_, nullptr, pair_.server());
  EXPECT_EQ(pair_.drain(), "");
  EXPECT_TRUE(calls.empty());

  // Without a method table nothing is found.
  context_.json_commands.reset();
  EXPECT_EQ(process(R"({"jsonrpc": "2.0", "method": "echo", "id": 1})"),
            std::string(NOT_FOUND) + "\"id\": 1 }");
}

}  // namespace
