#include "platform/capture/frame_source.h"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "platform/capture/compose.h"
#include "platform/capture/pointer_overlay.h"
#include "platform/capture/window_catalog.h"
#include "platform/capture/window_pixels.h"
#include "platform/capture/x11_connection.h"
#include "platform/capture/x_resources.h"

namespace quorvale::platform::capture {
namespace {

constexpr std::uint8_t kBadWindow = 3;
constexpr std::uint8_t kBadDrawable = 9;
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
  // Re-arms the layer's damage and takes its pixels; false when there is nothing to show.
  bool fetch(Layer& layer);
  void handle(const xcb_generic_event_t& event, std::int64_t nowMicros);
  // Draws the rows of the picture from top on into out (out.height of them). False when
  // a streamed window vanished while it was read: the picture is to be given up.
  bool compose(MutableImageView out, int top, std::int64_t nowMicros);
  // After all rows: what the picture now shows.
  void composed();
  // Everything up to composing; false when there is nothing new to show.
  bool prepareFrame(std::int64_t nowMicros);
  bool beginFrame(std::int64_t nowMicros);

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
  WindowPixels pixels_{connection_};
  std::optional<PointerOverlay> overlay_;  // set up with the extensions

  Rect area_;                                   // root coordinates
  std::vector<std::unique_ptr<Layer>> layers_;  // bottom first
  bool layoutDirty_ = true;
  bool compositeDirty_ = true;
  bool pictureShown_ = false;  // a picture has been composed
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

  overlay_.emplace(connection_, options_.showsCursor, options_.showMouseClicks);
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
  // One window alone is read strip by strip as it is composed. With several, each keeps a
  // copy, so that composing a band does not read every window's strip again.
  const bool shown = pixels_.fetch(layer, layers_.size() == 1);
  if (pixels_.takeVanished()) layoutDirty_ = true;
  return shown;
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
  if (overlay_->handle(event, nowMicros)) return;
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

bool X11FrameSource::Impl::compose(MutableImageView out, int top, std::int64_t nowMicros) {
  fillBlack(out);
  for (const auto& layer : layers_) {
    if (!layer->viewable || !layer->hasPixels) continue;
    // Depth-32 windows carry premultiplied alpha; others leave that byte undefined.
    const bool blend = layer->depth == 32 && layer.get() != layers_.front().get();
    if (!pixels_.draw(out, *layer, top, blend)) {
      if (pixels_.takeVanished()) layoutDirty_ = true;
      return false;
    }
  }
  overlay_->draw(out, area_, top, nowMicros);
  return true;
}

void X11FrameSource::Impl::composed() {
  pictureShown_ = true;
  overlay_->drawn(area_);
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
  if (d.layoutDirty_ || d.compositeDirty_ || d.overlay_->wantsFrame()) return true;
  return std::any_of(d.layers_.begin(), d.layers_.end(),
                     [](const auto& layer) { return layer->viewable && layer->contentDirty; });
}

bool X11FrameSource::Impl::prepareFrame(std::int64_t nowMicros) {
  Impl& d = *this;
  if (d.layoutDirty_) d.refreshLayout();
  d.pixels_.beginPicture();
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

  changed |= d.overlay_->prepare(d.area_, nowMicros);

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
