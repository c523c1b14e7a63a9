#pragma once

// An owned file descriptor, closed once. Any thread, one owner at a time.

#include <unistd.h>

#include <utility>

namespace quorvale::platform::pipeline {

// An owned file descriptor; -1 owns nothing.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      UniqueFd old(std::exchange(fd_, std::exchange(other.fd_, -1)));
    }
    return *this;
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

}  // namespace quorvale::platform::pipeline
