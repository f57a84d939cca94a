#include "support/process.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace tarn_test {
namespace {

int decode(int status) {
  return WIFEXITED(status)     ? WEXITSTATUS(status)
         : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                               : -1;
}

// After fork only async-signal-safe calls: a message and _exit.
[[noreturn]] void child_fail(const char* what) {
  [[maybe_unused]] ssize_t ignored = ::write(2, what, strlen(what));
  ::_exit(127);
}

}  // namespace

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int soak_or(int quick, int soak) {
  const char* v = std::getenv("TARN_SOAK");
  return v != nullptr && std::string(v) == "1" ? soak : quick;
}

process::process(const std::vector<std::string>& argv, const std::string& stem,
                 const spawn_options& o)
    : stem_(stem) {
  if (argv.empty()) throw std::runtime_error("process: no command");
  // Everything the child needs is made before the fork.
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : o.env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
  const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int out = ::open((stem + ".out").c_str(), flags, 0644);
  const int err = o.merge_err ? out : ::open((stem + ".err").c_str(), flags, 0644);
  if (in < 0 || out < 0 || err < 0) {
    for (int fd : {in, out, o.merge_err ? -1 : err})
      if (fd >= 0) ::close(fd);
    throw std::runtime_error("process: cannot open " + stem + ".out/.err");
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);
    ::setpgid(0, 0);
    // Entering a mount namespace needs a file-system context of our own; a
    // sanitizer runtime may have started a helper thread that shares it.
    if (o.mnt_ns >= 0 && (::unshare(CLONE_FS) != 0 || ::setns(o.mnt_ns, CLONE_NEWNS) != 0))
      child_fail("spawn: cannot enter the mount namespace\n");
    if (o.net_ns >= 0 && ::setns(o.net_ns, CLONE_NEWNET) != 0)
      child_fail("spawn: cannot enter the network namespace\n");
    if (!o.cwd.empty() && ::chdir(o.cwd.c_str()) != 0) child_fail("spawn: chdir\n");
    if (::dup2(in, 0) != 0 || ::dup2(out, 1) != 1 || ::dup2(err, 2) != 2)
      child_fail("spawn: dup2\n");
    // Whatever else the test process has open stays out of the child.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    ::execvpe(args[0], args.data(), o.env.empty() ? environ : envp.data());
    child_fail("spawn: exec failed\n");
  }
  const int fork_errno = errno;
  ::close(in);
  ::close(out);
  if (!o.merge_err) ::close(err);
  if (pid_ < 0) throw std::runtime_error(std::string("process: fork: ") + strerror(fork_errno));
  // Both sides set the group, so a kill of the group right after fork works.
  ::setpgid(pid_, pid_);
}

process::~process() {
  kill();
}

std::optional<int> process::wait(std::chrono::milliseconds timeout) {
  for (const auto deadline = std::chrono::steady_clock::now() + timeout; !status_ && pid_ > 0;) {
    int status;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) status_ = status;
    if (r == pid_ || (r < 0 && errno != EINTR) || std::chrono::steady_clock::now() >= deadline)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_ ? std::optional<int>(decode(*status_)) : std::nullopt;
}

bool process::signal(int sig) const {
  return pid_ > 0 && !status_ && ::kill(pid_, sig) == 0;
}

void process::kill() {
  if (pid_ <= 0 || status_) return;
  // The group takes along what the process started (sudo, the cache scripts).
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  int status = SIGKILL;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  status_ = status;
}

std::string process::out() const {
  return read_text(stem_ + ".out");
}
std::string process::err() const {
  return read_text(stem_ + ".err");
}

}  // namespace tarn_test
