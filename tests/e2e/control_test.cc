// The control socket of the production binary, driven as the host's
// management stack drives it: one request per connection, the response read
// until the daemon closes.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/unique_fd.h"
#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

const char* INVALID_REQUEST =
    "{ \"jsonrpc\": \"2.0\", \"error\": { \"code\": -32600, \"message\": \"Invalid request\" }, ";
const char* NOT_FOUND =
    "{ \"jsonrpc\": \"2.0\", \"error\": { \"code\": -32601, \"message\": \"Method not found\" }, ";

std::string socket_path(const tarn_test::sandbox& sb) {
  return sb.dir() + "/vextal/tarnproxy/socket/tarnproxy";
}

unique_fd control_connect(const tarn_test::sandbox& sb) {
  unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  EXPECT_TRUE(fd.valid());
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  std::string path = socket_path(sb);
  EXPECT_LT(path.size(), sizeof addr.sun_path);
  path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  if (connect(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    ADD_FAILURE() << "connect " << path << ": " << strerror(errno);
    return unique_fd();
  }
  return fd;
}

void send_all(int fd, const std::string& text) {
  size_t at = 0;
  while (at < text.size()) {
    ssize_t n = send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return;  // the daemon may close first; the reader sees that
    at += static_cast<size_t>(n);
  }
}

// Everything until the daemon closes; nullopt if it does not within `limit`.
std::optional<std::string> read_until_closed(int fd, std::chrono::milliseconds limit = 10s) {
  std::string text;
  const auto deadline = steady::now() + limit;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
    if (left <= 0ms) return std::nullopt;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n == 0) return text;
    if (n < 0) return errno == ECONNRESET ? std::optional<std::string>(text) : std::nullopt;
    text.append(buf, static_cast<size_t>(n));
  }
}

// One request on a fresh connection; what came back before the close.
std::string call(const tarn_test::sandbox& sb, const std::string& request) {
  unique_fd fd = control_connect(sb);
  if (!fd) return "<no connection>";
  send_all(fd.get(), request);
  return read_until_closed(fd.get()).value_or("<not closed>");
}

class Control : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (mount namespaces); run as root or in CI";
    sb_.emplace();
  }
  void start() {
    sb_->start();
    ASSERT_TRUE(sb_->wait_for_output("Listening on /opt/vextal/tarnproxy/socket/tarnproxy", 10s))
        << sb_->err();
  }
  // Stops the daemon and checks that the control thread ended orderly.
  void stop() {
    ASSERT_TRUE(sb_->send_signal(SIGTERM));
    auto exit = sb_->wait_exit(20s);
    ASSERT_TRUE(exit.has_value()) << sb_->err();
    EXPECT_TRUE(exit->exited && exit->code == 0) << *exit << sb_->err();
    EXPECT_NE(sb_->err().find("Shutting down unixsocketThread"), std::string::npos) << sb_->err();
  }

  std::optional<tarn_test::sandbox> sb_;
};

TEST_F(Control, ErrorsIdsAndResponseShape) {
  start();
  tarn_test::sandbox& sb = *sb_;
  struct request_case {
    const char* request;
    std::string response;  // "" for none
  };
  const request_case table[] = {
      {R"({"jsonrpc": "1.0", "method": "metrics", "id": 1})",
       std::string(INVALID_REQUEST) + "\"id\": 1 }"},
      {R"({"jsonrpc": "2.0 ", "method": "metrics", "id": 2})",
       std::string(INVALID_REQUEST) + "\"id\": 2 }"},
      {R"({"method": "metrics", "id": 3})", std::string(INVALID_REQUEST) + "\"id\": 3 }"},
      {R"({"jsonrpc": "2.0", "method": "no-such-method", "id": 4})",
       std::string(NOT_FOUND) + "\"id\": 4 }"},
      // String ids come back as they were.
      {R"({"jsonrpc": "2.0", "method": "no-such-method", "id": "a-7"})",
       std::string(NOT_FOUND) + "\"id\": \"a-7\" }"},
      // No id, or a null id: no response of any kind.
      {R"({"jsonrpc": "2.0", "method": "metrics"})", ""},
      {R"({"jsonrpc": "2.0", "method": "metrics", "id": null})", ""},
      {R"({"jsonrpc": "2.0", "method": "no-such-method", "id": null})", ""},
      {R"({"jsonrpc": "1.0", "method": "metrics"})", ""},
      {R"({"jsonrpc": "2.0", "method": "configure_site", "params": {}})", ""},
      // Not a request object: closed unanswered.
      {R"([{"jsonrpc": "2.0", "method": "metrics", "id": 5}])", ""},
      {R"({"jsonrpc": "2.0", "method": "metrics", "id": 6,,})", ""},
      {"\"metrics\"", ""},
      {"nonsense", ""},
  };
  for (const auto& c : table) EXPECT_EQ(call(sb, c.request), c.response) << c.request;
  EXPECT_NE(sb.err().find("process_json_message: no version"), std::string::npos) << sb.err();
  EXPECT_NE(sb.err().find("json_object_get_type(json_obj) == json_type_object"), std::string::npos);
  EXPECT_NE(sb.err().find("process_configure_site: no id"), std::string::npos) << sb.err();

  // A registered method answers with members in order: "jsonrpc", "result",
  // "id".
  std::string answer = call(sb, R"({"jsonrpc": "2.0", "method": "metrics", "id": 7})");
  EXPECT_EQ(answer.rfind("{ \"jsonrpc\": \"2.0\", \"result\": {", 0), 0u) << answer;
  EXPECT_TRUE(answer.ends_with("}, \"id\": 7 }")) << answer;

  // One byte at a time is answered once the object is complete.
  {
    unique_fd fd = control_connect(sb);
    ASSERT_TRUE(fd);
    const std::string request = R"({"jsonrpc": "2.0", "method": "nothing", "id": 8})";
    for (char ch : request) {
      send_all(fd.get(), std::string(1, ch));
      std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(read_until_closed(fd.get()), std::string(NOT_FOUND) + "\"id\": 8 }");
  }
  // Two objects on one connection: only the first is answered.
  EXPECT_EQ(call(sb, R"({"jsonrpc": "2.0", "method": "a", "id": 9} )"
                     R"({"jsonrpc": "2.0", "method": "b", "id": 10})"),
            std::string(NOT_FOUND) + "\"id\": 9 }");

  // Owner-only socket, still there after shutdown.
  struct stat st {};
  ASSERT_EQ(stat(socket_path(sb).c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, 0u);
  stop();
  EXPECT_EQ(stat(socket_path(sb).c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
}

TEST_F(Control, IncompleteRequestsAreNeverProcessed) {
  start();
  tarn_test::sandbox& sb = *sb_;
  // A peer that closes (or half-closes) mid-object gets nothing, and its
  // bytes never join the next connection's request.
  {
    unique_fd fd = control_connect(sb);
    ASSERT_TRUE(fd);
    send_all(fd.get(), R"({"jsonrpc": "2.0", "method": "nope", "id": 1)");
    ASSERT_EQ(shutdown(fd.get(), SHUT_WR), 0);
    EXPECT_EQ(read_until_closed(fd.get()), "");
  }
  {
    unique_fd fd = control_connect(sb);
    ASSERT_TRUE(fd);
    send_all(fd.get(), R"({"jsonrpc": "2.0", "method": "nope", "id": 2)");
  }
  // Would complete the object above if the parser kept its state.
  EXPECT_EQ(call(sb, "}"), "");
  EXPECT_EQ(call(sb, R"({"jsonrpc": "2.0", "method": "nope", "id": 4})"),
            std::string(NOT_FOUND) + "\"id\": 4 }");

  // More than the request size cap is cut off long before the deadline.
  {
    unique_fd fd = control_connect(sb);
    ASSERT_TRUE(fd);
    auto begun = steady::now();
    send_all(fd.get(), R"({"jsonrpc": "2.0", "method": "nope", "id": 5, "pad": ")" +
                           std::string(2 * 1024 * 1024, 'x'));
    EXPECT_EQ(read_until_closed(fd.get()), "");
    EXPECT_LT(steady::now() - begun, 4s);
  }
  EXPECT_NE(sb.err().find("request larger than"), std::string::npos) << sb.err();
  stop();
}

TEST_F(Control, SilentOrDrippingPeerIsCutOffAtTheDeadline) {
  start();
  tarn_test::sandbox& sb = *sb_;
  const std::string request = R"({"jsonrpc": "2.0", "method": "nope", "id": 1})";
  const std::string answer = std::string(NOT_FOUND) + "\"id\": 1 }";

  // A silent peer keeps no one else waiting and is cut off at its deadline.
  unique_fd silent = control_connect(sb);
  ASSERT_TRUE(silent);
  auto begun = steady::now();
  EXPECT_EQ(call(sb, request), answer);
  EXPECT_LT(steady::now() - begun, 8s);
  EXPECT_EQ(read_until_closed(silent.get(), 6s), "");

  // The deadline is per connection: whitespace dripped every 300 ms does not
  // extend it.
  {
    unique_fd drip = control_connect(sb);
    ASSERT_TRUE(drip);
    begun = steady::now();
    bool closed = false;
    while (!closed && steady::now() - begun < 12s) {
      if (send(drip.get(), " ", 1, MSG_NOSIGNAL) != 1) break;
      closed = read_until_closed(drip.get(), 300ms).has_value();
    }
    EXPECT_LT(steady::now() - begun, 8s);
  }
  EXPECT_NE(sb.err().find("no complete request within"), std::string::npos) << sb.err();
  EXPECT_EQ(call(sb, request), answer);

  // A stop request is honoured while a silent peer is being read.
  unique_fd held = control_connect(sb);
  ASSERT_TRUE(held);
  send_all(held.get(), "{");
  std::this_thread::sleep_for(200ms);
  begun = steady::now();
  ASSERT_TRUE(sb.send_signal(SIGTERM));
  ASSERT_TRUE(sb.wait_for_output("Shutting down unixsocketThread", 10s)) << sb.err();
  // Main notices the signal within a second; well inside the 5 s deadline.
  EXPECT_LT(steady::now() - begun, 3500ms);
  EXPECT_EQ(read_until_closed(held.get(), 2s), "");
  auto exit = sb.wait_exit(20s);
  ASSERT_TRUE(exit.has_value()) << sb.err();
  EXPECT_TRUE(exit->exited && exit->code == 0) << *exit;
}

TEST_F(Control, RestoresSavedStateAtStart) {
  tarn_test::sandbox& sb = *sb_;
  const std::pair<const char*, const char*> files[] = {
      {".hidden", "not json"},
      {"garbage", "{ not json"},
      {"array", "[1, 2]"},
      // Replayed through configure_site, which wants an id first.
      {"noid", R"({"jsonrpc": "2.0", "method": "configure_site", "params": {}})"},
  };
  for (const auto& [name, text] : files) {
    std::ofstream(sb.dir() + "/state/" + name) << text;
  }
  // Neither may hold the start-up.
  ASSERT_EQ(mkfifo((sb.dir() + "/state/fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkdir((sb.dir() + "/state/subdir").c_str(), 0700), 0);
  start();
  // Served only once the restore is over.
  EXPECT_EQ(call(sb, R"({"jsonrpc": "2.0", "method": "x", "id": 1})"),
            std::string(NOT_FOUND) + "\"id\": 1 }");
  const std::string err = sb.err();
  EXPECT_NE(err.find("Reloading json state for site noid\n"), std::string::npos) << err;
  EXPECT_NE(err.find("process_configure_site: no id"), std::string::npos) << err;
  EXPECT_NE(err.find("Reloading json state for site array\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Failed to deserialize state for garbage"), std::string::npos) << err;
  EXPECT_NE(err.find("Failed to deserialize state for fifo"), std::string::npos) << err;
  EXPECT_NE(err.find("Failed to deserialize state for subdir"), std::string::npos) << err;
  EXPECT_EQ(err.find("hidden"), std::string::npos) << err;
  EXPECT_EQ(err.find("site garbage"), std::string::npos) << err;
  stop();
}

}  // namespace
