#pragma once

// The parent's request to stop: a line or end of file on standard input, or
// SIGINT, SIGTERM or SIGHUP. A second signal ends the process at once.

namespace quorvale::recorder {

class StopRequest {
 public:
  virtual ~StopRequest() = default;
  // Blocks the calling thread until a stop is requested.
  virtual void wait() = 0;
};

// Standard input and the stop signals. Install once, early, from the main thread.
class ProcessStopRequest final : public StopRequest {
 public:
  explicit ProcessStopRequest(int inputFd);
  ~ProcessStopRequest() override;
  ProcessStopRequest(const ProcessStopRequest&) = delete;
  ProcessStopRequest& operator=(const ProcessStopRequest&) = delete;

  void wait() override;

 private:
  int inputFd_;
};

}  // namespace quorvale::recorder
