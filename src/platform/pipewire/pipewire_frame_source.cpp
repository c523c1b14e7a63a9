#include "platform/pipewire/pipewire_frame_source.h"

#include <pipewire/pipewire.h>
#include <poll.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/pipewire/frame_handler.h"
#include "platform/platform_error.h"

namespace quorvale::platform::pipewire {
namespace {

// Cursor metadata with room for a bitmap of side x side pixels. An int: the pod builder reads
// its arguments as int. The range is wide: mutter offers one fixed size (384 pixels a side), and a
// range that misses it leaves the stream without cursor metadata.
constexpr int cursorMetaSize(int side) {
  return static_cast<int>(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + side * side * 4;
}
// Enough dispatches to drain what a 15 fps poll finds queued, without starving the caller.
constexpr int kMaxDispatchRounds = 64;

PlatformError windowClosed() { return PlatformError("pipewire", 0, kWindowClosedMessage); }

PlatformError pipewireError(int errorNumber, const std::string& context) {
  return PlatformError("pipewire", errorNumber, context + ": " + std::strerror(errorNumber) + ".");
}

struct LoopDeleter {
  void operator()(pw_loop* loop) const { pw_loop_destroy(loop); }
};
struct ContextDeleter {
  void operator()(pw_context* context) const { pw_context_destroy(context); }
};
struct CoreDeleter {
  void operator()(pw_core* core) const { pw_core_disconnect(core); }
};
struct StreamDeleter {
  void operator()(pw_stream* stream) const { pw_stream_destroy(stream); }
};

// The loop entered by the thread that owns it for as long as it lives: work that
// PipeWire's data thread invokes on it is then queued for this thread (and wakes its
// poll) instead of running at once on the data thread.
class LoopScope {
 public:
  explicit LoopScope(pw_loop* loop) : loop_(loop) { pw_loop_enter(loop_); }
  ~LoopScope() { pw_loop_leave(loop_); }
  LoopScope(const LoopScope&) = delete;
  LoopScope& operator=(const LoopScope&) = delete;

 private:
  pw_loop* loop_;
};

}  // namespace

struct PipeWireFrameSource::Impl {
  Impl(StreamTarget target, const pipeline::CaptureOptions& options);
  ~Impl() {
    spa_hook_remove(&streamListener);
    spa_hook_remove(&coreListener);
  }

  void dispatch(int timeoutMillis);
  void onParamChanged(std::uint32_t id, const spa_pod* param);
  void onProcess();

  FrameHandler handler;
  std::unique_ptr<pw_loop, LoopDeleter> loop;
  std::optional<LoopScope> entered;  // left after everything on the loop is gone
  std::unique_ptr<pw_context, ContextDeleter> context;
  std::unique_ptr<pw_core, CoreDeleter> core;
  std::unique_ptr<pw_stream, StreamDeleter> stream;
  spa_hook coreListener{};
  spa_hook streamListener{};
  std::vector<pw_buffer*> dequeued;
  std::vector<spa_buffer*> spaBuffers;
  bool streaming = false;  // once streaming, leaving it for good means the window went
  bool closed = false;
  std::optional<PlatformError> failure;  // raised on the next call into the source
};

PipeWireFrameSource::Impl::Impl(StreamTarget target, const pipeline::CaptureOptions& options)
    : handler(options.showsCursor) {
  if (target.cursor) handler.seedCursor(*target.cursor);
  static std::once_flag initialised;
  std::call_once(initialised, [] { pw_init(nullptr, nullptr); });

  loop.reset(pw_loop_new(nullptr));
  if (!loop) throw pipewireError(errno, "Could not set up the screen-sharing stream");
  entered.emplace(loop.get());
  // The session's end wakes the same poll as the stream does.
  if (target.sessionClosed.get() >= 0) {
    auto onClosed = +[](void* data, int, std::uint32_t) { static_cast<Impl*>(data)->closed = true; };
    if (!pw_loop_add_io(loop.get(), target.sessionClosed.get(), SPA_IO_IN, true, onClosed, this)) {
      throw pipewireError(errno, "Could not set up the screen-sharing stream");
    }
    (void)target.sessionClosed.release();
  }
  context.reset(pw_context_new(loop.get(), nullptr, 0));
  if (!context) throw pipewireError(errno, "Could not set up the screen-sharing stream");
  core.reset(pw_context_connect_fd(context.get(), target.remote.release(), nullptr, 0));
  if (!core) throw pipewireError(errno, "Could not connect to the screen-sharing stream");

  static const pw_core_events coreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = [](void* data, std::uint32_t id, int, int res, const char* message) {
      auto* self = static_cast<Impl*>(data);
      if (id != PW_ID_CORE || self->failure) return;
      // The remote hung up: the portal ended the session with the window.
      if (res == -EPIPE) {
        self->closed = true;
        return;
      }
      self->failure = PlatformError("pipewire", -res,
                                    std::string("The screen-sharing stream failed: ") +
                                        (message ? message : std::strerror(-res)) + ".");
    };
    return events;
  }();
  pw_core_add_listener(core.get(), &coreListener, &coreEvents, this);

  stream.reset(pw_stream_new(core.get(), "quorvale_screen_recorder",
                             pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                               PW_KEY_MEDIA_ROLE, "Screen", nullptr)));
  if (!stream) throw pipewireError(errno, "Could not open the screen-sharing stream");
  static const pw_stream_events streamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char*) {
      auto* self = static_cast<Impl*>(data);
      if (state == PW_STREAM_STATE_STREAMING) self->streaming = true;
      if (state == PW_STREAM_STATE_ERROR || (state == PW_STREAM_STATE_UNCONNECTED && self->streaming)) {
        self->closed = true;
      }
    };
    events.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
      static_cast<Impl*>(data)->onParamChanged(id, param);
    };
    events.process = [](void* data) { static_cast<Impl*>(data)->onProcess(); };
    return events;
  }();
  pw_stream_add_listener(stream.get(), &streamListener, &streamEvents, this);

  // What a compositor without a GPU offers: packed 8-bit RGB in shared memory,
  // any size, any rate (0/1: frames only on damage).
  std::uint8_t storage[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
  const spa_rectangle defaultSize{1280, 720}, minSize{1, 1}, maxSize{16384, 16384};
  const spa_fraction defaultRate{0, 1}, minRate{0, 1}, maxRate{1000, 1};
  const spa_pod* params[1];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
      SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                             SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&defaultRate, &minRate, &maxRate)));
  const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS);
  if (const int res = pw_stream_connect(stream.get(), PW_DIRECTION_INPUT, target.nodeId, flags, params, 1);
      res < 0) {
    throw pipewireError(-res, "Could not connect to the screen-sharing stream");
  }
}

void PipeWireFrameSource::Impl::onParamChanged(std::uint32_t id, const spa_pod* param) {
  if (id != SPA_PARAM_Format || !param) return;
  std::uint32_t mediaType = 0, mediaSubtype = 0;
  spa_video_info_raw info{};
  if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
      mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &info) < 0) {
    return;
  }
  handler.setFormat(info.format, static_cast<int>(info.size.width), static_cast<int>(info.size.height));

  std::uint8_t storage[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
  const spa_pod* params[4];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
      SPA_PARAM_META_size, SPA_POD_Int(static_cast<int>(sizeof(spa_meta_header)))));
  params[2] = static_cast<const spa_pod*>(
      spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                                 SPA_POD_Id(SPA_META_VideoCrop), SPA_PARAM_META_size,
                                 SPA_POD_Int(static_cast<int>(sizeof(spa_meta_region)))));
  params[3] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
      SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(64), cursorMetaSize(1), cursorMetaSize(1024))));
  pw_stream_update_params(stream.get(), params, 4);
}

void PipeWireFrameSource::Impl::onProcess() {
  // Drain the queue: only the newest picture matters, every cursor update does.
  dequeued.clear();
  spaBuffers.clear();
  while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream.get())) {
    dequeued.push_back(buffer);
    spaBuffers.push_back(buffer->buffer);
  }
  handler.take(spaBuffers);
  for (pw_buffer* buffer : dequeued) pw_stream_queue_buffer(stream.get(), buffer);
}

void PipeWireFrameSource::Impl::dispatch(int timeoutMillis) {
  for (int round = 0; round < kMaxDispatchRounds; ++round) {
    const int dispatched = pw_loop_iterate(loop.get(), round == 0 ? timeoutMillis : 0);
    if (dispatched < 0 && dispatched != -EINTR) {
      failure = pipewireError(-dispatched, "The screen-sharing stream failed");
      break;
    }
    if (dispatched <= 0) break;
  }
  if (failure) throw *failure;
  if (closed) throw windowClosed();
}

PipeWireFrameSource::PipeWireFrameSource(StreamTarget target, const pipeline::CaptureOptions& options,
                                         std::optional<std::int64_t> processID)
    : impl_(std::make_unique<Impl>(std::move(target), options)), processID_(processID) {}

PipeWireFrameSource::~PipeWireFrameSource() = default;

std::optional<Size> PipeWireFrameSource::waitForPicture(std::chrono::steady_clock::time_point deadline) {
  while (!impl_->handler.pictureSize()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    impl_->dispatch(static_cast<int>(std::min<std::int64_t>(left.count(), 1000)));
  }
  return impl_->handler.pictureSize();
}

const FrameHandler::Cursor& PipeWireFrameSource::cursor() const { return impl_->handler.cursor(); }

int PipeWireFrameSource::fileDescriptor() const { return pw_loop_get_fd(impl_->loop.get()); }

void PipeWireFrameSource::processEvents(std::int64_t) { impl_->dispatch(0); }

bool PipeWireFrameSource::wantsFrame() const { return impl_->handler.changed(); }

bool PipeWireFrameSource::render(pipeline::FramePixels& band, pipeline::BandSink& sink, std::int64_t) {
  if (impl_->failure) throw *impl_->failure;
  if (impl_->closed) throw windowClosed();
  return impl_->handler.render(band, sink);
}

}  // namespace quorvale::platform::pipewire
