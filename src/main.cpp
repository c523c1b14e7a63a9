// Process entry: serve the main queue on the main thread, run the flow on it,
// and end the process with the flow's status.

#include <cxxabi.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

// GCC 12 takes asio's coroutine frames for mismatched new and delete, depending on
// how main is inlined (GCC PR 109224).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#pragma GCC diagnostic pop
#include <csignal>
#include <cstdlib>
#include <exception>
#include <new>
#include <optional>
#include <thread>
#include <typeinfo>
#include <vector>

#include "events/support_recording_event.h"
#include "platform/service/linux_platform.h"
#include "recorder/quorvale_screen_recorder.h"
#include "recorder/run_flow.h"
#include "recorder/window_id.h"

namespace {

using namespace quorvale;

// Libraries write their own complaints to descriptor 2 (x264 and PulseAudio have
// no way to stop them), and the parent reads standard error as this program's.
// Descriptor 2 goes to /dev/null; the program's own message goes to a copy of the
// real one, which no child inherits. With no descriptor to spare, both stay.
void keepStandardErrorForOurselves() {
  const int own = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (own < 0) return;
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0 || ::dup2(null, STDERR_FILENO) < 0) {
    ::close(own);
    if (null >= 0) ::close(null);
    return;
  }
  ::close(null);
  events::setErrorDescriptor(own);
}

// The last resort, for failures no handler of the run flow sees: an exception that
// escapes a thread or a noexcept function (std::terminate), PulseAudio's exit when
// it runs out of memory (it raises SIGQUIT, then calls _exit(1)), any other abort.
// A SIGQUIT from outside is not one of them.
// The parent still gets one "error" line, unless a terminal line is out, and status 1.
[[noreturn]] void endWithLastResortReport(events::LastResortCause cause) noexcept {
  events::emitLastResortError(cause);
  ::_exit(1);
}

[[noreturn]] void onTerminate() noexcept {
  // Its type only: rethrowing the exception to look at it would need memory.
  const std::type_info* escaped = abi::__cxa_current_exception_type();
  const bool outOfMemory =
      escaped && (*escaped == typeid(std::bad_alloc) || *escaped == typeid(std::bad_array_new_length));
  endWithLastResortReport(outOfMemory ? events::LastResortCause::outOfMemory
                                      : events::LastResortCause::unexpectedStop);
}

// libpulse raises SIGQUIT on its own thread; Ctrl-\ (the kernel) or kill from another
// process is someone asking us to stop.
bool raisedByThisProcess(const siginfo_t& info) {
  return (info.si_code == SI_TKILL || info.si_code == SI_USER) && info.si_pid == ::getpid();
}

extern "C" void onFatalSignal(int signal, siginfo_t* info, void*) {
  if (signal == SIGQUIT && !raisedByThisProcess(*info)) {
    // A stop request like SIGTERM, and a second one ends at once the same way.
    ::kill(::getpid(), SIGTERM);
    return;
  }
  endWithLastResortReport(signal == SIGQUIT ? events::LastResortCause::outOfMemory
                                            : events::LastResortCause::unexpectedStop);
}

void installLastResortReport() {
  std::set_terminate(onTerminate);
  struct sigaction action {};
  action.sa_sigaction = onFatalSignal;
  action.sa_flags = SA_SIGINFO;
  sigfillset(&action.sa_mask);
  for (const int signal : {SIGQUIT, SIGABRT}) ::sigaction(signal, &action, nullptr);
}

// The worker pool, joined thread by thread: asio's thread_pool constructor waits
// for ever on the threads it did start when a later one cannot be created.
class Workers {
 public:
  explicit Workers(int count) {
    try {
      for (int i = 0; i < count; ++i) threads_.emplace_back([this] { pool.attach(); });
    } catch (...) {
      stopAndJoin();
      throw;
    }
  }
  ~Workers() { stopAndJoin(); }
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  asio::thread_pool pool{0};

 private:
  void stopAndJoin() {
    pool.stop();
    for (auto& thread : threads_) thread.join();
    threads_.clear();
  }

  std::vector<std::thread> threads_;
};

}  // namespace

int main(int argc, char** argv) {
  // A parent that stops reading must not kill the recording.
  std::signal(SIGPIPE, SIG_IGN);
  // The encoder asks for transparent huge pages for its frames; each is resident
  // whole, which costs a recorder running beside the user's work more memory than
  // the fewer TLB misses save it.
  ::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
  keepStandardErrorForOurselves();
  installLastResortReport();

  // Other threads may still be working at every exit: no static destructors.
  std::optional<recorder::RunEnvironment> environment;
  try {
    asio::io_context mainQueue;
    // Made by the flow once the arguments are checked, so that their failure is its to report.
    std::optional<recorder::ProcessStopRequest> stopRequest;
    // start and stop each block one worker while they wait; the rest serve completions.
    std::optional<Workers> workers;
    std::optional<recorder::Runtime> runtime;
    std::unique_ptr<platform::Platform> platform;
    environment.emplace();
    environment->arguments.assign(argv, argv + argc);
    environment->prepare = [&](recorder::RunEnvironment& prepared) {
      stopRequest.emplace(STDIN_FILENO);
      workers.emplace(4);
      runtime.emplace(recorder::Runtime{mainQueue, workers->pool});
      // The checks passed, so the id parses; it chooses between X11 and the portal.
      platform = platform::makeLinuxPlatform(recorder::parseWindowID(prepared.arguments.at(2)).value_or(0),
                                             platform::service::DesktopSession::fromEnvironment());
      prepared.platform = platform.get();
      prepared.stopRequest = &*stopRequest;
      prepared.makeRecorder = [&](platform::WindowID windowID, const recorder::OutputLocation& location) {
        return std::make_unique<recorder::QuorvaleScreenRecorder>(windowID, location, *platform, *runtime);
      };
    };

    // The queue must keep running while the flow waits on the workers.
    auto busy = asio::make_work_guard(mainQueue);
    asio::co_spawn(
        mainQueue, recorder::QuorvaleScreenRecorderMain::main(*environment),
        [&](std::exception_ptr escaped, int status) {
          std::_Exit(recorder::QuorvaleScreenRecorderMain::exitStatus(&*environment, escaped, status));
        });
    mainQueue.run();
  } catch (...) {
    std::_Exit(recorder::QuorvaleScreenRecorderMain::exitStatus(environment ? &*environment : nullptr,
                                                                std::current_exception(), 1));
  }
  std::_Exit(1);
}
