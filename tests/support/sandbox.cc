#include "support/sandbox.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "core/unique_fd.h"

namespace tarn_test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* const kScript = TARN_SOURCE_DIR "/scripts/sandbox";
const char* const kPath = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
std::atomic<int> script_runs{0};

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// Runs scripts/sandbox on the host side with only PATH, TMPDIR and `extra`;
// stdout in *out, stderr in *err.
int run_script(const std::vector<std::string>& args, std::string* out, std::string* err,
               const std::vector<std::string>& extra = {}) {
  spawn_options o;
  o.env = {kPath};
  if (const char* tmp = std::getenv("TMPDIR")) o.env.push_back(std::string("TMPDIR=") + tmp);
  o.env.insert(o.env.end(), extra.begin(), extra.end());
  std::vector<std::string> argv = {kScript};
  argv.insert(argv.end(), args.begin(), args.end());
  const std::string stem = fs::temp_directory_path() / ("tarn-sandbox-" + std::to_string(getpid()) +
                                                        "-" + std::to_string(script_runs++));
  process p(argv, stem, o);
  const int rc = p.wait(60s).value_or(-1);
  *out = p.out();
  *err = p.err() + (rc < 0 ? "scripts/sandbox still running after 60 s; killed" : "");
  fs::remove(stem + ".out");
  fs::remove(stem + ".err");
  return rc;
}

// Writes aside and renames, so a reader sees the old file or the new one.
bool write_atomically(const std::string& file, const std::string& contents, mode_t mode) {
  std::error_code ec;
  fs::create_directories(fs::path(file).parent_path(), ec);
  const std::string tmp = file + ".tmp-" + std::to_string(::getpid());
  std::ofstream(tmp, std::ios::binary) << contents;
  if (!ec && ::chmod(tmp.c_str(), mode) == 0 && ::rename(tmp.c_str(), file.c_str()) == 0)
    return true;
  const std::string why = ec ? ec.message() : strerror(errno);
  ADD_FAILURE() << "cannot write " << file << ": " << why;
  ::unlink(tmp.c_str());
  return false;
}

// The environment of everything started inside: PATH, the sanitizer settings
// of the test run (so a sanitizer build of the daemon reports as the tests
// do; G_SLICE=always-malloc lets ThreadSanitizer see GLib's allocations),
// plus extra, a later NAME= replacing an earlier one.
std::vector<std::string> clean_env(const std::vector<std::string>& extra) {
  std::vector<std::string> env = {kPath};
  for (const char* name :
       {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS", "G_SLICE"}) {
    if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
  }
  for (const auto& e : extra) {
    std::string name = e.substr(0, e.find('='));
    std::erase_if(env, [&](const std::string& have) { return have.starts_with(name + "="); });
    env.push_back(e);
  }
  return env;
}

}  // namespace

sandbox::sandbox() {
  std::string out, err;
  // Should this process die without running the destructor (a test killed
  // by a timeout), the holder tears the sandbox down by itself.
  int rc = run_script({"up"}, &out, &err, {"TARN_SANDBOX_OWNER=" + std::to_string(::getpid())});
  if (rc != 0)
    throw std::runtime_error("scripts/sandbox up failed (" + std::to_string(rc) + "): " + err);
  dir_ = trim(out);
  holder_ = std::atoi(read_text(dir_ + "/holder.pid").c_str());
  if (holder_ <= 0) {
    run_script({"down", dir_}, &out, &err);
    throw std::runtime_error("scripts/sandbox up gave no holder pid in '" + dir_ + "'");
  }
}

sandbox::~sandbox() {
  kill_process();
  std::string out, err;
  if (int rc = run_script({"down", dir_}, &out, &err); rc != 0)
    ADD_FAILURE() << "scripts/sandbox down " << dir_ << " failed (" << rc << "): " << err;
}

std::string sandbox::path(const std::string& fixed) const {
  // /var/run is an absolute link to /run, which the kernel would resolve
  // against the host's root, not the sandbox's.
  const bool var_run = fixed.starts_with("/var/run/");
  return "/proc/" + std::to_string(holder_) + "/root" + (var_run ? fixed.substr(4) : fixed);
}

bool sandbox::write_file(const std::string& fixed, const std::string& contents, mode_t mode) {
  return write_atomically(path(fixed), contents, mode);
}

int sandbox::run(const std::string& shell_command, std::string* output,
                 std::chrono::milliseconds timeout) {
  unique_fd ns(
      ::open(("/proc/" + std::to_string(holder_) + "/ns/mnt").c_str(), O_RDONLY | O_CLOEXEC));
  process p({"/bin/sh", "-c", shell_command}, dir_ + "/run-" + std::to_string(++starts_),
            {clean_env({}), ns.get(), -1, dir_, true});
  const int rc = p.wait(timeout).value_or(-1);
  const std::string text = p.out();
  if (output)
    *output = text;
  else
    fputs(text.c_str(), stderr);
  if (rc < 0 || !ns) ADD_FAILURE() << "sandbox run '" << shell_command << "' failed: " << text;
  return rc;
}

bool sandbox::set_cache_fs(const std::string& vdi, const std::string& size, uint64_t inodes) {
  return sandbox_set_cache_fs(dir_, vdi, size, inodes);
}

void sandbox::start(const std::vector<std::string>& extra_env, const std::string& binary,
                    const std::vector<std::string>& args) {
  if (running()) {
    ADD_FAILURE() << "sandbox start: process " << pid() << " is still running";
    return;
  }
  unique_fd ns(
      ::open(("/proc/" + std::to_string(holder_) + "/ns/mnt").c_str(), O_RDONLY | O_CLOEXEC));
  // Opened here, in the host's mount namespace, where `ip netns` keeps it.
  unique_fd net;
  if (!net_ns_.empty()) net.reset(::open(("/run/netns/" + net_ns_).c_str(), O_RDONLY | O_CLOEXEC));
  if (!ns || (!net_ns_.empty() && !net)) {
    ADD_FAILURE() << "sandbox start: cannot open the namespaces: " << strerror(errno);
    return;
  }
  std::vector<std::string> argv = {binary};
  argv.insert(argv.end(), args.begin(), args.end());
  started_.reset();
  started_ = std::make_unique<process>(
      argv, dir_ + "/daemon-" + std::to_string(++starts_),
      spawn_options{clean_env(extra_env), ns.get(), net.get(), dir_, false});
  std::ofstream(dir_ + "/daemon.pid") << started_->pid() << "\n";
}

bool sandbox::running() {
  return started_ && !started_->wait(0ms);
}

bool sandbox::send_signal(int sig) {
  return running() && started_->signal(sig);
}

bool sandbox::wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    bool alive = running();
    if (out().find(text) != std::string::npos || err().find(text) != std::string::npos) return true;
    if (!alive || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
}

std::optional<int> sandbox::wait_exit(std::chrono::milliseconds timeout) {
  return started_ ? started_->wait(timeout) : std::nullopt;
}

::testing::AssertionResult sandbox::exited_cleanly(std::chrono::milliseconds timeout) {
  const auto code = wait_exit(timeout);
  if (code == 0) return ::testing::AssertionSuccess();
  const std::string log = err();
  auto failure = ::testing::AssertionFailure();
  if (!code)
    failure << "still running after " << timeout.count() << " ms";
  else if (*code > 128)
    failure << "killed by signal " << *code - 128 << " (" << strsignal(*code - 128) << ")";
  else
    failure << "exited with status " << *code;
  return failure << "; log:\n" << log.substr(log.size() > 4096 ? log.size() - 4096 : 0);
}

void sandbox::kill_process() {
  if (started_) started_->kill();
}

std::string sandbox::out() const {
  return started_ ? started_->out() : "";
}
std::string sandbox::err() const {
  return started_ ? started_->err() : "";
}

namespace {

std::string entered_dir;
int outer_ns_fd = -1;

// At exit T is removed from the namespace we came from, where it holds no
// mounts, so rm cannot wander into a cache file system.
void remove_entered_dir() {
  if (entered_dir.empty() || outer_ns_fd < 0) return;
  try {
    process rm({"/bin/rm", "-rf", "--one-file-system", "--", entered_dir}, entered_dir + ".rm",
               spawn_options{{kPath}, outer_ns_fd, -1, "/", true});
    rm.wait(30s);
  } catch (const std::exception&) {
  }
  ::unlink((entered_dir + ".rm.out").c_str());
}

}  // namespace

std::string sandbox_enter_self() {
  if (!entered_dir.empty()) return entered_dir;
  auto fail = [](const std::string& why) {
    ADD_FAILURE() << "sandbox_enter_self: " << why;
    return std::string();
  };
  if (::geteuid() != 0) return fail("needs root");
  std::error_code ec;
  const std::string outer_ns = fs::read_symlink("/proc/self/ns/mnt", ec);
  unique_fd outer(::open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC));
  if (ec || !outer) return fail("cannot read this process's mount namespace");
  if (::unshare(CLONE_NEWNS) != 0) {
    const int e = errno;
    return fail(std::string("unshare(CLONE_NEWNS): ") + strerror(e) +
                (e == EINVAL ? " (another thread is running already)" : ""));
  }
  // Our mounts must not propagate back to the namespace we left.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    const int e = errno;
    return fail(std::string("making / private: ") + strerror(e));
  }
  std::string out, err;
  if (run_script({"enter"}, &out, &err, {"TARN_SANDBOX_OUTER_NS=" + outer_ns}) != 0)
    return fail("scripts/sandbox enter failed: " + err);
  entered_dir = trim(out);
  outer_ns_fd = outer.release();
  std::atexit(remove_entered_dir);
  return entered_dir;
}

bool sandbox_set_cache_fs(const std::string& t, const std::string& vdi, const std::string& size,
                          uint64_t inodes) {
  // The script sources this file: keep the values plain words.
  if (vdi.empty() || vdi == "." || vdi == ".." || vdi.find('/') != std::string::npos ||
      size.find('\'') != std::string::npos) {
    ADD_FAILURE() << "sandbox_set_cache_fs: unusable vdi '" << vdi << "' or size '" << size << "'";
    return false;
  }
  return write_atomically(t + "/vextal/tarnproxy/cache-vdi.d/" + vdi + ".conf",
                          "SIZE='" + size + "'\nINODES=" + std::to_string(inodes) + "\n", 0644);
}

}  // namespace tarn_test
