// Notifications to the service manager, received on real AF_UNIX datagram
// sockets (path and abstract names) as a service manager would receive them.
#include "core/notify.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>

#include "core/unique_fd.h"
#include "support/log_capture.h"

namespace {

// A bound datagram socket standing in for the service manager.
unique_fd receiver_bind(const std::string& name) {
  struct sockaddr_un addr;
  socklen_t len = 0;
  if (notify_address_parse(name.c_str(), &addr, &len) != 0) return unique_fd();
  unique_fd sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock || bind(sock.get(), reinterpret_cast<struct sockaddr*>(&addr), len) != 0) return {};
  return sock;
}

std::string receive(int fd, int timeout_ms) {
  struct pollfd pfd = {fd, POLLIN, 0};
  char buf[256];
  ssize_t n = poll(&pfd, 1, timeout_ms) == 1 ? recv(fd, buf, sizeof buf, 0) : 0;
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

TEST(Notify, AddressesArePathsOrAbstractNames) {
  struct sockaddr_un addr;
  socklen_t len = 0;
  const size_t base = offsetof(struct sockaddr_un, sun_path);
  ASSERT_EQ(notify_address_parse("/run/systemd/notify", &addr, &len), 0);
  EXPECT_STREQ(addr.sun_path, "/run/systemd/notify");
  EXPECT_EQ(len, base + 20);  // with its terminator
  // An abstract name is its bytes after a leading NUL, with no terminator.
  ASSERT_EQ(notify_address_parse("@manager/42", &addr, &len), 0);
  EXPECT_EQ(std::string(addr.sun_path, 11), std::string("\0manager/42", 11));
  EXPECT_EQ(len, base + 11);
  const std::string longest(sizeof addr.sun_path - 1, 'a');
  EXPECT_EQ(notify_address_parse(("/" + longest.substr(1)).c_str(), &addr, &len), 0);
  EXPECT_EQ(notify_address_parse(("/" + longest).c_str(), &addr, &len), -ENAMETOOLONG);
  EXPECT_EQ(notify_address_parse(("@" + longest).c_str(), &addr, &len), -ENAMETOOLONG);
  for (const char* bad : {"", "@", "/", "relative/path"}) {
    EXPECT_EQ(notify_address_parse(bad, &addr, &len), -EINVAL) << bad;
  }
}

TEST(Notify, DatagramsReachTheManagerAndFailuresWarnOnce) {
  tarn_test::log_capture logs;
  char tmpl[] = "/tmp/tarn-notify-XXXXXX";
  const std::string dir = mkdtemp(tmpl) != nullptr ? tmpl : "";
  ASSERT_FALSE(dir.empty());
  const std::string pid = std::to_string(getpid());
  for (const std::string& name : {dir + "/notify", "@tarn-notify-test-" + pid}) {
    unique_fd manager = receiver_bind(name);
    ASSERT_TRUE(manager) << name;
    setenv(NOTIFY_SOCKET_ENV, name.c_str(), 1);
    EXPECT_EQ(notify_send(NOTIFY_READY), 0) << name;
    EXPECT_EQ(notify_send(NOTIFY_STOPPING), 0) << name;
    // One datagram per message, in order, with no terminator or newline.
    EXPECT_EQ(receive(manager.get(), 2000), "READY=1") << name;
    EXPECT_EQ(receive(manager.get(), 2000), "STOPPING=1") << name;
    EXPECT_EQ(receive(manager.get(), 0), "") << name;
  }
  unlink((dir + "/notify").c_str());
  // Without a manager nothing happens; failures are reported, and warned of once.
  unsetenv(NOTIFY_SOCKET_ENV);
  EXPECT_EQ(notify_send(NOTIFY_READY), 0);
  setenv(NOTIFY_SOCKET_ENV, "", 1);
  EXPECT_EQ(notify_send(NOTIFY_READY), 0);
  EXPECT_EQ(logs.count("Unable to notify the service manager"), 0u);
  setenv(NOTIFY_SOCKET_ENV, (dir + "/nobody").c_str(), 1);
  EXPECT_EQ(notify_send(NOTIFY_READY), -ENOENT);
  EXPECT_EQ(notify_send(NOTIFY_STOPPING), -ENOENT);
  setenv(NOTIFY_SOCKET_ENV, "notify", 1);
  EXPECT_EQ(notify_send(NOTIFY_READY), -EINVAL);
  // A manager whose queue is full must not hold the caller up.
  const std::string full = "@tarn-notify-full-" + pid;
  unique_fd manager = receiver_bind(full);
  ASSERT_TRUE(manager);
  setenv(NOTIFY_SOCKET_ENV, full.c_str(), 1);
  int result = 0;
  for (int i = 0; i < 100000 && result == 0; i++) result = notify_send(NOTIFY_READY);
  EXPECT_EQ(result, -EAGAIN);
  unsetenv(NOTIFY_SOCKET_ENV);
  rmdir(dir.c_str());
  EXPECT_EQ(logs.count("Unable to notify the service manager"), 1u);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING,
                            "Unable to notify the service manager at " + dir + "/nobody"));
}

}  // namespace
