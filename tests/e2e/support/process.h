#pragma once

// Child processes for the tests: spawned with pipes and resource limits, read
// with deadlines, and always ended by their own pid.

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

inline constexpr auto kStartTimeout = 30s;  // generous: the tests may run on two busy cores

// A directory removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// This process's environment, with changes.
class Environment {
 public:
  Environment();
  Environment& set(const std::string& name, const std::string& value) {
    values_[name] = value;
    return *this;
  }
  Environment& unset(const std::string& name) {
    values_.erase(name);
    return *this;
  }
  std::vector<std::string> entries() const;

 private:
  std::map<std::string, std::string> values_;
};

struct SpawnOptions {
  Environment environment;
  bool quiet = false;    // stdout and stderr to /dev/null unless piped, else inherited
  bool pipeOut = false;  // stdin and stdout through pipes
  bool pipeErr = false;
  std::vector<std::pair<int, unsigned long>> limits = {};  // setrlimit before exec: {resource, soft = hard}
};

// A child process. The destructor ends it (SIGTERM, then SIGKILL) and reaps it;
// it is killed as well if the tests die first.
class Process {
 public:
  Process(const std::vector<std::string>& argv, SpawnOptions options = {});
  ~Process();
  pid_t pid() const { return pid_; }
  bool write(const std::string& text);  // to stdin; false once it is closed
  void closeStdin() { close(in_); }
  void closeStdout() { close(outFd_); }  // the child's later writes fail with EPIPE
  // The next line on stdout (without '\n'); nothing at the deadline or at EOF.
  std::optional<std::string> readLine(Clock::time_point deadline);
  // The raw wait status, or nothing at the deadline. Reads the pipes meanwhile.
  std::optional<int> waitExit(Clock::time_point deadline);
  void signal(int signo);
  const std::string& out() const { return out_; }  // stdout beyond the lines read
  const std::string& err() const { return err_; }

 private:
  static void close(int& fd);
  bool pump(int timeoutMs);  // reads what the pipes offer; false when nothing happened

  pid_t pid_ = -1;
  std::optional<int> status_;
  int in_ = -1, outFd_ = -1, errFd_ = -1;
  std::string out_, err_;
};

struct CommandResult {
  std::optional<int> status;  // raw wait status; nothing on a timeout
  std::string out, err;
  bool succeeded() const;
};

// Runs a command to completion, collecting its output.
CommandResult runCommand(const std::vector<std::string>& argv, const Environment& environment = {},
                         std::chrono::milliseconds timeout = 60s);

}  // namespace quorvale::e2e
