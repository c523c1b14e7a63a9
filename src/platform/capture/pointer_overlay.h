#pragma once

// The cursor and click marks drawn over a picture: the cursor's image from XFixes,
// clicks from XInput 2's raw presses, the pointer's place asked for every picture
// (warps, unlike motion, come with no event).
// Threading: the stream's capture thread, with the frame source that owns it.

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "platform/capture/compose.h"
#include "platform/capture/x11_connection.h"
#include "platform/geometry.h"

namespace quorvale::platform::capture {

class PointerOverlay {
 public:
  // Selects the events it needs on the root window; without the extensions, nothing is drawn.
  PointerOverlay(const Connection& connection, bool showsCursor, bool showMouseClicks);

  // Takes the event when it is one of ours.
  bool handle(const xcb_generic_event_t& event, std::int64_t nowMicros);
  // Something of ours may have changed without an event of the picture's.
  bool wantsFrame() const { return hasXfixes_ || !marks_.empty(); }
  // Before a picture of area (root coordinates): whether what is drawn over it changed.
  bool prepare(const Rect& area, std::int64_t nowMicros);
  // Draws over the picture's rows top .. top + out.height - 1.
  void draw(MutableImageView out, const Rect& area, int top, std::int64_t nowMicros) const;
  // After the whole picture: what it now shows.
  void drawn(const Rect& area);

 private:
  struct ClickMark {
    int rootX = 0;
    int rootY = 0;
    std::int64_t startMicros = 0;
  };
  std::optional<std::pair<int, int>> queryPointer() const;
  bool cursorInside(const Rect& area) const {
    return cursor_ && pointerX_ >= area.x && pointerY_ >= area.y && pointerX_ < area.x + area.width &&
           pointerY_ < area.y + area.height;
  }

  const Connection& connection_;
  bool hasXfixes_ = false;
  std::uint8_t xfixesEventBase_ = 0;
  std::optional<std::uint8_t> xinputOpcode_;
  XcbPtr<xcb_xfixes_get_cursor_image_reply_t> cursor_;
  bool cursorImageDirty_ = true;
  int pointerX_ = -1;
  int pointerY_ = -1;
  bool cursorWasDrawn_ = false;
  int drawnPointerX_ = -1;
  int drawnPointerY_ = -1;
  std::vector<ClickMark> marks_;
  bool marksWereDrawn_ = false;
};

}  // namespace quorvale::platform::capture
