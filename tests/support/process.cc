#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tarn_test {
namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int decode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

process::process(const std::vector<std::string>& argv, const std::string& stem) : stem_(stem) {
  if (argv.empty()) throw std::runtime_error("process: no command");
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
  int out = ::open((stem + ".out").c_str(), flags, 0644);
  int err = ::open((stem + ".err").c_str(), flags, 0644);
  if (out < 0 || err < 0) {
    if (out >= 0) ::close(out);
    if (err >= 0) ::close(err);
    throw std::runtime_error("process: cannot open " + stem + ".out/.err");
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    ::setpgid(0, 0);
    int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(out);
  ::close(err);
  if (pid_ < 0) throw std::runtime_error(std::string("process: fork: ") + strerror(errno));
  ::setpgid(pid_, pid_);
}

process::~process() {
  kill();
}

std::optional<int> process::wait(std::chrono::milliseconds timeout) {
  if (status_ || pid_ < 0) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = decode(status);
      return status_;
    }
    if (r < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool process::signal(int sig) const {
  return pid_ > 0 && !status_ && ::kill(pid_, sig) == 0;
}

void process::kill() {
  if (pid_ <= 0 || status_) return;
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  int status;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, 0);
  } while (r < 0 && errno == EINTR);
  status_ = r == pid_ ? decode(status) : -1;
}

std::string process::out() const {
  return read_all(stem_ + ".out");
}
std::string process::err() const {
  return read_all(stem_ + ".err");
}

}  // namespace tarn_test
