#pragma once

// The program under test as the desktop app runs it: arguments, a stop line
// on stdin, one JSON event a line on stdout.

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "e2e/support/process.h"

namespace quorvale::e2e {

struct Event {
  std::string line;             // exactly as printed
  nlohmann::ordered_json json;  // null when the line is no JSON object

  std::string status() const;
  std::string get(const std::string& key) const;  // "" when absent
  bool has(const std::string& key) const { return json.is_object() && json.contains(key); }
  // One line of JSON with nothing but the object: what a compact writer prints.
  bool isCompact() const;
};

class Recorder {
 public:
  Recorder(const std::vector<std::string>& args, const Environment& environment);
  // With pipes of the caller's choosing (SpawnOptions::extraFds may place fds 0 and 1).
  Recorder(const std::vector<std::string>& args, SpawnOptions options);
  Recorder(const std::filesystem::path& output, std::uint32_t windowId, const Environment& environment)
      : Recorder({output.string(), std::to_string(windowId)}, environment) {}

  // The next event line, or nothing at the deadline or at EOF.
  std::optional<Event> nextEvent(std::chrono::milliseconds timeout = kStartTimeout);
  // Waits for an event with this status, keeping the ones before it.
  std::optional<Event> waitFor(const std::string& status, std::chrono::milliseconds timeout = kStartTimeout);
  // Writes the stop line; false if stdin was already closed by the program.
  bool stop();
  void closeStdin() { process_.closeStdin(); }
  void closeStdout() { process_.closeStdout(); }
  void signal(int signo) { process_.signal(signo); }
  // Waits for the exit, then takes the remaining stdout lines as events.
  std::optional<int> waitExit(std::chrono::milliseconds timeout = kExitTimeout);
  // The exit code, or -1 when killed or still running.
  int exitCode() const;

  const std::vector<Event>& events() const { return events_; }
  std::vector<std::string> statuses() const;
  // What the program wrote to stderr so far.
  std::string stderrText();
  // All events and stderr, for failure messages.
  std::string transcript();
  pid_t pid() const { return process_.pid(); }

 private:
  Process process_;
  std::vector<Event> events_;
};

}  // namespace quorvale::e2e
