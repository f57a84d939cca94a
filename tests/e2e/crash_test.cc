// Crashes around the production daemon in the lab: the daemon killed with
// SIGKILL at random moments while VMs boot and configuration requests are in
// flight, a streaming server that vanishes mid-boot, and a restart in the
// middle of a login. (Which caches a restart may take over after a crash or a
// power loss, the cache's own tests decide.) The VM simulators verify every byte
// they read; they retry across the outages and log in again when their reads
// go unanswered, as boot loaders do.
//
// The kill loop runs a few rounds by default and 50 with TARN_SOAK=1;
// TARN_CRASH_SEED repeats a run with the seed it printed.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "support/lab_daemon.h"
#include "support/metrics_files.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tarn_test::json_value;
using tarn_test::lab_daemon;
using tarn_test::report_int;

// Clients 1-4 belong to the lab's site, client 5 to the second site (with a
// cache VDI of its own), added and removed on the way.
constexpr int VMS = 5, SITE2_CLIENT = 5, PREPOP_CLIENT = 4;
// A VM resends an unanswered read every 200 ms, logs in again after ten
// resends and gives up on a login step only after 1000.
const std::vector<std::string> PATIENT = {"--timeout-ms",    "200", "--retries",     "1000",
                                          "--relogin-after", "10",  "--deadline-ms", "600000"};

std::string call(lab_daemon& s, const std::string& text) {
  return tarn_test::control_call(s.socket_path(), text, 30s).value_or("");
}

json_value metrics(lab_daemon& s) {
  return tarn_test::control_result(s.socket_path(), "metrics");
}
int64_t hits(const json_value& m) {
  return tarn_test::json_path_int(m.get(), {"server_metrics", "cache_hit_reads"});
}

// What the daemon holds: site uuids, the clients there are (by index) and
// those linked with a vDisk (logged in through the daemon).
struct holding {
  bool answered = false;
  std::set<std::string> sites;
  std::set<int> clients, linked;
};

holding context_state(lab_daemon& s) {
  holding h;
  json_value state = tarn_test::control_result(s.socket_path(), "context-state", 10s);
  json_object *sites = nullptr, *clients = nullptr;
  h.answered = json_object_object_get_ex(state.get(), "sites", &sites) &&
               json_object_object_get_ex(state.get(), "clients", &clients);
  auto member = [](json_object* list, size_t i, const char* name) {
    json_object* v = json_object_object_get(json_object_array_get_idx(list, i), name);
    return std::string(v ? json_object_get_string(v) : "");
  };
  for (size_t i = 0; h.answered && i < json_object_array_length(sites); i++)
    h.sites.insert(member(sites, i, "site_uuid"));
  for (size_t i = 0; h.answered && i < json_object_array_length(clients); i++)
    for (int c = 1; c <= VMS; c++) {
      if (lab_daemon::client_uuid(c) != member(clients, i, "uuid")) continue;
      h.clients.insert(c);
      if (!member(clients, i, "vdisk_key").empty()) h.linked.insert(c);
    }
  return h;
}

// A site's configuration as last seen accepted: its clients, or nothing when removed.
using site_model = std::optional<std::set<int>>;

bool holds(const holding& h, const char* site, const site_model& m, const std::set<int>& mine) {
  if (h.sites.count(site) != (m ? 1u : 0u)) return false;
  std::set<int> running;
  for (int c : mine)
    if (h.clients.count(c)) running.insert(c);
  return running == (m ? *m : std::set<int>{});
}

// Daemon logs show no broken invariant, failed precondition or sanitizer
// report, also in a run that ended by SIGKILL.
void expect_clean_log(const std::string& log, int round) {
  for (const char* bad : {"CRITICAL **", "ERROR **", "Sanitizer:", "runtime error:"})
    EXPECT_EQ(log.find(bad), std::string::npos)
        << "round " << round << ": " << bad << "\n"
        << log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
}

struct boot_tally {
  int boots = 0;
  int64_t bytes = 0, relogins = 0;
};

// Collects a finished VM's report: every read arrived and matched.
void tally(tarn_test::process& vm, boot_tally* t, std::chrono::milliseconds limit) {
  json_value r = tarn_test::vm_report(vm, limit);
  ASSERT_TRUE(r);
  EXPECT_EQ(report_int(r.get(), "bad_bytes"), 0) << vm.out() << vm.err();
  EXPECT_EQ(report_int(r.get(), "errors"), 0) << vm.out() << vm.err();
  EXPECT_EQ(report_int(r.get(), "reads"), report_int(r.get(), "trace_reads")) << vm.out();
  t->boots++;
  t->bytes += report_int(r.get(), "bytes");
  t->relogins += report_int(r.get(), "relogins");
}

TEST(CrashLoop, KilledDaemonRestoresSitesAndVmsBootWithoutAWrongByte) {
  TARN_REQUIRE_ROOT();
  const int rounds = tarn_test::soak_or(6, 50);
  const char* seed_text = getenv("TARN_CRASH_SEED");
  const uint64_t seed = seed_text ? std::strtoull(seed_text, nullptr, 10) : std::random_device{}();
  printf("seed %llu (TARN_CRASH_SEED repeats it), %d rounds\n",
         static_cast<unsigned long long>(seed), rounds);
  std::mt19937_64 rng(seed);

  tarn_test::lab_daemon_options options;
  options.clients = VMS;
  options.image_bytes = 64 << 20;  // the cache still fills while the kills land
  // Prepopulation runs whenever the prepopulating VM's heartbeats ask for it.
  options.config = "listenerThreads=2\nprepopIoThreads=2\nprepopHoldOffInS=0\n";
  lab_daemon s(options);
  ASSERT_TRUE(s.lab().route_through_proxy_port(PREPOP_CLIENT));
  const std::set<int> site1_all = {1, 2, 3, 4}, site2_all = {SITE2_CLIENT};
  auto request = [&](bool second, const std::set<int>& clients) {
    return s.site_request_for(clients, {PREPOP_CLIENT}, second);
  };
  site_model model1 = site1_all, model2 = site2_all;
  auto configure_both = [&] {
    return tarn_test::answered_ok(call(s, request(false, site1_all))) &&
           tarn_test::answered_ok(call(s, request(true, site2_all)));
  };
  ASSERT_TRUE(configure_both());

  std::map<int, std::unique_ptr<tarn_test::process>> vms;
  boot_tally done;
  auto boot = [&](int i) {
    std::vector<std::string> args = PATIENT;
    // Boots long enough to span a kill or two.
    args.insert(args.end(), {"--trace-reads", std::to_string(2000 + rng() % 4000), "--trace-seed",
                             std::to_string(rng() % 8)});
    if (i == 3) args.push_back("--uefi");
    vms[i] = s.boot(i, args);
  };
  // The second site's client opens the vDisk that the first site's clients
  // opened before it; its site still caches it, in its own cache.
  for (int i = 1; i < SITE2_CLIENT; i++) boot(i);
  ASSERT_TRUE(tarn_test::eventually([&] { return context_state(s).linked.count(1) > 0; }, 10s))
      << s.sandbox().err();
  auto site2_first = s.boot(SITE2_CLIENT, {"--trace-reads", "300"});
  tally(*site2_first, &done, 120s);
  EXPECT_GT(s.check_cache(lab_daemon::VDI2).first, 0u);
  boot(SITE2_CLIENT);

  int mid_boot = 0;
  for (int round = 0; round < rounds; round++) {
    // Requests until the kill: the lab's site with one client dropped now
    // and then, the second site added and removed.
    std::atomic<bool> killed{false};
    site_model sent1, sent2;  // the request in flight when it was cut off
    std::mt19937_64 request_rng(rng());
    std::thread requests([&] {
      for (int n = 0; n < 200 && !killed; n++) {
        const auto pick = request_rng() % 8;
        const bool second = pick >= 5;
        site_model want = second ? site2_all : site1_all;
        if (pick < 2) want->erase(1 + static_cast<int>(request_rng() % 4));
        if (pick == 7) want.reset();
        const std::string response = call(
            s, want ? request(second, *want) : tarn_test::remove_site_request(lab_daemon::SITE2));
        if (tarn_test::answered_ok(response)) {
          (second ? model2 : model1) = want;
        } else if (response.find(R"("error")") != std::string::npos) {
          ADD_FAILURE() << "refused: " << response;
        } else {
          // Cut off: it may or may not have been applied and saved; {-1}
          // stands for a removal.
          (second ? sent2 : sent1) = want ? want : std::set<int>{-1};
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(request_rng() % 150));
      }
    });
    // Booted VMs are checked and replaced at once, so that VMs boot at every kill.
    const auto kill_at =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(100 + rng() % 1400);
    while (std::chrono::steady_clock::now() < kill_at) {
      for (auto& [i, vm] : vms) {
        if (!vm->wait(0ms)) continue;
        tally(*vm, &done, 1s);
        boot(i);
      }
      std::this_thread::sleep_for(20ms);
    }
    killed = true;
    for (auto& [i, vm] : vms) mid_boot += vm->wait(0ms) ? 0 : 1;
    s.sandbox().kill_process();
    requests.join();
    expect_clean_log(s.sandbox().err(), round);

    // Now and then the restart is killed too, while it restores the sites.
    if (rng() % 4 == 0) {
      s.sandbox().start();
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 300));
      s.sandbox().kill_process();
      expect_clean_log(s.sandbox().err(), round);
    }
    // What a kill can leave among the metrics files: a temporary, and the
    // status file of a client that does not come back.
    const std::string metrics = s.sandbox().dir() + "/shm/metrics/";
    const std::string stale[] = {
        metrics + ".tarnproxy-" + lab_daemon::client_uuid(9) + ".prom.Ab12Cd",
        metrics + "tarnproxy-" + lab_daemon::client_uuid(9) + ".prom"};
    for (const auto& f : stale) std::ofstream(f) << "tarncache_status 1\n";
    ASSERT_TRUE(s.start_daemon()) << s.sandbox().err();
    const holding h = context_state(s);
    ASSERT_TRUE(h.answered) << s.sandbox().err();
    // A request cut off by the kill counts when the daemon came back with it.
    auto settle = [&](const char* site, site_model& model, const site_model& sent,
                      const std::set<int>& mine) {
      if (!sent) return;
      const site_model maybe = *sent == std::set<int>{-1} ? site_model{} : sent;
      if (!holds(h, site, model, mine) && holds(h, site, maybe, mine)) model = maybe;
    };
    settle(lab_daemon::SITE, model1, sent1, site1_all);
    settle(lab_daemon::SITE2, model2, sent2, site2_all);
    EXPECT_TRUE(holds(h, lab_daemon::SITE, model1, site1_all)) << "round " << round;
    EXPECT_TRUE(holds(h, lab_daemon::SITE2, model2, site2_all)) << "round " << round;
    // Status files are published for the clients there are, and only for
    // them, whatever the killed run left behind.
    for (const auto& f : stale) EXPECT_FALSE(fs::exists(f)) << f;
    std::set<int> published;
    std::error_code ec;
    for (const auto& f : fs::directory_iterator(metrics, ec))
      for (int c = 1; c <= VMS; c++)
        if (f.path().filename() == "tarnproxy-" + lab_daemon::client_uuid(c)) published.insert(c);
    EXPECT_EQ(published, h.clients) << "round " << round;
    if (::testing::Test::HasFailure()) break;
  }

  // Everything configured again; every VM still booting must now complete.
  ASSERT_TRUE(configure_both());
  for (auto& [i, vm] : vms) tally(*vm, &done, 300s);
  printf("%d kills (VMs booting at them: %d); %d boots, %lld bytes verified\n", rounds, mid_boot,
         done.boots, static_cast<long long>(done.bytes));
  EXPECT_GT(done.boots, VMS);
  for (const char* vdi : {lab_daemon::VDI, lab_daemon::VDI2}) {
    const auto [checked, wrong] = s.check_cache(vdi);
    EXPECT_GT(checked, 0u) << vdi;
    EXPECT_EQ(wrong, 0u) << vdi;
  }
  // After all that, an orderly stop still works (and, in sanitizer builds,
  // finds nothing leaked).
  ASSERT_TRUE(s.sandbox().send_signal(SIGTERM));
  EXPECT_TRUE(s.sandbox().exited_cleanly(60s));
  expect_clean_log(s.sandbox().err(), rounds);
}

TEST(CrashLoop, ServerThatVanishesAndALoginCutByARestartLeaveVmsNeverWrong) {
  TARN_REQUIRE_ROOT();
  tarn_test::lab_daemon_options options;
  options.clients = 4;
  options.image_bytes = 64 << 20;  // cold boots long enough to be cut by the outage
  lab_daemon s(options);
  ASSERT_TRUE(s.configure()) << s.sandbox().err();
  const std::vector<std::string> warm_trace = {"--trace-reads", "600", "--trace-seed", "5"};

  // VM 1 boots cold and leaves its reads in the cache.
  boot_tally t, first;
  tally(*s.boot(1, warm_trace), &first, 120s);

  // VM 2 logs in and waits with the same trace; VMs 3 and 4 boot cold.
  std::vector<std::string> hold = warm_trace;
  hold.insert(hold.end(), {"--hold", "--heartbeat-ms", "200", "--linger-ms", "1000"});
  auto warm = s.boot(2, hold);
  std::vector<std::unique_ptr<tarn_test::process>> cold_vms;
  for (int i : {3, 4}) {
    std::vector<std::string> args = PATIENT;
    args.insert(args.end(), {"--trace-reads", "20000", "--trace-seed", std::to_string(i)});
    if (i == 4) args.push_back("--uefi");
    cold_vms.push_back(s.boot(i, args));
  }
  ASSERT_TRUE(tarn_test::eventually(
      [&] {
        const std::set<int> linked = context_state(s).linked;
        return linked.count(2) && linked.count(3) && linked.count(4);
      },
      10s))
      << s.sandbox().err();
  std::this_thread::sleep_for(300ms);

  s.server().kill();
  for (auto& vm : cold_vms) ASSERT_FALSE(vm->wait(0ms)) << "booted before the server went";
  json_value before = metrics(s);

  // The logged-in VM reads everything from the cache; the heartbeats it
  // sends meanwhile go unanswered (the daemon forwards them, never answers).
  ASSERT_TRUE(warm->signal(SIGUSR1));
  json_value w = tarn_test::vm_report(*warm);
  ASSERT_TRUE(w);
  EXPECT_EQ(report_int(w.get(), "errors"), 0) << warm->err();
  EXPECT_EQ(report_int(w.get(), "reads"), 600);
  EXPECT_LT(report_int(w.get(), "heartbeat_replies"), report_int(w.get(), "heartbeats"));

  // A VM starting now finds no server to log in to: the daemon answers reads
  // of a session, never a login.
  auto late = s.boot(1, {"--retries", "5"});
  json_value l = tarn_test::vm_report(*late);
  ASSERT_TRUE(l);
  EXPECT_FALSE(json_object_get_boolean(json_object_object_get(l.get(), "login")));
  EXPECT_EQ(report_int(l.get(), "reads"), 0);

  // The cold VMs stall: nothing more arrives for them, and they do not end.
  std::this_thread::sleep_for(2s);
  for (auto& vm : cold_vms) EXPECT_FALSE(vm->wait(0ms)) << vm->out() << vm->err();
  EXPECT_TRUE(s.sandbox().running());
  EXPECT_GT(hits(metrics(s)), hits(before));

  // The server comes back without its sessions; the VMs log in again and complete.
  ASSERT_TRUE(s.start_server({}));
  for (auto& vm : cold_vms) tally(*vm, &t, 300s);
  EXPECT_GE(t.relogins, 2);
  const auto [checked, wrong] = s.check_cache();
  EXPECT_GT(checked, 0u);
  EXPECT_EQ(wrong, 0u);
  EXPECT_TRUE(s.sandbox().running());
  expect_clean_log(s.sandbox().err(), 0);

  // A restart in the middle of a login: VM 1 stops right after its login
  // reply; the daemon is killed and comes back without the session's
  // handles, then sees the rest of the login. The client is linked and its
  // re-reads come from the cache.
  std::vector<std::string> args = PATIENT;
  args.insert(args.end(), {"--hold-mid-login", "--trace-reads", "1000", "--trace-seed", "3"});
  ASSERT_TRUE(s.start_daemon()) << s.sandbox().err();
  auto vm = s.boot(1, args);
  ASSERT_TRUE(s.sandbox().wait_for_output("LS_LOGIN_REPLY_CODE", 10s)) << s.sandbox().err();
  s.sandbox().kill_process();
  ASSERT_TRUE(s.start_daemon()) << s.sandbox().err();
  ASSERT_TRUE(vm->signal(SIGUSR1));
  tally(*vm, &t, 120s);
  EXPECT_TRUE(context_state(s).linked.count(1)) << s.sandbox().err();
  EXPECT_GT(hits(metrics(s)), 0);
  expect_clean_log(s.sandbox().err(), 0);
}

}  // namespace
