// A native Wayland window recorded through a headless GNOME's screen-cast portal, the way the
// application runs the program: the picker answered once, a second recording with no dialog, the
// window closed mid-recording, the picker cancelled. Every process is ended by its own id (the
// session bus's activated services with the bus's process group).

#include <sys/stat.h>

#include <list>

#include "e2e/support/media.h"
#include "e2e/support/servers.h"
#include "support/backend.h"

namespace quorvale::platform::testing {
namespace {

using e2e::Clock;
using e2e::Environment;
using e2e::Process;

// A tool of the test desktop: the build's own, or where the environment names it.
std::string tool(const char* variable, const char* built) {
  const char* named = std::getenv(variable);
  return named && *named ? named : built;
}
#ifndef QUORVALE_WAYLAND_WINDOW
#define QUORVALE_WAYLAND_WINDOW ""
#endif
#ifndef QUORVALE_ANSWER_PICKER
#define QUORVALE_ANSWER_PICKER ""
#endif

// gnome-shell headless on a 1280x720 virtual monitor, with its own system and session buses,
// PipeWire and the portal; XDG_STATE_HOME, where the grant is kept, is the desktop's too.
struct GnomeDesktop {
  GnomeDesktop() {
    const auto run = dir.path() / "run";
    fs::create_directories(run), fs::permissions(run, fs::perms::owner_all);
    // Set first: the session bus hands it to the services it starts.
    env.set("XDG_RUNTIME_DIR", run)
        .set("HOME", dir.path())
        .set("XDG_STATE_HOME", dir.path() / "state")
        .set("XDG_CURRENT_DESKTOP", "GNOME")
        .set("WAYLAND_DISPLAY", "wayland-0")
        .unset("DISPLAY")
        .set("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (dir.path() / "system").string())
        .set("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir.path() / "session").string())
        .set("PULSE_SERVER", "unix:/nonexistent")
        .set("XDG_DESKTOP_PORTAL_DIR", dir.path() / "portals");
    // GNOME's portal backend alone: no other installed one starts beside it.
    fs::create_directories(dir.path() / "portals");
    fs::create_symlink("/usr/share/xdg-desktop-portal/portals/gnome.portal",
                       dir.path() / "portals/gnome.portal");
    for (const char* bus : {"system", "session"}) {
      std::ofstream(dir.path() / (std::string(bus) + ".conf"))
          << "<busconfig><type>" << bus << "</type><listen>unix:path=" << (dir.path() / bus).string()
          << "</listen><auth>EXTERNAL</auth>" << (bus[1] == 'e' ? "<standard_session_servicedirs/>" : "")
          << "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
          << "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>";
      start({"dbus-daemon", "--nofork", "--config-file=" + (dir.path() / bus).string() + ".conf"});
    }
    e2e::await([&] { return fs::exists(dir.path() / "session") && fs::exists(dir.path() / "system"); },
               "D-Bus");
    start({"pipewire"});
    e2e::await([&] { return fs::exists(run / "pipewire-0"); }, "PipeWire");
    start({"wireplumber"});
    // gnome-shell now and then fails to start on a busy machine: once more, then give up.
    for (int attempt = 0;
         !start({"gnome-shell", "--headless", "--wayland", "--no-x11", "--virtual-monitor", "1280x720"},
                "org.gnome.Mutter.ScreenCast");)
      if (processes.pop_front(), ++attempt == 2) throw std::runtime_error("gnome-shell did not start");
    if (!start({"/usr/libexec/xdg-desktop-portal-gnome"}, "org.freedesktop.impl.portal.desktop.gnome") ||
        !start({"/usr/libexec/xdg-desktop-portal"}, "org.freedesktop.portal.Desktop"))
      throw std::runtime_error("the screen-cast portal did not start");
  }
  // Starts a desktop process, its output into desktop.log (for when the desktop fails), and waits
  // until it owns its name on the session bus, when it has one.
  bool start(std::vector<std::string> argv, const char* name = nullptr) {
    argv.insert(argv.begin(),
                {"sh", "-c", "exec \"$0\" \"$@\" >>" + (dir.path() / "desktop.log").string() + " 2>&1"});
    processes.emplace_front(std::move(argv), env, true);
    return !name || e2e::output({"gdbus", "wait", "--session", "--timeout", "25", name}, env).has_value();
  }
  e2e::TempDir dir;
  Environment env;
  std::list<Process> processes;  // newest first, so ended first
};

class PortalTest : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    if (!fs::exists("/usr/bin/gnome-shell") ||
        tool("QUORVALE_ANSWER_PICKER", QUORVALE_ANSWER_PICKER).empty() ||
        tool("QUORVALE_WAYLAND_WINDOW", QUORVALE_WAYLAND_WINDOW).empty())
      return;
    desktop = new GnomeDesktop;
  }
  static void TearDownTestSuite() {
    if (desktop && ::testing::UnitTest::GetInstance()->failed_test_count())  // what the desktop said
      std::cerr << std::ifstream(desktop->dir.path() / "desktop.log").rdbuf();
    delete std::exchange(desktop, nullptr);
  }
  void SetUp() override {
    if (!desktop) GTEST_SKIP() << "no headless GNOME, test window or picker answerer here";
  }
  // The program recording into a new movie; the picker's answerer, when asked for, started first.
  // answer: "" shares the first window, "--cancel" cancels.
  std::unique_ptr<Process> record(std::optional<std::string> answer = std::nullopt) {
    if (answer) {
      std::vector<std::string> argv{tool("QUORVALE_ANSWER_PICKER", QUORVALE_ANSWER_PICKER), "--timeout",
                                    "60"};
      if (!answer->empty()) argv.push_back(*answer);
      picker.emplace(argv, desktop->env);
      EXPECT_EQ(picker->readLine(Clock::now() + e2e::kStartTimeout), "ready");
    }
    movie = desktop->dir.path() / ("movie" + std::to_string(++count) + ".mp4");
    return std::make_unique<Process>(std::vector<std::string>{QUORVALE_PROGRAM, movie, "7"}, desktop->env);
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
  static inline GnomeDesktop* desktop = nullptr;
  std::optional<Process> picker;
  fs::path movie;
  static inline int count = 0;
};

TEST_F(PortalTest, SharedOnceThenRestoredUntilTheWindowCloses) {
  // Large enough that the pointer, left on the dialog's Share button, ends up over it.
  Process window({tool("QUORVALE_WAYLAND_WINDOW", QUORVALE_WAYLAND_WINDOW), "--color", "ff0000", "--width",
                  "1200", "--height", "700"},
                 desktop->env);
  ASSERT_EQ(window.readLine(Clock::now() + e2e::kStartTimeout), "shown 1200x700");
  std::this_thread::sleep_for(1s);
  auto run = record("");
  ASSERT_EQ(next(*run, 60s), "started");  // once the picker is answered
  EXPECT_EQ(statuses(*run, 2000), "0 finished");
  EXPECT_EQ(picker->waitExit(Clock::now() + 10s), 0) << "the picker was not answered";
  // The window alone, at its own size: red to every edge, none of the monitor around it; the
  // pointer drawn from the stream's cursor metadata is the only thing dark in it.
  const auto info = e2e::probe(movie);
  EXPECT_EQ(fields(info["video"], {"codec_name", "width", "height"}), "h264 1200 700");
  const auto rgb = e2e::frameAt(movie, 1);
  ASSERT_EQ(rgb.size(), 1200u * 700 * 3);
  const auto red = [&](std::size_t at) {
    return rgb[at * 3] > 200 && rgb[at * 3 + 1] < 60 && rgb[at * 3 + 2] < 60;
  };
  for (std::size_t at : {0ul, 1199ul, 699ul * 1200, 699ul * 1200 + 1199, 350ul * 1200 + 600})
    EXPECT_TRUE(red(at)) << "pixel " << at;
  int dark = 0;
  for (std::size_t at = 0; at < rgb.size(); at += 3)
    dark += rgb[at] < 60 && rgb[at + 1] < 60 && rgb[at + 2] < 60;
  EXPECT_GT(dark, 20) << "no pointer";
  // The grant is kept where only the user reads it.
  const auto state = desktop->dir.path() / "state" / "quorvale_screen_recorder";
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
  EXPECT_EQ(run->readLine(Clock::now() + 10s).value_or(""),
            R"({"status":"error","path":")" + movie.string() + R"(","fileName":")" +
                movie.filename().string() + R"(","detail":"The recorded window was closed."})");
  EXPECT_EQ(statuses(*run), "1");
  EXPECT_GT(e2e::probe(movie).value("duration", 0.0), 0.5);
}

TEST_F(PortalTest, CancelledPickerIsThePermissionRefused) {
  Process window({tool("QUORVALE_WAYLAND_WINDOW", QUORVALE_WAYLAND_WINDOW)}, desktop->env);
  ASSERT_TRUE(window.readLine(Clock::now() + e2e::kStartTimeout));
  std::this_thread::sleep_for(1s);  // the answerer takes the next change of the window list for the dialog
  fs::remove_all(desktop->dir.path() / "state");
  auto run = record("--cancel");
  EXPECT_EQ(
      statuses(*run, std::nullopt),
      "1 errorScreen recording permission is required. Choose the Quorvale window in the screen-sharing "
      "dialog and allow sharing it, then try again.");
  EXPECT_FALSE(fs::exists(movie));
}

}  // namespace
}  // namespace quorvale::platform::testing
