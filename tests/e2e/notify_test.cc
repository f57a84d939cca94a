// The production binary under a service manager that runs it as Type=notify:
// a real AF_UNIX datagram socket as $NOTIFY_SOCKET receives READY=1 only once
// the saved sites are back, and STOPPING=1 when shutdown begins.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>

#include "core/unique_fd.h"
#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

const std::string SITE = "3f0e4c1a-9b2d-4e6f-8a7c-1d2e3f4a5b6c";
const std::string VDI = "7a6b5c4d-3e2f-4a1b-9c8d-7e6f5a4b3c2d";
const std::string SERVER = "0b1c2d3e-4f5a-4b6c-8d7e-9f0a1b2c3d4e";

// A host with an inventory, so that the only warnings are the test's own.
void host_inventory(tarn_test::sandbox& sb) {
  sb.write_file("/etc/quillon-inventory",
                "INSTALLATION_UUID='6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a00'\n");
}

// The service manager's end: a datagram socket bound to `name` (a path, or an
// abstract name after '@'), as $NOTIFY_SOCKET names it.
unique_fd manager_bind(const std::string& name) {
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  if (name.size() >= sizeof addr.sun_path) return unique_fd();
  memcpy(addr.sun_path, name.data(), name.size());
  socklen_t len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + name.size());
  if (name[0] == '@') {
    addr.sun_path[0] = '\0';
  } else {
    len++;
  }
  unique_fd sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock || bind(sock.get(), reinterpret_cast<struct sockaddr*>(&addr), len) != 0) {
    return unique_fd();
  }
  return sock;
}

// The next notification within `timeout`, or "" if none came.
std::string receive(int fd, std::chrono::milliseconds timeout) {
  struct pollfd pfd = {fd, POLLIN, 0};
  if (poll(&pfd, 1, static_cast<int>(timeout.count())) != 1) return "";
  char buf[256];
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

// A saved site with a cache VDI and one server; opening its cache takes
// `open_delay_s` seconds more than usual (the open script sources the VDI's
// settings file, so a sleep there stands for a slow disk attach).
void save_site(tarn_test::sandbox& sb, int open_delay_s) {
  sb.write_file("/opt/vextal/tarnproxy/cache-vdi.d/" + VDI + ".conf",
                "sleep " + std::to_string(open_delay_s) + "\n");
  sb.write_file("/run/tarnproxy-state/" + SITE,
                R"({"jsonrpc": "2.0", "method": "configure_site", "id": 1, "params": {)"
                R"("site_uuid": ")" +
                    SITE + R"(", "vdi": ")" + VDI + R"(", "servers": [{"uuid": ")" + SERVER +
                    R"(", "addresses": ["198.18.0.5"], "first_port": 6910, "last_port": 6930}]}})",
                0600);
}

void expect_clean_exit(tarn_test::sandbox& sb) {
  auto exit = sb.wait_exit(20s);
  ASSERT_TRUE(exit.has_value()) << sb.err();
  EXPECT_TRUE(exit->exited && exit->code == 0) << *exit << sb.err();
  EXPECT_EQ(sb.err().find("WARNING"), std::string::npos) << sb.err();
  EXPECT_EQ(sb.err().find("CRITICAL"), std::string::npos) << sb.err();
}

TEST(Notify, ReadyAfterSavedSitesAreBackStoppingAtShutdown) {
  TARN_REQUIRE_ROOT();
  tarn_test::sandbox sb;
  host_inventory(sb);
  save_site(sb, 2);
  const std::string name = sb.dir() + "/notify";
  unique_fd manager = manager_bind(name);
  ASSERT_TRUE(manager) << strerror(errno);

  const auto started = steady::now();
  sb.start({"NOTIFY_SOCKET=" + name});
  ASSERT_EQ(receive(manager.get(), 30s), "READY=1") << sb.err();
  // Not before the slow cache open of the saved site has finished.
  EXPECT_GE(steady::now() - started, 2s);
  const std::string at_ready = sb.err();
  EXPECT_NE(at_ready.find("Listening on /opt/vextal/tarnproxy/socket/tarnproxy"), std::string::npos)
      << at_ready;
  EXPECT_NE(at_ready.find("Reloading json state for site " + SITE), std::string::npos) << at_ready;
  EXPECT_EQ(sb.run("mountpoint -q /opt/vextal/tarnproxy/caches/" + VDI), 0)
      << "the saved site's cache is not open at READY";

  ASSERT_TRUE(sb.send_signal(SIGTERM));
  // READY is sent once: the next notification is the stop.
  ASSERT_EQ(receive(manager.get(), 5s), "STOPPING=1") << sb.err();
  EXPECT_NE(sb.err().find("Received exit signal - shutting down."), std::string::npos);
  expect_clean_exit(sb);
  EXPECT_EQ(receive(manager.get(), 0ms), "");
}

TEST(Notify, AbstractSocketAndSigint) {
  TARN_REQUIRE_ROOT();
  tarn_test::sandbox sb;
  host_inventory(sb);
  const std::string name = "@tarnproxy-notify-test-" + std::to_string(getpid());
  unique_fd manager = manager_bind(name);
  ASSERT_TRUE(manager) << strerror(errno);

  sb.start({"NOTIFY_SOCKET=" + name});
  ASSERT_EQ(receive(manager.get(), 20s), "READY=1") << sb.err();
  ASSERT_TRUE(sb.send_signal(SIGINT));
  ASSERT_EQ(receive(manager.get(), 5s), "STOPPING=1") << sb.err();
  expect_clean_exit(sb);
}

// A stop request during a slow restore: the daemon never claims to be ready.
TEST(Notify, StopDuringStartUpIsNeverReady) {
  TARN_REQUIRE_ROOT();
  tarn_test::sandbox sb;
  host_inventory(sb);
  save_site(sb, 4);
  const std::string name = sb.dir() + "/notify";
  unique_fd manager = manager_bind(name);
  ASSERT_TRUE(manager) << strerror(errno);

  sb.start({"NOTIFY_SOCKET=" + name});
  ASSERT_TRUE(sb.wait_for_output("Reloading json state for site " + SITE, 10s)) << sb.err();
  ASSERT_TRUE(sb.send_signal(SIGTERM));
  EXPECT_EQ(receive(manager.get(), 5s), "STOPPING=1") << sb.err();
  expect_clean_exit(sb);
  EXPECT_EQ(receive(manager.get(), 0ms), "");
}

// Without a manager listening the daemon runs and stops as ever, with one
// warning for all its failed notifications.
TEST(Notify, UnreachableManagerWarnsOnceAndIsHarmless) {
  TARN_REQUIRE_ROOT();
  tarn_test::sandbox sb;
  host_inventory(sb);
  const std::string nobody = sb.dir() + "/nobody";
  sb.start({"NOTIFY_SOCKET=" + nobody});
  ASSERT_TRUE(sb.wait_for_output("Unable to notify the service manager at " + nobody, 20s))
      << sb.err();
  ASSERT_TRUE(sb.send_signal(SIGTERM));
  auto exit = sb.wait_exit(20s);
  ASSERT_TRUE(exit.has_value()) << sb.err();
  EXPECT_TRUE(exit->exited && exit->code == 0) << *exit << sb.err();
  const std::string err = sb.err();
  const size_t first = err.find("WARNING");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(err.find("WARNING", first + 1), std::string::npos) << err;
  EXPECT_NE(err.find("Destroying interface threads"), std::string::npos) << err;
}

}  // namespace
