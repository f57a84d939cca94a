// The control socket of the production binary driven as the host's
// management stack drives it (one request per connection, the response read
// until the daemon closes), by hostile peers, through tarnctl, the admin CLI,
// and with cache VDI scripts that print garbage or hang, in one run of the
// daemon: every peer is answered, refused or cut off while the daemon goes on
// serving fresh connections, and SIGTERM still ends it cleanly.
#include "support/control.h"

#include <gtest/gtest.h>
#include <json-c/json.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/unique_fd.h"
#include "support/metrics_files.h"
#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using tarn_test::control_connect;
using tarn_test::control_read;
using tarn_test::control_send;

const std::string INVALID =
    "{ \"jsonrpc\": \"2.0\", \"error\": { \"code\": -32600, \"message\": \"Invalid request\" }, ";
const std::string NOT_FOUND =
    "{ \"jsonrpc\": \"2.0\", \"error\": { \"code\": -32601, \"message\": \"Method not found\" }, ";
const char* QUERY = R"({"jsonrpc": "2.0", "method": "context-state", "id": 1})";
const std::string UUID = "b0075700-0000-4000-8000-000000000001";

// Still open from the daemon's side: nothing to read and no hang-up.
bool still_open(int fd) {
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  return poll(&p, 1, 0) == 0;
}

std::set<int> daemon_fds(pid_t pid) {
  std::set<int> fds;
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec))
    fds.insert(std::stoi(it->path().filename()));
  return fds;
}

// Cache VDIs whose open script misbehaves, and one whose script is the real one.
constexpr const char* SCRIPTS = "/opt/vextal/tarnproxy";
constexpr const char* GOOD_VDI = "c0ffee00-0000-4000-8000-0000000000d0";
constexpr const char* BINARY_VDI = "c0ffee00-0000-4000-8000-0000000000d2";
constexpr const char* LINES_VDI = "c0ffee00-0000-4000-8000-0000000000d3";
constexpr const char* RELATIVE_VDI = "c0ffee00-0000-4000-8000-0000000000d4";
constexpr const char* HANG_VDI = "c0ffee00-0000-4000-8000-0000000000d5";

std::string site_uuid(int i) {
  char text[40];
  snprintf(text, sizeof text, "c0ffee00-0000-4000-8000-%012d", i);
  return text;
}

bool process_gone(pid_t pid) {
  return tarn_test::eventually([pid] { return kill(pid, 0) != 0 && errno == ESRCH; }, 10s);
}

// The sandbox's open script behind a wrapper: the chosen VDIs misbehave, the
// others get the real script. The hanging one ignores SIGTERM, so only the
// daemon's SIGKILL ends it, and leaves a child behind in the background.
void wrap_open_script(tarn_test::sandbox& sb) {
  const std::string dir = sb.dir() + "/vextal/tarnproxy";
  ASSERT_EQ(rename((dir + "/open-cache-vdi.sh").c_str(), (dir + "/real-open.sh").c_str()), 0);
  const std::string s = SCRIPTS;
  ASSERT_TRUE(sb.write_file(
      s + "/open-cache-vdi.sh",
      "#!/bin/bash\ncase \"$1\" in\n" + std::string(BINARY_VDI) +
          ") head -c 8000000 /dev/urandom; exit 0 ;;\n" + LINES_VDI +
          ") printf 'attaching\\n%s\\n' " + s + "/caches; exit 0 ;;\n" + RELATIVE_VDI +
          ") echo .; exit 0 ;;\n" + HANG_VDI + ") trap '' TERM; sleep 1000 & echo $$ $! > " + s +
          "/hang.pids; wait; exit 0 ;;\nesac\n"
          // Builtins only: bash blocks signals of its own around a fork, and
          // a child reading the mask then would see those.
          "while read -r k v; do [ \"$k\" != SigBlk: ] || echo \"$k $v\" > " +
          s + "/open.sigblk; done < /proc/$$/status\nexec " + s + "/real-open.sh \"$@\"\n",
      0755));
}

// The pids the hanging script wrote once it was running.
std::vector<pid_t> hang_pids(tarn_test::sandbox& sb) {
  std::vector<pid_t> pids;
  tarn_test::eventually(
      [&] {
        std::ifstream in(sb.dir() + "/vextal/tarnproxy/hang.pids");
        pid_t a = 0, b = 0;
        if (in >> a >> b) pids = {a, b};
        return !pids.empty();
      },
      30s);
  return pids;
}

struct outcome {
  int code = -1;
  std::string out, err;
};

// tarnctl with `args` and `input` on stdin, bounded to 30 s.
outcome tarnctl(const std::string& dir, const std::vector<std::string>& args,
                const std::string& input = "") {
  std::ofstream(dir + "/tarnctl.in") << input;
  std::vector<std::string> argv = {"/bin/sh", "-c", "f=$1; shift; exec \"$@\" <\"$f\"", "sh"};
  argv.insert(argv.end(),
              {dir + "/tarnctl.in", fs::path(TARN_DAEMON_PATH).parent_path() / "tools/tarnctl"});
  argv.insert(argv.end(), args.begin(), args.end());
  tarn_test::process p(argv, dir + "/tarnctl");
  auto code = p.wait(30s);
  EXPECT_TRUE(code.has_value()) << "tarnctl did not finish within 30 s";
  return {code.value_or(-1), p.out(), p.err()};
}

TEST(Control, RequestsHostilePeersAndTarnctlInOneRun) {
  TARN_REQUIRE_ROOT();
  tarn_test::sandbox sb;
  auto call = [&](const std::string& request) {
    return tarn_test::control_call(sb.socket_path(), request, 10s).value_or("<no answer>");
  };
  // A query on a fresh connection is answered with a result.
  auto expect_served = [&](const std::string& after) {
    EXPECT_NE(call(QUERY).find("\"result\""), std::string::npos) << after << sb.err();
  };
  // Saved state that is not a site: none may hold the start-up.
  const std::pair<const char*, const char*> files[] = {
      {".hidden", "not json"},
      {"garbage", "{ not json"},
      {"array", "[1, 2]"},
      // Replayed through configure_site, which wants an id first.
      {"noid", R"({"jsonrpc": "2.0", "method": "configure_site", "params": {}})"},
  };
  for (const auto& [name, text] : files) std::ofstream(sb.dir() + "/state/" + name) << text;
  sb.write_file("/etc/tarnproxy.conf", "[Main]\ncacheVdiTimeoutInS=3\n");
  wrap_open_script(sb);
  ASSERT_EQ(mkfifo((sb.dir() + "/state/fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkdir((sb.dir() + "/state/subdir").c_str(), 0700), 0);
  sb.start();
  ASSERT_TRUE(sb.wait_for_output("Listening on /opt/vextal/tarnproxy/socket/tarnproxy", 10s))
      << sb.err();
  // Served only once the restore is over.
  EXPECT_EQ(call(R"({"jsonrpc": "2.0", "method": "x", "id": 1})"), NOT_FOUND + "\"id\": 1 }");
  for (const char* line :
       {"Reloading json state for site noid\n", "Reloading json state for site array\n",
        "Failed to deserialize state for garbage", "Failed to deserialize state for fifo",
        "Failed to deserialize state for subdir"})
    EXPECT_NE(sb.err().find(line), std::string::npos) << line << sb.err();
  EXPECT_EQ(sb.err().find("hidden"), std::string::npos);
  EXPECT_EQ(sb.err().find("site garbage"), std::string::npos);

  // The dispatch rules and the checks of each request's paths and uuids have
  // their tables in the control unit tests; here, what only the socket
  // shows: the stream's framing, and the production handlers wired to it.
  const std::pair<const char*, std::string> table[] = {
      {R"({"jsonrpc": "1.0", "method": "metrics", "id": 1})", INVALID + "\"id\": 1 }"},
      // Not JSON: closed unanswered.
      {R"({"jsonrpc": "2.0", "method": "metrics", "id": 6,,})", ""},
      {"nonsense", ""},
      // Two objects on one connection: only the first is answered.
      {R"({"jsonrpc": "2.0", "method": "a", "id": 9} {"jsonrpc": "2.0", "method": "b", "id": 10})",
       NOT_FOUND + "\"id\": 9 }"},
  };
  {  // A peer that half-closes or closes mid-object gets nothing, and its
     // bytes never join the next connection's request.
    unique_fd half = control_connect(sb.socket_path());
    control_send(half.get(), R"({"jsonrpc": "2.0", "method": "nope", "id": 1)");
    ASSERT_EQ(shutdown(half.get(), SHUT_WR), 0);
    EXPECT_EQ(control_read(half.get(), 10s), "");
    control_send(control_connect(sb.socket_path()).get(),
                 R"({"jsonrpc": "2.0", "method": "n", "id": 2)");
    EXPECT_EQ(call("}"), "");
  }
  for (const auto& [request, response] : table) EXPECT_EQ(call(request), response) << request;
  {  // One byte at a time is answered once the object is complete.
    unique_fd fd = control_connect(sb.socket_path());
    for (char ch : std::string(R"({"jsonrpc": "2.0", "method": "nothing", "id": 8})")) {
      control_send(fd.get(), std::string(1, ch));
      std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(control_read(fd.get(), 10s), NOT_FOUND + "\"id\": 8 }");
  }

  // A silent peer and a peer dripping whitespace hold their connections
  // while malformed requests come in: each is closed unanswered, and a
  // fresh query is served before the stalled peers' deadline.
  unique_fd silent = control_connect(sb.socket_path());
  unique_fd drip = control_connect(sb.socket_path());
  ASSERT_TRUE(silent && drip);
  std::string garbage(64 * 1024, '\0');
  std::mt19937 random(7);
  for (char& c : garbage) c = static_cast<char>(random());
  const std::pair<const char*, std::string> malformed[] = {
      {"100k [", std::string(100000, '[')},
      {"deep object",
       R"({"jsonrpc": "2.0", "method": "metrics", "id": 1, "p": )" + std::string(100000, '[')},
      {"binary garbage", garbage},
      {"oversized", R"({"jsonrpc": "2.0", "method": "metrics", "id": 1, "pad": ")" +
                        std::string(3 << 20, 'x') + "\"}"},
  };
  for (const auto& [what, text] : malformed) {
    unique_fd fd = control_connect(sb.socket_path());
    ASSERT_TRUE(fd);
    std::thread writer([fd = fd.get(), &text = text] { control_send(fd, text); });
    EXPECT_EQ(control_read(fd.get(), 4s), "") << what;
    writer.join();
    expect_served(what);
  }
  EXPECT_TRUE(still_open(silent.get())) << "the queries were served only after the silent peer";
  EXPECT_NE(sb.err().find("request larger than"), std::string::npos) << sb.err();
  // The stalled peers end at their deadline; the drip does not extend it.
  bool drip_closed = false;
  for (auto begun = std::chrono::steady_clock::now();
       !drip_closed && std::chrono::steady_clock::now() - begun < 12s;) {
    control_send(drip.get(), " ");
    std::this_thread::sleep_for(300ms);
    drip_closed = !still_open(drip.get());
  }
  EXPECT_TRUE(drip_closed);
  EXPECT_EQ(control_read(silent.get(), 2s), "");
  EXPECT_NE(sb.err().find("no complete request within"), std::string::npos) << sb.err();

  // tarnctl as an operator runs it: {arguments, stdin, exit code, what
  // stdout and stderr show}.
  const std::string vdi = "7d2a4f1b-3c5e-4f90-8b12-3456789abcde";
  // A boot set of more ranges than one request carries, for a vDisk this
  // fresh cache has never seen.
  const std::string key = "1-2-3-4-5-6-7-8-9", header = "# tarnproxy boot set " + key + "\n";
  std::string boot_set = header;
  for (int i = 0; i < 5000; i++) boot_set += std::to_string(i * 8192 + 4096) + " 512\n";
  const std::string bad_range =
      R"({"site": ")" + std::string(UUID) + R"(", "vdisk": ")" + key + R"(", "ranges": [[0, 0]]})";
  struct ctl_case {
    std::vector<std::string> args;
    std::string input;
    int code;
    std::vector<std::string> out, err;
  };
  const ctl_case ctl_cases[] = {
      {{"status"},
       "",
       0,
       {"Sites (0)", "SITE UUID", "SERVER UUID", "CLIENT UUID", "Latest boots (0)"},
       {}},
      {{"metrics"},
       "",
       0,
       {"total 0 B", "hit ratio n/a",
        "held reads:    0, answered from the cache 0, timed out and forwarded 0",
        "\n  hit latency:   p50 -, p99 - (0 reads)", "\n  miss latency:  p50 -, p99 - (0 reads)",
        "\n  held latency:  p50 -, p99 - (0 reads)"},
       {}},
      {{"prepop"}, "", 0, {"vDisks (0)", "BOOT SET  CACHED  CACHED %  EVICTED"}, {}},
      {{"call", "no-such-method"}, "", 1, {}, {"-32601", "Method not found"}},
      // A site_uuid that is not a UUID is refused by the daemon, not by tarnctl.
      {{"remove-site", "../../etc/passwd"}, "", 1, {}, {"-32602: Invalid params, site_uuid"}},
      // A site with one server and no clients, as a whole request on stdin.
      {{"configure-site", "-"},
       tarn_test::site_request(UUID, vdi, UUID, {"10.0.0.5", "10.0.1.5"}, {},
                               R"("first_port": 100, "last_port": 110)"),
       0,
       {"OK\n"},
       {}},
      {{"status"}, "", 0, {"Sites (1)", UUID, vdi, "10.0.0.5,10.0.1.5", "100-110"}, {}},
      {{"import-boot-set", UUID, key, "-"}, boot_set, 0, {"imported 5000 ranges\n"}, {}},
      {{"import-boot-set", UUID, key, "-"}, "1 2\n3\n", 2, {}, {"-:2: expected"}},
      {{"call", "import-boot-set", bad_range}, "", 1, {}, {"-32602", "ranges[0]: length is 0"}},
      {{"export-boot-set", "no-such-site", key, "-"}, "", 1, {}, {"no such site"}},
      // Refused imports changed nothing.
      {{"export-boot-set", UUID, key, "-"}, "", 0, {boot_set}, {}},
      {{"remove-site", UUID}, "", 0, {"OK\n"}, {}},
      {{"status"}, "", 0, {"Sites (0)", "Servers (0)"}, {}},
  };
  for (const ctl_case& c : ctl_cases) {
    std::vector<std::string> args = {"--socket", sb.socket_path(), "--timeout", "20"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const outcome o = tarnctl(sb.dir(), args, c.input);
    EXPECT_EQ(o.code, c.code) << c.args[0] << o.err;
    for (const auto& text : c.out) EXPECT_NE(o.out.find(text), std::string::npos) << o.out;
    for (const auto& text : c.err) EXPECT_NE(o.err.find(text), std::string::npos) << o.err;
  }
  // --json prints the result exactly as the daemon serialised it.
  for (const std::string method : {"context-state", "metrics", "prepop-progress"}) {
    const outcome json = tarnctl(
        sb.dir(), {"--socket", sb.socket_path(), "--timeout", "20", "--json", "call", method});
    ASSERT_FALSE(json.out.empty()) << json.err;
    const std::string raw = call(R"({"jsonrpc": "2.0", "method": ")" + method + R"(", "id": 1})");
    EXPECT_NE(raw.find("\"result\": " + json.out.substr(0, json.out.size() - 1) + ", \"id\": 1"),
              std::string::npos)
        << raw << "\n"
        << json.out;
  }

  // Open scripts that print garbage or hang fail only their own site. (A
  // cache disk out of space, and scripts that fail, have their tests in the
  // cache's own.)
  auto configure = [&](const std::string& site, const char* cache_vdi) {
    return tarn_test::control_call(sb.socket_path(),
                                   tarn_test::site_request(site, cache_vdi, "", {}), 60s)
        .value_or("");
  };
  auto listed = [&](const std::string& site) {
    const std::string state = call(QUERY);
    EXPECT_NE(state.find(R"("sites")"), std::string::npos) << state;
    return state.find(site) != std::string::npos;
  };
  struct bad_case {
    const char* vdi;
    const char* warning;
  };
  const bad_case cases[] = {
      {BINARY_VDI, "cache vdi printed more than 65536 bytes"},
      {LINES_VDI, "the script must print one absolute directory"},
      // Looked up as it stood, "." would be the daemon's own directory, wiped
      // as the cache.
      {RELATIVE_VDI, "Can't access cache path .: the script must print one absolute directory"},
  };
  int n = 0;
  for (const bad_case& c : cases) {
    SCOPED_TRACE(c.vdi);
    const std::string site = site_uuid(++n);
    EXPECT_NE(configure(site, c.vdi).find(R"("error")"), std::string::npos);
    EXPECT_TRUE(sb.err().find(c.warning) != std::string::npos) << c.warning;
    EXPECT_FALSE(listed(site));
    EXPECT_FALSE(fs::exists(sb.dir() + "/state/" + site));
  }
  EXPECT_TRUE(fs::exists(sb.dir() + "/daemon.pid")) << "the daemon's directory was wiped";

  // A script that hangs: its request fails once the time is up, and a request
  // for another site sent meanwhile waits its turn and is answered.
  const std::string hung_site = site_uuid(10);
  auto hung = std::async(std::launch::async, [&] { return configure(hung_site, HANG_VDI); });
  const std::vector<pid_t> pids = hang_pids(sb);
  ASSERT_EQ(pids.size(), 2u) << sb.err();
  const std::string good_site = site_uuid(11);
  EXPECT_TRUE(tarn_test::answered_ok(configure(good_site, GOOD_VDI))) << sb.err();
  EXPECT_NE(hung.get().find(R"("error")"), std::string::npos);
  EXPECT_TRUE(sb.err().find("Command to open cache vdi did not finish within 3 s and was killed") !=
              std::string::npos)
      << sb.err();
  for (pid_t pid : pids) EXPECT_TRUE(process_gone(pid)) << "script process " << pid << " is left";
  // What the killed open may have attached is closed again.
  EXPECT_NE(sb.err().find(std::string("close-cache-vdi.sh ") + HANG_VDI), std::string::npos);
  EXPECT_FALSE(listed(hung_site));
  EXPECT_TRUE(listed(good_site));
  EXPECT_TRUE(fs::exists(sb.dir() + "/state/" + good_site));
  // The daemon's threads block its exit signals; a script must not inherit
  // that, or a SIGTERM at its timeout would never reach it.
  {
    std::ifstream in(sb.dir() + "/vextal/tarnproxy/open.sigblk");
    std::string label, mask;
    ASSERT_TRUE(in >> label >> mask) << "the good open ran without recording its mask";
    EXPECT_EQ(std::stoull(mask, nullptr, 16) & (1ULL << (SIGTERM - 1)), 0u) << mask;
  }

  // A flood of connections, every one left open, every fourth with a
  // partial request: what the daemon holds is bounded by the connections it
  // reads at once, not by the flood, and it still serves.
  const int flood_size = tarn_test::soak_or(300, 2000);
  rlimit nofile{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &nofile), 0);
  if (nofile.rlim_cur < static_cast<rlim_t>(flood_size + 100)) {
    nofile.rlim_cur = std::min<rlim_t>(nofile.rlim_max, flood_size + 100);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &nofile), 0);
  }
  const int idle_fds = static_cast<int>(daemon_fds(sb.pid()).size());
  std::vector<unique_fd> flood;
  int most_fds = 0;
  for (int i = 0; i < flood_size; i++) {
    unique_fd fd = control_connect(sb.socket_path());
    if (!fd) continue;
    if (i % 4 == 0) control_send(fd.get(), "{\"jsonrpc\": \"2.0\"");
    flood.push_back(std::move(fd));
    if (i % 50 == 0) most_fds = std::max(most_fds, static_cast<int>(daemon_fds(sb.pid()).size()));
  }
  EXPECT_GT(flood.size(), size_t(flood_size / 2));
  EXPECT_LT(most_fds, idle_fds + 64);
  int open_from_daemon = 0;
  for (const auto& fd : flood) open_from_daemon += still_open(fd.get());
  EXPECT_LT(open_from_daemon, 64);
  expect_served("a flood of idle connections");
  flood.clear();

  // Descriptor exhaustion: with its limit at its lowest free descriptor the
  // daemon cannot accept; it must neither spin nor fill the log, and it
  // serves again once descriptors are available.
  std::this_thread::sleep_for(200ms);
  rlimit daemon_limit{};
  ASSERT_EQ(prlimit(sb.pid(), RLIMIT_NOFILE, nullptr, &daemon_limit), 0);
  const std::set<int> held = daemon_fds(sb.pid());
  int lowest_free = 0;
  while (held.contains(lowest_free)) lowest_free++;
  rlimit tight{static_cast<rlim_t>(lowest_free), daemon_limit.rlim_max};
  ASSERT_EQ(prlimit(sb.pid(), RLIMIT_NOFILE, &tight, nullptr), 0);
  unique_fd waiting = control_connect(sb.socket_path());
  ASSERT_TRUE(waiting);
  control_send(waiting.get(), QUERY);
  std::this_thread::sleep_for(2s);
  size_t accept_failures = 0;
  const std::string err = sb.err();
  for (size_t p = 0; (p = err.find("accept Too many open files", p)) != std::string::npos; p++)
    accept_failures++;
  EXPECT_GT(accept_failures, 0u);
  EXPECT_LT(accept_failures, 100u);
  ASSERT_EQ(prlimit(sb.pid(), RLIMIT_NOFILE, &daemon_limit, nullptr), 0);
  EXPECT_NE(control_read(waiting.get(), 5s).value_or("").find("\"result\""), std::string::npos);
  expect_served("descriptor exhaustion");

  // Owner-only socket, still there after shutdown; a stop request is
  // honoured while a peer is half-way through a request.
  struct stat st {};
  ASSERT_EQ(stat(sb.socket_path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, 0u);
  // tarnctl top watching when the daemon goes: it reports it and fails.
  tarn_test::process top({fs::path(TARN_DAEMON_PATH).parent_path() / "tools/tarnctl", "--socket",
                          sb.socket_path(), "top", "--interval", "0.2"},
                         sb.dir() + "/top");
  EXPECT_TRUE(tarn_test::eventually(
      [&] { return top.out().find("Clients (0)") != std::string::npos; }, 10s))
      << top.err();
  unique_fd held_peer = control_connect(sb.socket_path());
  control_send(held_peer.get(), "{\"jsonrpc\":");
  std::this_thread::sleep_for(200ms);
  ASSERT_TRUE(sb.send_signal(SIGTERM));
  EXPECT_EQ(control_read(held_peer.get(), 10s), "");
  EXPECT_TRUE(sb.exited_cleanly(20s));
  EXPECT_NE(sb.err().find("Shutting down unixsocketThread"), std::string::npos) << sb.err();
  EXPECT_EQ(stat(sb.socket_path().c_str(), &st), 0);
  EXPECT_EQ(top.wait(10s), 2) << top.err();
  EXPECT_NE(top.err().find("tarnctl: "), std::string::npos);

  // A hanging script holds up the shutdown only for the grace a script that
  // is nearly done gets, however long its limit.
  sb.write_file("/etc/tarnproxy.conf", "[Main]\ncacheVdiTimeoutInS=3600\n");
  unlink((sb.dir() + "/vextal/tarnproxy/hang.pids").c_str());
  sb.start();
  ASSERT_TRUE(sb.wait_for_output("Listening on", 30s)) << sb.err();
  auto stopped = std::async(std::launch::async, [&] { return configure(hung_site, HANG_VDI); });
  const std::vector<pid_t> late_pids = hang_pids(sb);
  ASSERT_EQ(late_pids.size(), 2u) << sb.err();
  ASSERT_TRUE(sb.send_signal(SIGTERM));
  EXPECT_TRUE(sb.exited_cleanly(60s)) << "with a script hanging";
  EXPECT_TRUE(sb.err().find("the daemon is shutting down") != std::string::npos) << sb.err();
  stopped.wait();
  for (pid_t pid : late_pids) EXPECT_TRUE(process_gone(pid)) << "script process " << pid;
}

// tarnctl against what is not a healthy daemon: nothing, a peer that answers
// half an object and closes, one that never answers; and its usage errors.
TEST(Tarnctl, UsageAbsentDaemonAndBrokenPeers) {
  char dir_template[] = "/tmp/tarnctl-test.XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template, path = dir + "/sock";
  outcome absent = tarnctl(dir, {"--socket", path, "status"});
  EXPECT_EQ(absent.code, 2);
  EXPECT_NE(absent.err.find("tarnctl: cannot connect to " + path +
                            ": No such file or directory (is tarnproxy running?)"),
            std::string::npos)
      << absent.err;
  for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                               {"frobnicate"},
                                               {"remove-site"},
                                               {"status", "extra"},
                                               {"--timeout", "zero", "status"},
                                               {"call", "m", "{not json"},
                                               {"--count", "2", "status"},
                                               {"top", "--interval", "0.01"},
                                               {"--bogus", "status"}}) {
    outcome usage = tarnctl(dir, args);
    EXPECT_EQ(usage.code, 2) << ::testing::PrintToString(args);
    EXPECT_NE(usage.err.find("usage: tarnctl"), std::string::npos) << usage.err;
  }

  unique_fd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener.get(), 4), 0);
  // A peer that answers each connection in turn with one of `replies`.
  auto serve = [&](std::vector<std::string> replies) {
    return std::thread([&listener, replies] {
      for (const std::string& reply : replies) {
        pollfd p = {listener.get(), POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) return;
        unique_fd conn(accept(listener.get(), nullptr, nullptr));
        control_send(conn.get(), reply);
        shutdown(conn.get(), SHUT_WR);
        // Closing with the request unread would reset the connection
        // instead of ending it: read until tarnctl closes.
        control_read(conn.get(), 10s);
      }
    });
  };
  std::thread peer = serve({R"({ "jsonrpc": "2.0", "result": { "sites": [ )"});
  outcome truncated = tarnctl(dir, {"--socket", path, "--timeout", "10", "status"});
  peer.join();
  EXPECT_EQ(truncated.code, 2);
  EXPECT_NE(truncated.err.find("truncated or invalid reply"), std::string::npos) << truncated.err;
  // top over two samples of a daemon that names clients in its metrics only
  // by MAC, written differently: 90 hits under 20 us and 10 misses in
  // 20..50 us put the p99 at 20 + 30 * 9/10 us, for the client and its vDisk.
  auto result = [](const std::string& r) {
    return R"({"jsonrpc": "2.0", "id": 1, "result": )" + r + "}";
  };
  const std::string state =
      result(R"({"clients": [{"uuid": "u-1", "mac": "02:00:0a:00:00:01", "vdisk_key": "k"}]})");
  const std::string warmth =
      result(R"({"vdisk": {"vdisk_key": "k", "site_uuid": "s", "cached_ratio": 0.25}})");
  auto metrics = [&](int hits, int misses) {
    const std::string counts = "\"total_reads\": " + std::to_string(hits + misses) +
                               ", \"cache_hit_reads\": " + std::to_string(hits);
    return result(R"({"latency_bounds_us": [10, 20, 50], "clients": [{"mac": "2:0:a:0:0:1", )" +
                  counts + R"(, "read_latency": {"hit": {"buckets": [0, )" + std::to_string(hits) +
                  ", " + std::to_string(hits) + ", " + std::to_string(hits) +
                  R"(]}, "miss": {"buckets": [0, 0, )" + std::to_string(misses) + ", " +
                  std::to_string(misses) + "]}}}]}");
  };
  peer = serve({state, metrics(0, 0), warmth, state, metrics(90, 10), warmth});
  outcome top = tarnctl(dir, {"--socket", path, "top", "--interval", "0.1", "--count", "2"});
  peer.join();
  EXPECT_EQ(top.code, 0) << top.err;
  const std::string second =
      top.out.substr(std::min(top.out.find("\n\ntarnctl top"), top.out.size()));
  size_t rows = 0;
  for (size_t at = 0; (at = second.find("90.0%  47 us", at)) != std::string::npos; ++at) rows++;
  EXPECT_EQ(rows, 2u) << top.out;
  EXPECT_NE(second.find("25.0%"), std::string::npos) << top.out;
  // Nobody accepts: the connection waits in the backlog until the timeout.
  outcome silent = tarnctl(dir, {"--socket", path, "--timeout", "0.5", "metrics"});
  EXPECT_EQ(silent.code, 2);
  EXPECT_NE(silent.err.find("no complete reply"), std::string::npos) << silent.err;
  fs::remove_all(dir);
}

}  // namespace
