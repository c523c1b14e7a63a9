#pragma once

// Redirects a standard descriptor into a temporary file for the life of the
// object, so that tests can read exactly what the program wrote there.

#include <string>
#include <vector>

namespace quorvale::testing {

class OutputCapture {
 public:
  explicit OutputCapture(int fd);
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  // Everything written so far.
  std::string text() const;
  std::vector<std::string> lines() const;

 private:
  int fd_;
  int saved_;
  int file_;
};

}  // namespace quorvale::testing
