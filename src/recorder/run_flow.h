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
  platform::Platform& platform;
  RecorderFactory makeRecorder;
  StopRequest& stopRequest;
  // The one recorder; kept here so that it lives until the process exits.
  std::unique_ptr<Recorder> recorder = nullptr;
};

class QuorvaleScreenRecorderMain {
 public:
  // The exit status: 0 after a clean stop, 1 after any failure. Never throws.
  static asio::awaitable<int> main(RunEnvironment& environment);
};

}  // namespace quorvale::recorder
