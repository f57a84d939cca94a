// The production binary in its sandbox as the host's service manager sees it:
// start-up under Type=notify (a real AF_UNIX datagram socket as
// $NOTIFY_SOCKET gets READY=1 only once the saved sites are back, STOPPING=1
// when shutdown begins), the orderly stop on SIGTERM and SIGINT, the
// configuration file and its fatal errors, and where the log lines go.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/unique_fd.h"
#include "support/control.h"
#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;

const char* CONFIG = "/etc/tarnproxy.conf";
const std::string SITE = "3f0e4c1a-9b2d-4e6f-8a7c-1d2e3f4a5b6c";
const std::string VDI = "7a6b5c4d-3e2f-4a1b-9c8d-7e6f5a4b3c2d";

// Every line must appear, in this order, in `text`.
::testing::AssertionResult in_order(const std::string& text,
                                    const std::vector<std::string>& lines) {
  size_t at = 0;
  for (const auto& line : lines) {
    size_t found = text.find(line, at);
    if (found == std::string::npos)
      return ::testing::AssertionFailure() << "missing or out of order: \"" << line << "\"";
    at = found + line.size();
  }
  return ::testing::AssertionSuccess();
}

// Only main takes the exit signals: a handler run on another thread would
// interrupt that thread's system calls, and where delivery is deferred until
// the thread wakes it might never run at all.
void expect_exit_signals_only_on_main(pid_t pid) {
  const unsigned long long exit_bits = (1ULL << (SIGTERM - 1)) | (1ULL << (SIGINT - 1));
  int others = 0;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    const std::string tid = task.path().filename();
    const std::string status = tarn_test::read_text(task.path() / "status");
    const size_t at = status.find("SigBlk:");
    ASSERT_NE(at, std::string::npos);
    const unsigned long long blocked = std::stoull(status.substr(at + 7), nullptr, 16);
    if (tid == std::to_string(pid)) {
      EXPECT_EQ(blocked & exit_bits, 0u) << "main blocks the exit signals";
    } else {
      others++;
      EXPECT_EQ(blocked & exit_bits, exit_bits) << "task " << tid << " takes exit signals";
    }
  }
  EXPECT_GE(others, 3) << "the service threads are not running";
}

// The service manager's end: a datagram socket bound to `name` (a path, or an
// abstract name after '@').
unique_fd manager_bind(const std::string& name) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, name.data(), name.size());
  socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  if (name[0] == '@')
    addr.sun_path[0] = '\0';
  else
    len++;
  unique_fd sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock || bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) return unique_fd();
  return sock;
}

// The next notification within `timeout`, or "" if none came.
std::string receive(int fd, std::chrono::milliseconds timeout) {
  pollfd pfd = {fd, POLLIN, 0};
  if (poll(&pfd, 1, static_cast<int>(timeout.count())) != 1) return "";
  char buf[256];
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

// A host with an inventory, so that the only warnings are the test's own;
// with `open_delay_s`, a saved site whose cache takes that long more to open
// (the open script sources the VDI's settings file).
void prepare_host(tarn_test::sandbox& sb, int open_delay_s) {
  sb.write_file("/etc/quillon-inventory",
                "INSTALLATION_UUID='6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a00'\n");
  if (open_delay_s == 0) return;
  sb.write_file("/opt/vextal/tarnproxy/cache-vdi.d/" + VDI + ".conf",
                "sleep " + std::to_string(open_delay_s) + "\n");
  sb.write_file(
      "/run/tarnproxy-state/" + SITE,
      tarn_test::site_request(SITE, VDI, "0b1c2d3e-4f5a-4b6c-8d7e-9f0a1b2c3d4e", {"198.18.0.5"}, {},
                              R"("first_port": 6910, "last_port": 6930)"),
      0600);
}

void expect_clean_exit(tarn_test::sandbox& sb) {
  ASSERT_TRUE(sb.exited_cleanly(20s));
  EXPECT_EQ(sb.err().find("WARNING"), std::string::npos) << sb.err();
  EXPECT_EQ(sb.err().find("CRITICAL"), std::string::npos) << sb.err();
}

TEST(Daemon, ReadyOnceSitesAreBackStopsInOrderAndReadsItsConfiguration) {
  TARN_REQUIRE_ROOT();
  struct run {
    int sig;
    bool abstract_socket;
    int open_delay_s;
    bool stop_early;  // during the slow restore: never ready
    bool config;      // a configuration file, and the fatal ones after the stop
  };
  for (const run r : {run{SIGTERM, false, 2, false, false}, run{SIGINT, true, 0, false, true},
                      run{SIGTERM, false, 4, true, false}}) {
    SCOPED_TRACE(strsignal(r.sig));
    tarn_test::sandbox sb;
    prepare_host(sb, r.open_delay_s);
    // Other groups are ignored. With G_MESSAGES_DEBUG=all, INFO lines go to
    // stdout, MESSAGE lines to stderr (without it, the log's tests show).
    if (r.config)
      sb.write_file(CONFIG,
                    "[Other]\nlistenerFanout=bogus\n[Main]\nlistenerThreads=0\n"
                    "listenerFanout=lb\narpProxy=true\n");
    const std::string name = r.abstract_socket
                                 ? "@tarnproxy-notify-test-" + std::to_string(getpid())
                                 : sb.dir() + "/notify";
    unique_fd manager = manager_bind(name);
    ASSERT_TRUE(manager) << strerror(errno);
    const auto started = std::chrono::steady_clock::now();
    sb.start({"NOTIFY_SOCKET=" + name, r.config ? "G_MESSAGES_DEBUG=all" : "G_MESSAGES_DEBUG="});
    if (r.stop_early) {
      ASSERT_TRUE(sb.wait_for_output("Reloading json state for site " + SITE, 10s)) << sb.err();
      ASSERT_TRUE(sb.send_signal(SIGTERM));
      EXPECT_EQ(receive(manager.get(), 5s), "STOPPING=1") << sb.err();
      expect_clean_exit(sb);
      EXPECT_EQ(receive(manager.get(), 0ms), "");
      continue;
    }
    ASSERT_EQ(receive(manager.get(), 30s), "READY=1") << sb.err();
    const std::string at_ready = sb.err();
    EXPECT_TRUE(
        in_order(at_ready, {r.config ? "Config file /etc/tarnproxy.conf found."
                                     : "Config file /etc/tarnproxy.conf not found; using defaults.",
                            "Listening on /opt/vextal/tarnproxy/socket/tarnproxy"}))
        << at_ready;
    if (r.open_delay_s > 0) {
      // Not before the slow cache open of the saved site has finished.
      EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(r.open_delay_s));
      EXPECT_NE(at_ready.find("Reloading json state for site " + SITE), std::string::npos);
      EXPECT_EQ(sb.run("mountpoint -q /opt/vextal/tarnproxy/caches/" + VDI), 0);
    }
    ASSERT_TRUE(sb.wait_for_output("Cache Manager started", 10s)) << sb.err();
    ASSERT_TRUE(sb.wait_for_output("RRD thread started", 10s)) << sb.err();
    expect_exit_signals_only_on_main(sb.pid());

    ASSERT_TRUE(sb.send_signal(r.sig));
    // READY is sent once: the next notification is the stop.
    ASSERT_EQ(receive(manager.get(), 5s), "STOPPING=1") << sb.err();
    expect_clean_exit(sb);
    EXPECT_EQ(receive(manager.get(), 0ms), "");
    EXPECT_TRUE(in_order(
        sb.err(),
        {"Received exit signal - shutting down.", "Joining unixsocket thread", "Joining RRD thread",
         "Joining Cache Manager thread", "Destroying contexts", "Destroying interface threads"}))
        << sb.err();
    // Each service thread ends after the shutdown began and before main goes
    // on past its join; exactly when within that span is the thread's business.
    const std::pair<const char*, const char*> joined[] = {
        {"Shutting down unixsocketThread", "Joining RRD thread"},
        {"RRD Thread stopped", "Joining Cache Manager thread"},
        {"Cache Manager stopped", "Destroying contexts"},
    };
    for (const auto& [line, next] : joined)
      EXPECT_TRUE(in_order(sb.err(), {"Received exit signal - shutting down.", line, next}));
    if (!r.config) continue;
    EXPECT_NE(sb.out().find("Configuration: listenerThreads=" +
                            std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) +
                            " prepopIoThreads=4 listenerFanout=1 packetMmap=1"),
              std::string::npos)
        << sb.out();
    EXPECT_EQ(sb.err().find("Configuration:"), std::string::npos);
    EXPECT_EQ(sb.out().find("Config file"), std::string::npos);

    // Each key's parse errors have their table in the configuration's unit
    // tests; here, that the binary aborts with the message before starting
    // anything.
    const std::pair<const char*, const char*> fatal[] = {
        {"listenerFanout=LB", "Unrecognised listenerFanout string 'LB'"},
        {"packetMmap=yes", "Unable to interpret packetMmap: "},
        {"prepopIoThreads=-2", "Failed to create prepopulation IO thread pool"},
    };
    for (const auto& [line, message] : fatal) {
      sb.write_file(CONFIG, std::string("[Main]\n") + line + "\n");
      sb.start();
      auto exit = sb.wait_exit(10s);
      ASSERT_TRUE(exit.has_value()) << line;
      EXPECT_EQ(*exit, 128 + SIGABRT) << line << "\n" << sb.err();
      EXPECT_NE(sb.err().find(message), std::string::npos) << line << "\n" << sb.err();
      // Nothing started before the configuration was understood.
      EXPECT_EQ(sb.err().find("Cache Manager started"), std::string::npos) << line;
    }
  }
}

}  // namespace
