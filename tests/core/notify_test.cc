// Notifications to the service manager: addresses, and failures against real
// AF_UNIX datagram sockets.
#include "core/notify.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/unique_fd.h"
#include "support/log_capture.h"

namespace {

// Paths and abstract names ("@" and bytes, which reach a manager only with the
// right length: tests/e2e/daemon_test.cc) that fit in sun_path.
TEST(Notify, AddressesArePathsOrAbstractNames) {
  struct sockaddr_un addr;
  socklen_t len = 0;
  const std::string longest(sizeof addr.sun_path - 1, 'a');
  for (const std::string& ok : {std::string("/run/systemd/notify"), "/" + longest.substr(1)})
    EXPECT_EQ(notify_address_parse(ok.c_str(), &addr, &len), 0) << ok;
  for (const std::string& bad : {"/" + longest, "@" + longest})
    EXPECT_EQ(notify_address_parse(bad.c_str(), &addr, &len), -ENAMETOOLONG) << bad;
  for (const char* bad : {"", "@", "/", "relative/path"})
    EXPECT_EQ(notify_address_parse(bad, &addr, &len), -EINVAL) << bad;
}

// Datagrams themselves, at paths and abstract names, reach a manager in
// tests/e2e/daemon_test.cc; here, the failures.
TEST(Notify, FailuresAreReportedWarnedOfOnceAndNeverBlock) {
  tarn_test::log_capture logs;
  logs.clear();
  // Without a manager nothing happens; a missing one is warned of once.
  const std::string nobody = "/tmp/tarn-notify-nobody-" + std::to_string(getpid());
  const std::pair<const char*, int> rows[] = {{nullptr, 0},
                                              {"", 0},
                                              {nobody.c_str(), -ENOENT},
                                              {nobody.c_str(), -ENOENT},
                                              {"notify", -EINVAL}};
  for (auto [env, want] : rows) {
    env ? setenv(NOTIFY_SOCKET_ENV, env, 1) : unsetenv(NOTIFY_SOCKET_ENV);
    EXPECT_EQ(notify_send(NOTIFY_READY), want) << (env ? env : "unset");
  }
  // A manager whose queue is full must not hold the caller up.
  const std::string full = "@tarn-notify-full-" + std::to_string(getpid());
  struct sockaddr_un addr;
  socklen_t len = 0;
  ASSERT_EQ(notify_address_parse(full.c_str(), &addr, &len), 0);
  unique_fd manager(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(bind(manager.get(), reinterpret_cast<struct sockaddr*>(&addr), len), 0);
  setenv(NOTIFY_SOCKET_ENV, full.c_str(), 1);
  int result = 0;
  for (int i = 0; i < 100000 && result == 0; i++) result = notify_send(NOTIFY_READY);
  EXPECT_EQ(result, -EAGAIN);
  char datagram[16];
  EXPECT_EQ(recv(manager.get(), datagram, sizeof datagram, 0), 7);  // one each, no terminator
  unsetenv(NOTIFY_SOCKET_ENV);
  EXPECT_EQ(logs.count("Unable to notify the service manager"), 1u);
  EXPECT_TRUE(
      logs.contains(G_LOG_LEVEL_WARNING, "Unable to notify the service manager at " + nobody));
}

}  // namespace
