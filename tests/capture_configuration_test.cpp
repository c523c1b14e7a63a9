#include "recorder/capture_configuration.h"

#include <gtest/gtest.h>

#include <limits>

namespace quorvale::recorder {
namespace {

using platform::Rect;

TEST(OutputSizeTest, FitsTheContentsPixelsWithin1280By720WithoutEnlarging) {
  const Rect anyWindow{0, 0, 10, 10};
  constexpr double inf = std::numeric_limits<double>::infinity();
  // clang-format off
  const std::tuple<float, Rect, Rect, PixelSize> table[] = {
      {2, {0, 0, 1440, 900}, anyWindow, {1152, 720}},     {2, {0, 0, 1920, 1080}, anyWindow, {1280, 720}},
      {1, {0, 0, 1366, 768}, anyWindow, {1280, 719}},     {1, {0, 0, 800, 600}, anyWindow, {800, 600}},
      {1, {0, 0, 1000.3, 700.2}, anyWindow, {1001, 701}}, {0.5, {0, 0, 800, 600}, anyWindow, {800, 600}},
      {2, {0, 0, 20, 10}, anyWindow, {64, 64}},           {1, {0, 0, 3000, 100}, anyWindow, {1280, 64}},
      {1, {0, 0, 100, 3000}, anyWindow, {64, 720}},       {1.5, {0, 0, 800, 600}, anyWindow, {960, 720}},
      {1, {0, 0, -800, 600}, anyWindow, {800, 600}},  // a negative width reads as its magnitude
      // No content size: twice the window's.
      {3, {0, 0, 0, 0}, {0, 0, 500, 400}, {900, 720}},    {1, {0, 0, 0, 300}, {0, 0, 500, 400}, {1000, 300}},
      // An infinite side is as large as it can be (any number at all is the fuzz target's).
      {1, {0, 0, inf, 100}, anyWindow, {1280, 64}},       {1, {0, 0, 100, inf}, anyWindow, {64, 720}},
      {float(inf), {0, 0, 800, 600}, anyWindow, {1280, 720}}};
  // clang-format on
  for (const auto& [scale, content, window, expected] : table)
    EXPECT_EQ(outputSize(content, scale, window), expected) << scale << " " << content.getWidth();
}

TEST(ChooseDisplayTest, LargestOverlapWinsAndTiesGoToTheEarlier) {
  const Rect a{0, 0, 100, 100}, b{100, 0, 100, 100};
  EXPECT_EQ(chooseDisplay({50, 0, 100, 100}, {a, b}), 0u);                         // equal overlap
  EXPECT_EQ(chooseDisplay({9000, 9000, 10, 10}, {a, b, {200, 0, 100, 100}}), 0u);  // no overlap at all
  // The last has more than the first and less than the middle one.
  EXPECT_EQ(chooseDisplay({0, 0, 300, 100}, {{0, 0, 10, 100}, {10, 0, 200, 100}, {210, 0, 100, 100}}), 1u);
  EXPECT_EQ(chooseDisplay({100, 0, 10, 10}, {a, {200, 0, 10, 10}}), 0u);  // a touching edge is no overlap
  EXPECT_EQ(chooseDisplay({100.5, 0, 0.5, 0.5}, {a, b}), 1u);             // a sliver beats none
}

TEST(SourceRectTest, IsRelativeToTheDisplayClampedAtTheOriginAndNoLargerThanIt) {
  EXPECT_EQ(sourceRect({-200, -100, 800, 600}, {0, 0, 1440, 900}), (Rect{0, 0, 800, 600}));
  EXPECT_EQ(sourceRect({1540, 100, 3000, 2000}, {1440, 0, 1920, 1080}), (Rect{100, 100, 1920, 1080}));
  EXPECT_EQ(sourceRect({0.5, 0.5, 10, 10}, {0, 0, 100, 100}), (Rect{0.5, 0.5, 10, 10}));
  EXPECT_TRUE(isUsableSourceRect({0, 0, 1, 1}));
  EXPECT_FALSE(isUsableSourceRect({0, 0, 600, 0.99}));
}

}  // namespace
}  // namespace quorvale::recorder
