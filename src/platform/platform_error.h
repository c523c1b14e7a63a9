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

}  // namespace quorvale::platform
