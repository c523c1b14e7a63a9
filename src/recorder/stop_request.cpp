#include "recorder/stop_request.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <system_error>

namespace quorvale::recorder {

namespace {

// Self-pipe: the handler may only do async-signal-safe work.
int signalPipe[2] = {-1, -1};
std::atomic<int> signalCount{0};

extern "C" void onStopSignal(int) {
  if (signalCount.fetch_add(1) >= 1) _exit(1);
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const auto ignored = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

ProcessStopRequest::ProcessStopRequest(int inputFd) : inputFd_(inputFd) {
  signalCount = 0;
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::system_error(errno, std::generic_category(), "pipe2");
  }
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

ProcessStopRequest::~ProcessStopRequest() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
  ::close(signalPipe[0]);
  ::close(signalPipe[1]);
  signalPipe[0] = signalPipe[1] = -1;
}

void ProcessStopRequest::wait() {
  char buffer[256];
  while (true) {
    pollfd fds[2] = {{signalPipe[0], POLLIN, 0}, {inputFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;  // nothing left to wait on reliably; stopping is the safe answer
    }
    if (fds[0].revents != 0) return;
    if (fds[1].revents == 0) continue;
    // A line, end of file, a read error or a closed descriptor all mean stop.
    if (fds[1].revents & POLLNVAL) return;
    const ssize_t count = ::read(inputFd_, buffer, sizeof buffer);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (count <= 0) return;
    for (ssize_t i = 0; i < count; ++i) {
      if (buffer[i] == '\n') return;
    }
  }
}

}  // namespace quorvale::recorder
