// The sandbox the black-box tests run the daemon in, only where a fault of it
// would hide one of the daemon: the fixed paths are private (so a host's own
// configuration cannot leak in and the daemon's files are the ones read), and
// teardown leaves no process, mount or directory behind.
#include "support/sandbox.h"

#include <fcntl.h>

#include <filesystem>
#include <string>

#include "core/unique_fd.h"
#include "support/lab.h"
#include "support/metrics_files.h"

namespace {

using tarn_test::exists;
using tarn_test::read_text;

// Gone, or a zombie that has left its namespaces.
bool process_gone(pid_t pid) {
  const std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
  const size_t state = stat.rfind(')') + 2;
  return stat.empty() || (state < stat.size() && (stat[state] == 'Z' || stat[state] == 'X'));
}

TEST(Sandbox, FixedPathsArePrivateAndTeardownLeavesNothing) {
  TARN_REQUIRE_ROOT();
  const std::string vdi = "0123abcd-0000-1111-2222-333344445555";
  const std::string cache = "/opt/vextal/tarnproxy/caches/" + vdi;
  const char* host_paths[] = {"/etc/tarnproxy.conf", "/etc/quillon-inventory", "/opt/vextal",
                              "/run/tarnproxy-state", "/dev/shm/metrics"};
  bool before[std::size(host_paths)];
  for (size_t i = 0; i < std::size(host_paths); i++) before[i] = exists(host_paths[i]);
  std::string dir, ns, out;
  pid_t holder = -1, started = -1, stray = -1;
  unique_fd pin;  // keeps the namespace's inode from being reused while we look
  {
    tarn_test::sandbox a, b;
    for (auto* sb : {&a, &b}) {
      // No daemon files of the host's; the rest of /etc, which sudo needs.
      EXPECT_EQ(0, sb->run("test ! -e /etc/tarnproxy.conf && test ! -e /etc/quillon-inventory &&"
                           " test -s /etc/sudoers && test -d /var/run/tarnproxy-state"));
      ASSERT_EQ(0, sb->run("sudo /opt/vextal/tarnproxy/open-cache-vdi.sh " + vdi + " >/dev/null"));
      ASSERT_EQ(0, sb->run("for f in /etc/tarnproxy.conf /opt/vextal/tarnproxy/socket/who"
                           " /var/run/tarnproxy-state/who /dev/shm/metrics/tarnproxy " +
                           cache + "/who; do echo " + (sb == &a ? "a" : "b") + " > $f; done"));
    }
    for (auto* sb : {&a, &b}) {
      const std::string name = sb == &a ? "a\n" : "b\n";
      std::string got;
      for (const std::string& f : {sb->dir() + "/etc-upper/tarnproxy.conf",
                                   sb->dir() + "/state/who", sb->dir() + "/shm/metrics/tarnproxy"})
        EXPECT_EQ(read_text(f), name) << f;
      // /var/run is an absolute link to /run: path() must follow it inside.
      EXPECT_TRUE(sb->read_file("/var/run/tarnproxy-state/who", &got) && got == name);
      EXPECT_TRUE(sb->read_file(cache + "/who", &got) && got == name);
    }
    for (size_t i = 0; i < std::size(host_paths); i++)
      EXPECT_EQ(exists(host_paths[i]), before[i]) << host_paths[i] << " during";

    dir = a.dir();
    holder = a.holder();
    ns = std::filesystem::read_symlink("/proc/" + std::to_string(holder) + "/ns/mnt");
    pin.reset(::open(("/proc/" + std::to_string(holder) + "/ns/mnt").c_str(), O_RDONLY));
    // A background child of a finished command that keeps forking, and a
    // started process still running.
    ASSERT_EQ(0, a.run("while :; do sleep 60 & sleep .05; done >/dev/null 2>&1 & echo $!", &out));
    stray = std::atoi(out.c_str());
    a.start({}, "/bin/sleep", {"60"});
    started = a.pid();
    ASSERT_TRUE(a.running());
  }
  for (size_t i = 0; i < std::size(host_paths); i++)
    EXPECT_EQ(exists(host_paths[i]), before[i]) << host_paths[i] << " afterwards";
  EXPECT_FALSE(exists(dir));
  for (pid_t pid : {holder, started, stray}) EXPECT_TRUE(process_gone(pid)) << pid;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    std::error_code link_ec;
    EXPECT_NE(std::filesystem::read_symlink(entry.path() / "ns/mnt", link_ec).string(), ns)
        << entry.path() << " is left in the sandbox";
  }
  pin.reset();
  EXPECT_EQ(read_text("/proc/self/mountinfo").find(dir), std::string::npos);

  // A host that has its own configuration must not leak it into tests. The
  // "host" here is a private namespace whose /etc has the two files.
  out.clear();
  EXPECT_EQ(0, tarn_test::run_shell(R"(unshare -m sh -c '
    d=$(mktemp -d) && mkdir $d/u $d/w || exit 99
    echo host > $d/u/tarnproxy.conf && echo host > $d/u/quillon-inventory &&
    mount -t overlay o -o lowerdir=/etc,upperdir=$d/u,workdir=$d/w /etc && cat /etc/tarnproxy.conf &&
    )" TARN_SOURCE_DIR R"(/scripts/sandbox run -- sh -c "test ! -e /etc/tarnproxy.conf &&
      test ! -e /etc/quillon-inventory && echo hidden"
    rc=$?; umount /etc; rm -rf $d; exit $rc')",
                                    &out, 60));
  EXPECT_EQ(out, "host\nhidden\n");
}

}  // namespace
