#pragma once

// Redirects a standard descriptor into a pipe, as the program's parent gives
// it, for the life of the object, so that tests read exactly what was written.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace quorvale::testing {

class OutputCapture {
 public:
  explicit OutputCapture(int fd) : fd_(fd) {
    std::fflush(nullptr);
    int ends[2];
    EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    pipe_ = ends[0];
    ::fcntl(pipe_, F_SETFL, O_NONBLOCK);
    ::dup2(ends[1], fd_);
    ::close(ends[1]);
    // Keeps the pipe from filling up and blocking writers.
    reader_ = std::thread([this] {
      pollfd ready{pipe_, POLLIN, 0};
      while ((::poll(&ready, 1, -1) >= 0 || errno == EINTR) && take()) {
      }
    });
  }
  ~OutputCapture() {
    std::fflush(nullptr);
    ::dup2(saved_, fd_);  // the pipe's last writer goes: the reader sees its end
    ::close(saved_);
    reader_.join();
    ::close(pipe_);
    // A failing test's messages went here too.
    if (::testing::Test::HasFailure()) std::fputs(text_.c_str(), fd_ == STDERR_FILENO ? stderr : stdout);
  }

  // Everything written before the call.
  std::string text() {
    take();
    const std::lock_guard lock(mutex_);
    return text_;
  }

 private:
  // Moves what the pipe holds into text_; false at its end.
  bool take() {
    const std::lock_guard lock(mutex_);  // reading under it too keeps the chunks in order
    char buffer[65536];
    ssize_t count;
    while ((count = ::read(pipe_, buffer, sizeof buffer)) > 0)
      text_.append(buffer, static_cast<std::size_t>(count));
    return count < 0 && (errno == EAGAIN || errno == EINTR);
  }

  int fd_;
  int saved_ = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  int pipe_;
  std::mutex mutex_;
  std::string text_;
  std::thread reader_;
};

}  // namespace quorvale::testing
