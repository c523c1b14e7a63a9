// AudioCapture: system audio from PulseAudio on a threaded mainloop.
//
// Threads: start() and stop() (and the destructor) come from the owner's
// thread, never from the sink. Every PulseAudio callback, the sink included,
// runs on the mainloop's thread with its lock held; stop() takes that lock, so
// once it has torn the streams down no callback is running or can start.
// The sink must not throw: it is called from inside libpulse's C code.
//
// Every playback stream of the process or of one of its descendants (a browser
// engine's audio process, a player it started) is recorded at once, one monitor
// stream per sink input, joining and leaving as the inputs come and go. Without
// a process nothing is recorded: the output mix holds other programs' sound.
// Each stream's chunks land by their time on a shared timeline and are summed there;
// the sink gets the mix kMixDelayMicros after the slowest stream's latency
// says it is complete, so a stream that delivers a little late still lines up
// with the others. stop() flushes the rest.

#include "platform/sound/audio_capture.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/pipeline/media_clock.h"
#include "platform/sound/pulse_errors.h"
#include "platform/sound/pulse_handles.h"

namespace quorvale::platform::sound {

using pipeline::monotonicMicros;

namespace {

using namespace pulse;

constexpr pa_usec_t kConnectTimeoutMicros = 2'000'000;
constexpr pa_usec_t kRequestTimeoutMicros = 2'000'000;
constexpr pa_usec_t kFragmentMicros = 20'000;
constexpr pa_usec_t kTickMicros = 20'000;
// How much later than its latency promises a stream's chunk may arrive and
// still be mixed with the others.
constexpr std::int64_t kMixDelayMicros = 100'000;
constexpr std::int64_t kTimelineMicros = 1'000'000;
// A chunk this close to where its stream's last one ended continues it, so
// jitter in the latency estimate does not tear the sound.
constexpr std::int64_t kResyncMicros = 30'000;
// Deeper process trees than this are not followed (and a loop would end here).
constexpr int kMaxAncestry = 64;

// The parent of a running process, from /proc; none once it has gone.
std::optional<pid_t> parentOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!stat || !std::getline(stat, text)) return std::nullopt;
  // "pid (comm) state ppid ...": the name may hold spaces and parentheses, so read after the last ')'.
  const auto close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream rest(text.substr(close + 1));
  char state = 0;
  long parent = 0;
  if (!(rest >> state >> parent) || parent < 0) return std::nullopt;
  return static_cast<pid_t>(parent);
}

bool isSelfOrDescendant(pid_t pid, pid_t ancestor) {
  if (pid == ancestor) return true;
  if (ancestor <= 1) return false;  // every process descends from init: that would be everyone's sound
  for (int depth = 0; depth < kMaxAncestry && pid > 1; ++depth) {
    const auto parent = parentOf(pid);
    if (!parent) return false;
    pid = *parent;
    if (pid == ancestor) return true;
  }
  return false;
}

}  // namespace

struct AudioCapture::Impl {
  // One recording stream and where it is on the timeline.
  struct Source {
    Impl* owner = nullptr;
    std::uint32_t input = PA_INVALID_INDEX;  // the sink input it monitors
    OperationPtr lookup;                     // finding the sink the input plays to
    StreamPtr stream;
    std::optional<std::int64_t> nextFrame;  // where its last chunk ended
    std::int64_t latencyMicros = 0;         // how long after their time its chunks arrive
    bool wasReady = false;
    bool dead = false;  // removed on the next tick, outside its own callbacks
    ~Source() {
      if (lookup && pa_operation_get_state(lookup.get()) == PA_OPERATION_RUNNING) {
        pa_operation_cancel(lookup.get());  // its callback points here
      }
    }
  };

  AudioFormat format;
  std::optional<pid_t> processID;
  Sink sink;

  MainloopPtr mainloop;
  ContextPtr context;
  std::vector<std::unique_ptr<Source>> sources;
  TimeEventPtr tick;
  bool running = false;

  // The timeline: frame f plays at originMicros + f / rate. Frames from
  // emittedFrame on sit in the ring at f % ringFrames; the rest of it is zero.
  std::vector<float> ring;
  std::int64_t ringFrames = 0;
  bool haveOrigin = false;
  std::int64_t originMicros = 0;
  std::int64_t emittedFrame = 0;
  std::int64_t endFrame = 0;  // past the last frame any stream wrote
  bool stopping = false;
  bool flushed = false;

  std::size_t channels() const { return static_cast<std::size_t>(format.channels); }

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

  // --- the timeline, on the mainloop thread ---

  // Rounded down, also before the origin.
  std::int64_t frameAt(std::int64_t micros) const {
    const std::int64_t scaled = (micros - originMicros) * format.sampleRate;
    return scaled >= 0 ? scaled / 1'000'000 : -((-scaled + 999'999) / 1'000'000);
  }

  // Hands [from, to) to the sink, clamped, and clears it for reuse. to - from <= ringFrames.
  void emitRange(std::int64_t from, std::int64_t to) {
    while (from < to) {
      const std::int64_t slot = from % ringFrames;
      const std::int64_t count = std::min(to - from, ringFrames - slot);
      float* samples = ring.data() + static_cast<std::size_t>(slot) * channels();
      const std::size_t length = static_cast<std::size_t>(count) * channels();
      for (std::size_t i = 0; i < length; ++i) samples[i] = std::clamp(samples[i], -1.0f, 1.0f);
      sink(samples, static_cast<std::size_t>(count), originMicros + from * 1'000'000 / format.sampleRate);
      std::fill(samples, samples + length, 0.0f);
      from += count;
    }
  }

  // Everything before `frame` is final: what was mixed goes out, silence is left to the writer.
  void emitUpTo(std::int64_t frame) {
    if (frame <= emittedFrame) return;
    emitRange(emittedFrame, std::min(frame, endFrame));
    emittedFrame = frame;
  }

  void mix(const float* samples, std::int64_t frames, std::int64_t at) {
    const std::int64_t end = at + frames;
    if (end - emittedFrame > ringFrames) emitUpTo(end - ringFrames);  // only if the ticks stall
    const std::int64_t from = std::max(at, emittedFrame);
    for (std::int64_t frame = from; frame < end; ++frame) {
      float* slot = ring.data() + static_cast<std::size_t>(frame % ringFrames) * channels();
      const float* in = samples + static_cast<std::size_t>(frame - at) * channels();
      for (std::size_t c = 0; c < channels(); ++c) slot[c] += in[c];
    }
    endFrame = std::max(endFrame, end);
  }

  static void onTick(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    if (self->stopping) {
      if (self->haveOrigin) self->emitUpTo(self->endFrame);
      self->flushed = true;
      self->signal();
      return;
    }
    if (self->haveOrigin) {
      // A stream's chunks come its latency after their time; the slowest one sets what is final.
      std::int64_t latency = 0;
      for (const auto& source : self->sources) {
        if (source->stream && !source->dead) latency = std::max(latency, source->latencyMicros);
      }
      self->emitUpTo(self->frameAt(monotonicMicros() - latency - kMixDelayMicros));
    }
    self->dropDeadSources();
    pa_context_rttime_restart(self->context.get(), self->tick.get(), pa_rtclock_now() + kTickMicros);
  }

  // --- callbacks, on the mainloop thread ---

  static void unblockOutOfMemorySignal(pa_threaded_mainloop*, void*) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGQUIT);
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
  }

  static void onContextState(pa_context*, void* userdata) { static_cast<Impl*>(userdata)->signal(); }
  static void onSuccess(pa_context*, int, void* userdata) { static_cast<Impl*>(userdata)->signal(); }

  static void onStreamState(pa_stream* stream, void* userdata) {
    auto* source = static_cast<Source*>(userdata);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_READY) source->wasReady = true;
    if (!PA_STREAM_IS_GOOD(state)) source->dead = true;
    source->owner->signal();
  }

  static void onRead(pa_stream* stream, std::size_t, void* userdata) {
    auto* source = static_cast<Source*>(userdata);
    Impl& self = *source->owner;
    const std::size_t frameBytes = sizeof(float) * self.channels();
    while (pa_stream_readable_size(stream) > 0) {
      const void* data = nullptr;
      std::size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
      const auto frames = static_cast<std::int64_t>(bytes / frameBytes);
      // The chunk ended `latency` ago and began its own duration before that.
      pa_usec_t latency = 0;
      int negative = 0;
      if (pa_stream_get_latency(stream, &latency, &negative) < 0 || negative) latency = 0;
      const std::int64_t duration = frames * 1'000'000 / std::max(1, self.format.sampleRate);
      const std::int64_t pts = monotonicMicros() - static_cast<std::int64_t>(latency) - duration;
      if (frames > 0) {
        if (!self.haveOrigin) {
          self.haveOrigin = true;
          self.originMicros = pts;
        }
        std::int64_t at = self.frameAt(pts);
        const std::int64_t tolerance = kResyncMicros * self.format.sampleRate / 1'000'000;
        if (source->nextFrame && std::abs(at - *source->nextFrame) <= tolerance) at = *source->nextFrame;
        // Null data is a hole in the stream: silence, which the timeline already holds.
        if (data) self.mix(static_cast<const float*>(data), frames, at);
        source->nextFrame = at + frames;
        source->latencyMicros = static_cast<std::int64_t>(latency);
      }
      pa_stream_drop(stream);
    }
  }

  static void onSubscription(pa_context*, pa_subscription_event_type_t type, std::uint32_t index,
                             void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK_INPUT) return;
    const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
      std::erase_if(self->sources, [&](const auto& source) { return source->input == index; });
    } else {
      // PipeWire may name the process, or link the input to a sink, only in a later change.
      self->lookUpSinkInput(index);
    }
  }

  static void onSinkInput(pa_context* context, const pa_sink_input_info* info, int eol, void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    if (eol || !info) return;
    if (info->sink == PA_INVALID_INDEX) return;  // not playing anywhere yet
    if (std::ranges::any_of(self->sources,
                            [&](const auto& source) { return source->input == info->index; })) {
      return;
    }
    const char* pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
    if (!pid) return;
    char* end = nullptr;
    const long value = std::strtol(pid, &end, 10);
    if (end == pid || *end != '\0' || value <= 0 ||
        !isSelfOrDescendant(static_cast<pid_t>(value), *self->processID)) {
      return;
    }
    auto source = std::make_unique<Source>();
    source->owner = self;
    source->input = info->index;
    // Recording one input means recording from the monitor of the sink it plays to.
    source->lookup.reset(pa_context_get_sink_info_by_index(context, info->sink, &onSinkInfo, source.get()));
    if (source->lookup) self->sources.push_back(std::move(source));
  }

  static void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    auto* source = static_cast<Source*>(userdata);
    if (info && !eol && info->monitor_source_name && !source->stream) {
      source->owner->connectStream(*source, info->monitor_source_name);
    }
    if (eol || !info) {
      source->lookup.reset();
      if (!source->stream) source->dead = true;
    }
  }

  // --- setup, lock held ---

  void scanSinkInputs() {
    if (pa_operation* operation = pa_context_get_sink_input_info_list(context.get(), &onSinkInput, this)) {
      pa_operation_unref(operation);
    }
  }

  void lookUpSinkInput(std::uint32_t index) {
    if (pa_operation* operation = pa_context_get_sink_input_info(context.get(), index, &onSinkInput, this)) {
      pa_operation_unref(operation);
    }
  }

  // A stream that failed once playing (its input moved to another sink, say) is tried again.
  void dropDeadSources() {
    std::vector<std::uint32_t> retry;
    std::erase_if(sources, [&](const auto& source) {
      if (!source->dead) return false;
      if (source->wasReady) retry.push_back(source->input);
      return true;
    });
    for (std::uint32_t input : retry) lookUpSinkInput(input);
  }

  bool connectStream(Source& source, const char* device) {
    const pa_sample_spec sample = sampleSpec();
    pa_channel_map map;
    if (!pa_channel_map_init_auto(&map, sample.channels, PA_CHANNEL_MAP_DEFAULT)) return false;
    StreamPtr created(pa_stream_new(context.get(), "Recording", &sample, &map));
    if (!created) return false;
    if (pa_stream_set_monitor_stream(created.get(), source.input) < 0) return false;
    pa_stream_set_state_callback(created.get(), &onStreamState, &source);
    pa_stream_set_read_callback(created.get(), &onRead, &source);
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(kFragmentMicros, &sample));
    attributes.tlength = attributes.prebuf = attributes.minreq = static_cast<std::uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING);
    if (pa_stream_connect_record(created.get(), device, &attributes, flags) < 0) return false;
    source.stream = std::move(created);
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
    // Out of memory, libpulse raises SIGQUIT and then exits with status 1. Its
    // thread blocks every signal, which would hide that from the process.
    // Queued before the thread runs: the mainloop's own calls are not safe
    // against it once it does.
    pa_threaded_mainloop_once_unlocked(mainloop.get(), &unblockOutOfMemorySignal, nullptr);
    // Without a server there is silence; without the thread to hear one, the recording fails.
    if (pa_threaded_mainloop_start(mainloop.get()) < 0) {
      throw pulseError(PA_ERR_INTERNAL, "Could not start the sound capture thread");
    }
    return true;
  }

  bool startRecording() {
    MainloopLock lock(mainloop.get());
    const bool ready = waitUntil(kConnectTimeoutMicros, [&] {
      const pa_context_state_t state = pa_context_get_state(context.get());
      return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    });
    if (!ready || pa_context_get_state(context.get()) != PA_CONTEXT_READY) return false;

    tick = TimeEventPtr(pa_context_rttime_new(context.get(), pa_rtclock_now() + kTickMicros, &onTick, this),
                        TimeEventDeleter{pa_threaded_mainloop_get_api(mainloop.get())});
    if (!tick) return false;

    pa_context_set_subscribe_callback(context.get(), &onSubscription, this);
    if (!waitFor(pa_context_subscribe(context.get(), PA_SUBSCRIPTION_MASK_SINK_INPUT, &onSuccess, this))) {
      return false;
    }
    scanSinkInputs();
    return true;
  }

  void teardown() {
    if (mainloop && context) {
      MainloopLock lock(mainloop.get());
      if (running && tick) {
        // The rest of the timeline goes out from the mainloop's thread, like every sink call.
        stopping = true;
        pa_context_rttime_restart(context.get(), tick.get(), pa_rtclock_now());
        waitUntil(kRequestTimeoutMicros, [&] { return flushed; });
      }
      tick.reset();
      sources.clear();
      context.reset();
    }
    tick.reset();
    sources.clear();
    context.reset();
    mainloop.reset();  // stops and joins the mainloop's thread
    haveOrigin = stopping = flushed = false;
    emittedFrame = endFrame = 0;
    std::fill(ring.begin(), ring.end(), 0.0f);
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
  self.ringFrames = std::max<std::int64_t>(1, kTimelineMicros * self.format.sampleRate / 1'000'000);
  self.ring.assign(static_cast<std::size_t>(self.ringFrames) * self.channels(), 0.0f);
  // No process, no sound of its own: nothing to connect to.
  if (!self.processID) return true;
  bool connected = false;
  try {
    connected = self.connectContext() && self.startRecording();
  } catch (...) {
    self.teardown();
    throw;
  }
  if (!connected) {
    self.teardown();
    return false;
  }
  self.running = true;
  return true;
}

void AudioCapture::stop() { impl_->teardown(); }

}  // namespace quorvale::platform::sound
