#pragma once

// Redirects a standard descriptor into a file in memory for the life of the
// object, so that tests read exactly what was written, whenever they ask.
// A test that needs a pipe's short writes makes its own.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace quorvale::testing {

class OutputCapture {
 public:
  explicit OutputCapture(int fd) : fd_(fd) {
    std::fflush(nullptr);
    ::dup2(file_, fd_);
  }
  ~OutputCapture() {
    std::fflush(nullptr);
    ::dup2(saved_, fd_);
    ::close(saved_);
    // A failing test's messages went here too.
    if (::testing::Test::HasFailure()) std::fputs(text().c_str(), fd_ == STDERR_FILENO ? stderr : stdout);
    ::close(file_);
  }

  // Everything written before the call.
  std::string text() const {
    std::ifstream in("/proc/self/fd/" + std::to_string(file_));  // from the start, whatever was written
    return {std::istreambuf_iterator<char>(in), {}};
  }

 private:
  int fd_;
  int saved_ = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  int file_ = ::memfd_create("output", MFD_CLOEXEC);
};

}  // namespace quorvale::testing
