#pragma once

// Owning handles for PulseAudio objects. Streams, contexts and operations must
// be released with the threaded mainloop's lock held (or before it runs); the
// mainloop itself without the lock and not from its own thread.

#include <pulse/pulseaudio.h>

#include <memory>

namespace quorvale::platform::sound::pulse {

struct MainloopDeleter {
  void operator()(pa_threaded_mainloop* mainloop) const {
    pa_threaded_mainloop_stop(mainloop);
    pa_threaded_mainloop_free(mainloop);
  }
};
struct ContextDeleter {
  void operator()(pa_context* context) const {
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_set_subscribe_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
  }
};
struct StreamDeleter {
  void operator()(pa_stream* stream) const {
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    if (pa_stream_get_state(stream) != PA_STREAM_UNCONNECTED) pa_stream_disconnect(stream);
    pa_stream_unref(stream);
  }
};
struct OperationDeleter {
  void operator()(pa_operation* operation) const { pa_operation_unref(operation); }
};
struct ProplistDeleter {
  void operator()(pa_proplist* proplist) const { pa_proplist_free(proplist); }
};
// Time events belong to the mainloop they were made on, which frees them.
struct TimeEventDeleter {
  pa_mainloop_api* api = nullptr;
  void operator()(pa_time_event* event) const { api->time_free(event); }
};

using MainloopPtr = std::unique_ptr<pa_threaded_mainloop, MainloopDeleter>;
using ContextPtr = std::unique_ptr<pa_context, ContextDeleter>;
using StreamPtr = std::unique_ptr<pa_stream, StreamDeleter>;
using OperationPtr = std::unique_ptr<pa_operation, OperationDeleter>;
using ProplistPtr = std::unique_ptr<pa_proplist, ProplistDeleter>;
using TimeEventPtr = std::unique_ptr<pa_time_event, TimeEventDeleter>;

// Holds the threaded mainloop's lock for a scope.
class MainloopLock {
 public:
  explicit MainloopLock(pa_threaded_mainloop* mainloop) : mainloop_(mainloop) {
    pa_threaded_mainloop_lock(mainloop_);
  }
  ~MainloopLock() { pa_threaded_mainloop_unlock(mainloop_); }
  MainloopLock(const MainloopLock&) = delete;
  MainloopLock& operator=(const MainloopLock&) = delete;

 private:
  pa_threaded_mainloop* mainloop_;
};

}  // namespace quorvale::platform::sound::pulse
