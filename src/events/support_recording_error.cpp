#include "events/support_recording_error.h"

#include <new>

#include "events/support_recording_event.h"

namespace quorvale::events {

using C = SupportRecordingError::Case;

SupportRecordingError SupportRecordingError::invalidWindowID(std::string text) {
  return {C::invalidWindowID, "Could not read the Quorvale window identifier: " + text + "."};
}
SupportRecordingError SupportRecordingError::outputDirectoryMissing(std::string parentPath) {
  return {C::outputDirectoryMissing, "The Downloads folder could not be found: " + parentPath + "."};
}
SupportRecordingError SupportRecordingError::outputAlreadyExists(std::string outputPath) {
  return {C::outputAlreadyExists, "A recording already exists at " + outputPath + "."};
}
SupportRecordingError SupportRecordingError::windowNotFound(std::uint32_t windowID) {
  return {C::windowNotFound,
          "Could not find the Quorvale window to record. Make sure the app window is open and visible.",
          windowID};
}
SupportRecordingError SupportRecordingError::missingArguments() {
  return {C::missingArguments, "Missing the output path or app window identifier."};
}
SupportRecordingError SupportRecordingError::unsupportedMacOS() {
  return {C::unsupportedMacOS,
          "Support recording does not work on this version of the system. Update the system on this device, "
          "then try again."};
}
SupportRecordingError SupportRecordingError::recorderNotReady() {
  return {C::recorderNotReady, "The support recorder is not ready yet."};
}
SupportRecordingError SupportRecordingError::screenCapturePermissionDenied() {
  return {C::screenCapturePermissionDenied,
          "Screen recording permission is required. Choose the Quorvale window in the screen-sharing dialog "
          "and allow sharing it, then try again."};
}
SupportRecordingError SupportRecordingError::startTimedOut() {
  return {C::startTimedOut,
          "Timed out while starting support recording. Choose the Quorvale window in the screen-sharing "
          "dialog and allow sharing it, then try again."};
}
SupportRecordingError SupportRecordingError::stopTimedOut() {
  return {C::stopTimedOut, "Timed out while finishing support recording."};
}

SupportRecordingError SupportRecordingError::outputLocationUnresolved(std::string outputPath) {
  return {C::outputLocationUnresolved,
          "The location of the recording could not be resolved, as the current folder cannot be read: " +
              outputPath + "."};
}

std::string localizedDescription(const std::exception_ptr& error) {
  if (!error) return "An unknown error occurred.";
  try {
    std::rethrow_exception(error);
  } catch (const std::bad_alloc&) {
    return std::string(kOutOfMemoryMessage);
  } catch (const std::exception& e) {
    // Messages may quote raw file-system bytes (a path in another encoding); the
    // event that carries them must still be written.
    return sanitizeUtf8(e.what());
  } catch (...) {
    return "An unknown error occurred.";
  }
}

}  // namespace quorvale::events
