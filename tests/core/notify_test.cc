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
#include <cstring>
#include <string>

#include "core/unique_fd.h"
#include "support/log_capture.h"

namespace {

// Sets $NOTIFY_SOCKET for one scope and restores the previous state.
class notify_env {
 public:
  explicit notify_env(const char* value) {
    const char* old = getenv(NOTIFY_SOCKET_ENV);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr) {
      setenv(NOTIFY_SOCKET_ENV, value, 1);
    } else {
      unsetenv(NOTIFY_SOCKET_ENV);
    }
  }
  ~notify_env() {
    if (had_) {
      setenv(NOTIFY_SOCKET_ENV, old_.c_str(), 1);
    } else {
      unsetenv(NOTIFY_SOCKET_ENV);
    }
  }

 private:
  bool had_ = false;
  std::string old_;
};

// A bound datagram socket standing in for the service manager.
unique_fd receiver_bind(const std::string& name) {
  struct sockaddr_un addr;
  socklen_t len = 0;
  if (notify_address_parse(name.c_str(), &addr, &len) != 0) return unique_fd();
  unique_fd sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock || bind(sock.get(), reinterpret_cast<struct sockaddr*>(&addr), len) != 0) {
    return unique_fd();
  }
  return sock;
}

// The next datagram within `timeout_ms`, or "" if none came.
std::string receive(int fd, int timeout_ms) {
  struct pollfd pfd = {fd, POLLIN, 0};
  if (poll(&pfd, 1, timeout_ms) != 1) return "";
  char buf[256];
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

std::string temp_dir() {
  char tmpl[] = "/tmp/tarn-notify-XXXXXX";
  const char* dir = mkdtemp(tmpl);
  return dir != nullptr ? dir : "";
}

TEST(Notify, AddressesArePathsOrAbstractNames) {
  struct sockaddr_un addr;
  socklen_t len = 0;

  ASSERT_EQ(notify_address_parse("/run/systemd/notify", &addr, &len), 0);
  EXPECT_EQ(addr.sun_family, AF_UNIX);
  EXPECT_STREQ(addr.sun_path, "/run/systemd/notify");
  EXPECT_EQ(len, offsetof(struct sockaddr_un, sun_path) + strlen("/run/systemd/notify") + 1);

  // The abstract name is the bytes after the leading NUL, without a
  // terminator in the length.
  ASSERT_EQ(notify_address_parse("@manager/42", &addr, &len), 0);
  EXPECT_EQ(addr.sun_path[0], '\0');
  EXPECT_EQ(std::string(addr.sun_path + 1, strlen("manager/42")), "manager/42");
  EXPECT_EQ(len, offsetof(struct sockaddr_un, sun_path) + 1 + strlen("manager/42"));

  const std::string longest(sizeof addr.sun_path - 1, 'a');
  EXPECT_EQ(notify_address_parse(("/" + longest.substr(1)).c_str(), &addr, &len), 0);
  EXPECT_EQ(notify_address_parse(("/" + longest).c_str(), &addr, &len), -ENAMETOOLONG);
  EXPECT_EQ(notify_address_parse(("@" + longest).c_str(), &addr, &len), -ENAMETOOLONG);

  for (const char* bad : {"", "@", "/", "relative/path", "notify"}) {
    EXPECT_EQ(notify_address_parse(bad, &addr, &len), -EINVAL) << bad;
  }
}

TEST(Notify, DatagramsReachPathAndAbstractSockets) {
  const std::string dir = temp_dir();
  ASSERT_FALSE(dir.empty());
  const std::string names[] = {
      dir + "/notify",
      "@tarn-notify-test-" + std::to_string(getpid()),
  };
  for (const std::string& name : names) {
    unique_fd manager = receiver_bind(name);
    ASSERT_TRUE(manager) << name << ": " << strerror(errno);
    notify_env env(name.c_str());
    EXPECT_EQ(notify_send(NOTIFY_READY), 0) << name;
    EXPECT_EQ(notify_send(NOTIFY_STOPPING), 0) << name;
    // One datagram per message, in order, with no terminator or newline.
    EXPECT_EQ(receive(manager.get(), 2000), "READY=1") << name;
    EXPECT_EQ(receive(manager.get(), 2000), "STOPPING=1") << name;
    EXPECT_EQ(receive(manager.get(), 0), "") << name;
  }
  unlink(names[0].c_str());
  rmdir(dir.c_str());
}

TEST(Notify, WithoutManagerNothingHappensAndFailuresWarnOnce) {
  tarn_test::log_capture logs;
  {
    notify_env unset(nullptr);
    EXPECT_EQ(notify_send(NOTIFY_READY), 0);
  }
  {
    notify_env empty("");
    EXPECT_EQ(notify_send(NOTIFY_READY), 0);
  }
  EXPECT_EQ(logs.count("Unable to notify the service manager"), 0u);

  const std::string dir = temp_dir();
  ASSERT_FALSE(dir.empty());
  {
    notify_env absent((dir + "/nobody").c_str());
    EXPECT_EQ(notify_send(NOTIFY_READY), -ENOENT);
    EXPECT_EQ(notify_send(NOTIFY_STOPPING), -ENOENT);
  }
  {
    notify_env relative("notify");
    EXPECT_EQ(notify_send(NOTIFY_READY), -EINVAL);
  }
  {
    // A manager whose queue is full must not hold the caller up.
    const std::string name = "@tarn-notify-full-" + std::to_string(getpid());
    unique_fd manager = receiver_bind(name);
    ASSERT_TRUE(manager);
    notify_env full(name.c_str());
    int result = 0;
    for (int i = 0; i < 100000 && result == 0; i++) result = notify_send(NOTIFY_READY);
    EXPECT_EQ(result, -EAGAIN);
  }
  rmdir(dir.c_str());
  EXPECT_EQ(logs.count("Unable to notify the service manager"), 1u);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING,
                            "Unable to notify the service manager at " + dir + "/nobody"));
}

}  // namespace
