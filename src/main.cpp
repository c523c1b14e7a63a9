// Process entry: serve the main queue on the main thread, run the flow on it,
// and end the process with the flow's status.

#include <sys/prctl.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <csignal>
#include <cstdlib>
#include <exception>

#include "platform/service/linux_platform.h"
#include "recorder/quorvale_screen_recorder.h"
#include "recorder/run_flow.h"

int main(int argc, char** argv) {
  using namespace quorvale;
  // A parent that stops reading must not kill the recording.
  std::signal(SIGPIPE, SIG_IGN);
  // The encoder asks for transparent huge pages for its frames; each is resident
  // whole, which costs a recorder running beside the user's work more memory than
  // the fewer TLB misses save it.
  ::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);

  asio::io_context mainQueue;
  // start and stop each block one worker while they wait; the rest serve completions.
  asio::thread_pool workers(4);
  const recorder::Runtime runtime{mainQueue, workers};

  recorder::ProcessStopRequest stopRequest(STDIN_FILENO);
  auto platform = platform::makeX11Platform();
  recorder::RunEnvironment environment{
      std::vector<std::string>(argv, argv + argc), *platform,
      [&](platform::WindowID windowID, const recorder::OutputLocation& location) {
        return std::make_unique<recorder::QuorvaleScreenRecorder>(windowID, location, *platform, runtime);
      },
      stopRequest};

  // The queue must keep running while the flow waits on the workers.
  auto busy = asio::make_work_guard(mainQueue);
  asio::co_spawn(mainQueue, recorder::QuorvaleScreenRecorderMain::main(environment),
                 [](std::exception_ptr, int status) {
                   // Other threads may still be working: no static destructors.
                   std::_Exit(status);
                 });
  mainQueue.run();
  std::_Exit(1);
}
