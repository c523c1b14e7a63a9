#include "e2e/support/recorder.h"

#include <sys/wait.h>

namespace quorvale::e2e {

namespace {

SpawnOptions recorderOptions(const Environment& environment) {
  SpawnOptions options;
  options.environment = environment;
  options.pipeStdin = true;
  options.pipeStdout = true;
  options.pipeStderr = true;
  return options;
}

std::vector<std::string> withProgram(const std::vector<std::string>& args) {
  std::vector<std::string> argv{QUORVALE_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

Event parse(std::string line) {
  Event event{std::move(line), nullptr};
  auto parsed = nlohmann::ordered_json::parse(event.line, nullptr, false);
  if (!parsed.is_discarded() && parsed.is_object()) event.json = std::move(parsed);
  return event;
}

}  // namespace

std::string Event::status() const { return get("status"); }

std::string Event::get(const std::string& key) const {
  if (!has(key) || !json[key].is_string()) return "";
  return json[key].get<std::string>();
}

bool Event::isCompact() const { return json.is_object() && json.dump() == line; }

Recorder::Recorder(const std::vector<std::string>& args, const Environment& environment)
    : process_(withProgram(args), recorderOptions(environment)) {}

Recorder::Recorder(const std::vector<std::string>& args, SpawnOptions options)
    : process_(withProgram(args), std::move(options)) {}

std::optional<Event> Recorder::nextEvent(std::chrono::milliseconds timeout) {
  auto line = process_.out().readLine(Clock::now() + timeout);
  if (!line) return std::nullopt;
  events_.push_back(parse(std::move(*line)));
  return events_.back();
}

std::optional<Event> Recorder::waitFor(const std::string& status, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    auto event = nextEvent(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
    if (!event) return std::nullopt;
    if (event->status() == status) return event;
  }
  return std::nullopt;
}

bool Recorder::stop() { return process_.writeStdin("\n"); }

std::optional<int> Recorder::waitExit(std::chrono::milliseconds timeout) {
  auto status = process_.waitExit(Clock::now() + timeout);
  if (status) {
    while (auto line = process_.out().readLine(Clock::now() + std::chrono::seconds(2))) {
      events_.push_back(parse(std::move(*line)));
    }
    // A last line without its newline still counts, so it shows up in failures.
    if (!process_.out().buffered().empty()) {
      events_.push_back(parse(process_.out().readAll(Clock::now())));
    }
  }
  return status;
}

int Recorder::exitCode() const {
  auto status = process_.status();
  if (!status || !WIFEXITED(*status)) return -1;
  return WEXITSTATUS(*status);
}

std::vector<std::string> Recorder::statuses() const {
  std::vector<std::string> result;
  for (const auto& e : events_) result.push_back(e.json.is_object() ? e.status() : "<not json>");
  return result;
}

std::string Recorder::stderrText() {
  process_.err().drain();
  return process_.err().buffered();
}

std::string Recorder::transcript() {
  std::string text = "stdout:\n";
  for (const auto& e : events_) text += "  " + e.line + "\n";
  text += "stderr:\n" + stderrText();
  text += "\nprocess: " + describeStatus(process_.status());
  return text;
}

}  // namespace quorvale::e2e
