// The sandbox the black-box tests run the daemon in: the fixed paths exist and
// are private to one sandbox, the host's paths stay as they were, the cache
// VDI scripts mount what a test asked for, started processes are observed and
// teardown leaves nothing behind. Small shell commands stand in for the daemon.
#include "support/sandbox.h"

#include <fcntl.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "core/unique_fd.h"

namespace {

using namespace std::chrono_literals;

const std::string kScript = TARN_SOURCE_DIR "/scripts/sandbox";
const std::string kVdi = "0123abcd-0000-1111-2222-333344445555";
const std::string kOtherVdi = "89abcdef-4444-5555-6666-777788889999";
const std::string kCaches = "/opt/vextal/tarnproxy/caches/";
// As the daemon runs them.
const std::string kOpen = "sudo /opt/vextal/tarnproxy/open-cache-vdi.sh ";
const std::string kClose = "sudo /opt/vextal/tarnproxy/close-cache-vdi.sh ";

bool host_exists(const std::string& p) {
  struct stat st;
  return ::lstat(p.c_str(), &st) == 0;
}

std::string slurp(const std::string& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A host shell script, bounded; returns its exit status and stdout.
int host_sh(const std::string& script, std::string* out) {
  char file[] = "/tmp/tarn-sandbox-test-XXXXXX";
  int fd = ::mkstemp(file);
  if (fd < 0) return -1;
  bool written = ::write(fd, script.data(), script.size()) == static_cast<ssize_t>(script.size());
  ::close(fd);
  if (!written) return -1;
  std::string bounded = std::string("timeout -s KILL 60 sh ") + file;
  FILE* p = ::popen(bounded.c_str(), "r");
  if (!p) {
    ::unlink(file);
    return -1;
  }
  out->clear();
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
  int status = ::pclose(p);
  ::unlink(file);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Gone, or a zombie that has left its namespaces and waits for its reaper.
bool process_gone(pid_t pid) {
  std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty()) return true;
  size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() &&
         (stat[paren + 2] == 'Z' || stat[paren + 2] == 'X');
}

std::string mount_ns_of(pid_t pid) {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/ns/mnt", ec).string();
}

bool any_process_in(const std::string& ns) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code link_ec;
    if (std::filesystem::read_symlink(entry.path() / "ns/mnt", link_ec).string() == ns) return true;
  }
  return false;
}

struct fs_figures {
  bool ok = false;
  bool tmpfs = false;
  unsigned long long bytes = 0, inodes = 0;
  unsigned mode = 0;
};

fs_figures figures(const std::string& host_path) {
  fs_figures f;
  struct statfs fs;
  struct stat st;
  if (::statfs(host_path.c_str(), &fs) != 0 || ::stat(host_path.c_str(), &st) != 0) return f;
  f.ok = true;
  f.tmpfs = fs.f_type == TMPFS_MAGIC;
  f.bytes =
      static_cast<unsigned long long>(fs.f_blocks) * static_cast<unsigned long long>(fs.f_frsize);
  f.inodes = fs.f_files;
  f.mode = st.st_mode & 07777;
  return f;
}

TEST(Sandbox, FixedPathsArePrivateAndTheHostIsUntouched) {
  TARN_REQUIRE_ROOT();
  const char* host_paths[] = {"/etc/tarnproxy.conf", "/etc/quillon-inventory", "/opt/vextal",
                              "/run/tarnproxy-state", "/dev/shm/metrics"};
  std::map<std::string, bool> before;
  for (const char* p : host_paths) before[p] = host_exists(p);
  {
    tarn_test::sandbox sb;
    // Every test starts without the daemon's own files, whatever the host has,
    // and with the rest of the host's /etc below, which sudo needs.
    EXPECT_EQ(0, sb.run("test ! -e /etc/tarnproxy.conf && test ! -e /etc/quillon-inventory"));
    EXPECT_EQ(0, sb.run("test -s /etc/passwd && test -s /etc/sudoers"));
    EXPECT_EQ(0,
              sb.run("test -x /opt/vextal/tarnproxy/open-cache-vdi.sh &&"
                     " test -x /opt/vextal/tarnproxy/close-cache-vdi.sh &&"
                     " test -d /opt/vextal/tarnproxy/socket && test -d /var/run/tarnproxy-state &&"
                     " test -d /dev/shm/metrics"));
    std::string out;
    EXPECT_EQ(0, sb.run("sudo -n id -u", &out));
    EXPECT_EQ(out, "0\n");

    ASSERT_EQ(0, sb.run("echo conf > /etc/tarnproxy.conf && echo state > /var/run/tarnproxy-state/s"
                        " && echo metrics > /dev/shm/metrics/tarnproxy"
                        " && echo sock > /opt/vextal/tarnproxy/socket/probe"));
    const std::string& t = sb.dir();
    EXPECT_EQ(slurp(t + "/etc-upper/tarnproxy.conf"), "conf\n");
    EXPECT_EQ(slurp(t + "/state/s"), "state\n");
    EXPECT_EQ(slurp(t + "/shm/metrics/tarnproxy"), "metrics\n");
    EXPECT_EQ(slurp(t + "/vextal/tarnproxy/socket/probe"), "sock\n");
    // /var/run is an absolute link to /run: path() must follow it inside.
    std::string state;
    EXPECT_TRUE(sb.read_file("/var/run/tarnproxy-state/s", &state));
    EXPECT_EQ(state, "state\n");

    ASSERT_TRUE(sb.write_file("/etc/quillon-inventory", "from the test\n", 0600));
    EXPECT_EQ(0, sb.run("cat /etc/quillon-inventory && stat -c %a /etc/quillon-inventory", &out));
    EXPECT_EQ(out, "from the test\n600\n");
    EXPECT_FALSE(sb.read_file("/etc/no-such-file", &out));

    for (const char* p : host_paths)
      EXPECT_EQ(host_exists(p), before[p]) << p << " during the test";
  }
  for (const char* p : host_paths) EXPECT_EQ(host_exists(p), before[p]) << p << " afterwards";
}

TEST(Sandbox, CacheScriptsMountTheChosenFileSystemAndRelease) {
  TARN_REQUIRE_ROOT();
  tarn_test::sandbox sb;
  const std::string dir = kCaches + kVdi;
  ASSERT_TRUE(sb.set_cache_fs(kVdi, "996147200", 12345));

  std::string out;
  ASSERT_EQ(0, sb.run(kOpen + kVdi, &out)) << out;
  EXPECT_EQ(out, dir + "\n");
  fs_figures f = figures(sb.path(dir));
  ASSERT_TRUE(f.ok);
  EXPECT_TRUE(f.tmpfs);
  EXPECT_EQ(f.bytes, 996147200u);
  EXPECT_EQ(f.inodes, 12345u);
  EXPECT_EQ(f.mode, 0700u);

  // Opening again changes nothing: same answer, same file system, one mount.
  ASSERT_EQ(0, sb.run("echo kept > " + dir + "/f"));
  ASSERT_EQ(0, sb.run(kOpen + kVdi, &out)) << out;
  EXPECT_EQ(out, dir + "\n");
  EXPECT_EQ(0, sb.run("cat " + dir + "/f && findmnt -rn -o TARGET " + dir + " | wc -l", &out));
  EXPECT_EQ(out, "kept\n1\n");

  // Without a per-VDI file the defaults of cache-vdi.conf apply.
  ASSERT_EQ(0, sb.run(kOpen + kOtherVdi, &out)) << out;
  f = figures(sb.path(kCaches + kOtherVdi));
  EXPECT_EQ(f.bytes, 1073741824u);
  EXPECT_EQ(f.inodes, 65536u);

  // Only a UUID may become a directory name; nothing is created otherwise.
  for (std::string bad : {std::string(), std::string("not-a-uuid"), std::string("../../etc"),
                          kVdi + "/../x", kVdi.substr(1), kVdi + " " + kVdi}) {
    EXPECT_NE(0, sb.run(kOpen + "'" + bad + "'", &out)) << bad;
    EXPECT_NE(out.find("not a VDI UUID"), std::string::npos) << bad << ": " << out;
  }
  EXPECT_NE(0, sb.run(kOpen, &out));
  EXPECT_NE(out.find("usage"), std::string::npos) << out;
  // A size must not smuggle other mount options in.
  const std::string third = "00000000-0000-0000-0000-000000000003";
  ASSERT_TRUE(sb.set_cache_fs(third, "1G,uid=1000", 100));
  EXPECT_NE(0, sb.run(kOpen + third, &out));
  EXPECT_NE(out.find("bad SIZE"), std::string::npos) << out;
  EXPECT_EQ(0, sb.run("ls /opt/vextal/tarnproxy/caches", &out));
  EXPECT_EQ(out, kVdi + "\n" + kOtherVdi + "\n");

  // A busy cache cannot be closed, and close says so.
  sb.start({}, "/bin/sh", {"-c", "cd " + dir + " && echo inside && exec sleep 30"});
  ASSERT_TRUE(sb.wait_for_output("inside", 5s)) << sb.err();
  EXPECT_NE(0, sb.run(kClose + kVdi, &out));
  EXPECT_NE(out.find("cannot unmount"), std::string::npos) << out;
  sb.kill_process();

  EXPECT_EQ(0, sb.run(kClose + kVdi, &out)) << out;
  EXPECT_EQ(out, "");
  EXPECT_NE(0, sb.run("mountpoint -q " + dir));
  EXPECT_EQ(0, sb.run(kClose + kVdi, &out)) << "closing twice: " << out;
  EXPECT_EQ(0, sb.run(kClose + "00000000-0000-0000-0000-000000000004", &out))
      << "closing what was never open: " << out;
  EXPECT_NE(0, sb.run(kClose + "../../etc", &out));
}

TEST(Sandbox, StartedProcessIsCapturedSignalledAndReaped) {
  TARN_REQUIRE_ROOT();
  ::setenv("TARN_SANDBOX_TEST_LEAK", "1", 1);
  tarn_test::sandbox sb;
  EXPECT_EQ(sb.pid(), -1);
  EXPECT_FALSE(sb.running());
  sb.start({"GREETING=hello", "GREETING=world"}, "/bin/sh",
           {"-c",
            "echo \"pid=$$ greeting=$GREETING leak=${TARN_SANDBOX_TEST_LEAK-unset}"
            " inside=$(test -d /opt/vextal/tarnproxy/socket && echo yes) cwd=$(pwd)\";"
            " echo to-stderr >&2;"
            " trap 'echo got-term; exit 7' TERM;"
            " while :; do sleep 0.05; done"});
  ::unsetenv("TARN_SANDBOX_TEST_LEAK");
  ASSERT_TRUE(sb.wait_for_output("to-stderr", 5s)) << sb.err();
  // The pid is the command's own, the environment only what the test gave.
  // A core dump would land in T.
  EXPECT_EQ(sb.out(), "pid=" + std::to_string(sb.pid()) +
                          " greeting=world leak=unset inside=yes cwd=" + sb.dir() + "\n");
  EXPECT_EQ(sb.err(), "to-stderr\n");
  EXPECT_TRUE(sb.running());
  EXPECT_FALSE(sb.wait_exit(100ms).has_value());

  EXPECT_TRUE(sb.send_signal(SIGTERM));
  auto e = sb.wait_exit(5s);
  ASSERT_TRUE(e.has_value());
  EXPECT_TRUE(e->exited);
  EXPECT_EQ(e->code, 7);
  EXPECT_FALSE(e->signaled);
  EXPECT_NE(sb.out().find("got-term"), std::string::npos);
  EXPECT_FALSE(sb.running());
  EXPECT_FALSE(sb.send_signal(SIGTERM));
  EXPECT_EQ(sb.wait_exit(0ms)->code, 7);

  // A second run has output of its own and reports death by a signal.
  sb.start({}, "/bin/sh", {"-c", "echo second >&2; kill -USR1 $$; sleep 5"});
  e = sb.wait_exit(5s);
  ASSERT_TRUE(e.has_value());
  EXPECT_FALSE(e->exited);
  EXPECT_TRUE(e->signaled);
  EXPECT_EQ(e->signal, SIGUSR1);
  EXPECT_EQ(sb.out(), "");
  EXPECT_EQ(sb.err(), "second\n");

  // Waiting for output that an exited process never wrote ends at once.
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(sb.wait_for_output("never written", 20s));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);

  EXPECT_NONFATAL_FAILURE(sb.start({}, "/no/such/binary"), "cannot run /no/such/binary");
  EXPECT_FALSE(sb.running());
}

TEST(Sandbox, NamespaceOutlivesItsProcesses) {
  TARN_REQUIRE_ROOT();
  tarn_test::sandbox sb;
  const std::string dir = kCaches + kVdi;
  sb.start({}, "/bin/sh", {"-c", kOpen + kVdi + " && echo data > " + dir + "/file"});
  auto e = sb.wait_exit(10s);
  ASSERT_TRUE(e.has_value());
  ASSERT_TRUE(e->exited && e->code == 0) << *e << "\n" << sb.err();

  std::string out;
  EXPECT_EQ(0, sb.run("mountpoint -q " + dir + " && cat " + dir + "/file", &out));
  EXPECT_EQ(out, "data\n");
  // A restarted daemon finds the cache where it left it.
  sb.start({}, "/bin/cat", {dir + "/file"});
  e = sb.wait_exit(5s);
  ASSERT_TRUE(e.has_value());
  EXPECT_TRUE(e->exited && e->code == 0) << *e << "\n" << sb.err();
  EXPECT_EQ(sb.out(), "data\n");
}

TEST(Sandbox, TwoSandboxesDoNotSeeEachOther) {
  TARN_REQUIRE_ROOT();
  tarn_test::sandbox a;
  tarn_test::sandbox b;
  EXPECT_NE(a.dir(), b.dir());
  for (auto* sb : {&a, &b}) {
    std::string name = sb == &a ? "a" : "b";
    ASSERT_EQ(0, sb->run(kOpen + kVdi + " >/dev/null"));
    ASSERT_EQ(0, sb->run("for f in /etc/tarnproxy.conf /opt/vextal/tarnproxy/socket/who"
                         " /run/tarnproxy-state/who /dev/shm/metrics/tarnproxy " +
                         kCaches + kVdi + "/who; do echo " + name + " > $f; done"));
  }
  for (auto* sb : {&a, &b}) {
    std::string name = sb == &a ? "a\n" : "b\n";
    for (const char* f : {"/etc/tarnproxy.conf", "/opt/vextal/tarnproxy/socket/who",
                          "/run/tarnproxy-state/who", "/dev/shm/metrics/tarnproxy"}) {
      std::string got;
      EXPECT_TRUE(sb->read_file(f, &got)) << f;
      EXPECT_EQ(got, name) << f;
    }
    std::string got;
    EXPECT_TRUE(sb->read_file(kCaches + kVdi + "/who", &got));
    EXPECT_EQ(got, name);
  }
}

TEST(Sandbox, TeardownKillsWhatIsLeftAndRemovesTheDirectory) {
  TARN_REQUIRE_ROOT();
  std::string dir, ns, out;
  pid_t holder = -1, started = -1, stray = -1;
  // Held open so that the namespace's inode number cannot be handed to a new
  // namespace (another test's) while we look for processes left in it.
  unique_fd pin;
  {
    tarn_test::sandbox sb;
    dir = sb.dir();
    holder = sb.holder();
    ns = mount_ns_of(holder);
    pin.reset(
        ::open(("/proc/" + std::to_string(holder) + "/ns/mnt").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(pin.valid());
    ASSERT_FALSE(ns.empty());
    ASSERT_NE(ns, mount_ns_of(::getpid()));
    ASSERT_EQ(0, sb.run(kOpen + kVdi + " >/dev/null"));
    // A background child of a finished command, never reaped, that keeps forking.
    ASSERT_EQ(0, sb.run("while :; do sleep 60 & sleep .05; done >/dev/null 2>&1 & echo $!", &out));
    stray = std::atoi(out.c_str());
    sb.start({}, "/bin/sleep", {"60"});
    started = sb.pid();
    ASSERT_TRUE(sb.running());
  }
  EXPECT_FALSE(host_exists(dir));
  EXPECT_TRUE(process_gone(holder));
  EXPECT_TRUE(process_gone(started));
  EXPECT_TRUE(process_gone(stray));
  // No process is left in the namespace; once the pin goes, so does the
  // namespace with every mount made in it.
  EXPECT_FALSE(any_process_in(ns));
  pin.reset();
  EXPECT_EQ(slurp("/proc/self/mountinfo").find(dir), std::string::npos);
}

// A test process that dies without its destructors (killed by a timeout,
// say) leaves neither the holder nor T behind for long.
TEST(Sandbox, OwnerDeathTearsTheSandboxDown) {
  TARN_REQUIRE_ROOT();
  int report[2];
  ASSERT_EQ(0, ::pipe(report));
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(report[0]);
    auto* sb = new tarn_test::sandbox;  // never destroyed
    std::string line = sb->dir() + " " + std::to_string(sb->holder()) + "\n";
    ssize_t n = ::write(report[1], line.data(), line.size());
    ::_exit(n == static_cast<ssize_t>(line.size()) ? 0 : 1);
  }
  ::close(report[1]);
  std::string line;
  char buf[512];
  ssize_t n;
  while ((n = ::read(report[0], buf, sizeof buf)) > 0) line.append(buf, static_cast<size_t>(n));
  ::close(report[0]);
  int status;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << line;
  std::string dir = line.substr(0, line.find(' '));
  pid_t holder = std::atoi(line.c_str() + line.find(' ') + 1);
  ASSERT_GT(holder, 0) << line;

  auto deadline = std::chrono::steady_clock::now() + 10s;
  while ((host_exists(dir) || !process_gone(holder)) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(host_exists(dir));
  EXPECT_TRUE(process_gone(holder));
}

TEST(SandboxScript, RunAndExecKeepTheCommandsStatusAndPid) {
  TARN_REQUIRE_ROOT();
  std::string out;
  int rc = host_sh(kScript +
                       " run -- sh -c \"echo \\$TARN_SANDBOX;"
                       " test -d /opt/vextal/tarnproxy/socket && exit 3\"",
                   &out);
  EXPECT_EQ(rc, 3) << out;
  ASSERT_FALSE(out.empty());
  std::string t = out.substr(0, out.find('\n'));
  EXPECT_EQ(t.rfind("/", 0), 0u) << t;
  EXPECT_FALSE(host_exists(t)) << t << " outlived run";

  tarn_test::sandbox sb;
  EXPECT_EQ(0, host_sh("echo $$; exec " + kScript + " exec " + sb.dir() +
                           " -- sh -c \"echo \\$\\$; test -d /opt/vextal/tarnproxy\"",
                       &out));
  size_t nl = out.find('\n');
  ASSERT_NE(nl, std::string::npos) << out;
  EXPECT_EQ(out.substr(0, nl + 1), out.substr(nl + 1)) << "exec must keep the pid";
}

// A host that has its own configuration must not leak it into tests. The
// "host" here is a private namespace whose /etc has the two files.
TEST(SandboxScript, HostConfigurationIsHidden) {
  TARN_REQUIRE_ROOT();
  std::string out;
  int rc = host_sh(
      R"(unshare -m sh -c '
    d=$(mktemp -d) && mkdir $d/u $d/w || exit 99
    echo host > $d/u/tarnproxy.conf && echo host > $d/u/quillon-inventory &&
    mount -t overlay o -o lowerdir=/etc,upperdir=$d/u,workdir=$d/w /etc &&
    cat /etc/tarnproxy.conf &&
    )" + kScript +
          R"( run -- sh -c "test ! -e /etc/tarnproxy.conf && test ! -e /etc/quillon-inventory && echo hidden"
    rc=$?
    umount /etc; rm -rf $d
    exit $rc')",
      &out);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_EQ(out, "host\nhidden\n");
}

// The guard against mounting over the host's paths, tried where a failure
// would only cover a throwaway namespace.
TEST(SandboxScript, EnterRefusesTheNamespaceItWasToLeave) {
  TARN_REQUIRE_ROOT();
  std::string out;
  EXPECT_EQ(0, host_sh("env -u TARN_SANDBOX_OUTER_NS unshare -m sh -c \"" + kScript +
                           " enter 2>&1; echo rc=\\$?;"
                           " TARN_SANDBOX_OUTER_NS=\\$(readlink /proc/self/ns/mnt) " +
                           kScript + " enter 2>&1; echo rc=\\$?; findmnt -n /opt/vextal || true\"",
                       &out));
  EXPECT_EQ(out.find("rc=0"), std::string::npos) << out;
  EXPECT_NE(out.find("refusing to mount over the host's paths"), std::string::npos) << out;
  EXPECT_EQ(out.find("/opt/vextal"), std::string::npos) << "mounted after all:\n" << out;
}

// In-process use: the test process itself moves into a sandbox and runs the
// cache scripts at their fixed paths. Done in a child, since it cannot be
// undone; the child reports through its exit status and stderr.
[[noreturn]] void enter_self_and_open_a_cache() {
  std::string t = tarn_test::sandbox_enter_self();
  bool ok = !t.empty() && tarn_test::sandbox_enter_self() == t &&
            tarn_test::sandbox_set_cache_fs(t, kVdi, "64m", 777);
  ok = ok && std::system((kOpen + kVdi + " >/dev/null").c_str()) == 0;
  fs_figures f = figures(kCaches + kVdi);
  ok = ok && f.tmpfs && f.bytes == 64u << 20 && f.inodes == 777;
  ok = ok && host_exists(t + "/vextal/tarnproxy/open-cache-vdi.sh");
  std::fprintf(stderr, "t=%s tmpfs=%d bytes=%llu inodes=%llu ok=%d\n", t.c_str(), f.tmpfs, f.bytes,
               f.inodes, ok);
  std::exit(ok ? 0 : 1);
}

TEST(SandboxEnterSelf, ProvidesTheFixedPathsToThisProcess) {
  TARN_REQUIRE_ROOT();
  bool had_vextal = host_exists("/opt/vextal");
  std::string parent = std::filesystem::temp_directory_path() / "tarn-enter-self-XXXXXX";
  ASSERT_NE(::mkdtemp(parent.data()), nullptr);
  const char* tmpdir = std::getenv("TMPDIR");
  std::string old_tmpdir = tmpdir ? tmpdir : "";
  // T is made below TMPDIR: an empty `parent` afterwards shows T was removed.
  ::setenv("TMPDIR", parent.c_str(), 1);
  EXPECT_EXIT(enter_self_and_open_a_cache(), ::testing::ExitedWithCode(0), "ok=1");
  if (tmpdir)
    ::setenv("TMPDIR", old_tmpdir.c_str(), 1);
  else
    ::unsetenv("TMPDIR");
  EXPECT_EQ(host_exists("/opt/vextal"), had_vextal);
  std::error_code ec;
  EXPECT_TRUE(std::filesystem::is_empty(parent, ec)) << "T left behind in " << parent;
  std::filesystem::remove_all(parent, ec);
}

}  // namespace
