#pragma once

// The screen-capture operations the recorder relies on, independent of any
// backend. Completions and delegate callbacks are delivered on the backend's
// own threads: never on the main thread, never on a thread blocked in one of
// the recorder's waits, and never inline in the call that issued them.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/geometry.h"

namespace quorvale::platform {

using WindowID = std::uint32_t;
using DisplayID = std::uint32_t;

inline constexpr const char* kFileTypeMPEG4 = "public.mpeg-4";
inline constexpr const char* kFileTypeQuickTimeMovie = "com.apple.quicktime-movie";
inline constexpr const char* kVideoCodecH264 = "avc1";
inline constexpr const char* kVideoCodecHEVC = "hvc1";

// 8-bit bi-planar Y'CbCr 4:2:0, video range ('420v').
inline constexpr std::uint32_t kPixelFormat420v = 0x34323076;

struct RunningApplication {
  std::int64_t processID = 0;
  std::string applicationName;
  friend bool operator==(const RunningApplication&, const RunningApplication&) = default;
};

struct Window {
  WindowID windowID = 0;
  Rect frame;  // points, in the space display frames share
  std::optional<RunningApplication> owningApplication;
  std::string title;
  bool onScreen = true;
  friend bool operator==(const Window&, const Window&) = default;
};

struct Display {
  DisplayID displayID = 0;
  Rect frame;
  friend bool operator==(const Display&, const Display&) = default;
};

struct ShareableContent {
  std::vector<Window> windows;    // in the service's order
  std::vector<Display> displays;  // in the service's order
};

struct WindowFilter {
  Window window;
};

struct DisplayFilter {
  Display display;
  std::vector<RunningApplication> includedApplications;
  std::vector<Window> exceptedWindows;
};

using ContentFilter = std::variant<WindowFilter, DisplayFilter>;

struct ContentInfo {
  Rect contentRect;  // points
  float pointPixelScale = 1;
};

struct FrameInterval {
  std::int64_t value = 0;
  std::int32_t timescale = 0;
  friend bool operator==(const FrameInterval&, const FrameInterval&) = default;
};

// Every setting remembers whether it was made; unset ones take the backend's
// defaults. The order of the setter calls is kept for inspection.
class StreamConfiguration {
 public:
#define QUORVALE_SETTING(Type, name, Setter)                  \
 public:                                                      \
  void Setter(Type value) {                                   \
    name##_ = std::move(value);                               \
    assignments_.emplace_back(#name);                         \
  }                                                           \
  const std::optional<Type>& name() const { return name##_; } \
                                                              \
 private:                                                     \
  std::optional<Type> name##_;

  QUORVALE_SETTING(Rect, sourceRect, setSourceRect)
  QUORVALE_SETTING(bool, ignoreShadowsDisplay, setIgnoreShadowsDisplay)
  QUORVALE_SETTING(bool, ignoreGlobalClipDisplay, setIgnoreGlobalClipDisplay)
  QUORVALE_SETTING(std::int64_t, width, setWidth)
  QUORVALE_SETTING(std::int64_t, height, setHeight)
  QUORVALE_SETTING(FrameInterval, minimumFrameInterval, setMinimumFrameInterval)
  QUORVALE_SETTING(int, queueDepth, setQueueDepth)
  QUORVALE_SETTING(bool, preservesAspectRatio, setPreservesAspectRatio)
  QUORVALE_SETTING(bool, showsCursor, setShowsCursor)
  QUORVALE_SETTING(bool, scalesToFit, setScalesToFit)
  QUORVALE_SETTING(std::uint32_t, pixelFormat, setPixelFormat)
  QUORVALE_SETTING(bool, capturesAudio, setCapturesAudio)
  QUORVALE_SETTING(int, sampleRate, setSampleRate)
  QUORVALE_SETTING(int, channelCount, setChannelCount)
  QUORVALE_SETTING(bool, captureMicrophone, setCaptureMicrophone)
  QUORVALE_SETTING(bool, excludesCurrentProcessAudio, setExcludesCurrentProcessAudio)
  QUORVALE_SETTING(bool, showMouseClicks, setShowMouseClicks)
  QUORVALE_SETTING(bool, ignoreShadowsSingleWindow, setIgnoreShadowsSingleWindow)
  QUORVALE_SETTING(bool, ignoreGlobalClipSingleWindow, setIgnoreGlobalClipSingleWindow)
  QUORVALE_SETTING(bool, includeChildWindows, setIncludeChildWindows)
#undef QUORVALE_SETTING

 public:
  // Names of the settings in the order they were made.
  const std::vector<std::string>& assignments() const { return assignments_; }

 private:
  std::vector<std::string> assignments_;
};

// Created by the backend, which fills in the offered types in its own order.
struct RecordingOutputConfiguration {
  std::optional<std::filesystem::path> outputURL;
  std::vector<std::string> availableOutputFileTypes;
  std::vector<std::string> availableVideoCodecTypes;
  std::optional<std::string> outputFileType;
  std::optional<std::string> videoCodecType;
};

class RecordingOutput;
class Stream;

// Errors travel as the very exception object the backend raised.
class RecordingOutputDelegate {
 public:
  virtual void recordingOutputDidStartRecording(RecordingOutput& output) = 0;
  virtual void recordingOutputDidFailWithError(RecordingOutput& output, std::exception_ptr error) = 0;
  virtual void recordingOutputDidFinishRecording(RecordingOutput& output) = 0;

 protected:
  ~RecordingOutputDelegate() = default;
};

class StreamDelegate {
 public:
  virtual void streamDidStopWithError(Stream& stream, std::exception_ptr error) = 0;
  // A window of the captured content (a display filter's applications) has this
  // frame now: reported once capture begins, then whenever the window moves,
  // changes size or is shown. Same space as Window::frame.
  virtual void streamWindowFrameDidChange(Stream& stream, WindowID window, const Rect& frame) {
    (void)stream, (void)window, (void)frame;
  }

 protected:
  ~StreamDelegate() = default;
};

// Writes the movie. Its delegate must outlive it.
class RecordingOutput {
 public:
  virtual ~RecordingOutput() = default;
};

// A capture stream. Its delegate, and the delegate of any attached recording
// output, must outlive it; destroying it stops every callback before it returns.
class Stream {
 public:
  using Completion = std::function<void(std::exception_ptr error)>;

  virtual ~Stream() = default;

  // Throws the backend's error when the output cannot be attached.
  virtual void addRecordingOutput(std::shared_ptr<RecordingOutput> output) = 0;
  // Each completion is called exactly once, with an error or with none.
  virtual void startCapture(Completion completion) = 0;
  virtual void stopCapture(Completion completion) = 0;
  // Replaces the configuration of a stream, running or not; callable from a
  // delegate callback. A running stream applies the source rectangle from its
  // next frame on; the movie's size, rate and sound stay as they started.
  virtual void updateConfiguration(const StreamConfiguration& configuration, Completion completion) = 0;
};

struct OperatingSystemVersion {
  int major = 0;
  int minor = 0;
  int patch = 0;
};

class Platform {
 public:
  using ContentCompletion =
      std::function<void(std::shared_ptr<const ShareableContent> content, std::exception_ptr error)>;

  virtual ~Platform() = default;

  virtual bool isOperatingSystemAtLeast(OperatingSystemVersion version) = 0;
  virtual bool preflightScreenCaptureAccess() = 0;
  virtual bool requestScreenCaptureAccess() = 0;

  // Called once per stream build for its effect; nothing is returned.
  virtual void sharedApplication() = 0;

  // One completion call: content, error, both or neither.
  virtual void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                                   ContentCompletion completion) = 0;
  virtual ContentInfo contentInfo(const ContentFilter& filter) = 0;

  virtual RecordingOutputConfiguration makeRecordingOutputConfiguration() = 0;
  virtual std::shared_ptr<RecordingOutput> makeRecordingOutput(
      const RecordingOutputConfiguration& configuration, RecordingOutputDelegate& delegate) = 0;
  virtual std::shared_ptr<Stream> makeStream(const ContentFilter& filter,
                                             const StreamConfiguration& configuration,
                                             StreamDelegate& delegate) = 0;
};

}  // namespace quorvale::platform
