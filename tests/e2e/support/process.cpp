#include "e2e/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>

extern char** environ;

namespace quorvale::e2e {

namespace {

// Writing the stop line to a child that already exited must not kill the tests.
const bool kIgnoreSigpipe = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();

void check(bool ok, const char* what) {
  if (!ok) throw std::system_error(errno, std::generic_category(), what);
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quorvale-e2e-XXXXXX").string();
  check(::mkdtemp(pattern.data()), "mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

Environment::Environment() {
  for (char** entry = environ; *entry; ++entry) {
    std::string text = *entry;
    if (auto eq = text.find('='); eq != std::string::npos) values_[text.substr(0, eq)] = text.substr(eq + 1);
  }
}

std::vector<std::string> Environment::entries() const {
  std::vector<std::string> result;
  for (const auto& [name, value] : values_) result.push_back(name + "=" + value);
  return result;
}

Process::Process(const std::vector<std::string>& argv, SpawnOptions options) {
  // Child ends first, parent ends second; all close-on-exec until dup2 places them.
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if (options.pipeOut) check(::pipe2(in, O_CLOEXEC) == 0 && ::pipe2(out, O_CLOEXEC) == 0, "pipe2");
  if (options.pipeErr) check(::pipe2(err, O_CLOEXEC) == 0, "pipe2");
  std::swap(out[0], out[1]);
  std::swap(err[0], err[1]);
  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const int keep = options.quiet ? devNull : -1;
  const int fds[3] = {in[0] >= 0 ? in[0] : devNull, out[0] >= 0 ? out[0] : keep, err[0] >= 0 ? err[0] : keep};

  // Prepared before fork: the child may only make async-signal-safe calls.
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> entries = options.environment.entries();
  std::vector<char*> env;
  for (auto& e : entries) env.push_back(e.data());
  env.push_back(nullptr);
  const pid_t parent = ::getpid();

  pid_ = ::fork();
  check(pid_ >= 0, "fork");
  if (pid_ == 0) {
    // Dies with the tests even when they are killed outright, so no server outlives them.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    for (int target = 0; target < 3; ++target) {
      if (fds[target] >= 0) ::dup2(fds[target], target);
    }
    // Descriptors the test runner leaked would count against a descriptor limit.
    ::close_range(3, ~0U, 0);
    for (auto [resource, value] : options.limits) {
      const rlimit limit{value, value};
      ::setrlimit(static_cast<__rlimit_resource>(resource), &limit);
    }
    ::execvpe(args[0], args.data(), env.data());
    ::_exit(127);
  }
  for (int fd : {in[0], out[0], err[0], devNull}) {
    if (fd >= 0) ::close(fd);
  }
  in_ = in[1];
  outFd_ = out[1];
  errFd_ = err[1];
}

Process::~Process() {
  signal(SIGTERM);
  if (!waitExit(Clock::now() + 3s)) {
    signal(SIGKILL);
    reap(true);
  }
  closeStdin();
  closeStdout();
  closeFd(errFd_);
}

bool Process::write(const std::string& text) {
  return in_ >= 0 && ::write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void Process::closeStdin() { closeFd(in_); }

void Process::closeStdout() { closeFd(outFd_); }

bool Process::pump(int timeoutMs) {
  pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  if (::poll(fds, 2, timeoutMs) <= 0) return false;
  bool got = false;
  for (auto [fd, buffer] : {std::pair{&outFd_, &out_}, std::pair{&errFd_, &err_}}) {
    char chunk[65536];
    if (*fd < 0 || !(fds[fd == &errFd_].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    ssize_t n = ::read(*fd, chunk, sizeof chunk);
    if (n > 0) {
      buffer->append(chunk, static_cast<std::size_t>(n));
      got = true;
    } else if (n == 0 || errno != EINTR) {
      closeFd(*fd);
    }
  }
  return got;
}

std::optional<std::string> Process::readLine(Clock::time_point deadline) {
  while (out_.find('\n') == std::string::npos) {
    if (outFd_ < 0 || Clock::now() >= deadline) return std::nullopt;
    pump(static_cast<int>(std::clamp<long>((deadline - Clock::now()) / 1ms, 0, 1000)));
  }
  std::string line = out_.substr(0, out_.find('\n'));
  out_.erase(0, line.size() + 1);
  return line;
}

bool Process::reap(bool block) {
  int status = 0;
  if (!status_ && pid_ > 0 && ::waitpid(pid_, &status, block ? 0 : WNOHANG) == pid_) status_ = status;
  return status_.has_value();
}

std::optional<int> Process::waitExit(Clock::time_point deadline) {
  // The pipes keep flowing so a chatty child cannot block on a full one.
  while (!reap(false)) {
    if (Clock::now() >= deadline) return std::nullopt;
    pump(10);
  }
  // What it wrote last, unless a child it left behind holds the pipes open.
  while (pump(0) && Clock::now() < deadline) {
  }
  return status_;
}

void Process::signal(int signo) {
  if (!reap(false)) ::kill(pid_, signo);
}

bool CommandResult::succeeded() const { return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0; }

CommandResult runCommand(const std::vector<std::string>& argv, const Environment& environment,
                         std::chrono::milliseconds timeout) {
  Process process(argv, {environment, false, true, true});
  auto status = process.waitExit(Clock::now() + timeout);
  return {status, process.out(), process.err()};
}

}  // namespace quorvale::e2e
