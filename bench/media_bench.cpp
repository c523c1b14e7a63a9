// Cost of one captured frame through MovieWriter: scale/convert to NV12 plus
// x264 encoding, for typical window sizes; each writes a real temporary file.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "platform/encoding/frame_converter.h"
#include "platform/encoding/movie_writer.h"

namespace {

namespace fs = std::filesystem;
using quorvale::platform::encoding::FrameConverter;
using quorvale::platform::encoding::MovieWriter;
using quorvale::platform::pipeline::Nv12Frame;
using quorvale::platform::pipeline::VideoFormat;

// A picture with text-like detail, so the encoder does real work; `step` moves part of it.
void drawFrame(std::vector<std::uint8_t>& pixels, int width, int height, int step) {
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = &pixels[static_cast<std::size_t>(y) * width * 4];
    for (int x = 0; x < width; ++x) {
      const bool moving = y < height / 4;
      const int phase = moving ? x + step * 8 : x;
      const std::uint8_t value = ((phase / 3) ^ (y / 5)) & 1 ? 230 : 30;
      row[x * 4 + 0] = value;
      row[x * 4 + 1] = static_cast<std::uint8_t>(value + y);
      row[x * 4 + 2] = value;
      row[x * 4 + 3] = 0;
    }
  }
}

void writeFrames(benchmark::State& state) {
  const int sourceWidth = static_cast<int>(state.range(0));
  const int sourceHeight = static_cast<int>(state.range(1));
  const int outputWidth = static_cast<int>(state.range(2));
  const int outputHeight = static_cast<int>(state.range(3));
  char pattern[] = "/tmp/quorvale-bench-XXXXXX";
  if (!mkdtemp(pattern)) {
    state.SkipWithError("no temporary directory");
    return;
  }
  const fs::path dir = pattern;
  std::vector<std::uint8_t> frames[2] = {
      std::vector<std::uint8_t>(static_cast<std::size_t>(sourceWidth) * sourceHeight * 4),
      std::vector<std::uint8_t>(static_cast<std::size_t>(sourceWidth) * sourceHeight * 4)};
  drawFrame(frames[0], sourceWidth, sourceHeight, 0);
  drawFrame(frames[1], sourceWidth, sourceHeight, 1);
  {
    const VideoFormat format{outputWidth, outputHeight, 30, true};
    MovieWriter writer(dir / "bench.mp4", "public.mpeg-4", "avc1", format, std::nullopt);
    FrameConverter converter(format);
    Nv12Frame frame;
    std::int64_t pts = 0;
    int index = 0;
    for (auto _ : state) {
      // As the stream converts: 32 rows at a time.
      const std::vector<std::uint8_t>& pixels = frames[index ^= 1];
      converter.begin(sourceWidth, sourceHeight, frame);
      for (int top = 0; top < sourceHeight; top += 32)
        converter.convertRows({pixels.data() + static_cast<std::size_t>(top) * sourceWidth * 4, sourceWidth,
                               std::min(32, sourceHeight - top), sourceWidth * 4},
                              top);
      writer.writeVideoFrame(frame, pts += 33'333);
    }
    writer.finish(pts + 33'333);
  }
  state.SetItemsProcessed(state.iterations());
  fs::remove_all(dir);
}

BENCHMARK(writeFrames)
    ->Args({1280, 720, 1280, 720})
    ->Args({1920, 1080, 1920, 1080})
    ->Args({2560, 1440, 1280, 720})
    ->Args({1001, 701, 1920, 1080})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
