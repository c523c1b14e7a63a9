#include "platform/capture/frame_source.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "platform/capture/compose.h"
#include "platform/capture/window_catalog.h"
#include "platform/capture/x11_connection.h"

namespace quorvale::platform::capture {
namespace {

constexpr std::int64_t kClickMarkMicros = 300'000;
constexpr int kClickMarkRadius = 12;
constexpr std::uint8_t kBadWindow = 3;
constexpr std::uint8_t kBadDrawable = 9;
// A single window is read from the server this many rows at a time while the picture is
// composed: the shared segment then holds a strip, not the whole window.
constexpr int kStreamRows = 4 * pipeline::FrameSource::kBandRows;

// An X resource id that unique_ptr can hold (it needs a nullable "pointer").
struct Xid {
  std::uint32_t value = 0;
  Xid() = default;
  Xid(std::nullptr_t) {}
  explicit Xid(std::uint32_t v) : value(v) {}
  explicit operator bool() const { return value != 0; }
  friend bool operator==(Xid, Xid) = default;
};

// Owns one server-side resource of a connection; Release frees it.
template <auto Release>
struct XidDeleter {
  xcb_connection_t* connection = nullptr;
  using pointer = Xid;
  void operator()(Xid id) const { Release(connection, id.value); }
};

using PixmapPtr = std::unique_ptr<Xid, XidDeleter<&xcb_free_pixmap>>;
using GcPtr = std::unique_ptr<Xid, XidDeleter<&xcb_free_gc>>;
using DamagePtr = std::unique_ptr<Xid, XidDeleter<&xcb_damage_destroy>>;
using ShmSegmentPtr = std::unique_ptr<Xid, XidDeleter<&xcb_shm_detach>>;
// Undoes our redirection; the server keeps others' (a compositor's) in place.
using RedirectPtr =
    std::unique_ptr<Xid, XidDeleter<+[](xcb_connection_t* c, std::uint32_t window) {
                      xcb_composite_unredirect_window(c, window, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
                    }>>;

struct ShmMappingDeleter {
  void operator()(void* address) const { shmdt(address); }
};
using ShmMappingPtr = std::unique_ptr<void, ShmMappingDeleter>;

// Marks the SysV segment for removal: it then lives only as long as its attachments.
struct ShmIdRemover {
  int id;
  ~ShmIdRemover() { shmctl(id, IPC_RMID, nullptr); }
};

// One shared memory segment attached to the server, reused for every frame.
class ShmBuffer {
 public:
  // Null when the server cannot share memory with us (remote, or limits hit):
  // the caller then reads pixels over the socket instead.
  static std::unique_ptr<ShmBuffer> create(xcb_connection_t* c, std::size_t size) {
    const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) return nullptr;
    ShmIdRemover remover{id};
    ShmMappingPtr mapping(shmat(id, nullptr, 0));
    if (mapping.get() == reinterpret_cast<void*>(-1)) {
      (void)mapping.release();
      return nullptr;
    }
    const xcb_shm_seg_t segment = xcb_generate_id(c);
    ErrorPtr error(
        xcb_request_check(c, xcb_shm_attach_checked(c, segment, static_cast<std::uint32_t>(id), 0)));
    if (error) return nullptr;
    auto buffer = std::unique_ptr<ShmBuffer>(new ShmBuffer);
    buffer->mapping_ = std::move(mapping);
    buffer->segment_ = ShmSegmentPtr(Xid(segment), {c});
    buffer->size_ = size;
    return buffer;
  }
  // The server detaches before we unmap: members go in reverse order.
  const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(mapping_.get()); }
  xcb_shm_seg_t segment() const { return segment_.get().value; }
  std::size_t size() const { return size_; }

 private:
  ShmBuffer() = default;
  ShmMappingPtr mapping_;
  ShmSegmentPtr segment_;
  std::size_t size_ = 0;
};

// One captured window and its cached pixels.
struct Layer {
  xcb_window_t window = 0;
  RedirectPtr redirect;
  DamagePtr damage;
  PixmapPtr pixmap;
  int x = 0;  // in the output
  int y = 0;
  int width = 0;
  int height = 0;
  std::uint8_t depth = 0;
  bool viewable = false;
  bool contentDirty = true;
  std::optional<std::uint32_t> subtractSequence;  // of our latest damage subtract request
  std::vector<std::uint8_t> pixels;               // width * 4 bytes a row
  bool hasPixels = false;
  bool streamed = false;  // no copy kept: compose reads the rows it needs from the server
};

struct ClickMark {
  int rootX = 0;
  int rootY = 0;
  std::int64_t startMicros = 0;
};

PlatformError windowClosedError() { return PlatformError("x11", 0, "The recorded window was closed."); }

}  // namespace

struct X11FrameSource::Impl {
  Impl(const std::optional<std::string>& displayName, const ContentFilter& filter,
       const CaptureOptions& options);

  void setUpExtensions();
  void refreshLayout();
  bool applicationHasWindows();
  std::vector<ClientWindow> wantedWindows(std::vector<ClientWindow>& all);
  void placeArea();
  void noteFrame(const ClientWindow& window);
  void nameLayerPixmap(Layer& layer);
  bool fetch(Layer& layer);
  // Copies the layer's pixmap into the snapshot in one request; false when it is gone.
  bool takeSnapshot(const Layer& layer);
  // Reads rows first .. first + rows - 1 of the layer's pixels (its pixmap, or the
  // snapshot when streamed); null when they are gone.
  const std::uint8_t* readRows(const Layer& layer, int first, int rows);
  // Draws a streamed layer's rows that fall into out, reading them strip by strip.
  bool drawStreamed(MutableImageView out, const Layer& layer, int top, bool blend);
  void handle(const xcb_generic_event_t& event, std::int64_t nowMicros);
  void refreshCursorImage();
  std::optional<std::pair<int, int>> queryPointer();
  // Draws the rows of the picture from top on into out (out.height of them). False when
  // a streamed window vanished while it was read: the picture is to be given up.
  bool compose(MutableImageView out, int top, std::int64_t nowMicros);
  // After all rows: what the picture now shows.
  void composed();
  // Everything up to composing; false when there is nothing new to show.
  bool prepareFrame(std::int64_t nowMicros);
  bool beginFrame(std::int64_t nowMicros);
  bool cursorInside() const {
    return showCursorNow_ && pointerX_ >= area_.x && pointerY_ >= area_.y &&
           pointerX_ < area_.x + area_.width && pointerY_ < area_.y + area_.height;
  }

  Connection connection_;
  WindowCatalog catalog_;
  ContentFilter filter_;
  CaptureOptions options_;
  xcb_window_t target_ = XCB_WINDOW_NONE;  // the window filter's window
  bool targetDestroyed_ = false;
  bool windowDestroyed_ = false;  // display filter: some window went; check the application still has one
  std::optional<std::int64_t> targetPid_;
  std::set<std::int64_t> includedPids_;
  std::set<xcb_window_t> exceptedWindows_;
  std::map<xcb_window_t, std::optional<std::int64_t>> pidCache_;
  // Display filter: the frames of the applications' windows as last reported.
  std::map<xcb_window_t, Rect> reportedFrames_;
  std::vector<std::pair<WindowID, Rect>> frameChanges_;

  std::uint8_t damageEventBase_ = 0;
  std::uint8_t xfixesEventBase_ = 0;
  std::optional<std::uint8_t> xinputOpcode_;
  bool hasXfixes_ = false;
  bool tryShm_ = false;
  std::unique_ptr<ShmBuffer> shm_;
  XcbPtr<xcb_get_image_reply_t> plainImage_;  // the last read without shared memory
  // A streamed window's pixels as they were when the picture began: the application may
  // draw while the strips are read, and the picture must show one state of it.
  PixmapPtr snapshot_;
  GcPtr snapshotGc_;
  int snapshotWidth_ = 0;
  int snapshotHeight_ = 0;
  std::uint8_t snapshotDepth_ = 0;
  // The strip of a streamed layer that the segment holds now; reset for every picture.
  const Layer* stripLayer_ = nullptr;
  const std::uint8_t* stripData_ = nullptr;
  int stripTop_ = 0;
  int stripRows_ = 0;

  Rect area_;                                   // root coordinates
  std::vector<std::unique_ptr<Layer>> layers_;  // bottom first
  bool layoutDirty_ = true;
  bool compositeDirty_ = true;
  bool pictureShown_ = false;  // a picture has been composed

  XcbPtr<xcb_xfixes_get_cursor_image_reply_t> cursor_;
  bool cursorImageDirty_ = true;
  bool showCursorNow_ = false;
  int pointerX_ = -1;
  int pointerY_ = -1;
  bool cursorWasDrawn_ = false;
  int drawnPointerX_ = -1;
  int drawnPointerY_ = -1;
  std::vector<ClickMark> marks_;
  bool marksWereDrawn_ = false;
};

X11FrameSource::Impl::Impl(const std::optional<std::string>& displayName, const ContentFilter& filter,
                        const CaptureOptions& options)
    : connection_(displayName), catalog_(connection_), filter_(filter), options_(options) {
  xcb_connection_t* c = connection_.get();
  if (const auto* windowFilter = std::get_if<WindowFilter>(&filter_)) {
    target_ = windowFilter->window.windowID;
    auto attributes =
        optionalReply(c, xcb_get_window_attributes(c, target_), xcb_get_window_attributes_reply);
    if (!attributes) throw PlatformError("x11", 0, "The window to record no longer exists.");
    if (attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
      throw PlatformError("x11", 0, "The window to record is not shown on screen.");
    }
    targetPid_ = catalog_.processID(target_);
  } else {
    const auto& displayFilter = std::get<DisplayFilter>(filter_);
    for (const auto& application : displayFilter.includedApplications)
      includedPids_.insert(application.processID);
    for (const auto& window : displayFilter.exceptedWindows) exceptedWindows_.insert(window.windowID);
    if (!displayFilter.includedApplications.empty())
      targetPid_ = displayFilter.includedApplications[0].processID;
    placeArea();
  }
  setUpExtensions();
  refreshLayout();
  if (target_ != XCB_WINDOW_NONE && (layers_.empty() || !layers_.front()->viewable)) {
    throw PlatformError("x11", 0, "The window to record is not shown on screen.");
  }
}

void X11FrameSource::Impl::placeArea() {
  const Rect& display = std::get<DisplayFilter>(filter_).display.frame;
  area_ = display;
  if (options_.sourceRect && !options_.sourceRect->isEmpty()) {
    // Not clipped to the display: past its edge the windows' own pixels show, and black
    // where they have none, rather than the visible part enlarged.
    const Rect source = options_.sourceRect->standardized();
    area_ = Rect{display.x + source.x, display.y + source.y, source.width, source.height};
  }
  area_ = Rect{std::round(area_.x), std::round(area_.y), std::round(area_.width), std::round(area_.height)};
}

void X11FrameSource::Impl::noteFrame(const ClientWindow& window) {
  auto [known, added] = reportedFrames_.try_emplace(window.id, window.frame);
  if (!added && known->second == window.frame) return;
  known->second = window.frame;
  frameChanges_.emplace_back(window.id, window.frame);
}

void X11FrameSource::Impl::setUpExtensions() {
  xcb_connection_t* c = connection_.get();
  if (!connection_.extension(&xcb_composite_id) || !connection_.extension(&xcb_damage_id)) {
    throw PlatformError("x11", 0,
                        "The X display lacks the Composite and Damage extensions needed to record.");
  }
  checkedReply(c, xcb_composite_query_version(c, 0, 4), xcb_composite_query_version_reply,
               "Could not set up window capture");
  checkedReply(c, xcb_damage_query_version(c, 1, 1), xcb_damage_query_version_reply,
               "Could not set up change tracking");
  damageEventBase_ = connection_.extension(&xcb_damage_id)->first_event;

  // Window manager changes: windows appearing, moving, restacking, going away.
  const std::uint32_t rootMask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, connection_.root(), XCB_CW_EVENT_MASK, &rootMask);

  if (connection_.extension(&xcb_shm_id)) {
    auto version = optionalReply(c, xcb_shm_query_version(c), xcb_shm_query_version_reply);
    tryShm_ = version != nullptr;
  }

  if (const auto* xfixes = connection_.extension(&xcb_xfixes_id); xfixes && options_.showsCursor) {
    auto version = optionalReply(c, xcb_xfixes_query_version(c, 4, 0), xcb_xfixes_query_version_reply);
    if (version && version->major_version >= 2) {
      hasXfixes_ = true;
      xfixesEventBase_ = xfixes->first_event;
      xcb_xfixes_select_cursor_input(c, connection_.root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    }
  }
  showCursorNow_ = hasXfixes_;

  if (const auto* xinput = connection_.extension(&xcb_input_id); xinput && options_.showMouseClicks) {
    auto version = optionalReply(c, xcb_input_xi_query_version(c, 2, 2), xcb_input_xi_query_version_reply);
    if (version && version->major_version >= 2) {
      struct {
        xcb_input_event_mask_t head;
        std::uint32_t mask;
      } selection{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS};
      checkRequest(c, xcb_input_xi_select_events_checked(c, connection_.root(), 1, &selection.head),
                   "Could not watch the pointer");
      xinputOpcode_ = xinput->major_opcode;
    }
  }
}

std::vector<ClientWindow> X11FrameSource::Impl::wantedWindows(std::vector<ClientWindow>& all) {
  std::set<xcb_window_t> present;
  for (const auto& window : all) present.insert(window.id);
  std::erase_if(pidCache_, [&](const auto& entry) { return !present.contains(entry.first); });
  std::erase_if(reportedFrames_, [&](const auto& entry) { return !present.contains(entry.first); });
  auto pidOf = [&](xcb_window_t window) {
    auto found = pidCache_.find(window);
    if (found == pidCache_.end()) found = pidCache_.emplace(window, catalog_.processID(window)).first;
    return found->second;
  };

  std::vector<ClientWindow> wanted;
  if (target_ != XCB_WINDOW_NONE) {
    auto self = std::find_if(all.begin(), all.end(), [&](const auto& w) { return w.id == target_; });
    if (self == all.end()) {
      // Not a top level now (withdrawn, or reparenting): describe it directly.
      xcb_connection_t* c = connection_.get();
      auto attributes =
          optionalReply(c, xcb_get_window_attributes(c, target_), xcb_get_window_attributes_reply);
      auto geometry = optionalReply(c, xcb_get_geometry(c, target_), xcb_get_geometry_reply);
      auto position = optionalReply(c, xcb_translate_coordinates(c, target_, connection_.root(), 0, 0),
                                    xcb_translate_coordinates_reply);
      if (!attributes || !geometry || !position) throw windowClosedError();
      ClientWindow window;
      window.id = window.topLevel = target_;
      window.viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
      window.depth = geometry->depth;
      window.frame = Rect{static_cast<double>(position->dst_x), static_cast<double>(position->dst_y),
                          static_cast<double>(geometry->width), static_cast<double>(geometry->height)};
      wanted.push_back(window);
      area_ = window.frame;
      return wanted;
    }
    area_ = self->frame;
    wanted.push_back(*self);
    if (!options_.includeChildWindows) return wanted;
    for (const auto& window : all) {
      if (window.id == target_ || !window.viewable) continue;
      if (window.frame.intersection(area_).isEmpty()) continue;
      const bool popup = window.overrideRedirect && targetPid_ && pidOf(window.id) == targetPid_;
      if (popup || catalog_.transientFor(window.id) == target_) wanted.push_back(window);
    }
    return wanted;
  }
  for (const auto& window : all) {
    if (exceptedWindows_.contains(window.id)) continue;
    const auto pid = pidOf(window.id);
    if (!pid || !includedPids_.contains(*pid)) continue;
    noteFrame(window);  // also hidden ones and those outside the area: the crop may follow them
    if (window.viewable && !window.frame.intersection(area_).isEmpty()) wanted.push_back(window);
  }
  return wanted;
}

bool X11FrameSource::Impl::applicationHasWindows() {
  if (includedPids_.empty()) return true;
  for (const auto& window : catalog_.clientWindows()) {
    const auto pid = catalog_.processID(window.id);
    if (pid && includedPids_.contains(*pid)) return true;
  }
  return false;
}

void X11FrameSource::Impl::refreshLayout() {
  layoutDirty_ = false;
  compositeDirty_ = true;
  xcb_connection_t* c = connection_.get();
  auto all = catalog_.clientWindows();
  const auto wanted = wantedWindows(all);

  std::vector<std::unique_ptr<Layer>> next;
  for (const auto& window : wanted) {
    auto existing = std::find_if(layers_.begin(), layers_.end(),
                                 [&](const auto& layer) { return layer && layer->window == window.id; });
    std::unique_ptr<Layer> layer;
    if (existing != layers_.end()) {
      layer = std::move(*existing);
    } else {
      layer = std::make_unique<Layer>();
      layer->window = window.id;
      xcb_composite_redirect_window(c, window.id, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
      layer->redirect = RedirectPtr(Xid(window.id), {c});
      const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
      xcb_change_window_attributes(c, window.id, XCB_CW_EVENT_MASK, &mask);
      const xcb_damage_damage_t damage = xcb_generate_id(c);
      xcb_damage_create(c, damage, window.id, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
      layer->damage = DamagePtr(Xid(damage), {c});
    }
    layer->x = static_cast<int>(window.frame.x - area_.x);
    layer->y = static_cast<int>(window.frame.y - area_.y);
    const int width = static_cast<int>(window.frame.width);
    const int height = static_cast<int>(window.frame.height);
    if (width != layer->width || height != layer->height || window.depth != layer->depth ||
        window.viewable != layer->viewable || !layer->pixmap) {
      layer->width = width;
      layer->height = height;
      layer->depth = window.depth;
      layer->viewable = window.viewable;
      layer->pixmap.reset();
      layer->contentDirty = true;
      if (layer->viewable) nameLayerPixmap(*layer);
    }
    next.push_back(std::move(layer));
  }
  layers_ = std::move(next);  // layers no longer wanted release their X resources here
}

void X11FrameSource::Impl::nameLayerPixmap(Layer& layer) {
  xcb_connection_t* c = connection_.get();
  const xcb_pixmap_t pixmap = xcb_generate_id(c);
  ErrorPtr error(xcb_request_check(c, xcb_composite_name_window_pixmap_checked(c, layer.window, pixmap)));
  if (error) {
    // Unmapped or destroyed since we looked: the events saying so follow.
    layer.viewable = false;
    layoutDirty_ = true;
    return;
  }
  layer.pixmap = PixmapPtr(Xid(pixmap), {c});
}

bool X11FrameSource::Impl::fetch(Layer& layer) {
  xcb_connection_t* c = connection_.get();
  // Re-arm first, so changes made while we read are reported again.
  layer.subtractSequence = xcb_damage_subtract(c, layer.damage.get().value, XCB_NONE, XCB_NONE).sequence;
  layer.contentDirty = false;
  if (!layer.pixmap || layer.width <= 0 || layer.height <= 0) return false;
  // One window alone is read strip by strip as it is composed. With several, each keeps a
  // copy, so that composing a band does not read every window's strip again.
  layer.streamed = tryShm_ && layers_.size() == 1;
  if (layer.streamed) {
    std::vector<std::uint8_t>().swap(layer.pixels);
    layer.hasPixels = takeSnapshot(layer);  // not drawn from a copy that failed
    return layer.hasPixels;
  }
  const std::uint8_t* source = readRows(layer, 0, layer.height);
  if (!source) return false;
  layer.pixels.assign(
      source, source + static_cast<std::size_t>(layer.width) * static_cast<std::size_t>(layer.height) * 4);
  plainImage_.reset();  // copied: a reply read without shared memory is not kept as well
  layer.hasPixels = true;
  return true;
}

bool X11FrameSource::Impl::takeSnapshot(const Layer& layer) {
  xcb_connection_t* c = connection_.get();
  if (!snapshot_ || snapshotWidth_ != layer.width || snapshotHeight_ != layer.height ||
      snapshotDepth_ != layer.depth) {
    snapshotGc_.reset();
    snapshot_.reset();
    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    checkRequest(c,
                 xcb_create_pixmap_checked(c, layer.depth, pixmap, connection_.root(),
                                           static_cast<std::uint16_t>(layer.width),
                                           static_cast<std::uint16_t>(layer.height)),
                 "Could not set up window capture");
    snapshot_ = PixmapPtr(Xid(pixmap), {c});
    const xcb_gcontext_t gc = xcb_generate_id(c);
    const std::uint32_t noExposures = 0;
    checkRequest(c, xcb_create_gc_checked(c, gc, pixmap, XCB_GC_GRAPHICS_EXPOSURES, &noExposures),
                 "Could not set up window capture");
    snapshotGc_ = GcPtr(Xid(gc), {c});
    snapshotWidth_ = layer.width;
    snapshotHeight_ = layer.height;
    snapshotDepth_ = layer.depth;
  }
  ErrorPtr error(xcb_request_check(
      c, xcb_copy_area_checked(c, layer.pixmap.get().value, snapshot_.get().value, snapshotGc_.get().value, 0,
                               0, 0, 0, static_cast<std::uint16_t>(layer.width),
                               static_cast<std::uint16_t>(layer.height))));
  if (error) {
    layoutDirty_ = true;  // the window went meanwhile
    return false;
  }
  return true;
}

const std::uint8_t* X11FrameSource::Impl::readRows(const Layer& layer, int first, int rows) {
  xcb_connection_t* c = connection_.get();
  const std::uint32_t drawable = layer.streamed ? snapshot_.get().value : layer.pixmap.get().value;
  const std::size_t size = static_cast<std::size_t>(layer.width) * static_cast<std::size_t>(rows) * 4;
  const auto x = std::int16_t{0};
  const auto y = static_cast<std::int16_t>(first);
  const auto width = static_cast<std::uint16_t>(layer.width);
  const auto height = static_cast<std::uint16_t>(rows);
  if (tryShm_ && (!shm_ || shm_->size() < size)) {
    stripLayer_ = nullptr;
    shm_.reset();
    // Headroom for a growing window; a streamed one needs only a strip.
    shm_ = ShmBuffer::create(c, size + size / 4);
    tryShm_ = shm_ != nullptr;
  }
  const std::uint8_t* source = nullptr;
  std::size_t length = 0;
  if (shm_) {
    auto reply = optionalReply(c,
                               xcb_shm_get_image(c, drawable, x, y, width, height, ~0u,
                                                 XCB_IMAGE_FORMAT_Z_PIXMAP, shm_->segment(), 0),
                               xcb_shm_get_image_reply);
    if (!reply) {
      layoutDirty_ = true;
      return nullptr;
    }
    source = shm_->data();
    length = reply->size;
  } else {
    plainImage_ =
        optionalReply(c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, x, y, width, height, ~0u),
                      xcb_get_image_reply);
    if (!plainImage_) {
      layoutDirty_ = true;
      return nullptr;
    }
    source = xcb_get_image_data(plainImage_.get());
    length = static_cast<std::size_t>(xcb_get_image_data_length(plainImage_.get()));
  }
  if (length < size) {
    throw PlatformError("x11", 0, "Windows of depth " + std::to_string(layer.depth) + " cannot be recorded.");
  }
  return source;
}

bool X11FrameSource::Impl::drawStreamed(MutableImageView out, const Layer& layer, int top, bool blend) {
  const int first = std::max(0, top - layer.y);
  const int end = std::min(layer.height, top + out.height - layer.y);
  for (int row = first; row < end; row = stripTop_ + stripRows_) {
    if (stripLayer_ != &layer || row < stripTop_ || row >= stripTop_ + stripRows_) {
      stripLayer_ = nullptr;
      const int rows = std::min(kStreamRows, layer.height - row);
      stripData_ = readRows(layer, row, rows);
      if (!stripData_) return false;
      stripLayer_ = &layer;
      stripTop_ = row;
      stripRows_ = rows;
    }
    const BgraImageView strip{stripData_, layer.width, stripRows_, layer.width * 4};
    drawImage(out, strip, layer.x, layer.y + stripTop_ - top, blend);
  }
  return true;
}

void X11FrameSource::Impl::handle(const xcb_generic_event_t& event, std::int64_t nowMicros) {
  const std::uint8_t type = event.response_type & 0x7f;
  if (type == 0) {
    const auto& error = reinterpret_cast<const xcb_generic_error_t&>(event);
    if (target_ != XCB_WINDOW_NONE && error.resource_id == target_ &&
        (error.error_code == kBadWindow || error.error_code == kBadDrawable)) {
      throw windowClosedError();
    }
    layoutDirty_ = true;  // one of the other windows went away under us
    return;
  }
  if (type == damageEventBase_ + XCB_DAMAGE_NOTIFY) {
    const auto& notify = reinterpret_cast<const xcb_damage_notify_event_t&>(event);
    for (auto& layer : layers_) {
      if (layer->damage.get().value != notify.damage) continue;
      // A notice sent before the server took our last subtract is about pixels we read since.
      const bool stale = layer->subtractSequence &&
                         static_cast<std::int16_t>(notify.sequence -
                                                   static_cast<std::uint16_t>(*layer->subtractSequence)) < 0;
      if (!stale) layer->contentDirty = true;
    }
    return;
  }
  if (hasXfixes_ && type == xfixesEventBase_ + XCB_XFIXES_CURSOR_NOTIFY) {
    cursorImageDirty_ = true;
    return;
  }
  if (type == XCB_GE_GENERIC && xinputOpcode_) {
    const auto& generic = reinterpret_cast<const xcb_ge_generic_event_t&>(event);
    if (generic.extension != *xinputOpcode_) return;
    if (generic.event_type == XCB_INPUT_RAW_BUTTON_PRESS) {
      const auto& press = reinterpret_cast<const xcb_input_raw_button_press_event_t&>(event);
      if (press.detail >= 1 && press.detail <= 3) {  // not the wheel
        if (auto pointer = queryPointer()) marks_.push_back({pointer->first, pointer->second, nowMicros});
      }
    }
    return;
  }
  switch (type) {
    case XCB_DESTROY_NOTIFY: {
      const auto& destroy = reinterpret_cast<const xcb_destroy_notify_event_t&>(event);
      if (target_ != XCB_WINDOW_NONE && destroy.window == target_) targetDestroyed_ = true;
      if (target_ == XCB_WINDOW_NONE) windowDestroyed_ = true;
      layoutDirty_ = true;
      break;
    }
    case XCB_CREATE_NOTIFY:
    case XCB_MAP_NOTIFY:
    case XCB_UNMAP_NOTIFY:
    case XCB_CONFIGURE_NOTIFY:
    case XCB_REPARENT_NOTIFY:
    case XCB_GRAVITY_NOTIFY:
    case XCB_CIRCULATE_NOTIFY:
      layoutDirty_ = true;
      break;
    default:
      break;
  }
}

std::optional<std::pair<int, int>> X11FrameSource::Impl::queryPointer() {
  xcb_connection_t* c = connection_.get();
  auto reply = optionalReply(c, xcb_query_pointer(c, connection_.root()), xcb_query_pointer_reply);
  if (!reply || !reply->same_screen) return std::nullopt;
  return std::pair<int, int>{reply->root_x, reply->root_y};
}

void X11FrameSource::Impl::refreshCursorImage() {
  cursorImageDirty_ = false;
  xcb_connection_t* c = connection_.get();
  cursor_ = optionalReply(c, xcb_xfixes_get_cursor_image(c), xcb_xfixes_get_cursor_image_reply);
}

bool X11FrameSource::Impl::compose(MutableImageView out, int top, std::int64_t nowMicros) {
  fillBlack(out);
  for (const auto& layer : layers_) {
    if (!layer->viewable || !layer->hasPixels) continue;
    // Depth-32 windows carry premultiplied alpha; others leave that byte undefined.
    const bool blend = layer->depth == 32 && layer.get() != layers_.front().get();
    if (layer->streamed) {
      if (!drawStreamed(out, *layer, top, blend)) return false;
      continue;
    }
    const BgraImageView pixels{layer->pixels.data(), layer->width, layer->height, layer->width * 4};
    drawImage(out, pixels, layer->x, layer->y - top, blend);
  }
  for (const auto& mark : marks_) {
    const double age = static_cast<double>(nowMicros - mark.startMicros) / kClickMarkMicros;
    drawClickMark(out, mark.rootX - static_cast<int>(area_.x), mark.rootY - static_cast<int>(area_.y) - top,
                  kClickMarkRadius, static_cast<float>(1.0 - age));
  }
  if (cursor_ && cursorInside()) {
    const BgraImageView image{
        reinterpret_cast<const std::uint8_t*>(xcb_xfixes_get_cursor_image_cursor_image(cursor_.get())),
        cursor_->width, cursor_->height, cursor_->width * 4};
    drawImage(out, image, pointerX_ - cursor_->xhot - static_cast<int>(area_.x),
              pointerY_ - cursor_->yhot - static_cast<int>(area_.y) - top, true);
  }
  return true;
}

void X11FrameSource::Impl::composed() {
  pictureShown_ = true;
  marksWereDrawn_ = !marks_.empty();
  cursorWasDrawn_ = cursor_ && cursorInside();
  if (cursorWasDrawn_) {
    drawnPointerX_ = pointerX_;
    drawnPointerY_ = pointerY_;
  }
}

X11FrameSource::X11FrameSource(const std::optional<std::string>& displayName, const ContentFilter& filter,
                         const CaptureOptions& options)
    : impl_(std::make_unique<Impl>(displayName, filter, options)) {}

X11FrameSource::~X11FrameSource() = default;

int X11FrameSource::fileDescriptor() const { return impl_->connection_.fileDescriptor(); }

std::optional<std::int64_t> X11FrameSource::processID() const { return impl_->targetPid_; }

void X11FrameSource::setSourceRect(const std::optional<Rect>& sourceRect) {
  Impl& d = *impl_;
  if (d.target_ != XCB_WINDOW_NONE || d.options_.sourceRect == sourceRect) return;
  d.options_.sourceRect = sourceRect;
  d.placeArea();
  d.layoutDirty_ = true;  // which windows show depends on the area
}

std::vector<std::pair<WindowID, Rect>> X11FrameSource::takeWindowFrameChanges() {
  Impl& d = *impl_;
  // The layout as it stands now, so that a crop sent back applies to the next picture.
  if (d.layoutDirty_) {
    try {
      d.refreshLayout();
    } catch (const PlatformError&) {
      if (d.connection_.hasError()) throw connectionLostError();
      throw;
    }
  }
  return std::exchange(d.frameChanges_, {});
}

void X11FrameSource::processEvents(std::int64_t nowMicros) {
  xcb_connection_t* c = impl_->connection_.get();
  while (EventPtr event{xcb_poll_for_event(c)}) impl_->handle(*event, nowMicros);
  if (impl_->windowDestroyed_ && !impl_->connection_.hasError()) {
    impl_->windowDestroyed_ = false;
    // The display filter records one application: once it has no window left, the recording has lost its
    // content.
    if (!impl_->applicationHasWindows()) impl_->targetDestroyed_ = true;
  }
  if (impl_->targetDestroyed_) {
    // A server shutting down destroys every window before it hangs up: a round trip tells which happened.
    optionalReply(c, xcb_get_input_focus(c), xcb_get_input_focus_reply);
    if (impl_->connection_.hasError()) throw connectionLostError();
    throw windowClosedError();
  }
  if (impl_->connection_.hasError()) throw connectionLostError();
}

bool X11FrameSource::wantsFrame() const {
  const Impl& d = *impl_;
  if (d.layoutDirty_ || d.compositeDirty_ || !d.marks_.empty()) return true;
  // The pointer is asked for every frame: warps, unlike motion, come with no event.
  if (d.hasXfixes_) return true;
  return std::any_of(d.layers_.begin(), d.layers_.end(),
                     [](const auto& layer) { return layer->viewable && layer->contentDirty; });
}

bool X11FrameSource::Impl::prepareFrame(std::int64_t nowMicros) {
  Impl& d = *this;
  if (d.layoutDirty_) d.refreshLayout();
  d.stripLayer_ = nullptr;
  bool changed = d.compositeDirty_;
  for (auto& layer : d.layers_) {
    if (layer->contentDirty) changed |= d.fetch(*layer);
  }
  if (d.layoutDirty_) {  // something vanished while reading; take the new layout now
    d.refreshLayout();
    for (auto& layer : d.layers_) {
      if (layer->contentDirty) d.fetch(*layer);
    }
    changed = true;
  }

  std::erase_if(d.marks_,
                [&](const ClickMark& mark) { return nowMicros - mark.startMicros > kClickMarkMicros; });
  changed |= !d.marks_.empty() || d.marksWereDrawn_;

  if (d.hasXfixes_) {
    const bool imageChanged = d.cursorImageDirty_;
    if (d.cursorImageDirty_) d.refreshCursorImage();
    if (auto pointer = d.queryPointer()) {
      d.pointerX_ = pointer->first;
      d.pointerY_ = pointer->second;
    } else {
      d.pointerX_ = d.pointerY_ = -1;
    }
    const bool inside = d.cursorInside();
    if (inside != d.cursorWasDrawn_ ||
        (inside && (d.pointerX_ != d.drawnPointerX_ || d.pointerY_ != d.drawnPointerY_ || imageChanged))) {
      changed = true;
    }
  }

  if (d.target_ != XCB_WINDOW_NONE && (d.layers_.empty() || !d.layers_.front()->viewable)) return false;
  // Nothing of the application's is shown (its window is hidden): the movie keeps the last
  // picture rather than black with a cursor over it.
  if (d.layers_.empty() && d.pictureShown_) return false;
  if (!changed || d.area_.width < 1 || d.area_.height < 1) return false;
  d.compositeDirty_ = false;
  return true;
}

bool X11FrameSource::Impl::beginFrame(std::int64_t nowMicros) {
  try {
    return prepareFrame(nowMicros);
  } catch (const PlatformError&) {
    // A request failing because the server went away is the lost connection, not its symptom.
    if (connection_.hasError()) throw connectionLostError();
    throw;
  }
}

bool X11FrameSource::render(FramePixels& band, BandSink& sink, std::int64_t nowMicros) {
  Impl& d = *impl_;
  if (!d.beginFrame(nowMicros)) return false;
  const int width = static_cast<int>(d.area_.width);
  const int height = static_cast<int>(d.area_.height);
  band.width = width;
  band.height = std::min(height, kBandRows);
  band.stride = width * 4;
  band.data.resize(static_cast<std::size_t>(band.stride) * static_cast<std::size_t>(band.height));
  sink.begin(width, height);
  for (int top = 0; top < height; top += kBandRows) {
    const MutableImageView rows{band.data.data(), width, std::min(kBandRows, height - top), band.stride};
    if (!d.compose(rows, top, nowMicros)) return false;
    sink.band(rows, top);
  }
  d.composed();
  return true;
}

}  // namespace quorvale::platform::capture
