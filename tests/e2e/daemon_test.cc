// The production binary in its sandbox: start-up, fatal configuration and the
// orderly shutdown, observed as the host's service manager sees them.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;

const char* CONFIG = "/etc/tarnproxy.conf";

// Every line must appear, in this order, in `text`.
::testing::AssertionResult in_order(const std::string& text,
                                    const std::vector<std::string>& lines) {
  size_t at = 0;
  for (const auto& line : lines) {
    size_t found = text.find(line, at);
    if (found == std::string::npos) {
      return ::testing::AssertionFailure() << "missing or out of order: \"" << line << "\" in:\n"
                                           << text;
    }
    at = found + line.size();
  }
  return ::testing::AssertionSuccess();
}

// The signals a task of `pid` blocks, from its SigBlk line.
unsigned long long blocked_signals(pid_t pid, const std::string& tid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/task/" + tid + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigBlk:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
  }
  ADD_FAILURE() << "no SigBlk for task " << tid;
  return 0;
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
    const unsigned long long blocked = blocked_signals(pid, tid);
    if (tid == std::to_string(pid)) {
      EXPECT_EQ(blocked & exit_bits, 0u) << "main blocks the exit signals";
    } else {
      others++;
      EXPECT_EQ(blocked & exit_bits, exit_bits) << "task " << tid << " takes exit signals";
    }
  }
  EXPECT_GE(others, 3) << "the service threads are not running";
}

void expect_orderly_stop(int sig) {
  tarn_test::sandbox sb;
  // A host without an inventory is warned about; this one has one.
  sb.write_file("/etc/quillon-inventory",
                "INSTALLATION_UUID='6f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a00'\n");
  sb.start();
  ASSERT_TRUE(sb.wait_for_output("Config file /etc/tarnproxy.conf not found; using defaults.", 10s))
      << sb.err();
  ASSERT_TRUE(sb.wait_for_output("Cache Manager started", 10s)) << sb.err();
  ASSERT_TRUE(sb.wait_for_output("RRD thread started", 10s)) << sb.err();
  ASSERT_TRUE(sb.wait_for_output("Listening on", 10s)) << sb.err();
  expect_exit_signals_only_on_main(sb.pid());

  auto sent = std::chrono::steady_clock::now();
  sb.send_signal(sig);
  ASSERT_TRUE(sb.wait_for_output("Received exit signal - shutting down.", 5s)) << sb.err();
  auto noticed = std::chrono::steady_clock::now() - sent;
  // The main thread polls once a second; allow for a loaded machine.
  EXPECT_LT(noticed, 2500ms);

  // The RRD thread may finish one 5-second sleep first.
  auto exit = sb.wait_exit(15s);
  ASSERT_TRUE(exit.has_value()) << sb.err();
  EXPECT_TRUE(exit->exited) << sb.err();
  EXPECT_EQ(exit->code, 0);
  // The main thread's own steps, in order.
  EXPECT_TRUE(in_order(sb.err(), {
                                     "Config file /etc/tarnproxy.conf not found; using defaults.",
                                     "Received exit signal - shutting down.",
                                     "Joining unixsocket thread",
                                     "Joining RRD thread",
                                     "Joining Cache Manager thread",
                                     "Destroying contexts",
                                     "Destroying interface threads",
                                 }));
  // Each service thread ends after the shutdown began and before main goes on
  // past its join; exactly when within that span is the thread's business.
  const std::pair<const char*, const char*> joined[] = {
      {"Shutting down unixsocketThread", "Joining RRD thread"},
      {"RRD Thread stopped", "Joining Cache Manager thread"},
      {"Cache Manager stopped", "Destroying contexts"},
  };
  for (const auto& [line, next] : joined) {
    EXPECT_TRUE(in_order(sb.err(), {"Received exit signal - shutting down.", line, next}));
  }
  EXPECT_EQ(sb.err().find("CRITICAL"), std::string::npos) << sb.err();
  EXPECT_EQ(sb.err().find("WARNING"), std::string::npos) << sb.err();
}

TEST(Daemon, SigtermStopsInOrderWithStatusZero) {
  TARN_REQUIRE_ROOT();
  expect_orderly_stop(SIGTERM);
}

TEST(Daemon, SigintStopsLikeSigterm) {
  TARN_REQUIRE_ROOT();
  expect_orderly_stop(SIGINT);
}

TEST(Daemon, ConfigFileIsFoundAndOtherGroupsIgnored) {
  TARN_REQUIRE_ROOT();
  tarn_test::sandbox sb;
  sb.write_file(CONFIG, "[Other]\nlistenerFanout=bogus\n[Main]\narpProxy=true\n");
  sb.start();
  ASSERT_TRUE(sb.wait_for_output("Config file /etc/tarnproxy.conf found.", 10s)) << sb.err();
  ASSERT_TRUE(sb.wait_for_output("Cache Manager started", 10s)) << sb.err();
  sb.send_signal(SIGTERM);
  auto exit = sb.wait_exit(15s);
  ASSERT_TRUE(exit.has_value());
  EXPECT_TRUE(exit->exited && exit->code == 0) << sb.err();
}

// The daemon's own INFO lines go to stdout with G_MESSAGES_DEBUG=all only;
// MESSAGE lines always go to stderr.
TEST(Daemon, InfoLinesFollowGMessagesDebug) {
  TARN_REQUIRE_ROOT();
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  struct run {
    std::vector<std::string> env;
    bool info_expected;
  };
  const run runs[] = {
      {{}, false}, {{"G_MESSAGES_DEBUG=all"}, true}, {{"G_MESSAGES_DEBUG=GLib"}, false}};
  tarn_test::sandbox sb;
  sb.write_file(CONFIG, "[Main]\nlistenerThreads=0\nlistenerFanout=lb\n");
  for (const run& r : runs) {
    sb.start(r.env);
    ASSERT_TRUE(sb.wait_for_output("Cache Manager started", 10s)) << sb.err();
    sb.send_signal(SIGTERM);
    auto exit = sb.wait_exit(15s);
    ASSERT_TRUE(exit.has_value()) << sb.err();
    EXPECT_TRUE(exit->exited && exit->code == 0) << sb.err();
    const std::string info = "Configuration: listenerThreads=" + std::to_string(cpus) +
                             " prepopIoThreads=4 listenerFanout=1 packetMmap=1";
    EXPECT_EQ(sb.out().find(info) != std::string::npos, r.info_expected) << sb.out();
    EXPECT_EQ(sb.err().find("Configuration:"), std::string::npos);
    EXPECT_EQ(sb.out().find("Config file"), std::string::npos);
    EXPECT_NE(sb.err().find("Config file /etc/tarnproxy.conf found."), std::string::npos);
  }
}

TEST(Daemon, FatalConfigurationAbortsWithItsMessage) {
  TARN_REQUIRE_ROOT();
  const std::pair<const char*, const char*> cases[] = {
      {"listenerFanout=LB", "Unrecognised listenerFanout string 'LB'"},
      {"listenerFanout=rr", "Unrecognised listenerFanout string 'rr'"},
      {"cacheMonitorIntervalInS=abc", "Unable to interpret cacheMonitorIntervalInS: "},
      {"packetMmap=yes", "Unable to interpret packetMmap: "},
      {"listenerThreads=four", "Unable to interpret listenerThreads: "},
      {"workaroundMigrateFreeze=2", "Unable to interpret workaroundMigrateFreeze: "},
      {"cacheStartPurgeFreeSpace=5%", "Unable to interpret cacheStartPurgeFreeSpace: "},
      {"prepopIoThreads=-2", "Failed to create prepopulation IO thread pool"},
  };
  tarn_test::sandbox sb;
  for (const auto& [line, message] : cases) {
    sb.write_file(CONFIG, std::string("[Main]\n") + line + "\n");
    sb.start();
    auto exit = sb.wait_exit(10s);
    ASSERT_TRUE(exit.has_value()) << line;
    EXPECT_TRUE(exit->signaled && exit->signal == SIGABRT) << line << "\n" << sb.err();
    EXPECT_NE(sb.err().find(message), std::string::npos) << line << "\n" << sb.err();
    EXPECT_NE(sb.err().find("Config file /etc/tarnproxy.conf found."), std::string::npos);
    // Nothing started before the configuration was understood.
    EXPECT_EQ(sb.err().find("Cache Manager started"), std::string::npos) << line;
  }
}

}  // namespace
