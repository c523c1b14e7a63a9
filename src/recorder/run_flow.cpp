#include "recorder/run_flow.h"

#include <sys/stat.h>

#include <exception>
#include <optional>

#include "events/support_recording_error.h"
#include "events/support_recording_event.h"
#include "recorder/window_id.h"

namespace quorvale::recorder {

namespace {

using events::SupportRecordingError;

constexpr int kSuccess = 0;
constexpr int kFailure = 1;

// Any file-system object counts; a symbolic link counts by its target.
bool fileExists(const std::filesystem::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

void report(const std::string& message) { events::emitError(message, std::nullopt, std::nullopt); }

void report(const std::string& message, const OutputLocation& location) {
  events::emitError(message, location.path, location.fileName);
}

// Its localized description; the last-resort line when memory is too short to make that.
void reportFailure(const std::exception_ptr& error, const OutputLocation* location) noexcept {
  if (location) {
    events::emitError(error, location->path, location->fileName);
  } else {
    events::emitError(error, std::nullopt, std::nullopt);
  }
}

}  // namespace

asio::awaitable<int> QuorvaleScreenRecorderMain::main(RunEnvironment& environment) {
  std::optional<OutputLocation> checkedLocation;
  try {
    const auto& arguments = environment.arguments;
    if (arguments.size() < 3) {
      report(*SupportRecordingError::missingArguments().errorDescription());
      co_return kFailure;
    }
    const auto windowID = parseWindowID(arguments[2]);
    if (!windowID) {
      report(*SupportRecordingError::invalidWindowID(events::sanitizeUtf8(arguments[2])).errorDescription());
      co_return kFailure;
    }
    const auto location = OutputLocation::fromArgument(arguments[1]);
    // Still relative: the working directory could not be read (it was deleted, say).
    if (location.file.is_relative()) {
      report(*SupportRecordingError::outputLocationUnresolved(events::sanitizeUtf8(arguments[1]))
                  .errorDescription(),
             location);
      co_return kFailure;
    }
    const auto parent = location.parentDirectory();
    if (!fileExists(parent)) {
      report(*SupportRecordingError::outputDirectoryMissing(events::sanitizeUtf8(parent.native()))
                  .errorDescription(),
             location);
      co_return kFailure;
    }
    if (fileExists(location.file)) {
      report(*SupportRecordingError::outputAlreadyExists(location.path).errorDescription(), location);
      co_return kFailure;
    }
    checkedLocation = location;
    // From here on, a failure that leaves no way to report it still ends with an error about this file.
    events::prepareLastResortError(location.path, location.fileName);
    if (environment.prepare) environment.prepare(environment);
    if (!environment.platform->isOperatingSystemAtLeast({15, 0, 0})) {
      report(*SupportRecordingError::unsupportedMacOS().errorDescription(), location);
      co_return kFailure;
    }

    environment.recorder = environment.makeRecorder(*windowID, location);
    Recorder& recorder = *environment.recorder;

    // Reports a failure of start or stop unless the recorder already did.
    const auto reportUnlessReported = [&](const std::exception_ptr& error) {
      if (!recorder.hasEmittedTerminalEvent()) reportFailure(error, &location);
      return kFailure;
    };

    std::exception_ptr failure;
    try {
      co_await recorder.start();
    } catch (...) {
      failure = std::current_exception();
    }
    if (failure) co_return reportUnlessReported(failure);

    environment.stopRequest->wait();

    try {
      co_await recorder.stop();
    } catch (...) {
      failure = std::current_exception();
    }
    if (failure) co_return reportUnlessReported(failure);
    co_return kSuccess;
  } catch (...) {
    // Only resource exhaustion gets here: still one report, a failure, never an escape.
    if (!environment.recorder || !environment.recorder->hasEmittedTerminalEvent()) {
      reportFailure(std::current_exception(), checkedLocation ? &*checkedLocation : nullptr);
    }
    co_return kFailure;
  }
}

int QuorvaleScreenRecorderMain::exitStatus(const RunEnvironment* environment, std::exception_ptr escaped,
                                           int status) noexcept {
  if (!escaped) return status;
  if (!environment || !environment->recorder || !environment->recorder->hasEmittedTerminalEvent()) {
    reportFailure(escaped, nullptr);
  }
  return kFailure;
}

}  // namespace quorvale::recorder
