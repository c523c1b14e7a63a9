#include "support/output_capture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace quorvale::testing {

OutputCapture::OutputCapture(int fd) : fd_(fd) {
  std::fflush(nullptr);
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  pipe_ = ends[0];
  ::fcntl(pipe_, F_SETFL, O_NONBLOCK);
  saved_ = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  ::dup2(ends[1], fd_);
  ::close(ends[1]);
  reader_ = std::thread([this] {
    pollfd ready{pipe_, POLLIN, 0};
    while ((::poll(&ready, 1, -1) >= 0 || errno == EINTR) && take()) {
    }
  });
}

OutputCapture::~OutputCapture() {
  std::fflush(nullptr);
  ::dup2(saved_, fd_);  // the pipe's last writer goes: the reader sees its end
  ::close(saved_);
  reader_.join();
  ::close(pipe_);
  // A failing test's messages went here too.
  if (::testing::Test::HasFailure()) std::fputs(text_.c_str(), fd_ == STDERR_FILENO ? stderr : stdout);
}

bool OutputCapture::take() {
  const std::lock_guard lock(mutex_);
  char buffer[65536];
  ssize_t count;
  while ((count = ::read(pipe_, buffer, sizeof buffer)) > 0)
    text_.append(buffer, static_cast<std::size_t>(count));
  return count < 0 && (errno == EAGAIN || errno == EINTR);
}

std::string OutputCapture::text() {
  std::fflush(nullptr);
  take();
  const std::lock_guard lock(mutex_);
  return text_;
}

std::vector<std::string> OutputCapture::lines() {
  std::vector<std::string> result;
  std::istringstream stream(text());
  for (std::string line; std::getline(stream, line);) result.push_back(line);
  return result;
}

}  // namespace quorvale::testing
