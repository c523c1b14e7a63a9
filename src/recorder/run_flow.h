#pragma once

// The process's run: validate, start, wait for the stop request, stop.
// Runs on the main thread as a coroutine on the main queue.

#include <asio/awaitable.hpp>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "recorder/output_location.h"
#include "recorder/recorder.h"
#include "recorder/stop_request.h"

namespace quorvale::recorder {

using RecorderFactory = std::function<std::unique_ptr<Recorder>(platform::WindowID, const OutputLocation&)>;

struct RunEnvironment {
  std::vector<std::string> arguments;  // program path first
  platform::Platform* platform = nullptr;
  RecorderFactory makeRecorder;
  StopRequest* stopRequest = nullptr;
  // Sets the three above once the command line and the output location have
  // passed their checks, unless they are given at once. Whatever it cannot make
  // (descriptors, threads, memory run out) is then reported like any failure,
  // and never hides a mistake in the arguments.
  std::function<void(RunEnvironment&)> prepare = nullptr;
  // The one recorder; kept here so that it lives until the process exits.
  std::unique_ptr<Recorder> recorder = nullptr;
};

class QuorvaleScreenRecorderMain {
 public:
  // The exit status: 0 after a clean stop, 1 after any failure. Never throws.
  static asio::awaitable<int> main(RunEnvironment& environment);
  // The status to exit with once main() has completed. An error that escaped it
  // (only exhaustion gets that far) is reported unless the recorder already
  // reported its own, and is never a success.
  static int exitStatus(const RunEnvironment* environment, std::exception_ptr escaped, int status) noexcept;
};

}  // namespace quorvale::recorder
