#include "platform/capture/pointer_overlay.h"

#include <xcb/xinput.h>

#include <algorithm>

namespace quorvale::platform::capture {
namespace {

constexpr std::int64_t kClickMarkMicros = 300'000;
constexpr int kClickMarkRadius = 12;

}  // namespace

PointerOverlay::PointerOverlay(const Connection& connection, bool showsCursor, bool showMouseClicks)
    : connection_(connection) {
  xcb_connection_t* c = connection_.get();
  if (const auto* xfixes = connection_.extension(&xcb_xfixes_id); xfixes && showsCursor) {
    auto version = optionalReply(c, xcb_xfixes_query_version(c, 4, 0), xcb_xfixes_query_version_reply);
    if (version && version->major_version >= 2) {
      hasXfixes_ = true;
      xfixesEventBase_ = xfixes->first_event;
      xcb_xfixes_select_cursor_input(c, connection_.root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    }
  }
  if (const auto* xinput = connection_.extension(&xcb_input_id); xinput && showMouseClicks) {
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

bool PointerOverlay::handle(const xcb_generic_event_t& event, std::int64_t nowMicros) {
  const std::uint8_t type = event.response_type & 0x7f;
  if (hasXfixes_ && type == xfixesEventBase_ + XCB_XFIXES_CURSOR_NOTIFY) {
    cursorImageDirty_ = true;
    return true;
  }
  if (type != XCB_GE_GENERIC || !xinputOpcode_) return false;
  const auto& generic = reinterpret_cast<const xcb_ge_generic_event_t&>(event);
  if (generic.extension != *xinputOpcode_) return false;
  if (generic.event_type == XCB_INPUT_RAW_BUTTON_PRESS) {
    const auto& press = reinterpret_cast<const xcb_input_raw_button_press_event_t&>(event);
    if (press.detail >= 1 && press.detail <= 3) {  // not the wheel
      if (auto pointer = queryPointer()) marks_.push_back({pointer->first, pointer->second, nowMicros});
    }
  }
  return true;
}

std::optional<std::pair<int, int>> PointerOverlay::queryPointer() const {
  xcb_connection_t* c = connection_.get();
  auto reply = optionalReply(c, xcb_query_pointer(c, connection_.root()), xcb_query_pointer_reply);
  if (!reply || !reply->same_screen) return std::nullopt;
  return std::pair<int, int>{reply->root_x, reply->root_y};
}

bool PointerOverlay::prepare(const Rect& area, std::int64_t nowMicros) {
  std::erase_if(marks_,
                [&](const ClickMark& mark) { return nowMicros - mark.startMicros > kClickMarkMicros; });
  bool changed = !marks_.empty() || marksWereDrawn_;
  if (!hasXfixes_) return changed;
  const bool imageChanged = cursorImageDirty_;
  if (cursorImageDirty_) {
    cursorImageDirty_ = false;
    xcb_connection_t* c = connection_.get();
    cursor_ = optionalReply(c, xcb_xfixes_get_cursor_image(c), xcb_xfixes_get_cursor_image_reply);
  }
  if (auto pointer = queryPointer()) {
    pointerX_ = pointer->first;
    pointerY_ = pointer->second;
  } else {
    pointerX_ = pointerY_ = -1;
  }
  const bool inside = cursorInside(area);
  return changed || inside != cursorWasDrawn_ ||
         (inside && (pointerX_ != drawnPointerX_ || pointerY_ != drawnPointerY_ || imageChanged));
}

void PointerOverlay::draw(MutableImageView out, const Rect& area, int top, std::int64_t nowMicros) const {
  for (const auto& mark : marks_) {
    const double age = static_cast<double>(nowMicros - mark.startMicros) / kClickMarkMicros;
    drawClickMark(out, mark.rootX - static_cast<int>(area.x), mark.rootY - static_cast<int>(area.y) - top,
                  kClickMarkRadius, static_cast<float>(1.0 - age));
  }
  if (cursorInside(area)) {
    const BgraImageView image{
        reinterpret_cast<const std::uint8_t*>(xcb_xfixes_get_cursor_image_cursor_image(cursor_.get())),
        cursor_->width, cursor_->height, cursor_->width * 4};
    drawImage(out, image, pointerX_ - cursor_->xhot - static_cast<int>(area.x),
              pointerY_ - cursor_->yhot - static_cast<int>(area.y) - top, true);
  }
}

void PointerOverlay::drawn(const Rect& area) {
  marksWereDrawn_ = !marks_.empty();
  cursorWasDrawn_ = cursorInside(area);
  if (cursorWasDrawn_) {
    drawnPointerX_ = pointerX_;
    drawnPointerY_ = pointerY_;
  }
}

}  // namespace quorvale::platform::capture
