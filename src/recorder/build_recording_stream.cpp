// The stream build: turns the found window into a configured stream with its
// recording output attached. Runs on the main thread only.

#include "events/support_recording_error.h"
#include "recorder/capture_calls.h"
#include "recorder/capture_configuration.h"
#include "recorder/quorvale_screen_recorder.h"

namespace quorvale::recorder {

namespace {

// The display filter when the owning application and a display can be had.
std::optional<std::pair<platform::DisplayFilter, platform::Rect>> displayFilterFor(
    platform::Platform& platform, const platform::Window& window) {
  if (!window.owningApplication) return std::nullopt;
  ContentPointer content;
  try {
    content = fetchShareableContentSync(platform);
  } catch (...) {
    // Without content the window alone is recorded; the failure matters no further.
    return std::nullopt;
  }
  std::vector<platform::Rect> frames;
  frames.reserve(content->displays.size());
  for (const auto& display : content->displays) frames.push_back(display.frame);
  const auto chosen = chooseDisplay(window.frame, frames);
  if (!chosen) return std::nullopt;
  const auto& display = content->displays[*chosen];
  return std::pair{platform::DisplayFilter{display, {*window.owningApplication}, {}},
                   sourceRect(window.frame, display.frame)};
}

}  // namespace

QuorvaleScreenRecorder::StreamPair QuorvaleScreenRecorder::buildRecordingStream(
    const platform::Window& window) {
  platform_.sharedApplication();

  platform::ContentFilter filter;
  platform::StreamConfiguration configuration;
  std::optional<platform::Rect> displayFrame;
  if (auto display = displayFilterFor(platform_, window)) {
    displayFrame = display->first.display.frame;
    filter = std::move(display->first);
    if (isUsableSourceRect(display->second)) configuration.setSourceRect(display->second);
    configuration.setIgnoreShadowsDisplay(false);
    configuration.setIgnoreGlobalClipDisplay(false);
  } else {
    filter = platform::WindowFilter{window};
  }

  const auto info = platform_.contentInfo(filter);
  const auto size = outputSize(info.contentRect, info.pointPixelScale, window.frame);
  configuration.setWidth(size.width);
  configuration.setHeight(size.height);
  configuration.setMinimumFrameInterval(platform::FrameInterval{1, 15});
  configuration.setQueueDepth(5);
  configuration.setPreservesAspectRatio(true);
  configuration.setShowsCursor(true);
  configuration.setScalesToFit(true);
  configuration.setPixelFormat(platform::kPixelFormat420v);
  configuration.setCapturesAudio(true);
  configuration.setSampleRate(48000);
  configuration.setChannelCount(2);
  configuration.setCaptureMicrophone(false);
  configuration.setExcludesCurrentProcessAudio(false);
  configuration.setShowMouseClicks(true);
  configuration.setIgnoreShadowsSingleWindow(false);
  configuration.setIgnoreGlobalClipSingleWindow(false);
  configuration.setIncludeChildWindows(true);

  if (displayFrame) {
    const std::lock_guard lock(followingMutex_);
    following_ = Following{*displayFrame, configuration, configuration.sourceRect()};
  }

  auto outputConfiguration = platform_.makeRecordingOutputConfiguration();
  outputConfiguration.outputURL = outputURL_.file;
  if (auto type = chooseType(outputConfiguration.availableOutputFileTypes, platform::kFileTypeMPEG4)) {
    outputConfiguration.outputFileType = std::move(type);
  }
  if (auto codec = chooseType(outputConfiguration.availableVideoCodecTypes, platform::kVideoCodecH264)) {
    outputConfiguration.videoCodecType = std::move(codec);
  }

  auto output = platform_.makeRecordingOutput(outputConfiguration, *this);
  auto stream = platform_.makeStream(filter, configuration, *this);
  stream->addRecordingOutput(output);
  return {std::move(stream), std::move(output)};
}

}  // namespace quorvale::recorder
