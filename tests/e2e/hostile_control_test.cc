// Hostile peers on the control socket of the production binary: each is
// refused or cut off while the daemon goes on answering fresh connections,
// and SIGTERM still ends the daemon promptly and cleanly.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/unique_fd.h"
#include "support/control.h"
#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

constexpr const char* QUERY = R"({"jsonrpc": "2.0", "method": "context-state", "id": 1})";

double ms_since(steady::time_point t) {
  return std::chrono::duration<double, std::milli>(steady::now() - t).count();
}

class HostileControl : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (mount namespaces); run as root or in CI";
    sb_.emplace();
    sb_->start();
    ASSERT_TRUE(sb_->wait_for_output("Listening on", 10s)) << sb_->err();
  }

  std::string socket_path() const { return sb_->dir() + "/vextal/tarnproxy/socket/tarnproxy"; }

  // A connection with a bounded connect (a full backlog makes connect() wait).
  unique_fd connect_peer() const {
    unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    timeval limit{2, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path().c_str());
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return unique_fd();
    return fd;
  }

  // A query on a fresh connection is answered with a result; prints how long
  // it took.
  void expect_served(const char* after) {
    auto begun = steady::now();
    auto answer = tarn_test::control_call(socket_path(), QUERY, 10s);
    ASSERT_TRUE(answer.has_value()) << after << sb_->err();
    EXPECT_NE(answer->find("\"result\""), std::string::npos) << after << ": " << *answer;
    printf("query after %s answered in %.1f ms\n", after, ms_since(begun));
  }

  // SIGTERM ends the daemon with status 0; prints how long that took.
  void expect_clean_stop() {
    auto begun = steady::now();
    ASSERT_TRUE(sb_->send_signal(SIGTERM));
    auto exit = sb_->wait_exit(20s);
    ASSERT_TRUE(exit.has_value()) << sb_->err();
    EXPECT_TRUE(exit->exited && exit->code == 0) << *exit << sb_->err();
    printf("SIGTERM to exit: %.1f ms\n", ms_since(begun));
  }

  // The daemon's open descriptors.
  std::set<int> daemon_fds() const {
    std::set<int> fds;
    std::error_code ec;
    for (auto it =
             std::filesystem::directory_iterator("/proc/" + std::to_string(sb_->pid()) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
      fds.insert(std::stoi(it->path().filename()));
    return fds;
  }

  std::optional<tarn_test::sandbox> sb_;
};

void send_all(int fd, const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    ssize_t n = send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return;  // the daemon may close first
    at += static_cast<size_t>(n);
  }
}

// True once the daemon has closed `fd` (nothing may have been answered).
bool closed_unanswered(int fd, std::chrono::milliseconds limit) {
  const auto deadline = steady::now() + limit;
  std::string got;
  while (steady::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) got.append(buf, static_cast<size_t>(n));
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return got.empty();
  }
  return false;
}

// Still open from the daemon's side: nothing to read and no hang-up.
bool still_open(int fd) {
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  return poll(&p, 1, 0) == 0;
}

TEST_F(HostileControl, StalledAndMalformedPeersDelayNoOne) {
  // A silent peer and a peer dripping whitespace hold their connections; the
  // daemon serves others meanwhile instead of waiting for their deadline.
  unique_fd silent = connect_peer();
  unique_fd drip = connect_peer();
  ASSERT_TRUE(silent && drip);
  std::this_thread::sleep_for(200ms);
  expect_served("a silent and a dripping peer connected");
  EXPECT_TRUE(still_open(silent.get())) << "the query was served only after the silent peer went";

  // Malformed requests, each sent while both stalled peers still wait:
  // closed with no answer.
  std::string garbage(64 * 1024, '\0');
  std::mt19937 random(7);
  for (char& c : garbage) c = static_cast<char>(random());
  const std::string nested_object = R"({"jsonrpc": "2.0", "method": "metrics", "id": 1, "p": )";
  const std::pair<const char*, std::string> malformed[] = {
      {"100k [", std::string(100000, '[')},
      {"deep object", nested_object + std::string(100000, '[')},
      {"binary garbage", garbage},
      {"oversized", R"({"jsonrpc": "2.0", "method": "metrics", "id": 1, "pad": ")" +
                        std::string(3 << 20, 'x') + "\"}"},
  };
  for (const auto& [what, text] : malformed) {
    unique_fd fd = connect_peer();
    ASSERT_TRUE(fd);
    std::thread writer([fd = fd.get(), &text = text] { send_all(fd, text); });
    EXPECT_TRUE(closed_unanswered(fd.get(), 4s)) << what;
    writer.join();
    expect_served(what);
  }
  EXPECT_NE(sb_->err().find("request larger than"), std::string::npos) << sb_->err();

  // The stalled peers end at their deadline, the drip does not extend it.
  auto begun = steady::now();
  bool drip_closed = false;
  while (!drip_closed && steady::now() - begun < 10s) {
    send_all(drip.get(), " ");
    drip_closed = !still_open(drip.get());
    std::this_thread::sleep_for(300ms);
  }
  EXPECT_TRUE(drip_closed);
  EXPECT_TRUE(closed_unanswered(silent.get(), 2s));
  EXPECT_NE(sb_->err().find("no complete request within"), std::string::npos) << sb_->err();
  expect_served("the stalled peers were cut off");

  // A stop request is honoured while a peer is half-way through a request.
  unique_fd held = connect_peer();
  ASSERT_TRUE(held);
  send_all(held.get(), "{\"jsonrpc\":");
  expect_clean_stop();
}

TEST_F(HostileControl, PathsInRequestsNeverLeaveTheStateDirectory) {
  // Everything the sandbox holds except what the daemon legitimately changes.
  auto snapshot = [&] {
    std::set<std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(sb_->dir())) {
      std::string rel = e.path().string().substr(sb_->dir().size());
      if (rel.starts_with("/shm/") || rel.starts_with("/daemon")) continue;
      files.insert(rel);
    }
    return files;
  };
  ASSERT_TRUE(sb_->write_file("/etc/tarnproxy-canary", "keep"));
  const std::set<std::string> before = snapshot();

  const std::string good = "b0075700-0000-4000-8000-000000000001";
  const std::string evil[] = {"../../etc/tarnproxy-canary", "../../etc/x", "/etc/x",
                              good + "/../../../etc/x",     "..",          ""};
  auto site = [&](const std::string& site_uuid, const std::string& vdi, const std::string& server,
                  const std::string& client) {
    return R"({"jsonrpc": "2.0", "method": "configure_site", "id": 2, "params": {"site_uuid": ")" +
           site_uuid + R"(", "vdi": ")" + vdi + R"(", "servers": [{"uuid": ")" + server +
           R"(", "addresses": ["198.18.0.20"], "first_port": 6900, "last_port": 6910}],)" +
           R"( "clients": [{"uuid": ")" + client +
           R"(", "mac": "02:00:00:00:01:01", "interface": "lo", "prepopulate": false}]}})";
  };
  for (const std::string& bad : evil) {
    const std::string requests[] = {
        site(bad, good, good, good),
        site(good, bad, good, good),
        site(good, good, bad, good),
        site(good, good, good, bad),
        R"({"jsonrpc": "2.0", "method": "remove_site", "id": 2, "params": {"site_uuid": ")" + bad +
            "\"}}",
    };
    for (const std::string& request : requests) {
      auto answer = tarn_test::control_call(socket_path(), request, 10s);
      ASSERT_TRUE(answer.has_value()) << request;
      tarn_test::json_value parsed(json_tokener_parse(answer->c_str()));
      EXPECT_EQ(tarn_test::json_path_int(parsed.get(), {"error", "code"}), -32602)
          << request << " -> " << *answer;
    }
  }
  EXPECT_EQ(snapshot(), before);
  std::string canary;
  EXPECT_TRUE(sb_->read_file("/etc/tarnproxy-canary", &canary) && canary == "keep");
  expect_served("path traversal attempts");
  expect_clean_stop();
}

TEST_F(HostileControl, ConnectionFloodIsBounded) {
  rlimit nofile{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &nofile), 0);
  constexpr int FLOOD = 2000;
  if (nofile.rlim_cur < FLOOD + 100) {
    nofile.rlim_cur = std::min<rlim_t>(nofile.rlim_max, FLOOD + 100);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &nofile), 0);
  }
  const int idle_fds = static_cast<int>(daemon_fds().size());

  // 2,000 connections, every one left open, every fourth with a partial
  // request; bounded by count and by ten seconds.
  std::vector<unique_fd> flood;
  int refused = 0, most_fds = 0;
  auto begun = steady::now();
  for (int i = 0; i < FLOOD && steady::now() - begun < 10s; i++) {
    unique_fd fd = connect_peer();
    if (!fd) {
      refused++;
      continue;
    }
    if (i % 4 == 0) send_all(fd.get(), "{\"jsonrpc\": \"2.0\"");
    flood.push_back(std::move(fd));
    if (i % 100 == 0) most_fds = std::max(most_fds, static_cast<int>(daemon_fds().size()));
  }
  printf("flood: %zu connected, %d refused in %.0f ms; daemon descriptors %d idle, at most %d\n",
         flood.size(), refused, ms_since(begun), idle_fds, most_fds);
  EXPECT_GT(flood.size(), size_t{FLOOD / 2});
  // Bounded by the number of connections it reads at once, not by the flood.
  EXPECT_LT(most_fds, idle_fds + 64);
  int open_from_daemon = 0;
  for (const auto& fd : flood) open_from_daemon += still_open(fd.get());
  EXPECT_LT(open_from_daemon, 64);
  // A fresh request is answered while the flood's connections stay open.
  expect_served("a flood of 2000 idle connections");

  // Descriptor exhaustion: with its limit at its lowest free descriptor the
  // daemon cannot accept; it must neither spin on the listening socket nor
  // fill the log, and it serves again once descriptors are available.
  flood.clear();
  std::this_thread::sleep_for(200ms);
  rlimit daemon_limit{};
  ASSERT_EQ(prlimit(sb_->pid(), RLIMIT_NOFILE, nullptr, &daemon_limit), 0);
  const std::set<int> held = daemon_fds();
  int lowest_free = 0;
  while (held.contains(lowest_free)) lowest_free++;
  rlimit tight{static_cast<rlim_t>(lowest_free), daemon_limit.rlim_max};
  ASSERT_EQ(prlimit(sb_->pid(), RLIMIT_NOFILE, &tight, nullptr), 0);
  unique_fd waiting = connect_peer();
  ASSERT_TRUE(waiting);
  send_all(waiting.get(), QUERY);
  std::this_thread::sleep_for(2s);
  const std::string err = sb_->err();
  size_t accept_failures = 0;
  for (size_t at = 0; (at = err.find("accept Too many open files", at)) != std::string::npos; at++)
    accept_failures++;
  printf("accept failures logged in 2 s at the descriptor limit: %zu\n", accept_failures);
  EXPECT_GT(accept_failures, 0u);
  EXPECT_LT(accept_failures, 100u);
  ASSERT_EQ(prlimit(sb_->pid(), RLIMIT_NOFILE, &daemon_limit, nullptr), 0);
  std::string answer;
  for (auto until = steady::now() + 5s; steady::now() < until;) {
    pollfd p{waiting.get(), POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[4096];
    ssize_t n = recv(waiting.get(), buf, sizeof buf, 0);
    if (n <= 0) break;
    answer.append(buf, static_cast<size_t>(n));
  }
  EXPECT_NE(answer.find("\"result\""), std::string::npos) << answer;
  expect_served("descriptor exhaustion");
  expect_clean_stop();
}

}  // namespace
