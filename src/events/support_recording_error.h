#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace quorvale::events {

// The program's own failures. The description is the user-facing message that
// becomes an "error" event's detail.
class SupportRecordingError : public std::exception {
 public:
  enum class Case {
    invalidWindowID,
    outputDirectoryMissing,
    outputAlreadyExists,
    windowNotFound,
    missingArguments,
    unsupportedMacOS,
    recorderNotReady,
    screenCapturePermissionDenied,
    startTimedOut,
    stopTimedOut,
    outputLocationUnresolved,
  };

  static SupportRecordingError invalidWindowID(std::string text);
  static SupportRecordingError outputDirectoryMissing(std::string parentPath);
  static SupportRecordingError outputAlreadyExists(std::string outputPath);
  static SupportRecordingError windowNotFound(std::uint32_t windowID);
  static SupportRecordingError missingArguments();
  static SupportRecordingError unsupportedMacOS();
  static SupportRecordingError recorderNotReady();
  static SupportRecordingError screenCapturePermissionDenied();
  static SupportRecordingError startTimedOut();
  static SupportRecordingError stopTimedOut();
  // A relative output path while the working directory cannot be read; the path as given.
  static SupportRecordingError outputLocationUnresolved(std::string outputPath);

  Case errorCase() const noexcept { return case_; }
  std::optional<std::uint32_t> windowID() const noexcept { return windowID_; }

  std::optional<std::string> errorDescription() const { return description_; }
  std::optional<std::string> failureReason() const { return std::nullopt; }
  std::optional<std::string> recoverySuggestion() const { return std::nullopt; }
  std::optional<std::string> helpAnchor() const { return std::nullopt; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  SupportRecordingError(Case errorCase, std::string description,
                        std::optional<std::uint32_t> windowID = std::nullopt)
      : case_(errorCase), description_(std::move(description)), windowID_(windowID) {}

  Case case_;
  std::string description_;
  std::optional<std::uint32_t> windowID_;
};

// The details of the last-resort report (see emitLastResortError), made before memory runs out.
inline constexpr std::string_view kOutOfMemoryMessage = "There was not enough memory to go on recording.";
inline constexpr std::string_view kUnexpectedStopMessage = "The recording stopped unexpectedly.";

// The text an error event carries for any failure: the description of a
// SupportRecordingError or a platform error, kOutOfMemoryMessage for
// std::bad_alloc, what() of another exception; always valid UTF-8.
std::string localizedDescription(const std::exception_ptr& error);

}  // namespace quorvale::events
