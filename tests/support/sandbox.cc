#include "support/sandbox.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace tarn_test {
namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

const char* const kScript = TARN_SOURCE_DIR "/scripts/sandbox";
const char* const kPath = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
constexpr auto kScriptTimeout = 60s;
constexpr auto kPoll = 10ms;

// Owns one descriptor; enough for this file.
class fd_holder {
 public:
  explicit fd_holder(int fd = -1) : fd_(fd) {}
  ~fd_holder() { reset(); }
  fd_holder(const fd_holder&) = delete;
  fd_holder& operator=(const fd_holder&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

std::string errno_text(int err) {
  return std::strerror(err);
}

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// What a child needs, prepared before fork: after fork only async-signal-safe
// calls are allowed, so no allocation happens in the child.
struct child_spec {
  std::vector<std::string> argv;
  std::vector<std::string> env;
  int ns_fd = -1;      // mount namespace to join first, or -1 to stay
  int net_ns_fd = -1;  // network namespace to join, or -1 to stay
  std::string cwd = "/";
  int in_fd = -1, out_fd = -1, err_fd = -1;
};

[[noreturn]] void child_fail(int report_fd, int err) {
  ssize_t ignored = ::write(report_fd, &err, sizeof err);
  (void)ignored;
  ::_exit(127);
}

// dup2 onto the standard descriptor, also when it already is that one: it
// then carries O_CLOEXEC, which dup2 would not have cleared.
bool child_place(int from, int to) {
  if (from == to) return ::fcntl(to, F_SETFD, 0) == 0;
  return ::dup2(from, to) == to;
}

// Forks and execs; returns the pid, or -1 with *error set. The exec failure of
// the child comes back through a close-on-exec pipe, so "no such binary" is
// reported here rather than as an exit status 127.
pid_t spawn(const child_spec& spec, std::string* error) {
  std::vector<char*> argv, envp;
  for (const auto& a : spec.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : spec.env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    *error = "pipe2: " + errno_text(errno);
    return -1;
  }
  pid_t pid = ::fork();
  if (pid < 0) {
    int err = errno;
    ::close(report[0]);
    ::close(report[1]);
    *error = "fork: " + errno_text(err);
    return -1;
  }
  if (pid == 0) {
    ::close(report[0]);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);
    ::setpgid(0, 0);
    // Entering a mount namespace needs a file-system context of our own; a
    // sanitizer runtime may have started a helper thread that shares it.
    if (spec.ns_fd >= 0 && ::unshare(CLONE_FS) != 0) child_fail(report[1], errno);
    if (spec.ns_fd >= 0 && ::setns(spec.ns_fd, CLONE_NEWNS) != 0) child_fail(report[1], errno);
    if (spec.net_ns_fd >= 0 && ::setns(spec.net_ns_fd, CLONE_NEWNET) != 0)
      child_fail(report[1], errno);
    if (::chdir(spec.cwd.c_str()) != 0) child_fail(report[1], errno);
    if (!child_place(spec.in_fd, 0) || !child_place(spec.out_fd, 1) || !child_place(spec.err_fd, 2))
      child_fail(report[1], errno);
    // Whatever else the test process has open stays out of the child.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    ::execve(argv[0], argv.data(), envp.data());
    child_fail(report[1], errno);
  }
  ::close(report[1]);
  // Both sides set the group, so a kill of the group right after fork works.
  ::setpgid(pid, pid);
  int child_errno = 0;
  ssize_t n;
  do {
    n = ::read(report[0], &child_errno, sizeof child_errno);
  } while (n < 0 && errno == EINTR);
  ::close(report[0]);
  if (n > 0) {
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    *error = "cannot run " + spec.argv[0] + ": " + errno_text(child_errno);
    return -1;
  }
  return pid;
}

// Waits up to `timeout` for pid; true with *status once reaped.
bool wait_bounded(pid_t pid, int* status, std::chrono::milliseconds timeout) {
  auto deadline = clock_type::now() + timeout;
  for (;;) {
    pid_t r = ::waitpid(pid, status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno != EINTR) return false;
    if (clock_type::now() >= deadline) return false;
    std::this_thread::sleep_for(kPoll);
  }
}

// Kills pid's process group and reaps pid.
void kill_and_reap(pid_t pid) {
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  int status;
  if (!wait_bounded(pid, &status, 10s))
    ADD_FAILURE() << "process " << pid << " survived SIGKILL for 10 s";
}

int status_code(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Runs a child whose stdout (and stderr, if err_into is null, into the same
// buffer) is read through pipes until it exits or the time is up. Stops when
// the child exits even if a background grandchild keeps the pipe open.
int run_captured(child_spec spec, std::string* out, std::string* err,
                 std::chrono::milliseconds timeout, std::string* error) {
  int out_pipe[2], err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = "pipe2: " + errno_text(errno);
    return -1;
  }
  fd_holder out_r(out_pipe[0]), out_w(out_pipe[1]);
  if (::pipe2(err_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = "pipe2: " + errno_text(errno);
    return -1;
  }
  fd_holder err_r(err_pipe[0]), err_w(err_pipe[1]);
  fd_holder null_in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  // The write ends are blocking for the child; only our read ends poll.
  ::fcntl(out_w.get(), F_SETFL, 0);
  ::fcntl(err_w.get(), F_SETFL, 0);
  spec.in_fd = null_in.get();
  spec.out_fd = out_w.get();
  spec.err_fd = err ? err_w.get() : out_w.get();
  pid_t pid = spawn(spec, error);
  if (pid < 0) return -1;
  out_w.reset();
  err_w.reset();

  std::string sink;
  auto drain = [&](int fd, std::string* to) {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) (to ? to : &sink)->append(buf, n);
  };
  auto deadline = clock_type::now() + timeout;
  int status = 0;
  for (;;) {
    pollfd fds[2] = {{out_r.get(), POLLIN, 0}, {err_r.get(), POLLIN, 0}};
    ::poll(fds, 2, static_cast<int>(kPoll.count()));
    drain(out_r.get(), out);
    drain(err_r.get(), err ? err : out);
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (clock_type::now() >= deadline) {
      kill_and_reap(pid);
      *error = spec.argv.back() + ": still running after " + std::to_string(timeout.count()) +
               " ms; killed";
      return -1;
    }
  }
  drain(out_r.get(), out);
  drain(err_r.get(), err ? err : out);
  return status_code(status);
}

std::vector<std::string> host_env() {
  std::vector<std::string> env = {kPath};
  if (const char* tmp = std::getenv("TMPDIR")) env.push_back(std::string("TMPDIR=") + tmp);
  return env;
}

// Runs scripts/sandbox on the host side.
int run_script(const std::vector<std::string>& args, std::string* out, std::string* err,
               std::vector<std::string> env = host_env()) {
  child_spec spec;
  spec.argv = {kScript};
  spec.argv.insert(spec.argv.end(), args.begin(), args.end());
  spec.env = std::move(env);
  std::string error;
  int rc = run_captured(spec, out, err, kScriptTimeout, &error);
  if (rc < 0) *err += error;
  return rc;
}

std::vector<std::string> split_path(const std::string& p) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string::npos) j = p.size();
    if (j > i) parts.push_back(p.substr(i, j - i));
    i = j + 1;
  }
  return parts;
}

// Resolves `fixed` as the namespace would, below `root`, keeping absolute
// symlinks inside root. Components that do not exist are kept as given.
std::string resolve_inside(const std::string& root, const std::string& fixed) {
  std::vector<std::string> todo = split_path(fixed);
  std::reverse(todo.begin(), todo.end());
  std::vector<std::string> done;
  int links = 0;
  auto joined = [&done] {
    std::string s;
    for (const auto& c : done) s += "/" + c;
    return s;
  };
  while (!todo.empty()) {
    std::string c = todo.back();
    todo.pop_back();
    if (c == ".") continue;
    if (c == "..") {
      if (!done.empty()) done.pop_back();
      continue;
    }
    char buf[PATH_MAX];
    std::string full = root + joined() + "/" + c;
    ssize_t n = ::readlink(full.c_str(), buf, sizeof buf);
    if (n <= 0 || n == static_cast<ssize_t>(sizeof buf) || ++links > 40) {
      done.push_back(c);
      continue;
    }
    std::string target(buf, static_cast<size_t>(n));
    if (target[0] == '/') done.clear();
    auto parts = split_path(target);
    todo.insert(todo.end(), parts.rbegin(), parts.rend());
  }
  std::string s = joined();
  return s.empty() ? "/" : s;
}

bool read_whole(const std::string& file, std::string* out) {
  fd_holder fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  std::string data;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  *out = std::move(data);
  return true;
}

std::string read_or_empty(const std::string& file) {
  std::string s;
  if (file.empty() || !read_whole(file, &s)) return {};
  return s;
}

// Writes aside and renames, so a reader sees the old file or the new one.
bool write_atomically(const std::string& file, const std::string& contents, mode_t mode,
                      std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ec);
  if (ec) {
    *error = "cannot create the directory of " + file + ": " + ec.message();
    return false;
  }
  std::string tmp = file + ".tmp-" + std::to_string(::getpid());
  fd_holder fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (fd.get() < 0) {
    *error = "cannot create " + tmp + ": " + errno_text(errno);
    return false;
  }
  size_t off = 0;
  while (off < contents.size()) {
    ssize_t n = ::write(fd.get(), contents.data() + off, contents.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "cannot write " + tmp + ": " + errno_text(errno);
      ::unlink(tmp.c_str());
      return false;
    }
    off += static_cast<size_t>(n);
  }
  if (::fchmod(fd.get(), mode) != 0 || ::rename(tmp.c_str(), file.c_str()) != 0) {
    *error = "cannot install " + file + ": " + errno_text(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
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
    std::erase_if(env, [&](const std::string& have) {
      return have.compare(0, name.size() + 1, name + "=") == 0;
    });
    env.push_back(e);
  }
  return env;
}

int open_ns(pid_t holder, std::string* error) {
  std::string ns = "/proc/" + std::to_string(holder) + "/ns/mnt";
  int fd = ::open(ns.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) *error = "cannot open " + ns + ": " + errno_text(errno);
  return fd;
}

}  // namespace

std::ostream& operator<<(std::ostream& os, const daemon_exit& e) {
  if (e.exited) return os << "exited with status " << e.code;
  if (e.signaled)
    return os << "killed by signal " << e.signal << " (" << ::strsignal(e.signal) << ")"
              << (e.core ? ", core dumped" : "");
  return os << "ended in an unknown way";
}

sandbox::sandbox() {
  std::string out, err;
  // Should this process die without running the destructor (a test killed
  // by a timeout), the holder tears the sandbox down by itself.
  auto env = host_env();
  env.push_back("TARN_SANDBOX_OWNER=" + std::to_string(::getpid()));
  int rc = run_script({"up"}, &out, &err, env);
  if (rc != 0)
    throw std::runtime_error("scripts/sandbox up failed (" + std::to_string(rc) + "): " + err);
  dir_ = trim(out);
  std::string pid_text;
  if (!read_whole(dir_ + "/holder.pid", &pid_text) || std::atoi(pid_text.c_str()) <= 0) {
    std::string down_out, down_err;
    run_script({"down", dir_}, &down_out, &down_err);
    throw std::runtime_error("scripts/sandbox up gave no holder pid in '" + dir_ + "'");
  }
  holder_ = std::atoi(pid_text.c_str());
}

sandbox::~sandbox() {
  kill_process();
  std::string out, err;
  int rc = run_script({"down", dir_}, &out, &err);
  if (rc != 0)
    ADD_FAILURE() << "scripts/sandbox down " << dir_ << " failed (" << rc << "): " << err;
}

std::string sandbox::path(const std::string& fixed) const {
  std::string root = "/proc/" + std::to_string(holder_) + "/root";
  return root + resolve_inside(root, fixed);
}

bool sandbox::write_file(const std::string& fixed, const std::string& contents, mode_t mode) {
  std::string error;
  if (write_atomically(path(fixed), contents, mode, &error)) return true;
  ADD_FAILURE() << "sandbox write_file " << fixed << ": " << error;
  return false;
}

bool sandbox::read_file(const std::string& fixed, std::string* out) const {
  return read_whole(path(fixed), out);
}

int sandbox::run(const std::string& shell_command, std::string* output,
                 std::chrono::milliseconds timeout) {
  std::string error;
  fd_holder ns(open_ns(holder_, &error));
  if (ns.get() < 0) {
    ADD_FAILURE() << "sandbox run: " << error;
    return -1;
  }
  child_spec spec;
  spec.argv = {"/bin/sh", "-c", shell_command};
  spec.env = clean_env({});
  spec.ns_fd = ns.get();
  spec.cwd = dir_;
  int rc;
  if (output) {
    output->clear();
    rc = run_captured(spec, output, nullptr, timeout, &error);
  } else {
    // Not captured: the test's own stderr shows it, which helps when a
    // step fails. run_captured would swallow it, so wait directly.
    spec.in_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    spec.out_fd = 2;
    spec.err_fd = 2;
    fd_holder in(spec.in_fd);
    pid_t pid = spawn(spec, &error);
    rc = -1;
    if (pid > 0) {
      int status;
      if (wait_bounded(pid, &status, timeout)) {
        rc = status_code(status);
      } else {
        kill_and_reap(pid);
        error = "still running after " + std::to_string(timeout.count()) + " ms; killed";
      }
    }
  }
  if (rc < 0) ADD_FAILURE() << "sandbox run '" << shell_command << "': " << error;
  return rc;
}

bool sandbox::set_cache_fs(const std::string& vdi, const std::string& size, uint64_t inodes) {
  return sandbox_set_cache_fs(dir_, vdi, size, inodes);
}

void sandbox::start(const std::vector<std::string>& extra_env, const std::string& binary,
                    const std::vector<std::string>& args) {
  if (running()) {
    ADD_FAILURE() << "sandbox start: process " << pid_ << " is still running";
    return;
  }
  std::string error;
  fd_holder ns(open_ns(holder_, &error));
  ++starts_;
  std::string base = dir_ + "/daemon-" + std::to_string(starts_);
  out_path_ = base + ".out";
  err_path_ = base + ".err";
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
  fd_holder in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  fd_holder out(::open(out_path_.c_str(), flags, 0644));
  fd_holder err(::open(err_path_.c_str(), flags, 0644));
  if (ns.get() < 0 || in.get() < 0 || out.get() < 0 || err.get() < 0) {
    ADD_FAILURE() << "sandbox start: cannot set up: "
                  << (error.empty() ? errno_text(errno) : error);
    return;
  }
  fd_holder net;
  if (!net_ns_.empty()) {
    // Opened here, in the host's mount namespace, where `ip netns` keeps it.
    net.reset(::open(("/run/netns/" + net_ns_).c_str(), O_RDONLY | O_CLOEXEC));
    if (net.get() < 0) {
      ADD_FAILURE() << "sandbox start: network namespace " << net_ns_ << ": " << errno_text(errno);
      return;
    }
  }
  child_spec spec;
  spec.argv = {binary};
  spec.argv.insert(spec.argv.end(), args.begin(), args.end());
  spec.env = clean_env(extra_env);
  spec.ns_fd = ns.get();
  spec.net_ns_fd = net.get();
  // A core dump lands in T, not in the host's root directory.
  spec.cwd = dir_;
  spec.in_fd = in.get();
  spec.out_fd = out.get();
  spec.err_fd = err.get();
  pid_t pid = spawn(spec, &error);
  if (pid < 0) {
    ADD_FAILURE() << "sandbox start: " << error;
    return;
  }
  pid_ = pid;
  reaped_ = false;
  exit_ = {};
  std::string pid_error;
  write_atomically(dir_ + "/daemon.pid", std::to_string(pid) + "\n", 0644, &pid_error);
}

void sandbox::reap(int status) {
  reaped_ = true;
  exit_ = {};
  if (WIFEXITED(status)) {
    exit_.exited = true;
    exit_.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    exit_.signaled = true;
    exit_.signal = WTERMSIG(status);
    exit_.core = WCOREDUMP(status);
  }
}

bool sandbox::running() {
  if (pid_ < 0 || reaped_) return false;
  int status;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return true;
  if (r == pid_) {
    reap(status);
  } else {
    reaped_ = true;  // not our child any more: nothing left to wait for
    exit_ = {};
  }
  return false;
}

bool sandbox::send_signal(int sig) {
  if (!running()) return false;
  return ::kill(pid_, sig) == 0;
}

bool sandbox::wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
  auto deadline = clock_type::now() + timeout;
  auto seen = [&] {
    return out().find(text) != std::string::npos || err().find(text) != std::string::npos;
  };
  for (;;) {
    bool alive = running();
    if (seen()) return true;
    if (!alive || clock_type::now() >= deadline) return false;
    std::this_thread::sleep_for(kPoll);
  }
}

std::optional<daemon_exit> sandbox::wait_exit(std::chrono::milliseconds timeout) {
  if (pid_ < 0) return std::nullopt;
  auto deadline = clock_type::now() + timeout;
  while (running()) {
    if (clock_type::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(kPoll);
  }
  return exit_;
}

void sandbox::kill_process() {
  if (!running()) return;
  // The group takes along what the process started (sudo, the cache scripts).
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  int status;
  if (wait_bounded(pid_, &status, 10s))
    reap(status);
  else
    ADD_FAILURE() << "process " << pid_ << " survived SIGKILL for 10 s";
}

std::string sandbox::out() const {
  return read_or_empty(out_path_);
}
std::string sandbox::err() const {
  return read_or_empty(err_path_);
}

namespace {

std::string entered_dir;
int outer_ns_fd = -1;

// At exit T is removed from the namespace we came from, where it holds no
// mounts, so rm cannot wander into a cache file system.
void remove_entered_dir() {
  if (entered_dir.empty() || outer_ns_fd < 0) return;
  child_spec spec;
  spec.argv = {"/bin/rm", "-rf", "--one-file-system", "--", entered_dir};
  spec.env = {kPath};
  spec.ns_fd = outer_ns_fd;
  spec.in_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  spec.out_fd = 2;
  spec.err_fd = 2;
  std::string error;
  pid_t pid = spawn(spec, &error);
  ::close(spec.in_fd);
  int status;
  if (pid > 0 && !wait_bounded(pid, &status, 30s)) kill_and_reap(pid);
}

}  // namespace

std::string sandbox_enter_self() {
  if (!entered_dir.empty()) return entered_dir;
  if (::geteuid() != 0) {
    ADD_FAILURE() << "sandbox_enter_self needs root";
    return {};
  }
  char outer_ns[64];
  ssize_t n = ::readlink("/proc/self/ns/mnt", outer_ns, sizeof outer_ns - 1);
  int outer_fd = ::open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
  if (n <= 0 || outer_fd < 0) {
    ADD_FAILURE() << "cannot read this process's mount namespace: " << errno_text(errno);
    if (outer_fd >= 0) ::close(outer_fd);
    return {};
  }
  outer_ns[n] = '\0';
  if (::unshare(CLONE_NEWNS) != 0) {
    int err = errno;
    ::close(outer_fd);
    ADD_FAILURE() << "unshare(CLONE_NEWNS): " << errno_text(err)
                  << (err == EINVAL ? " (another thread is running already)" : "");
    return {};
  }
  // Our mounts must not propagate back to the namespace we left.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    ::close(outer_fd);
    ADD_FAILURE() << "making / private: " << errno_text(errno);
    return {};
  }
  auto env = host_env();
  env.push_back(std::string("TARN_SANDBOX_OUTER_NS=") + outer_ns);
  std::string out, err;
  int rc = run_script({"enter"}, &out, &err, env);
  if (rc != 0) {
    ::close(outer_fd);
    ADD_FAILURE() << "scripts/sandbox enter failed (" << rc << "): " << err;
    return {};
  }
  entered_dir = trim(out);
  outer_ns_fd = outer_fd;
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
  std::string file = t + "/vextal/tarnproxy/cache-vdi.d/" + vdi + ".conf";
  std::string contents = "SIZE='" + size + "'\nINODES=" + std::to_string(inodes) + "\n";
  std::string error;
  if (write_atomically(file, contents, 0644, &error)) return true;
  ADD_FAILURE() << "sandbox_set_cache_fs: " << error;
  return false;
}

}  // namespace tarn_test
