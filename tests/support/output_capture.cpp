#include "support/output_capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace quorvale::testing {

OutputCapture::OutputCapture(int fd) : fd_(fd) {
  std::fflush(nullptr);
  char name[] = "/tmp/quorvale-capture-XXXXXX";
  file_ = ::mkstemp(name);
  if (file_ < 0) throw std::runtime_error("mkstemp failed");
  ::unlink(name);
  saved_ = ::dup(fd_);
  ::dup2(file_, fd_);
}

OutputCapture::~OutputCapture() {
  std::fflush(nullptr);
  ::dup2(saved_, fd_);
  ::close(saved_);
  ::close(file_);
}

std::string OutputCapture::text() const {
  std::fflush(nullptr);
  std::string out;
  char buffer[4096];
  off_t offset = 0;
  while (true) {
    const ssize_t count = ::pread(file_, buffer, sizeof buffer, offset);
    if (count <= 0) break;
    out.append(buffer, static_cast<std::size_t>(count));
    offset += count;
  }
  return out;
}

std::vector<std::string> OutputCapture::lines() const {
  std::vector<std::string> result;
  std::istringstream stream(text());
  for (std::string line; std::getline(stream, line);) result.push_back(line);
  return result;
}

}  // namespace quorvale::testing
