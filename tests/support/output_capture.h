#pragma once

// Redirects a standard descriptor into a pipe, as the program's parent gives
// it, for the life of the object, so that tests read exactly what was written.

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorvale::testing {

class OutputCapture {
 public:
  explicit OutputCapture(int fd);
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  // Everything written before the call.
  std::string text();
  std::vector<std::string> lines();

 private:
  // Moves what the pipe holds into text_; false at its end.
  bool take();

  int fd_;
  int saved_;
  int pipe_;
  std::mutex mutex_;  // guards text_ and reading from pipe_, so that chunks stay in order
  std::string text_;
  std::thread reader_;  // keeps the pipe from filling up and blocking writers
};

}  // namespace quorvale::testing
