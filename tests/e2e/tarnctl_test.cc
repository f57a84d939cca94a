// tarnctl, the admin CLI, run as an operator runs it against the production
// daemon in the sandbox: its output, its exit codes, and its behaviour when
// the daemon is absent.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/unique_fd.h"
#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;

// The build puts the CLI in tools/ beside the daemon.
std::string tarnctl_path() {
  return (std::filesystem::path(TARN_DAEMON_PATH).parent_path() / "tools" / "tarnctl").string();
}

struct outcome {
  int code = -1;  // exit status; -1 if it did not exit in time or was killed
  std::string out, err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Runs tarnctl with `args` and `input` on stdin; waits at most 30 s.
outcome tarnctl(const std::vector<std::string>& args, const std::string& input = "") {
  outcome result;
  char dir_template[] = "/tmp/tarnctl-test.XXXXXX";
  const char* dir = mkdtemp(dir_template);
  if (dir == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    return result;
  }
  const std::string in_path = std::string(dir) + "/in", out_path = std::string(dir) + "/out",
                    err_path = std::string(dir) + "/err";
  std::ofstream(in_path) << input;
  std::vector<std::string> argv_store = {tarnctl_path()};
  argv_store.insert(argv_store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_store) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    int in = open(in_path.c_str(), O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << strerror(errno);
    return result;
  }
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  pid_t done = 0;
  while ((done = waitpid(pid, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    ADD_FAILURE() << "tarnctl did not finish within 30 s";
  } else if (WIFEXITED(status)) {
    result.code = WEXITSTATUS(status);
  }
  result.out = slurp(out_path);
  result.err = slurp(err_path);
  std::filesystem::remove_all(dir);
  return result;
}

// The raw reply text of one request, straight from the socket; read until
// the daemon closes, bounded by 10 s.
std::string raw_call(const std::string& socket_path, const std::string& request) {
  unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  socket_path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  struct timeval tv = {10, 0};
  setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (connect(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0)
    return "<no connection>";
  if (send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size()))
    return "<not sent>";
  std::string reply;
  char buffer[4096];
  ssize_t n;
  while ((n = recv(fd.get(), buffer, sizeof buffer, 0)) > 0)
    reply.append(buffer, static_cast<size_t>(n));
  return n == 0 ? reply : "<not closed>";
}

constexpr const char* SITE = "6c1f3e0a-2b4d-4e8f-9a01-23456789abcd";
constexpr const char* VDI = "7d2a4f1b-3c5e-4f90-8b12-3456789abcde";
constexpr const char* SERVER = "8e3b5a2c-4d6f-4a01-9c23-456789abcdef";

TEST(Tarnctl, DrivesTheRunningDaemon) {
  TARN_REQUIRE_ROOT();
  tarn_test::sandbox sb;
  sb.start();
  ASSERT_TRUE(sb.wait_for_output("Listening on", 10s)) << sb.err();
  const std::string sock = sb.dir() + "/vextal/tarnproxy/socket/tarnproxy";
  const std::vector<std::string> at = {"--socket", sock, "--timeout", "20"};
  auto with = [&](std::vector<std::string> args) {
    args.insert(args.begin(), at.begin(), at.end());
    return args;
  };

  outcome status = tarnctl(with({"status"}));
  EXPECT_EQ(status.code, 0) << status.err;
  EXPECT_NE(status.out.find("Sites (0)"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("SITE UUID"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("SERVER UUID"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("CLIENT UUID"), std::string::npos) << status.out;

  outcome metrics = tarnctl(with({"metrics"}));
  EXPECT_EQ(metrics.code, 0) << metrics.err;
  EXPECT_NE(metrics.out.find("total 0 B"), std::string::npos) << metrics.out;
  EXPECT_NE(metrics.out.find("hit ratio n/a"), std::string::npos) << metrics.out;

  outcome prepop = tarnctl(with({"prepop"}));
  EXPECT_EQ(prepop.code, 0) << prepop.err;
  EXPECT_NE(prepop.out.find("vDisks (0)"), std::string::npos) << prepop.out;

  // --json prints the result exactly as the daemon serialised it.
  for (const char* method : {"context-state", "metrics", "prepop-progress"}) {
    outcome json = tarnctl(with({"--json", "call", method}));
    EXPECT_EQ(json.code, 0) << json.err;
    ASSERT_FALSE(json.out.empty());
    std::string raw = raw_call(
        sock, std::string(R"({"jsonrpc": "2.0", "method": ")") + method + R"(", "id": 1})");
    std::string result = json.out.substr(0, json.out.size() - 1);  // without the newline
    EXPECT_NE(raw.find(std::string("\"result\": ") + result + ", \"id\": 1"), std::string::npos)
        << raw << "\n"
        << json.out;
  }

  outcome unknown = tarnctl(with({"call", "no-such-method"}));
  EXPECT_EQ(unknown.code, 1);
  EXPECT_NE(unknown.err.find("-32601"), std::string::npos) << unknown.err;
  EXPECT_NE(unknown.err.find("Method not found"), std::string::npos) << unknown.err;

  // A site_uuid that is not a UUID is refused by the daemon, not by tarnctl.
  outcome bad_uuid = tarnctl(with({"remove-site", "../../etc/passwd"}));
  EXPECT_EQ(bad_uuid.code, 1);
  EXPECT_NE(bad_uuid.err.find("-32602: Invalid params, site_uuid"), std::string::npos)
      << bad_uuid.err;

  // A site with one server and no clients, given as a whole request on stdin.
  std::string request = std::string(R"({"jsonrpc": "2.0", "method": "configure_site", "id": 99,)") +
                        R"( "params": {"site_uuid": ")" + SITE + R"(", "vdi": ")" + VDI +
                        R"(", "servers": [{"uuid": ")" + SERVER +
                        R"(", "addresses": ["10.0.0.5", "10.0.1.5"], "first_port": 100,)" +
                        R"( "last_port": 110}]}})";
  outcome configure = tarnctl(with({"configure-site", "-"}), request);
  EXPECT_EQ(configure.code, 0) << configure.err << sb.err();
  EXPECT_EQ(configure.out, "OK\n");

  status = tarnctl(with({"status"}));
  EXPECT_EQ(status.code, 0) << status.err;
  EXPECT_NE(status.out.find("Sites (1)"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find(SITE), std::string::npos) << status.out;
  EXPECT_NE(status.out.find(VDI), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("10.0.0.5,10.0.1.5"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("100-110"), std::string::npos) << status.out;

  outcome remove = tarnctl(with({"remove-site", SITE}));
  EXPECT_EQ(remove.code, 0) << remove.err;
  EXPECT_EQ(remove.out, "OK\n");
  status = tarnctl(with({"status"}));
  EXPECT_NE(status.out.find("Sites (0)"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("Servers (0)"), std::string::npos) << status.out;
}

TEST(Tarnctl, UsageAndAbsentDaemon) {
  const std::string missing = "/tmp/tarnctl-test-no-such-socket";
  outcome absent = tarnctl({"--socket", missing, "status"});
  EXPECT_EQ(absent.code, 2);
  EXPECT_NE(absent.err.find("tarnctl: cannot connect to " + missing +
                            ": No such file or directory (is tarnproxy running?)"),
            std::string::npos)
      << absent.err;

  for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                               {"frobnicate"},
                                               {"remove-site"},
                                               {"status", "extra"},
                                               {"--timeout", "zero", "status"},
                                               {"call", "m", "{not json"},
                                               {"--bogus", "status"}}) {
    outcome usage = tarnctl(args);
    EXPECT_EQ(usage.code, 2) << ::testing::PrintToString(args);
    EXPECT_NE(usage.err.find("usage: tarnctl"), std::string::npos) << usage.err;
  }
}

// Peers that are not a healthy daemon: one that answers with half an object
// and closes, and one that never answers.
TEST(Tarnctl, TruncatedReplyAndTimeout) {
  char dir_template[] = "/tmp/tarnctl-peer.XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template, path = dir + "/sock";
  unique_fd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener.get(), 4), 0);

  std::thread peer([&] {
    struct pollfd p = {listener.get(), POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return;
    unique_fd conn(accept(listener.get(), nullptr, nullptr));
    // Take the whole request first: closing with unread data would reset the
    // connection instead of ending it.
    std::string request;
    char buffer[4096];
    struct pollfd c = {conn.get(), POLLIN, 0};
    while ((request.empty() || request.back() != '}') && poll(&c, 1, 10000) == 1) {
      ssize_t n = recv(conn.get(), buffer, sizeof buffer, 0);
      if (n <= 0) return;
      request.append(buffer, static_cast<size_t>(n));
    }
    const std::string half = R"({ "jsonrpc": "2.0", "result": { "sites": [ )";
    send(conn.get(), half.data(), half.size(), MSG_NOSIGNAL);
  });
  outcome truncated = tarnctl({"--socket", path, "--timeout", "10", "status"});
  peer.join();
  EXPECT_EQ(truncated.code, 2);
  EXPECT_NE(truncated.err.find("truncated or invalid reply"), std::string::npos) << truncated.err;

  // Nobody accepts: the connection waits in the backlog until the timeout.
  const auto start = std::chrono::steady_clock::now();
  outcome silent = tarnctl({"--socket", path, "--timeout", "0.5", "metrics"});
  EXPECT_EQ(silent.code, 2);
  EXPECT_NE(silent.err.find("no complete reply"), std::string::npos) << silent.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  std::filesystem::remove_all(dir);
}

}  // namespace
