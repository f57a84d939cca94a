// The sandbox the black-box tests run the daemon in, only where a fault of it
// would hide one of the daemon: the fixed paths are private (so a host's own
// configuration cannot leak in and the daemon's files are the ones read), and
// teardown leaves no process, mount or directory behind. (That the cache
// scripts mount the file system asked for, the cache-fault storms assert.)
#include "support/sandbox.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>

#include "core/unique_fd.h"
#include "support/lab.h"

namespace {

const std::string kVdi = "0123abcd-0000-1111-2222-333344445555";
const std::string kCache = "/opt/vextal/tarnproxy/caches/" + kVdi;
const std::string kOpen = "sudo /opt/vextal/tarnproxy/open-cache-vdi.sh ";

bool host_exists(const std::string& p) {
  struct stat st;
  return ::lstat(p.c_str(), &st) == 0;
}

// Gone, or a zombie that has left its namespaces.
bool process_gone(pid_t pid) {
  std::string stat = tarn_test::read_text("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = stat.rfind(')');
  return stat.empty() || (paren != std::string::npos && paren + 2 < stat.size() &&
                          (stat[paren + 2] == 'Z' || stat[paren + 2] == 'X'));
}

TEST(Sandbox, FixedPathsArePrivateAndTeardownLeavesNothing) {
  TARN_REQUIRE_ROOT();
  const char* host_paths[] = {"/etc/tarnproxy.conf", "/etc/quillon-inventory", "/opt/vextal",
                              "/run/tarnproxy-state", "/dev/shm/metrics"};
  std::map<std::string, bool> before;
  for (const char* p : host_paths) before[p] = host_exists(p);
  std::string dir, ns, out;
  pid_t holder = -1, started = -1, stray = -1;
  unique_fd pin;  // keeps the namespace's inode from being reused while we look
  {
    tarn_test::sandbox a, b;
    for (auto* sb : {&a, &b}) {
      // No daemon files of the host's; the rest of /etc, which sudo needs.
      EXPECT_EQ(0, sb->run("test ! -e /etc/tarnproxy.conf && test ! -e /etc/quillon-inventory &&"
                           " test -s /etc/sudoers && test -d /var/run/tarnproxy-state"));
      ASSERT_EQ(0, sb->run(kOpen + kVdi + " >/dev/null"));
      const std::string name = sb == &a ? "a" : "b";
      ASSERT_EQ(0, sb->run("for f in /etc/tarnproxy.conf /opt/vextal/tarnproxy/socket/who"
                           " /var/run/tarnproxy-state/who /dev/shm/metrics/tarnproxy " +
                           kCache + "/who; do echo " + name + " > $f; done"));
    }
    for (auto* sb : {&a, &b}) {
      const std::string name = sb == &a ? "a\n" : "b\n";
      EXPECT_EQ(tarn_test::read_text(sb->dir() + "/etc-upper/tarnproxy.conf"), name);
      EXPECT_EQ(tarn_test::read_text(sb->dir() + "/state/who"), name);
      EXPECT_EQ(tarn_test::read_text(sb->dir() + "/shm/metrics/tarnproxy"), name);
      std::string got;
      // /var/run is an absolute link to /run: path() must follow it inside.
      EXPECT_TRUE(sb->read_file("/var/run/tarnproxy-state/who", &got) && got == name);
      EXPECT_TRUE(sb->read_file(kCache + "/who", &got) && got == name);
    }
    for (const char* p : host_paths) EXPECT_EQ(host_exists(p), before[p]) << p << " during";

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
  for (const char* p : host_paths) EXPECT_EQ(host_exists(p), before[p]) << p << " afterwards";
  EXPECT_FALSE(host_exists(dir));
  for (pid_t pid : {holder, started, stray}) EXPECT_TRUE(process_gone(pid)) << pid;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    std::error_code link_ec;
    EXPECT_NE(std::filesystem::read_symlink(entry.path() / "ns/mnt", link_ec).string(), ns)
        << entry.path() << " is left in the sandbox";
  }
  pin.reset();
  EXPECT_EQ(tarn_test::read_text("/proc/self/mountinfo").find(dir), std::string::npos);
}

// A host that has its own configuration must not leak it into tests. The
// "host" here is a private namespace whose /etc has the two files.
TEST(Sandbox, HostConfigurationIsHidden) {
  TARN_REQUIRE_ROOT();
  std::string out;
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
