#include "e2e/support/process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace quorvale::e2e {

namespace {

// Writing the stop line to a child that already exited must not kill the tests.
const bool kIgnoreSigpipe = [] {
  ::signal(SIGPIPE, SIG_IGN);
  return true;
}();

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1000000));
}

std::pair<Fd, Fd> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
  return {Fd(fds[0]), Fd(fds[1])};
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quorvale-e2e-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int Fd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void Fd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Environment::Environment() {
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string text = *entry;
    auto eq = text.find('=');
    if (eq != std::string::npos) values_[text.substr(0, eq)] = text.substr(eq + 1);
  }
}

Environment& Environment::set(const std::string& name, const std::string& value) {
  values_[name] = value;
  return *this;
}

Environment& Environment::unset(const std::string& name) {
  values_.erase(name);
  return *this;
}

std::vector<std::string> Environment::entries() const {
  std::vector<std::string> result;
  for (const auto& [name, value] : values_) result.push_back(name + "=" + value);
  return result;
}

LineReader::LineReader(Fd fd) : fd_(std::move(fd)), eof_(false) {
  int flags = ::fcntl(fd_.get(), F_GETFL);
  ::fcntl(fd_.get(), F_SETFL, flags | O_NONBLOCK);
}

bool LineReader::readSome(int timeoutMs) {
  if (eof_) return false;
  pollfd p{fd_.get(), POLLIN, 0};
  int ready = ::poll(&p, 1, timeoutMs);
  if (ready <= 0) return false;
  char chunk[65536];
  ssize_t n = ::read(fd_.get(), chunk, sizeof chunk);
  if (n > 0) {
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }
  if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
    eof_ = true;
    fd_.reset();
  }
  return false;
}

std::optional<std::string> LineReader::readLine(Clock::time_point deadline) {
  while (true) {
    auto newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return line;
    }
    if (eof_ || Clock::now() >= deadline) return std::nullopt;
    readSome(remainingMs(deadline));
  }
}

bool LineReader::drain() {
  while (readSome(0)) {
  }
  return !eof_;
}

std::string LineReader::readAll(Clock::time_point deadline) {
  while (!eof_ && Clock::now() < deadline) readSome(std::min(remainingMs(deadline), 100));
  std::string all = std::move(buffer_);
  buffer_.clear();
  return all;
}

Process::Process(const std::vector<std::string>& argv, SpawnOptions options) {
  Fd inRead, inWrite, outRead, outWrite, errRead, errWrite;
  if (options.pipeStdin) std::tie(inRead, inWrite) = makePipe();
  if (options.pipeStdout) std::tie(outRead, outWrite) = makePipe();
  if (options.pipeStderr) std::tie(errRead, errWrite) = makePipe();
  Fd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
  // The child reports a failed exec through this pipe; a successful one closes it.
  auto [execRead, execWrite] = makePipe();

  // Everything the child needs is prepared before fork: it may only make
  // async-signal-safe calls.
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envEntries = options.environment.entries();
  std::vector<char*> env;
  for (auto& e : envEntries) env.push_back(e.data());
  env.push_back(nullptr);
  int in = inRead ? inRead.get() : devNull.get();
  int out = outWrite ? outWrite.get() : options.quiet ? devNull.get() : 1;
  int err = errWrite ? errWrite.get() : options.quiet ? devNull.get() : 2;
  const pid_t parent = ::getpid();

  pid_ = ::fork();
  if (pid_ < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid_ == 0) {
    // Dies with the tests even when they are killed outright, so no server outlives them.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    // dup2 onto another number clears close-on-exec; the same number keeps it.
    auto place = [](int from, int to) {
      if (from == to) {
        ::fcntl(to, F_SETFD, 0);
      } else {
        ::dup2(from, to);
      }
    };
    place(in, 0);
    place(out, 1);
    place(err, 2);
    for (auto [parentFd, childFd] : options.extraFds) place(parentFd, childFd);
    if (!options.limits.empty()) {
      // Descriptors the test runner leaked would count against a descriptor limit.
      int firstFree = 3;
      for (auto [parentFd, childFd] : options.extraFds) firstFree = std::max(firstFree, childFd + 1);
      ::close_range(static_cast<unsigned>(firstFree), ~0U, 0);
    }
    for (auto [resource, value] : options.limits) {
      const rlimit limit{value, value};
      ::setrlimit(static_cast<__rlimit_resource>(resource), &limit);
    }
    ::execvpe(args[0], args.data(), env.data());
    int error = errno;
    [[maybe_unused]] auto ignored = ::write(execWrite.get(), &error, sizeof error);
    ::_exit(127);
  }
  running_ = true;
  execWrite.reset();
  int execError = 0;
  if (::read(execRead.get(), &execError, sizeof execError) == static_cast<ssize_t>(sizeof execError)) {
    reap(true);
    throw std::system_error(execError, std::generic_category(), "exec " + argv.at(0));
  }

  stdin_ = std::move(inWrite);
  if (outRead) stdout_ = LineReader(std::move(outRead));
  if (errRead) stderr_ = LineReader(std::move(errRead));
}

Process::~Process() { terminate(); }

bool Process::writeStdin(const std::string& text) {
  if (!stdin_) return false;
  std::size_t written = 0;
  while (written < text.size()) {
    ssize_t n = ::write(stdin_.get(), text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  return true;
}

bool Process::reap(bool block) {
  if (!running_) return true;
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == pid_) {
    running_ = false;
    status_ = status;
    return true;
  }
  if (r < 0) running_ = false;  // not our child any more; nothing left to reap
  return !running_;
}

std::optional<int> Process::waitExit(Clock::time_point deadline) {
  while (!reap(false)) {
    if (Clock::now() >= deadline) return std::nullopt;
    // Keep the pipes flowing so a chatty child cannot block on a full pipe.
    stdout_.drain();
    stderr_.drain();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stdout_.drain();
  stderr_.drain();
  return status_;
}

void Process::signal(int signo) {
  if (running_ && !reap(false)) ::kill(pid_, signo);
}

void Process::terminate(std::chrono::milliseconds grace) {
  if (!running_) return;
  signal(SIGTERM);
  if (!waitExit(Clock::now() + grace)) {
    signal(SIGKILL);
    reap(true);
  }
}

bool CommandResult::succeeded() const { return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0; }

CommandResult runCommand(const std::vector<std::string>& argv, const Environment& environment,
                         std::chrono::milliseconds timeout) {
  SpawnOptions options;
  options.environment = environment;
  options.pipeStdout = true;
  options.pipeStderr = true;
  Process process(argv, std::move(options));
  auto deadline = Clock::now() + timeout;
  CommandResult result;
  // Read both pipes until they close, then reap.
  while ((!process.out().eof() || !process.err().eof()) && Clock::now() < deadline) {
    pollfd fds[2] = {{process.out().fd(), POLLIN, 0}, {process.err().fd(), POLLIN, 0}};
    ::poll(fds, 2, 100);
    process.out().drain();
    process.err().drain();
  }
  result.status = process.waitExit(deadline);
  result.out = process.out().buffered();
  result.err = process.err().buffered();
  return result;
}

std::string describeStatus(std::optional<int> status) {
  if (!status) return "still running";
  if (WIFEXITED(*status)) return "exit " + std::to_string(WEXITSTATUS(*status));
  if (WIFSIGNALED(*status)) return "signal " + std::to_string(WTERMSIG(*status));
  return "status " + std::to_string(*status);
}

}  // namespace quorvale::e2e
