// AudioCapture: system audio from PulseAudio on a threaded mainloop.
//
// Threads: start() and stop() (and the destructor) come from the owner's
// thread, never from the sink. Every PulseAudio callback, the sink included,
// runs on the mainloop's thread with its lock held; stop() takes that lock, so
// once it has torn the streams down no callback is running or can start.
// The sink must not throw: it is called from inside libpulse's C code.
//
// With a process ID, one of that process's playback streams is recorded at a
// time: the first found, then the next when it ends. Mixing several would need
// them aligned in time; a single recording stream is what the writer expects.

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/x11/media.h"
#include "platform/x11/pulse_handles.h"

namespace quorvale::platform::x11 {

namespace {

using namespace pulse;

constexpr pa_usec_t kConnectTimeoutMicros = 2'000'000;
constexpr pa_usec_t kRequestTimeoutMicros = 2'000'000;
constexpr pa_usec_t kFragmentMicros = 20'000;

}  // namespace

struct AudioCapture::Impl {
  AudioFormat format;
  std::optional<pid_t> processID;
  Sink sink;

  MainloopPtr mainloop;
  ContextPtr context;
  StreamPtr stream;  // the recording stream, if any
  // Per-process mode: the sink input being recorded and one being set up.
  std::optional<std::uint32_t> recordedInput;
  std::optional<std::uint32_t> pendingInput;
  std::string defaultSinkName;
  bool running = false;

  pa_sample_spec sampleSpec() const {
    pa_sample_spec sample{};
    sample.format = PA_SAMPLE_FLOAT32LE;
    sample.rate = static_cast<std::uint32_t>(format.sampleRate);
    sample.channels = static_cast<std::uint8_t>(format.channels);
    return sample;
  }

  void signal() { pa_threaded_mainloop_signal(mainloop.get(), 0); }

  // A deadline on the mainloop: wakes waiters when it passes. Lock held.
  class Deadline {
   public:
    Deadline(Impl& impl, pa_usec_t micros) : impl_(impl) {
      event_ = pa_context_rttime_new(impl.context.get(), pa_rtclock_now() + micros, &Deadline::fire, this);
    }
    ~Deadline() {
      if (event_) pa_threaded_mainloop_get_api(impl_.mainloop.get())->time_free(event_);
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;
    bool passed() const { return passed_ || !event_; }

   private:
    static void fire(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
      auto* self = static_cast<Deadline*>(userdata);
      self->passed_ = true;
      self->impl_.signal();
    }
    Impl& impl_;
    pa_time_event* event_ = nullptr;
    bool passed_ = false;
  };

  // Waits (lock held) until done() or the deadline passes; returns done().
  template <typename Done>
  bool waitUntil(pa_usec_t micros, Done done) {
    Deadline deadline(*this, micros);
    while (!done() && !deadline.passed()) pa_threaded_mainloop_wait(mainloop.get());
    return done();
  }

  bool waitFor(pa_operation* raw) {
    if (!raw) return false;
    OperationPtr operation(raw);
    return waitUntil(kRequestTimeoutMicros,
                     [&] { return pa_operation_get_state(operation.get()) != PA_OPERATION_RUNNING; });
  }

  // --- callbacks, on the mainloop thread ---

  static void onContextState(pa_context*, void* userdata) { static_cast<Impl*>(userdata)->signal(); }
  static void onSuccess(pa_context*, int, void* userdata) { static_cast<Impl*>(userdata)->signal(); }
  static void onStreamState(pa_stream*, void* userdata) { static_cast<Impl*>(userdata)->signal(); }

  static void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    if (info && info->default_sink_name) self->defaultSinkName = info->default_sink_name;
    self->signal();
  }

  static void onRead(pa_stream* stream, std::size_t, void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    const std::size_t frameBytes = sizeof(float) * static_cast<std::size_t>(self->format.channels);
    while (pa_stream_readable_size(stream) > 0) {
      const void* data = nullptr;
      std::size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
      const std::size_t frames = bytes / frameBytes;
      // The chunk ended `latency` ago and began its own duration before that.
      pa_usec_t latency = 0;
      int negative = 0;
      if (pa_stream_get_latency(stream, &latency, &negative) < 0 || negative) latency = 0;
      const std::int64_t duration =
          static_cast<std::int64_t>(frames) * 1'000'000 / std::max(1, self->format.sampleRate);
      const std::int64_t pts = monotonicMicros() - static_cast<std::int64_t>(latency) - duration;
      if (data && frames > 0) {  // null data is a hole in the stream: the writer fills it with silence
        self->sink(static_cast<const float*>(data), frames, pts);
      }
      pa_stream_drop(stream);
    }
  }

  static void onSubscription(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                             void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK_INPUT) return;
    const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (kind == PA_SUBSCRIPTION_EVENT_REMOVE && self->recordedInput == index) {
      self->stream.reset();
      self->recordedInput.reset();
      self->scanSinkInputs();
    } else if (kind == PA_SUBSCRIPTION_EVENT_NEW && !self->recordedInput && !self->pendingInput) {
      if (pa_operation* operation = pa_context_get_sink_input_info(context, index, &onSinkInput, self)) {
        pa_operation_unref(operation);
      }
    }
  }

  static void onSinkInput(pa_context* context, const pa_sink_input_info* info, int eol, void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    if (eol || !info || self->recordedInput || self->pendingInput) return;
    const char* pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
    if (!pid || std::strtol(pid, nullptr, 10) != static_cast<long>(*self->processID)) return;
    self->pendingInput = info->index;
    // Recording one input means recording from the monitor of the sink it plays to.
    pa_operation* operation = pa_context_get_sink_info_by_index(context, info->sink, &onSinkInfo, self);
    if (operation) {
      pa_operation_unref(operation);
    } else {
      self->pendingInput.reset();
    }
  }

  static void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    if (!self->pendingInput) return;
    if (info && !eol && info->monitor_source_name) {
      const std::uint32_t input = *self->pendingInput;
      if (self->connectStream(info->monitor_source_name, input)) self->recordedInput = input;
    }
    if (eol || !info) self->pendingInput.reset();
  }

  // --- setup, lock held ---

  void scanSinkInputs() {
    if (pa_operation* operation = pa_context_get_sink_input_info_list(context.get(), &onSinkInput, this)) {
      pa_operation_unref(operation);
    }
  }

  bool connectStream(const char* source, std::optional<std::uint32_t> monitoredInput) {
    const pa_sample_spec sample = sampleSpec();
    pa_channel_map map;
    if (!pa_channel_map_init_auto(&map, sample.channels, PA_CHANNEL_MAP_DEFAULT)) return false;
    StreamPtr created(pa_stream_new(context.get(), "Recording", &sample, &map));
    if (!created) return false;
    if (monitoredInput && pa_stream_set_monitor_stream(created.get(), *monitoredInput) < 0) return false;
    pa_stream_set_state_callback(created.get(), &onStreamState, this);
    pa_stream_set_read_callback(created.get(), &onRead, this);
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(kFragmentMicros, &sample));
    attributes.tlength = attributes.prebuf = attributes.minreq = static_cast<std::uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING);
    if (pa_stream_connect_record(created.get(), source, &attributes, flags) < 0) return false;
    stream = std::move(created);
    return true;
  }

  bool connectContext() {
    mainloop.reset(pa_threaded_mainloop_new());
    if (!mainloop) return false;
    ProplistPtr properties(pa_proplist_new());
    if (!properties) return false;
    pa_proplist_sets(properties.get(), PA_PROP_APPLICATION_NAME, "quorvale_screen_recorder");
    context.reset(pa_context_new_with_proplist(pa_threaded_mainloop_get_api(mainloop.get()),
                                               "quorvale_screen_recorder", properties.get()));
    if (!context) return false;
    pa_context_set_state_callback(context.get(), &onContextState, this);
    if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
    if (pa_threaded_mainloop_start(mainloop.get()) < 0) return false;
    return true;
  }

  bool startRecording() {
    MainloopLock lock(mainloop.get());
    const bool ready = waitUntil(kConnectTimeoutMicros, [&] {
      const pa_context_state_t state = pa_context_get_state(context.get());
      return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    });
    if (!ready || pa_context_get_state(context.get()) != PA_CONTEXT_READY) return false;

    if (processID) {
      pa_context_set_subscribe_callback(context.get(), &onSubscription, this);
      if (!waitFor(pa_context_subscribe(context.get(), PA_SUBSCRIPTION_MASK_SINK_INPUT, &onSuccess, this))) {
        return false;
      }
      scanSinkInputs();
      return true;
    }
    if (!waitFor(pa_context_get_server_info(context.get(), &onServerInfo, this)) || defaultSinkName.empty()) {
      return false;
    }
    const std::string monitor = defaultSinkName + ".monitor";
    if (!connectStream(monitor.c_str(), std::nullopt)) return false;
    return waitUntil(kConnectTimeoutMicros,
                     [&] {
                       const pa_stream_state_t state = pa_stream_get_state(stream.get());
                       return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
                     }) &&
           pa_stream_get_state(stream.get()) == PA_STREAM_READY;
  }

  void teardown() {
    if (mainloop && context) {
      MainloopLock lock(mainloop.get());
      stream.reset();
      context.reset();
    }
    stream.reset();
    context.reset();
    mainloop.reset();  // stops and joins the mainloop's thread
    recordedInput.reset();
    pendingInput.reset();
    running = false;
  }
};

AudioCapture::AudioCapture(AudioFormat format, std::optional<pid_t> processID, Sink sink)
    : impl_(std::make_unique<Impl>()) {
  impl_->format = format;
  impl_->processID = processID;
  impl_->sink = std::move(sink);
}

AudioCapture::~AudioCapture() { stop(); }

bool AudioCapture::start() {
  Impl& self = *impl_;
  if (self.running) return true;
  if (self.format.channels < 1 || self.format.channels > static_cast<int>(PA_CHANNELS_MAX) ||
      self.format.sampleRate < 1) {
    return false;
  }
  if (!self.connectContext() || !self.startRecording()) {
    self.teardown();
    return false;
  }
  self.running = true;
  return true;
}

void AudioCapture::stop() { impl_->teardown(); }

}  // namespace quorvale::platform::x11
