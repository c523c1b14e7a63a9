#pragma once

// Child processes for the end-to-end tests: spawned with pipes, read with
// deadlines, and always ended by their own pid.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorvale::e2e {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Generous limits: the tests may run on two busy cores.
inline constexpr auto kStartTimeout = 30s;
inline constexpr auto kExitTimeout = 30s;

// A directory removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// An owned file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  int get() const { return fd_; }
  int release();
  void reset(int fd = -1);
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The environment for a child: this process's, with changes.
class Environment {
 public:
  Environment();  // a copy of this process's environment
  Environment& set(const std::string& name, const std::string& value);
  Environment& unset(const std::string& name);
  std::vector<std::string> entries() const;

 private:
  std::map<std::string, std::string> values_;
};

struct SpawnOptions {
  Environment environment;
  bool pipeStdin = false;
  bool pipeStdout = false;
  bool pipeStderr = false;
  // Without a pipe, stdout/stderr go to /dev/null when this is set, else they are inherited.
  bool quiet = false;
  // Extra descriptors the child gets: {parent fd, child fd}.
  std::vector<std::pair<int, int>> extraFds;
  // Resource limits (setrlimit) the child gets before exec: {resource, soft and hard limit}.
  std::vector<std::pair<int, unsigned long>> limits;
};

// Buffered lines from a pipe.
class LineReader {
 public:
  explicit LineReader(Fd fd);
  LineReader() = default;
  // The next complete line (without '\n'), or nothing at the deadline or at EOF.
  std::optional<std::string> readLine(Clock::time_point deadline);
  // Reads whatever is available without blocking; false once at EOF.
  bool drain();
  // Everything up to EOF or the deadline.
  std::string readAll(Clock::time_point deadline);
  const std::string& buffered() const { return buffer_; }
  bool eof() const { return eof_; }
  int fd() const { return fd_.get(); }

 private:
  bool readSome(int timeoutMs);

  Fd fd_;
  std::string buffer_;
  bool eof_ = true;
};

// A child process. The destructor ends it (SIGTERM, then SIGKILL) and reaps it;
// it is killed as well if the tests die first.
class Process {
 public:
  Process(const std::vector<std::string>& argv, SpawnOptions options);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }

  // False if the child has closed its stdin.
  bool writeStdin(const std::string& text);
  void closeStdin() { stdin_.reset(); }
  // Stops reading the child's stdout: its later writes fail with EPIPE.
  void closeStdout() { stdout_ = LineReader(); }

  LineReader& out() { return stdout_; }
  LineReader& err() { return stderr_; }

  // Waits for the exit while draining the output pipes. The raw wait status,
  // or nothing at the deadline.
  std::optional<int> waitExit(Clock::time_point deadline);
  bool exited() const { return !running_; }
  std::optional<int> status() const { return status_; }

  void signal(int signo);
  // SIGTERM, then SIGKILL after the grace period; always reaps.
  void terminate(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));

 private:
  bool reap(bool block);

  pid_t pid_ = -1;
  bool running_ = false;
  std::optional<int> status_;
  Fd stdin_;
  LineReader stdout_;
  LineReader stderr_;
};

struct CommandResult {
  std::optional<int> status;  // raw wait status; nothing if it timed out
  std::string out;
  std::string err;
  bool succeeded() const;
};

// Runs a command to completion, collecting its output.
CommandResult runCommand(const std::vector<std::string>& argv, const Environment& environment = Environment(),
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(60000));

// "exit 1", "signal 9", … for messages.
std::string describeStatus(std::optional<int> status);

}  // namespace quorvale::e2e
