// The capture service as the recorder uses it: a platform, a stream of a window on a private
// Xvfb into a movie, and the ways a stream ends.

#include "platform/service/stream.h"

#include <map>
#include <mutex>
#include <ranges>
#include <thread>

#include "platform/service/linux_platform.h"
#include "support/backend.h"

namespace quorvale::platform::testing {
namespace {

// The callbacks of a stream and its output, by name, with their errors' messages ("" for none).
class Events final : public StreamDelegate, public RecordingOutputDelegate {
 public:
  void recordingOutputDidStartRecording(RecordingOutput&) override { note("started")({}); }
  void recordingOutputDidFailWithError(RecordingOutput&, std::exception_ptr e) override { note("failed")(e); }
  void recordingOutputDidFinishRecording(RecordingOutput&) override { note("finished")({}); }
  void streamDidStopWithError(Stream&, std::exception_ptr e) override { note("stopped")(e); }
  void streamWindowFrameDidChange(Stream& stream, WindowID window, const Rect& frame) override {
    if (follow) follow(stream, window, frame);
    note("moved")({});
  }
  // Answers a move as the recorder does, from inside the callback.
  std::function<void(Stream&, WindowID, const Rect&)> follow;
  // A completion that notes the named event.
  Stream::Completion note(std::string name) {
    return [this, name](std::exception_ptr error) {
      const std::string message = failure([&] { error ? std::rethrow_exception(error) : void(); });
      std::lock_guard lock(mutex_);
      events_.emplace(name, message);
    };
  }
  // The message of the named event's nth occurrence, once it happened.
  std::string waitFor(const std::string& name, std::size_t nth = 1) {
    e2e::await([&] { return count(name) >= nth; }, "the \"" + name + "\" event");
    std::lock_guard lock(mutex_);
    return std::next(events_.lower_bound(name), std::ptrdiff_t(nth) - 1)->second;
  }
  std::size_t count(const std::string& name) {
    std::lock_guard lock(mutex_);
    return events_.count(name);
  }
  // How often a stream or an output ended.
  std::size_t ends() { return count("finished") + count("failed") + count("stopped"); }

 private:
  std::mutex mutex_;  // guards events_
  std::multimap<std::string, std::string> events_;
};

class StreamTest : public ::testing::Test {
 protected:
  // A stream of the filter recording into file, asked to start.
  std::shared_ptr<Stream> start(const ContentFilter& filter, const StreamConfiguration& config,
                                const std::string& file, const std::string& name = "start") {
    auto outputConfig = platform_->makeRecordingOutputConfiguration();
    outputConfig.outputURL = dir_.path() / file;
    auto stream = platform_->makeStream(filter, config, events_);
    stream->addRecordingOutput(platform_->makeRecordingOutput(outputConfig, events_));
    stream->startCapture(events_.note(name));
    return stream;
  }
  static StreamConfiguration size(int width, int height, bool sound = false) {
    StreamConfiguration config;
    config.setWidth(width);
    config.setHeight(height);
    config.setCapturesAudio(sound);
    return config;
  }
  const DisplayFilter screen_{{1, Rect{0, 0, 1280, 800}}, {}, {}};

  e2e::TempDir dir_;
  e2e::XServer server_;
  e2e::Client client_{server_.display()};
  std::unique_ptr<Platform> platform_ = makeX11Platform(server_.display());
  Events events_;
};

// An unchanged window still gives a frame a second; a closed one ends the stream once, with the
// movie complete up to there.
TEST_F(StreamTest, RecordsAnUnchangedWindowUntilItIsClosed) {
  const xcb_window_t target = client_.window(0, 0, 160, 120, kRed);
  const WindowFilter filter{Window{target, Rect{0, 0, 160, 120}, {}, {}, true}};
  platform_->getShareableContent(true, true, [&](auto content, std::exception_ptr error) {
    events_.note(content && content->windows.at(0).windowID == target ? "listed" : "not listed")(error);
  });
  EXPECT_EQ(events_.waitFor("listed"), "");
  EXPECT_EQ(platform_->contentInfo(filter).contentRect, (Rect{0, 0, 160, 120}));
  EXPECT_EQ(platform_->contentInfo(filter).pointPixelScale, 1);
  EXPECT_EQ(platform_->contentInfo(screen_).contentRect, (Rect{0, 0, 1280, 800}));

  auto config = size(161, 121, true);      // odd: the encoder takes even sizes; no sound server: silent
  config.setMinimumFrameInterval({1, 0});  // no usable rate: the default
  ::setenv("PULSE_SERVER", "unix:/nonexistent/quorvale/pulse", 1);
  auto stream = platform_->makeStream(filter, config, events_);
  stream->stopCapture(events_.note("idle stop"));
  EXPECT_EQ(events_.waitFor("idle stop"), "The stream is not capturing.");
  auto outputConfig = platform_->makeRecordingOutputConfiguration();
  outputConfig.outputURL = dir_.path() / "closed.mp4";
  auto output = platform_->makeRecordingOutput(outputConfig, events_);
  stream->addRecordingOutput(output);
  EXPECT_THROW(stream->addRecordingOutput(output), PlatformError);
  stream->startCapture(events_.note("start"));
  EXPECT_EQ(events_.waitFor("start"), "");
  EXPECT_EQ(events_.waitFor("started"), "");
  const auto started = std::chrono::steady_clock::now();
  stream->startCapture(events_.note("second start"));
  EXPECT_EQ(events_.waitFor("second start"), "The stream is already capturing.");
  EXPECT_EQ(failure([&] { stream->addRecordingOutput(output); }),
            "A recording output cannot be added while capturing.");
  std::this_thread::sleep_for(2500ms);
  // What a kill leaves: while no sound comes, the sound track keeps up with the picture.
  fs::copy_file(dir_.path() / "closed.mp4", dir_.path() / "killed.mp4");
  EXPECT_GT(packets(cutProbe(dir_.path() / "killed.mp4"), "audio"), 0);

  xcb_destroy_window(client_.get(), target);
  client_.sync();
  EXPECT_EQ(events_.waitFor("stopped"), "The recorded window was closed.");
  const double recorded = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  stream->stopCapture(events_.note("stop"));
  EXPECT_EQ(events_.waitFor("stop"), "");
  stream.reset();
  ::unsetenv("PULSE_SERVER");
  EXPECT_EQ(events_.ends(), 1u);

  const auto info = e2e::probe(dir_.path() / "closed.mp4");
  EXPECT_EQ(fields(info["video"], {"time_base", "width"}), "1/15 160");
  EXPECT_NEAR(seconds(info["video"]["duration"]), recorded, 0.3);
  EXPECT_NEAR(seconds(info["audio"]["duration"]), recorded, 0.3);
  double previous = 0;
  for (const auto& packet : info["packets"]) {
    if (packet["codec_type"] != "video") continue;
    EXPECT_LE(seconds(packet["pts_time"]) - previous, 1.1) << "no frame for more than a second";
    previous = seconds(packet["pts_time"]);
  }
  EXPECT_GE(previous, 2.0);
  EXPECT_LE(packets(info, "video"), 6) << "an unchanged picture is not encoded at the full rate";
}

// A display filter's crop follows the window: each move is reported and the crop sent back applies
// from the next frame on, past the display's edge too; the movie keeps its size.
TEST_F(StreamTest, FollowsUpdatesAndStopsWithTheMovieFinished) {
  const xcb_window_t target = client_.window(100, 100, 200, 100, kRed);
  auto config = size(200, 100);
  config.setSourceRect(Rect{100, 100, 200, 100});
  config.setMinimumFrameInterval({0, 15});  // no usable rate: the default
  events_.follow = [&, config](Stream& stream, WindowID window, const Rect& frame) mutable {
    if (window != target) return;
    config.setSourceRect(frame);
    stream.updateConfiguration(config, [](std::exception_ptr) {});
  };
  auto stream =
      start(DisplayFilter{screen_.display, {RunningApplication{::getpid(), ""}}, {}}, config, "followed.mp4");
  EXPECT_EQ(events_.waitFor("started"), "");
  // A drag, about a move a frame, past the display's left edge and back; then larger.
  for (const int x : {140, 60, -20, -100, -160, -60, 20, 300, 600}) {
    client_.move(target, std::uint32_t(x), 200, 200, 100);
    std::this_thread::sleep_for(70ms);
  }
  // Hidden for a while: the last picture stays, rather than black.
  xcb_unmap_window(client_.get(), target);
  client_.sync();
  std::this_thread::sleep_for(300ms);
  xcb_map_window(client_.get(), target);
  client_.move(target, 300, 200, 400, 200);
  client_.fill(target, kBlue, {0, 0, 400, 200});
  std::this_thread::sleep_for(300ms);
  stream->stopCapture(events_.note("stop"));
  EXPECT_EQ(events_.waitFor("stop"), "");
  EXPECT_EQ(events_.waitFor("finished"), "");

  EXPECT_EQ(fields(e2e::probe(dir_.path() / "followed.mp4")["video"], {"time_base", "width"}), "1/15 200");
  // Guards against a frame drawn with the old crop after a move: part of the picture black.
  const auto frames = e2e::output({"ffmpeg", "-nostdin", "-v", "error", "-i", dir_.path() / "followed.mp4",
                                   "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
  ASSERT_TRUE(frames && frames->size() >= 200u * 100 * 3 * 10);
  int cut = 0;
  for (std::size_t frame = 0; frame + 200 * 100 * 3 <= frames->size(); frame += 200 * 100 * 3)
    for (const std::size_t at : {6 * 200 + 6, 6 * 200 + 193, 93 * 200 + 6, 93 * 200 + 193, 50 * 200 + 100})
      cut +=
          std::uint8_t((*frames)[frame + at * 3]) < 100 && std::uint8_t((*frames)[frame + at * 3 + 2]) < 100;
  EXPECT_EQ(cut, 0) << "frames showing black where the window should be";
  const auto last = e2e::frameAt(dir_.path() / "followed.mp4", 60);
  ASSERT_EQ(last.size(), 200u * 100 * 3);
  EXPECT_TRUE(last[(50 * 200 + 100) * 3 + 2] > 150 && last[(50 * 200 + 100) * 3] < 100)
      << "the crop shows the resized window";

  // The same file again: the writer refuses to replace it, and start says so.
  auto again = start(screen_, config, "followed.mp4", "again");
  EXPECT_EQ(events_.waitFor("again"),
            "Could not create the movie file " + (dir_.path() / "followed.mp4").string() + ": File exists");
  // Removed while it is written: the output fails instead of finishing.
  stream = start(screen_, config, "removed.mp4", "fourth");
  EXPECT_EQ(events_.waitFor("started", 2), "");
  fs::remove(dir_.path() / "removed.mp4");
  stream->stopCapture(events_.note("stop removed"));
  EXPECT_EQ(events_.waitFor("failed"), "The movie file " + (dir_.path() / "removed.mp4").string() +
                                           " was deleted during the recording: No such file or directory");
  EXPECT_EQ(events_.count("finished"), 1u);
  // Released while it runs: the movie is finished all the same. Asked for more than any screen gives:
  // 120 frames a second at most.
  config.setMinimumFrameInterval({1, 1000});
  stream = start(screen_, config, "released.mp4", "third");
  EXPECT_EQ(events_.waitFor("started", 3), "");
  stream.reset();
  EXPECT_EQ(fields(e2e::probe(dir_.path() / "released.mp4")["video"], {"time_base"}), "1/120");
  EXPECT_TRUE(e2e::output({"ffmpeg", "-v", "error", "-i", dir_.path() / "released.mp4", "-f", "null", "-"}));
}

// The sound of the window's application, here a player this process started, goes into the movie, and
// reaches the disk while the window does not change, as a kill would find it. A lost connection stops
// the stream, whose stop's completion releases it, as its owner may: the stream ends on its own thread.
TEST_F(StreamTest, RecordsTheApplicationsSoundUntilTheConnectionIsLost) {
  const e2e::PulseServer sound(dir_.path() / "sound");
  e2e::Process player({"ffmpeg", "-nostdin", "-v", "quiet", "-re", "-f", "lavfi", "-i",
                       "sine=frequency=440:duration=60", "-f", "pulse", "player"},
                      sound.environment().set("PULSE_LATENCY_MSEC", "40"), true);
  e2e::await([&] { return sound.streams() > 0; }, "the player");
  ::setenv("PULSE_SERVER", sound.serverAddress().c_str(), 1);
  const xcb_window_t target = client_.window(0, 0, 160, 120, kRed);
  auto stream =
      start(WindowFilter{Window{target, Rect{0, 0, 160, 120}, {}, {}, true}}, size(1, 1, true), "lost.mp4");
  EXPECT_EQ(events_.waitFor("started"), "");
  std::this_thread::sleep_for(3500ms);
  fs::copy_file(dir_.path() / "lost.mp4", dir_.path() / "killed.mp4");
  const auto kept = e2e::soundOf(dir_.path() / "killed.mp4");
  ASSERT_GT(kept.size(), 48000u * 3 / 2) << "less than all but the last 2 s of 3.5";
  EXPECT_GT(e2e::toneShare({kept.begin() + 24000, kept.end()}, 48000, 440), 0.5);
  server_.signal(SIGKILL);
  EXPECT_EQ(events_.waitFor("stopped"), "The connection to the X display was lost.");
  stream->stopCapture([this, owner = &stream](std::exception_ptr error) {
    owner->reset();
    events_.note("stop")(error);
  });
  EXPECT_EQ(events_.waitFor("stop"), "");
  ::unsetenv("PULSE_SERVER");
  const auto info = e2e::probe(dir_.path() / "lost.mp4");
  EXPECT_GE(packets(info, "video"), 1);
  EXPECT_EQ(info["video"]["width"], 2) << "the smallest movie the encoder takes";
  EXPECT_GT(e2e::toneShare(e2e::soundOf(dir_.path() / "lost.mp4"), 48000, 440), 0.3);
}

// Guards against a start that fails once the movie file exists leaving it behind: a retry under its
// name would fail. Here the source cannot say whose sound to record.
TEST_F(StreamTest, AStartFailingAfterTheFileIsMadeRemovesIt) {
  struct Unowned final : pipeline::FrameSource {
    int fileDescriptor() const override { return -1; }
    void processEvents(std::int64_t) override {}
    bool wantsFrame() const override { return false; }
    bool render(pipeline::FramePixels&, pipeline::BandSink&, std::int64_t) override { return false; }
    void setSourceRect(const std::optional<Rect>&) override {}
    std::vector<std::pair<WindowID, Rect>> takeWindowFrameChanges() override { return {}; }
    std::optional<std::int64_t> processID() const override { throw PlatformError("test", 0, "No owner."); }
  };
  auto config = size(64, 64);
  config.setCapturesAudio(true);
  auto outputConfig = platform_->makeRecordingOutputConfiguration();
  outputConfig.outputURL = dir_.path() / "failed.mp4";
  service::CaptureStream stream([](const auto&) { return std::make_unique<Unowned>(); }, screen_, config,
                                events_);
  stream.addRecordingOutput(platform_->makeRecordingOutput(outputConfig, events_));
  stream.startCapture(events_.note("start"));
  EXPECT_EQ(events_.waitFor("start"), "No owner.");
  EXPECT_FALSE(fs::exists(dir_.path() / "failed.mp4"));
}

class StreamSoundTest : public StreamTest, public ::testing::WithParamInterface<e2e::SoundServerKind> {};

// The window's own sound on the movie's timeline: each beep starts with the flash shown with it (a flash
// shows in the first frame after it), also the last one just before the stop, and the quiet tone
// between beeps stays as quiet and goes on to the end.
TEST_P(StreamSoundTest, EachBeepLandsWithItsFlashUpToTheStop) {
  const e2e::PulseServer sound(dir_.path() / "sound", GetParam());
  ::setenv("PULSE_SERVER", sound.serverAddress().c_str(), 1);
  TestWindow window(server_.display(), {"--beep-flash", "--tone", "440", "--width", "64", "--height", "48"});
  const auto shown = e2e::Clock::now();  // it flashes every 1.007 s from a little before this
  e2e::await([&] { return sound.streams() > 0; }, "the beeps");
  auto stream = start(WindowFilter{Window{window.id, Rect{0, 0, 64, 48}, {}, {}, true}}, size(64, 48, true),
                      "beeps.mp4");
  EXPECT_EQ(events_.waitFor("started"), "");
  std::this_thread::sleep_until(shown + 7 * 1007ms + 300ms);  // 0.3 s after the 7th flash, or a little more
  stream->stopCapture(events_.note("stop"));
  EXPECT_EQ(events_.waitFor("finished"), "");
  ::unsetenv("PULSE_SERVER");

  const auto file = dir_.path() / "beeps.mp4";
  const auto info = e2e::probe(file);
  const auto grey = e2e::output({"ffmpeg", "-nostdin", "-v", "error", "-i", file, "-fps_mode", "passthrough",
                                 "-f", "rawvideo", "-pix_fmt", "gray", "-"})
                        .value_or("");
  std::vector<double> flashes, beeps;
  for (std::size_t frame = 0, wasWhite = false; const auto& packet : info["packets"]) {
    if (packet["codec_type"] != "video") continue;
    const std::string pixels = grey.substr(std::min(grey.size(), 64 * 48 * frame++), 64 * 48);
    const bool white =
        !pixels.empty() && std::ranges::all_of(pixels, [](char p) { return std::uint8_t(p) > 220; });
    if (white && !wasWhite) flashes.push_back(seconds(packet["pts_time"]));
    wasWhite = white;
  }
  const auto samples = e2e::soundOf(file);
  EXPECT_NEAR(double(samples.size()) / 48000, seconds(info["video"]["duration"]), 0.1);
  std::optional<std::size_t> loud;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (std::abs(samples[i]) < 8000) continue;
    if (!loud || i - *loud > 24000) beeps.push_back(double(i) / 48000);
    loud = i;
  }
  // Where the flash would be if the sound were right: a monitor on PipeWire reports no latency, and
  // comes up to 0.1 s early.
  auto near = [](const std::vector<double>& times, double at) {
    return std::ranges::any_of(times, [&](double t) { return std::abs(t - at) < 1.0 / 30 + 0.1; });
  };
  // Left out: a new recording stream's first seconds, while PulseAudio's latency reports for it are stale.
  const auto late = [](double t) { return t > 3.5; };
  ASSERT_GE(std::ranges::count_if(flashes, late), 3) << "the movie is too short";
  for (double flash : flashes | std::views::filter(late)) EXPECT_TRUE(near(beeps, flash - 1.0 / 30)) << flash;
  for (double beep : beeps | std::views::filter(late)) {
    EXPECT_TRUE(near(flashes, beep + 1.0 / 30)) << beep;
    const auto from = samples.begin() + std::ptrdiff_t((beep + 0.15) * 48000);
    const std::vector<std::int16_t> quiet(std::min(from, samples.end()),
                                          std::min(from + 38400, samples.end()));
    EXPECT_NEAR(e2e::rms(quiet), 0.035, 0.012) << "after the beep at " << beep;
  }
}

INSTANTIATE_TEST_SUITE_P(BothServers, StreamSoundTest,
                         ::testing::Values(e2e::SoundServerKind::PulseAudio, e2e::SoundServerKind::PipeWire),
                         [](const auto& info) { return info.index ? "PipeWire" : "PulseAudio"; });

// A write failing while recording fails the output, once; the stream still stops.
TEST_F(StreamTest, AFullDiskFailsTheOutputAndTheStreamStillStops) {
  const e2e::SmallDisk small(dir_.path() / "small", "200k");
  if (!small.mounted) GTEST_SKIP() << "cannot mount a small file system here";
  TestWindow noise(server_.display(), {"--noise", "--width", "320", "--height", "240"});
  auto stream = start(WindowFilter{Window{noise.id, Rect{0, 0, 320, 240}, {}, {}, true}}, size(320, 240),
                      "small/movie.mp4");
  EXPECT_EQ(events_.waitFor("failed"), "Could not write the movie file " +
                                           (small.path / "movie.mp4").string() + ": No space left on device");
  stream->stopCapture(events_.note("stop"));
  EXPECT_EQ(events_.waitFor("stop"), "");
  stream.reset();
  EXPECT_EQ(events_.ends(), 1u);
}

}  // namespace
}  // namespace quorvale::platform::testing
