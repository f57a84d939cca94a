// The README's first command, shortened: scripts/demo --quick with the
// binaries of this build. It brings up its own lab and sandbox, boots a cold
// VM and a small storm, and must report the storm served from the cache with
// every byte verified, and leave its chart behind.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "support/process.h"
#include "support/sandbox.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

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
