#pragma once

#include <cmath>
#include <limits>

namespace quorvale::platform {

// A rectangle in points with the window server's semantics: a null rectangle
// (the result of intersecting rectangles that do not meet) is distinct from a
// zero-sized one, and width and height read back as never negative.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  static Rect null() {
    constexpr double inf = std::numeric_limits<double>::infinity();
    return Rect{inf, inf, 0, 0};
  }

  bool isNull() const { return std::isinf(x) || std::isinf(y); }
  bool isEmpty() const { return isNull() || getWidth() == 0 || getHeight() == 0; }
  double getWidth() const { return std::fabs(width); }
  double getHeight() const { return std::fabs(height); }

  // Negative sizes flipped so that origin is the minimum corner.
  Rect standardized() const;
  Rect intersection(const Rect& other) const;

  friend bool operator==(const Rect&, const Rect&) = default;
};

struct Size {
  double width = 0;
  double height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

}  // namespace quorvale::platform
