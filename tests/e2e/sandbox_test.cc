// The scripts the black-box tests and the README stand on. The sandbox the
// tests run the daemon in, only where a fault of it would hide one of the
// daemon: the fixed paths are private, so a host's own configuration cannot
// leak in and the daemon's files are the ones read. And the README's first
// command, shortened: scripts/demo --quick with the binaries of this build,
// which must report the storm served from the cache with every byte
// verified, and leave its chart behind.
#include "support/sandbox.h"

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "support/lab.h"
#include "support/metrics_files.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tarn_test::exists;
using tarn_test::read_text;

TEST(Sandbox, FixedPathsArePrivate) {
  TARN_REQUIRE_ROOT();
  const std::string vdi = "0123abcd-0000-1111-2222-333344445555";
  const std::string cache = "/opt/vextal/tarnproxy/caches/" + vdi;
  const char* host_paths[] = {"/etc/tarnproxy.conf", "/etc/quillon-inventory", "/opt/vextal",
                              "/run/tarnproxy-state", "/dev/shm/metrics"};
  bool before[std::size(host_paths)];
  for (size_t i = 0; i < std::size(host_paths); i++) before[i] = exists(host_paths[i]);
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
      for (const std::string& f :
           {sb->dir() + "/etc-upper/tarnproxy.conf", sb->dir() + "/state/who",
            sb->dir() + "/shm/metrics/tarnproxy", sb->path(cache + "/who")})
        EXPECT_EQ(read_text(f), name) << f;
    }
    for (size_t i = 0; i < std::size(host_paths); i++)
      EXPECT_EQ(exists(host_paths[i]), before[i]) << host_paths[i] << " during";
  }
  for (size_t i = 0; i < std::size(host_paths); i++)
    EXPECT_EQ(exists(host_paths[i]), before[i]) << host_paths[i] << " afterwards";

  // A host that has its own configuration must not leak it into tests. The
  // "host" here is a private namespace whose /etc has the two files.
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

TEST(Demo, QuickRunShowsTheStormServedFromTheCache) {
  TARN_REQUIRE_ROOT();
  std::string tmp = "/tmp/tarn-demo-test.XXXXXX";
  ASSERT_NE(mkdtemp(tmp.data()), nullptr);
  const std::string build = fs::path(TARN_DAEMON_PATH).parent_path();
  tarn_test::process demo(
      {TARN_SOURCE_DIR "/scripts/demo", "--quick", "--build-dir", build, "--out", tmp + "/out"},
      tmp + "/demo");
  auto code = demo.wait(150s);
  if (!code) {
    // SIGTERM lets the script take its lab and sandbox down.
    demo.signal(SIGTERM);
    code = demo.wait(30s);
  }
  ASSERT_TRUE(code.has_value()) << "the demo did not end:\n" << demo.out() << demo.err();
  EXPECT_EQ(*code, 0) << demo.out() << demo.err();
  EXPECT_NE(demo.out().find("RESULT: PASS"), std::string::npos) << demo.out();
  EXPECT_TRUE(fs::exists(tmp + "/out/server-traffic.png"));
  EXPECT_GT(fs::file_size(tmp + "/out/summary.txt"), 0u);
  std::error_code ec;
  fs::remove_all(tmp, ec);
}

}  // namespace
