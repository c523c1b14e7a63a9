#pragma once

#include <stdexcept>
#include <string>

namespace quorvale::platform {

// The one error type of the platform layer. The description is what the user
// reads; domain and code identify the failing component for diagnostics.
class PlatformError : public std::runtime_error {
 public:
  PlatformError(std::string domain, long code, const std::string& description)
      : std::runtime_error(description), domain_(std::move(domain)), code_(code) {}

  const std::string& domain() const noexcept { return domain_; }
  long code() const noexcept { return code_; }
  std::string localizedDescription() const { return what(); }

 private:
  std::string domain_;
  long code_;
};

// Failures of the system, X, FFmpeg and PulseAudio become PlatformError with a
// message a user can read: this one for errno (domain "posix": context, ": ",
// then strerror's text); each library's folder maps its own codes.
PlatformError systemError(int errorNumber, const std::string& context);

}  // namespace quorvale::platform
