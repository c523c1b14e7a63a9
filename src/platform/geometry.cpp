#include "platform/geometry.h"

#include <algorithm>

namespace quorvale::platform {

Rect Rect::standardized() const {
  if (isNull()) return *this;
  Rect r = *this;
  if (r.width < 0) {
    r.x += r.width;
    r.width = -r.width;
  }
  if (r.height < 0) {
    r.y += r.height;
    r.height = -r.height;
  }
  return r;
}

Rect Rect::intersection(const Rect& other) const {
  if (isNull() || other.isNull()) return null();
  const Rect a = standardized();
  const Rect b = other.standardized();
  const double left = std::max(a.x, b.x);
  const double top = std::max(a.y, b.y);
  const double right = std::min(a.x + a.width, b.x + b.width);
  const double bottom = std::min(a.y + a.height, b.y + b.height);
  // Touching edges still meet; only a gap (or a NaN) gives the null rectangle.
  if (!(right >= left) || !(bottom >= top)) return null();
  return Rect{left, top, right - left, bottom - top};
}

}  // namespace quorvale::platform
