#include "recorder/capture_configuration.h"

#include <gtest/gtest.h>

#include <limits>

namespace quorvale::recorder {
namespace {

using platform::Rect;

struct OutputSizeCase {
  float scale;
  Rect content;
  Rect window;
  PixelSize expected;
};

class OutputSizeTest : public ::testing::TestWithParam<OutputSizeCase> {};

TEST_P(OutputSizeTest, FitsWithinBoundsWithoutEnlarging) {
  const auto& c = GetParam();
  EXPECT_EQ(outputSize(c.content, c.scale, c.window), c.expected);
}

const Rect kAnyWindow{0, 0, 10, 10};
INSTANTIATE_TEST_SUITE_P(Table, OutputSizeTest,
                         ::testing::Values(OutputSizeCase{2, {0, 0, 1440, 900}, kAnyWindow, {1152, 720}},
                                           OutputSizeCase{2, {0, 0, 1920, 1080}, kAnyWindow, {1280, 720}},
                                           OutputSizeCase{1, {0, 0, 1366, 768}, kAnyWindow, {1280, 719}},
                                           OutputSizeCase{1, {0, 0, 800, 600}, kAnyWindow, {800, 600}},
                                           OutputSizeCase{1, {0, 0, 1000.3, 700.2}, kAnyWindow, {1001, 701}},
                                           OutputSizeCase{0.5, {0, 0, 800, 600}, kAnyWindow, {800, 600}},
                                           OutputSizeCase{2, {0, 0, 20, 10}, kAnyWindow, {64, 64}},
                                           OutputSizeCase{1, {0, 0, 3000, 100}, kAnyWindow, {1280, 64}},
                                           OutputSizeCase{1, {0, 0, 100, 3000}, kAnyWindow, {64, 720}},
                                           OutputSizeCase{3, {0, 0, 0, 0}, {0, 0, 500, 400}, {900, 720}},
                                           OutputSizeCase{1, {0, 0, 0, 300}, {0, 0, 500, 400}, {1000, 300}},
                                           // A negative width reads back as its magnitude.
                                           OutputSizeCase{1, {0, 0, -800, 600}, kAnyWindow, {800, 600}}));

TEST(OutputSizeOddInput, StaysWithinBoundsForAnyNumber) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  const double values[] = {inf, -inf, nan, 0, -1, 1e300, -1e300, 1e-300, 63.5, 1e19};
  const float scales[] = {1,
                          2,
                          0,
                          -1,
                          std::numeric_limits<float>::infinity(),
                          std::numeric_limits<float>::quiet_NaN(),
                          std::numeric_limits<float>::max()};
  for (const double w : values) {
    for (const double h : values) {
      for (const float scale : scales) {
        const auto size = outputSize(Rect{0, 0, w, h}, scale, Rect{0, 0, h, w});
        EXPECT_GE(size.width, 64);
        EXPECT_LE(size.width, 1280);
        EXPECT_GE(size.height, 64);
        EXPECT_LE(size.height, 720);
      }
    }
  }
}

struct DisplayChoiceCase {
  const char* name;
  Rect window;
  std::vector<Rect> displays;
  std::optional<std::size_t> expected;
};

class DisplayChoiceTest : public ::testing::TestWithParam<DisplayChoiceCase> {};

TEST_P(DisplayChoiceTest, LargestOverlapWinsTiesGoEarlier) {
  EXPECT_EQ(chooseDisplay(GetParam().window, GetParam().displays), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DisplayChoiceTest,
    ::testing::Values(
        DisplayChoiceCase{"none", {0, 0, 10, 10}, {}, std::nullopt},
        DisplayChoiceCase{"singleNotOverlapped", {5000, 5000, 10, 10}, {{0, 0, 100, 100}}, 0},
        DisplayChoiceCase{"equalOverlap", {50, 0, 100, 100}, {{0, 0, 100, 100}, {100, 0, 100, 100}}, 0},
        DisplayChoiceCase{"noneOverlapped",
                          {9000, 9000, 10, 10},
                          {{0, 0, 100, 100}, {100, 0, 100, 100}, {200, 0, 100, 100}},
                          0},
        DisplayChoiceCase{
            "originOnAButMostlyOnB", {90, 0, 100, 100}, {{0, 0, 100, 100}, {100, 0, 100, 100}}, 1},
        DisplayChoiceCase{"laterLargerOverlap",
                          {0, 0, 300, 100},
                          {{0, 0, 50, 100}, {50, 0, 200, 100}, {250, 0, 100, 100}},
                          1},
        DisplayChoiceCase{
            "touchingEdgeIsNoOverlap", {100, 0, 10, 10}, {{0, 0, 100, 100}, {200, 0, 10, 10}}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct SourceRectCase {
  Rect window;
  Rect display;
  Rect expected;
};

class SourceRectTest : public ::testing::TestWithParam<SourceRectCase> {};

TEST_P(SourceRectTest, IsRelativeToTheDisplayAndClampedOnlyAtTheOrigin) {
  EXPECT_EQ(sourceRect(GetParam().window, GetParam().display), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SourceRectTest,
    ::testing::Values(SourceRectCase{{100, 50, 800, 600}, {0, 0, 1440, 900}, {100, 50, 800, 600}},
                      SourceRectCase{{-200, 100, 800, 600}, {0, 0, 1440, 900}, {0, 100, 800, 600}},
                      SourceRectCase{{1000, 0, 800, 600}, {0, 0, 1440, 900}, {1000, 0, 800, 600}},
                      SourceRectCase{{1540, 100, 800, 600}, {1440, 0, 1920, 1080}, {100, 100, 800, 600}},
                      SourceRectCase{{0, 0, 3000, 2000}, {0, 0, 1440, 900}, {0, 0, 1440, 900}}));

TEST(SourceRectUsable, NeedsAtLeastOnePointEachWay) {
  EXPECT_TRUE(isUsableSourceRect({0, 0, 1, 1}));
  EXPECT_FALSE(isUsableSourceRect({0, 0, 0.5, 600}));
  EXPECT_FALSE(isUsableSourceRect({0, 0, 600, 0.99}));
}

TEST(ChooseType, PrefersTheWantedEntryThenTheFirstThenNothing) {
  EXPECT_EQ(chooseType({"com.apple.quicktime-movie", "public.mpeg-4"}, "public.mpeg-4"), "public.mpeg-4");
  EXPECT_EQ(chooseType({"com.apple.quicktime-movie", "x"}, "public.mpeg-4"), "com.apple.quicktime-movie");
  EXPECT_EQ(chooseType({}, "avc1"), std::nullopt);
  EXPECT_EQ(chooseType({"hvc1", "avc1"}, "avc1"), "avc1");
}

TEST(RectGeometry, IntersectionOfDisjointRectanglesIsNullAndEmpty) {
  const Rect a{0, 0, 10, 10};
  EXPECT_TRUE(a.intersection({20, 20, 5, 5}).isNull());
  EXPECT_TRUE(a.intersection({20, 20, 5, 5}).isEmpty());
  EXPECT_EQ(a.intersection({5, -5, 10, 10}), (Rect{5, 0, 5, 5}));
  EXPECT_EQ(Rect({10, 10, -4, -6}).standardized(), (Rect{6, 4, 4, 6}));
  EXPECT_TRUE((Rect{0, 0, 0, 5}).isEmpty());
  EXPECT_FALSE((Rect{0, 0, 0, 5}).isNull());
}

}  // namespace
}  // namespace quorvale::recorder
