// A native Wayland window recorded through the screen-cast portal of a headless GNOME and of a
// headless KDE Plasma, the way the application runs the program: the picker answered once, a second
// recording with no dialog, the window closed mid-recording, the picker cancelled.

#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <utility>

#include "e2e/support/desktop.h"
#include "e2e/support/media.h"
#include "e2e/support/servers.h"
#include "support/backend.h"

namespace quorvale::platform::testing {
namespace {

using e2e::Clock;
using e2e::Environment;
using e2e::Process;

class PortalTest : public ::testing::TestWithParam<e2e::DesktopKind> {
 public:
  // One desktop of each kind for all the cases: starting one takes seconds.
  static e2e::Desktop& desktop(e2e::DesktopKind kind) {
    static std::map<e2e::DesktopKind, std::pair<e2e::TempDir, std::unique_ptr<e2e::Desktop>>> desktops;
    auto& [dir, made] = desktops[kind];
    if (!made) made = std::make_unique<e2e::Desktop>(dir.path(), kind);
    return *made;
  }
  PortalTest() : env(desktop(GetParam()).environment()) { env.set("XDG_STATE_HOME", dir.path() / "state"); }
  // The program recording into a new movie; the picker's answerer, when asked for, started first
  // (row -1 cancels).
  std::unique_ptr<Process> record(std::optional<int> answerRow = std::nullopt) {
    if (answerRow) picker = e2e::answerPicker(desktop(GetParam()), *answerRow);
    movie = dir.path() / ("movie" + std::to_string(++count) + ".mp4");
    return std::make_unique<Process>(std::vector<std::string>{QUORVALE_PROGRAM, movie, "7"}, env);
  }
  // The next event's status and detail ("errorThe recorded window was closed."); "" at the deadline.
  static std::string next(Process& run, Clock::duration timeout) {
    const auto line = nlohmann::json::parse(run.readLine(Clock::now() + timeout).value_or("{}"));
    return line.value("status", "") + line.value("detail", "");
  }
  // Stops the program after a while, or leaves it to end; then its exit code and the rest of its events.
  static std::string statuses(Process& run, std::optional<int> stopAfterMillis = 0) {
    if (stopAfterMillis)
      std::this_thread::sleep_for(std::chrono::milliseconds(*stopAfterMillis)), run.write("\n");
    const auto code = run.waitExit(Clock::now() + 150s);
    std::string text = code ? std::to_string(*code) : "running";
    for (std::string event; !(event = next(run, 0s)).empty();) text += " " + event;
    return text + run.err();
  }
  // The test windows' colour, by which KDE's answerer finds the window's tile.
  // or its moving bar's.
  static bool windowColour(const std::uint8_t* rgb) {
    const auto near = [&](int r, int g, int b) {
      return std::abs(rgb[0] - r) < 24 && std::abs(rgb[1] - g) < 24 && std::abs(rgb[2] - b) < 24;
    };
    return near(0x30, 0x60, 0xc0) || near(0xcf, 0x9f, 0x3f);
  }
  e2e::TempDir dir;  // the movies and the grant
  Environment env;
  std::unique_ptr<Process> picker;
  fs::path movie;
  int count = 0;
};

TEST_P(PortalTest, SharedOnceThenRestoredUntilTheWindowCloses) {
  // Large enough that on GNOME the pointer, left on the dialog's Share button, ends up over it.
  Process window({QUORVALE_WAYLAND_WINDOW, "--width", "1200", "--height", "700", "--animate"}, env);
  ASSERT_EQ(window.readLine(Clock::now() + e2e::kStartTimeout), "shown 1200x700");
  std::this_thread::sleep_for(
      1s);  // the answerer takes the next change of GNOME's window list for the dialog
  auto run = record(0);
  ASSERT_EQ(next(*run, 60s), "started");  // once the picker is answered
  EXPECT_EQ(statuses(*run, 2000), "0 finished");
  EXPECT_EQ(picker->waitExit(Clock::now() + 10s), 0) << "the picker was not answered";
  // The window alone, at its own size: its colour to every edge, none of the monitor around it
  // (GNOME crops a monitor-sized buffer, KDE sizes the stream to the window).
  const auto info = e2e::probe(movie);
  EXPECT_EQ(fields(info["video"], {"codec_name", "width", "height"}), "h264 1200 700");
  // The bar moves at 30 Hz: about 15 pictures a second, not the once-a-second repeat of an idle one.
  EXPECT_GT(packets(info, "video"), 10 * info.value("duration", 0.0)) << info["duration"];
  const auto rgb = e2e::frameAt(movie, 1);
  ASSERT_EQ(rgb.size(), 1200u * 700 * 3);
  for (std::size_t at : {0ul, 1199ul, 699ul * 1200, 699ul * 1200 + 1199, 350ul * 1200 + 600})
    EXPECT_TRUE(windowColour(&rgb[at * 3])) << "pixel " << at;
  // GNOME: the pointer drawn from the stream's cursor metadata is the only dark thing in it.
  int dark = 0;
  for (std::size_t at = 0; at < rgb.size(); at += 3)
    dark += rgb[at] < 40 && rgb[at + 1] < 40 && rgb[at + 2] < 40;
  if (GetParam() == e2e::DesktopKind::Gnome) {
    EXPECT_GT(dark, 20) << "no pointer";
  }
  // The grant is kept where only the user reads it.
  const auto state = dir.path() / "state" / "quorvale_screen_recorder";
  struct stat folder {
  }, file{};
  ASSERT_EQ(::stat(state.c_str(), &folder), 0);
  ASSERT_EQ(::stat((state / "screencast-tokens.json").c_str(), &file), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  EXPECT_EQ(file.st_mode & 0777, 0600u);

  // Restored: no dialog (none is answered), and the window's closing ends it with the movie kept.
  run = record();
  ASSERT_EQ(next(*run, 30s), "started") << "the grant was not restored";
  std::this_thread::sleep_for(1s);
  window.signal(SIGTERM);
  EXPECT_EQ(next(*run, 10s), "errorThe recorded window was closed.");
  EXPECT_EQ(statuses(*run), "1");
  EXPECT_GT(e2e::probe(movie).value("duration", 0.0), 0.5);
}

TEST_P(PortalTest, CancelledPickerIsThePermissionRefused) {
  Process window({QUORVALE_WAYLAND_WINDOW}, env);
  ASSERT_TRUE(window.readLine(Clock::now() + e2e::kStartTimeout));
  std::this_thread::sleep_for(1s);
  auto run = record(-1);
  EXPECT_EQ(
      statuses(*run, std::nullopt),
      "1 errorScreen recording permission is required. Choose the Quorvale window in the screen-sharing "
      "dialog and allow sharing it, then try again.");
  EXPECT_FALSE(fs::exists(movie));
}

INSTANTIATE_TEST_SUITE_P(Desktops, PortalTest,
                         ::testing::Values(e2e::DesktopKind::Gnome, e2e::DesktopKind::Kde),
                         [](const auto& info) {
                           return info.param == e2e::DesktopKind::Gnome ? "Gnome" : "Kde";
                         });

}  // namespace
}  // namespace quorvale::platform::testing
