#include "e2e/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <system_error>

extern char** environ;

namespace quorvale::e2e {

namespace {

// Writing the stop line to a child that already exited must not kill the tests.
const bool kIgnoreSigpipe = ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;

void check(bool ok, const char* what) {
  if (!ok) throw std::system_error(errno, std::generic_category(), what);
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
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};  // {read end, write end}
  check(!options.pipeOut || (::pipe2(in, O_CLOEXEC) == 0 && ::pipe2(out, O_CLOEXEC) == 0), "pipe2");
  check(!options.pipeErr || ::pipe2(err, O_CLOEXEC) == 0, "pipe2");
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC), quiet = options.quiet ? null : -1;
  const int fds[3] = {options.pipeOut ? in[0] : null, options.pipeOut ? out[1] : quiet,
                      options.pipeErr ? err[1] : quiet};
  // Prepared before fork: the child may only make async-signal-safe calls.
  std::vector<std::string> entries = options.environment.entries();
  std::vector<char*> args, env;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  for (auto& entry : entries) env.push_back(entry.data());
  args.push_back(nullptr);
  env.push_back(nullptr);
  const pid_t parent = ::getpid();
  check((pid_ = ::fork()) >= 0, "fork");
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // so no server outlives tests that were killed outright
    if (::getppid() != parent) ::_exit(127);
    ::signal(SIGPIPE, SIG_DFL);
    for (int fd = 0; fd < 3; ++fd) {
      if (fds[fd] >= 0) ::dup2(fds[fd], fd);
    }
    ::close_range(3, ~0U, 0);  // what the test runner leaked would count against a descriptor limit
    for (auto [resource, value] : options.limits) {
      const rlimit limit{value, value};
      ::setrlimit(static_cast<__rlimit_resource>(resource), &limit);
    }
    ::execvpe(args[0], args.data(), env.data());
    ::_exit(127);
  }
  for (int fd : {in[0], out[1], err[1], null}) close(fd);
  std::tie(in_, outFd_, errFd_) = std::tie(in[1], out[0], err[0]);
}

Process::~Process() {
  signal(SIGTERM);
  if (!waitExit(Clock::now() + 3s)) {
    signal(SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  for (int* fd : {&in_, &outFd_, &errFd_}) close(*fd);
}

void Process::close(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool Process::write(const std::string& text) {
  return in_ >= 0 && ::write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool Process::pump(int timeoutMs) {
  pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  if (::poll(fds, 2, timeoutMs) <= 0) return false;
  for (auto [p, fd, buffer] : {std::tuple{fds[0], &outFd_, &out_}, std::tuple{fds[1], &errFd_, &err_}}) {
    char chunk[65536];
    ssize_t n = p.revents ? ::read(*fd, chunk, sizeof chunk) : 0;
    if (n > 0) buffer->append(chunk, static_cast<std::size_t>(n));
    if (n <= 0 && p.revents) close(*fd);  // EOF
  }
  return true;
}

std::optional<std::string> Process::readLine(Clock::time_point deadline) {
  std::size_t end;
  while ((end = out_.find('\n')) == std::string::npos) {
    if (outFd_ < 0 || Clock::now() >= deadline) return std::nullopt;
    pump(50);
  }
  std::string line = out_.substr(0, end);
  out_.erase(0, end + 1);
  return line;
}

std::optional<int> Process::waitExit(Clock::time_point deadline) {
  // The pipes keep flowing, so that a chatty child cannot block on a full one.
  for (int status; !status_; pump(10)) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = status;
    } else if (Clock::now() >= deadline) {
      return std::nullopt;
    }
  }
  while (pump(0)) {
  }
  return status_;
}

void Process::signal(int signo) {
  if (!status_) ::kill(pid_, signo);  // not reaped, so the pid is still this child's
}

bool CommandResult::succeeded() const { return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0; }

CommandResult runCommand(const std::vector<std::string>& argv, const Environment& environment,
                         std::chrono::milliseconds timeout) {
  Process process(argv, {environment, false, true, true});
  auto status = process.waitExit(Clock::now() + timeout);
  return {status, process.out(), process.err()};
}

}  // namespace quorvale::e2e
