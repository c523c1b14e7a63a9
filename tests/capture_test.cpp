// Window capture against a private Xvfb: the catalogue, and the pictures a frame
// source composes from Composite pixmaps, the cursor and clicks.

#include <xcb/xfixes.h>
#include <xcb/xtest.h>

#include <atomic>
#include <cstring>
#include <deque>

#include "platform/capture/compose.h"
#include "platform/capture/content_query.h"
#include "platform/capture/frame_source.h"
#include "platform/pipeline/media_clock.h"
#include "support/backend.h"

// Options name only what differs from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace quorvale::platform::testing {
namespace {

using namespace capture;
using pipeline::monotonicMicros;

// The colour at (x, y); none outside the picture.
std::uint32_t pixelAt(const FramePixels& frame, int x, int y) {
  if (x >= frame.width || y >= frame.height) return ~0u;
  const std::uint8_t* p = frame.data.data() + y * frame.stride + x * 4;
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16;
}

// The picture as the stream takes it at `now`, band by band, put together again; empty when the
// source has nothing new. onBand runs after each band.
FramePixels picture(
    auto&& source, std::function<void()> onBand = [] {}, std::int64_t now = monotonicMicros()) {
  struct Collect final : BandSink {
    FramePixels picture;
    std::function<void()> onBand;
    void begin(int width, int height) override { picture = {{}, width, height, width * 4}; }
    void band(const BgraImageView& rows, int top) override {
      EXPECT_EQ(std::size_t(top) * picture.stride, picture.data.size()) << "bands in order";
      for (int y = 0; y < rows.height; ++y)
        picture.data.insert(picture.data.end(), rows.data + std::size_t(y) * rows.stride,
                            rows.data + std::size_t(y) * rows.stride + std::size_t(rows.width) * 4);
      onBand();
    }
  } sink;
  sink.onBand = std::move(onBand);
  FramePixels band;
  if (!source.render(band, sink, now)) return {};
  EXPECT_LE(band.data.size(), std::size_t(band.stride) * X11FrameSource::kBandRows);
  EXPECT_EQ(sink.picture.data.size(), std::size_t(sink.picture.stride) * sink.picture.height);
  return sink.picture;
}

// Handles the source's events and draws until the picture shows what is wanted, for at most 10 s;
// at a time that stands still if one is given.
bool renderUntil(X11FrameSource& source, FramePixels& frame, auto shows,
                 std::optional<std::int64_t> at = {}) {
  for (const auto deadline = e2e::Clock::now() + 10s; e2e::Clock::now() < deadline;) {
    pollfd p{source.fileDescriptor(), POLLIN, 0};
    ::poll(&p, 1, 100);
    source.processEvents(at.value_or(monotonicMicros()));
    if (source.wantsFrame() &&
        !(frame = picture(
              source, [] {}, at.value_or(monotonicMicros())))
             .data.empty() &&
        shows(frame))
      return true;
  }
  return false;
}

// A window's known content (the colour at x, y) with a margin all round, so that what is drawn over it
// in one piece is never cut at the window's first or last row or column: (x, y) is at (x + m, y + m).
constexpr int m = 32;
FramePixels known(int width, int height, const std::function<std::uint32_t(int, int)>& colourAt) {
  FramePixels want{std::vector<std::uint8_t>(std::size_t(width + 2 * m) * (height + 2 * m) * 4),
                   width + 2 * m, height + 2 * m, (width + 2 * m) * 4};
  for (int y = 0; y < want.height; ++y)
    for (int x = 0; x < want.width; ++x) {
      const std::uint32_t rgb = colourAt(x - m, y - m);
      std::memcpy(&want.data[std::size_t(y) * want.stride + std::size_t(x) * 4], &rgb, 4);
    }
  return want;
}

// How many of the picture's pixels differ from the reference's; -1 for a picture of another size.
int differences(const FramePixels& frame, const FramePixels& want) {
  if (frame.width + 2 * m != want.width || frame.height + 2 * m != want.height) return -1;
  int wrong = 0;
  for (int y = 0; y < frame.height; ++y)
    for (int x = 0; x < frame.width; ++x) wrong += pixelAt(frame, x, y) != pixelAt(want, x + m, y + m);
  return wrong;
}

constexpr CaptureOptions kPlain{.showsCursor = false},
    kAlone{.showsCursor = false, .includeChildWindows = false};

// Each case on an X server with shared memory and X-Resource, and on one without either (remote and
// older servers): pixels read through the connection, processes known by _NET_WM_PID.
class CaptureTest : public ::testing::TestWithParam<bool> {
 protected:
  static const std::string& display() {
    static std::map<bool, e2e::XServer> servers;  // shared by a suite's cases, ended at exit
    std::vector<std::string> options{"-screen", "0", "1280x800x24"};
    if (!GetParam()) options.insert(options.end(), {"-extension", "MIT-SHM", "-extension", "X-Resource"});
    return servers.try_emplace(GetParam(), options).first->second.display();
  }
  static X11FrameSource source(xcb_window_t window, const CaptureOptions& options = kPlain) {
    return X11FrameSource(display(), WindowFilter{Window{window, {}, {}, {}, true}}, options);
  }
  static std::optional<Window> find(bool excludeDesktop, bool onScreenOnly, xcb_window_t id) {
    for (const auto& window : ContentQuery(display()).content(excludeDesktop, onScreenOnly).windows)
      if (window.windowID == id) return window;
    return std::nullopt;
  }

  // Draws the pointer's cursor image over want with its hot spot at (x, y); returns the image.
  XcbPtr<xcb_xfixes_get_cursor_image_reply_t> drawCursor(FramePixels& want, int x, int y) {
    optionalReply(client_.get(), xcb_xfixes_query_version(client_.get(), 4, 0),
                  xcb_xfixes_query_version_reply);
    auto cursor = optionalReply(client_.get(), xcb_xfixes_get_cursor_image(client_.get()),
                                xcb_xfixes_get_cursor_image_reply);
    EXPECT_TRUE(cursor);
    if (cursor)
      drawImage(
          {want.data.data(), want.width, want.height, want.stride},
          {reinterpret_cast<const std::uint8_t*>(xcb_xfixes_get_cursor_image_cursor_image(cursor.get())),
           cursor->width, cursor->height, cursor->width * 4},
          x - cursor->xhot + m, y - cursor->yhot + m, true);
    return cursor;
  }

  e2e::Client client_{display()};
};

TEST_P(CaptureTest, CatalogListsClientWindowsWithFramePidTitleAndVisibility) {
  const xcb_window_t shown = client_.window(40, 60, 320, 200, kRed);
  client_.property(shown, "_NET_WM_NAME", client_.atom("UTF8_STRING"), 8, "Quorvale catalog", 16);
  client_.property(shown, "WM_CLASS", XCB_ATOM_STRING, 8, "inst\0Qclass\0", 12);
  const xcb_window_t inputOnly = xcb_generate_id(client_.get());  // mapped, but without pixels
  xcb_create_window(client_.get(), 0, inputOnly, client_.root(), 0, 0, 30, 30, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                    XCB_COPY_FROM_PARENT, 0, nullptr);
  xcb_map_window(client_.get(), inputOnly);
  const xcb_window_t hidden = client_.window(10, 10, 50, 50, kBlue, false);
  const xcb_window_t popup = client_.window(0, 0, 30, 30, kGreen, true, true);
  const xcb_window_t desktop = client_.window(0, 0, 1280, 800, kGreen);
  const std::uint32_t desktopType = client_.atom("_NET_WM_WINDOW_TYPE_DESKTOP");
  client_.property(desktop, "_NET_WM_WINDOW_TYPE", XCB_ATOM_ATOM, 32, &desktopType, 1);
  // A window manager's frames hold the client (marked by WM_STATE) among decorations, at any
  // child index and up to two levels down.
  const std::uint32_t normal[] = {1, 0};
  for (int index : {0, 1, 2, 3}) {
    const xcb_window_t frame = client_.window(600 + index * 150, 300, 140, 120, kBlue);
    const xcb_window_t holder =
        index == 3 ? client_.window(0, 0, 140, 120, kBlue, true, false, frame) : frame;
    xcb_window_t children[3];
    for (int child = 0; child < 3; ++child)
      children[child] = client_.window(child * 10, 20, 100, 90, kRed, true, false, holder);
    client_.property(children[index % 3], "WM_STATE", client_.atom("WM_STATE"), 32, normal, 2);
    EXPECT_EQ(find(true, false, children[index % 3]).value_or(Window{}).frame,
              (Rect{600.0 + 150 * index + (index % 3) * 10, 320, 100, 90}))
        << "client " << index;
  }

  EXPECT_EQ(find(true, false, shown), (Window{shown, Rect{40, 60, 320, 200},
                                              RunningApplication{::getpid(), "Qclass"}, "Quorvale catalog"}));
  EXPECT_FALSE(find(true, false, hidden).value_or(Window{}).onScreen);
  EXPECT_FALSE(find(true, false, popup)) << "override-redirect windows are not listed";
  EXPECT_FALSE(find(true, false, desktop));
  EXPECT_FALSE(find(true, false, inputOnly));
  EXPECT_TRUE(find(false, false, desktop));
  EXPECT_FALSE(find(true, true, hidden));
  const auto displays = ContentQuery(display()).content(true, false).displays;
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(displays[0].frame, (Rect{0, 0, 1280, 800}));

  EXPECT_EQ(failure([] { ContentQuery(":9876").content(true, false); }),
            "Could not connect to the X display :9876.");
  EXPECT_EQ(failure([] { ContentQuery("").content(true, false); }),
            "No X display is set (DISPLAY is empty).");
  const e2e::XServer undamaged({"-extension", "DAMAGE"});  // some remote desktops' servers
  e2e::Client elsewhere(undamaged.display());
  const xcb_window_t there = elsewhere.window(0, 0, 50, 50, kRed);
  EXPECT_EQ(failure([&] {
              X11FrameSource(undamaged.display(), WindowFilter{Window{there, {}, {}, {}, true}}, {});
            }),
            "The X display lacks the Composite and Damage extensions needed to record.");
}

// Guards against a window destroyed between the list and its attributes (a tooltip, a menu) failing
// the listing or the start of a recording.
TEST_P(CaptureTest, WindowsThatComeAndGoAreSkippedWhileListedAndWhileARecordingStarts) {
  const xcb_window_t target = client_.window(100, 100, 200, 100, kRed);
  std::atomic<bool> done = false;
  std::jthread popups([&] {
    e2e::Client churn(display());
    std::deque<xcb_window_t> shown;
    for (std::uint32_t i = 0; !done; ++i) {
      shown.push_back(xcb_generate_id(churn.get()));
      const std::uint32_t menu = i % 2;
      xcb_create_window(churn.get(), XCB_COPY_FROM_PARENT, shown.back(), churn.root(), 0, 0, 30, 30, 0,
                        XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT, &menu);
      xcb_map_window(churn.get(), shown.back());
      if (shown.size() > 8) xcb_destroy_window(churn.get(), shown.front()), shown.pop_front();
      i % 64 ? void(xcb_flush(churn.get())) : churn.sync();
    }
  });
  for (int i = 0; i < 100; ++i) {
    EXPECT_TRUE(find(true, false, target));
    EXPECT_EQ(pixelAt(picture(source(target)), 5, 5), kRed);
  }
  done = true;
}

TEST_P(CaptureTest, WindowFilterShowsTheWholeWindowWithItsOwnPopupsAndNothingElse) {
  const xcb_window_t target = client_.window(100, 100, 400, 300, kRed);
  client_.fill(target, kGreen, {0, 0, 20, 20});
  const xcb_window_t dialog = client_.window(150, 150, 50, 50, kGreen);
  client_.property(dialog, "WM_TRANSIENT_FOR", XCB_ATOM_WINDOW, 32, &target, 1);
  const xcb_window_t unmapped = client_.window(300, 150, 50, 50, kGreen, false);
  client_.property(unmapped, "WM_TRANSIENT_FOR", XCB_ATOM_WINDOW, 32, &target, 1);
  client_.window(300, 300, 40, 40, kBlue, true, true);                                // our own menu
  const xcb_window_t glass = client_.translucentPopup(450, 150, 40, 40, 0x80404040);  // premultiplied
  TestWindow other(display(),
                   {"--x", "400", "--y", "100", "--width", "50", "--height", "50", "--color", "2040d0"});
  client_.window(120, 350, 300, 200, kBlue);  // covers the bottom
  const xcb_window_t edge = client_.window(1200, 700, 200, 200, kRed),
                     dot = client_.window(700, 500, 1, 1, kRed);

  auto whole = source(target);
  FramePixels frame = picture(whole);
  ASSERT_EQ(std::pair(frame.width, frame.height), std::pair(400, 300));
  EXPECT_EQ(pixelAt(frame, 5, 5), kGreen);
  EXPECT_EQ(pixelAt(frame, 60, 60), kGreen) << "its dialog";
  EXPECT_EQ(pixelAt(frame, 210, 210), kBlue) << "its menu";
  EXPECT_EQ(pixelAt(frame, 360, 60), 0xa85050u) << "a translucent menu blended over it";
  EXPECT_EQ(pixelAt(frame, 210, 60), kRed) << "an unmapped dialog";
  EXPECT_EQ(pixelAt(frame, 320, 20), kRed) << "another program's window";
  EXPECT_EQ(pixelAt(frame, 100, 280), kRed) << "the window covering it";
  EXPECT_EQ(pixelAt(frame, 399, 299), kRed);
  EXPECT_EQ(pixelAt(picture(source(target, kAlone)), 60, 60), kRed);
  EXPECT_EQ(pixelAt(picture(source(glass)), 5, 5), 0x404040u)
      << "a translucent window recorded as it is, not blended with itself";
  // Mostly off the screen, and as small as a window gets.
  EXPECT_EQ(pixelAt(picture(source(edge)), 190, 190), kRed);
  EXPECT_EQ(pixelAt(picture(source(dot)), 0, 0), kRed);

  // Unchanged: no new frame. Drawn on: the change shows.
  whole.processEvents(monotonicMicros());
  EXPECT_FALSE(whole.wantsFrame());
  EXPECT_TRUE(picture(whole).data.empty());
  client_.fill(target, kBlue, {200, 100, 50, 50});
  EXPECT_TRUE(renderUntil(whole, frame, [](const FramePixels& f) { return pixelAt(f, 220, 120) == kBlue; }));
  xcb_destroy_window(client_.get(), dialog);  // another window going away does not end the capture
  client_.sync();
  EXPECT_TRUE(renderUntil(whole, frame, [](const FramePixels& f) { return pixelAt(f, 60, 60) == kRed; }));

  EXPECT_EQ(failure([&] { source(dialog); }), "The window to record no longer exists.");
  EXPECT_EQ(failure([&] { source(unmapped); }), "The window to record is not shown on screen.");
}

// Pixel for pixel against the window's known content with the cursor and click marks drawn over it in
// one piece: at the picture's first and last row and column, and across the edge between two bands.
TEST_P(CaptureTest, CursorFollowsThePointerAndClicksLeaveAMark) {
  const xcb_window_t target = client_.window(100, 100, 400, 300, kRed);
  const auto shown = [&](std::optional<std::pair<int, int>> cursor,
                         std::vector<std::pair<int, int>> marks = {}) {
    FramePixels want = known(400, 300, [](int, int) { return kRed; });
    for (auto [x, y] : marks)
      drawClickMark({want.data.data(), want.width, want.height, want.stride}, x + m, y + m, 12, 1);
    if (cursor) drawCursor(want, cursor->first, cursor->second);
    return want;
  };
  client_.warpPointer(100, 100);  // the window's first row and column
  auto without = source(target, kAlone), cursor = source(target, {.includeChildWindows = false});
  EXPECT_EQ(differences(picture(without), shown({})), 0);
  EXPECT_EQ(differences(picture(cursor), shown({{0, 0}})), 0);
  EXPECT_TRUE(picture(cursor).data.empty()) << "nothing moved: no new picture";

  // Guards against a cursor that stays where the last motion left it: warps make no motion events.
  FramePixels frame;
  for (auto [x, y, want] :
       {std::tuple{300, 250, shown({{200, 150}})}, {10, 10, shown({})}}) {  // off it: none
    client_.warpPointer(x, y);
    EXPECT_TRUE(renderUntil(cursor, frame, [&](const FramePixels& f) { return differences(f, want) == 0; }))
        << x;
  }

  // Marks at full strength (the time stands still): at the first row and column, over rows 159 and 160,
  // then at the last row and column.
  auto marking = source(target, {.showMouseClicks = true, .includeChildWindows = false});
  const std::int64_t now = monotonicMicros();
  for (auto [x, y, want] : {std::tuple{100, 100, shown({{0, 0}}, {{0, 0}})},
                            {300, 260, shown({{200, 160}}, {{0, 0}, {200, 160}})},
                            {499, 399, shown({{399, 299}}, {{0, 0}, {200, 160}, {399, 299}})}}) {
    client_.warpPointer(x, y);
    xcb_test_fake_input(client_.get(), XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(client_.get(), XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    client_.sync();
    EXPECT_TRUE(renderUntil(
        marking, frame, [&](const FramePixels& f) { return differences(f, want) == 0; }, now))
        << differences(frame, want) << " pixels differ, click at " << x << "," << y;
  }
  EXPECT_EQ(differences(picture(
                            marking, [] {}, now + 400'000),
                        shown({{399, 299}})),
            0)
      << "the marks fade";
}

TEST_P(CaptureTest, BandByBandRenderingDrawsOneStateOfTheSamePicture) {
  const xcb_window_t target = client_.window(100, 100, 400, 300, kRed);
  // Rows far apart, so that a window read in strips shows each strip in its place.
  client_.fill(target, kBlue, {0, 140, 400, 20});
  client_.fill(target, kGreen, {0, 280, 400, 20});
  const xcb_window_t dialog = client_.window(150, 150, 50, 50, kGreen);
  client_.property(dialog, "WM_TRANSIENT_FOR", XCB_ATOM_WINDOW, 32, &target, 1);
  client_.warpPointer(300, 255);

  for (const bool children : {true, false}) {  // several windows; one alone, read while composing
    FramePixels want = known(400, 300, [&](int x, int y) {
      const bool dialogHere = children && y >= 50 && y < 100 && x >= 50 && x < 100;
      return y >= 280 || dialogHere ? kGreen : y >= 140 && y < 160 ? kBlue : kRed;
    });
    const auto cursor = drawCursor(want, 200, 155);
    ASSERT_TRUE(cursor && 155 - cursor->yhot < 160 && 155 - cursor->yhot + cursor->height > 160)
        << "the cursor straddles a band boundary";
    EXPECT_EQ(differences(picture(source(target, {.includeChildWindows = children})), want), 0)
        << "with its transient: " << children;
  }
  xcb_destroy_window(client_.get(), dialog);
  client_.sync();  // alone now, so read strip by strip as it is composed

  // Guards against a window read in strips showing two of its states in one picture (a torn frame).
  auto strips = source(target);
  const auto torn = picture(strips, [&] { client_.fill(target, kRed, {0, 0, 400, 300}); });
  EXPECT_EQ(pixelAt(torn, 5, 290), kGreen);

  // Guards against a window read strip by strip (no copy kept) drawing as black once a popup joins it.
  client_.window(300, 300, 40, 40, kGreen, true, true);
  FramePixels frame;
  ASSERT_TRUE(
      renderUntil(strips, frame, [](const FramePixels& f) { return pixelAt(f, 210, 210) == kGreen; }));
  EXPECT_EQ(pixelAt(frame, 5, 290), kRed);
}

TEST_P(CaptureTest, DisplayFilterShowsTheApplicationsWindowsAndReportsTheirFrames) {
  // The window in a window manager's frame, which moves in its stead.
  const xcb_window_t frameWindow = client_.window(100, 80, 200, 220, kBlue);
  const xcb_window_t target = client_.window(0, 20, 200, 200, kRed, true, false, frameWindow);
  const std::uint32_t normal[] = {1, 0};
  client_.property(target, "WM_STATE", client_.atom("WM_STATE"), 32, normal, 2);
  client_.window(150, 150, 50, 50, kGreen);
  TestWindow other(display(), {"--x", "120", "--y", "120", "--width", "250", "--height", "250", "--color",
                               "2040d0"});  // on top of both

  const DisplayFilter filter{{1, Rect{0, 0, 1280, 800}}, {RunningApplication{::getpid(), ""}}, {}};
  X11FrameSource source(display(), filter, {.showsCursor = false, .sourceRect = Rect{50, 50, 400, 300}});
  EXPECT_EQ(source.processID(), ::getpid());
  FramePixels frame = picture(source);
  ASSERT_EQ(std::pair(frame.width, frame.height), std::pair(400, 300));
  EXPECT_EQ(pixelAt(frame, 60, 60), kRed);
  EXPECT_EQ(pixelAt(frame, 80, 80), kRed) << "under the other program's window";
  EXPECT_EQ(pixelAt(frame, 110, 110), kGreen) << "stacking order";
  EXPECT_EQ(pixelAt(frame, 300, 250), 0u) << "only the other program here: black";
  auto changes = source.takeWindowFrameChanges();
  EXPECT_NE(std::ranges::find(changes, std::pair(WindowID(target), Rect{100, 100, 200, 200})), changes.end());

  // Guards against unreported moves, and a crop past the display's edge enlarging the visible part.
  client_.move(target, 0, 20, 300, 200);
  client_.move(frameWindow, 1180, 680, 300, 220);
  ASSERT_TRUE(renderUntil(source, frame, [&](const FramePixels&) {
    changes = source.takeWindowFrameChanges();
    return !changes.empty();
  }));
  EXPECT_EQ(changes, (std::vector{std::pair(WindowID(target), Rect{1180, 700, 300, 200})}));
  source.setSourceRect(Rect{1180, 700, 300, 200});
  ASSERT_TRUE(renderUntil(source, frame, [](const FramePixels& f) { return f.width == 300; }));
  EXPECT_EQ(frame.height, 200);
  EXPECT_EQ(pixelAt(frame, 250, 150), kRed) << "the window's own pixels past the display's edge";
}

INSTANTIATE_TEST_SUITE_P(Servers, CaptureTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "SharedMemory" : "Plain"; });

}  // namespace
}  // namespace quorvale::platform::testing
