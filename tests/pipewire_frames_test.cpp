#include <gtest/gtest.h>
#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/raw.h>

#include <array>
#include <optional>
#include <vector>

#include "platform/pipewire/frame_handler.h"

namespace quorvale::platform::pipewire {
namespace {

using Pixel = std::array<std::uint8_t, 3>;  // B, G, R as the picture holds them

// A buffer as the compositor fills it: pixel (x, y) holds bytes x, y, 0x80, 0xff.
struct FakeBuffer {
  struct CursorMeta {
    spa_meta_cursor cursor;
    spa_meta_bitmap bitmap;
    std::uint8_t pixels[2 * 2 * 4];
  };
  // SPA_CHUNK_FLAG_EMPTY among chunkFlags: a chunk of size 0.
  FakeBuffer(int width, int height, int stride, std::uint32_t chunkFlags = 0, std::uint32_t headerFlags = 0,
             std::optional<spa_region> cropped = std::nullopt)
      : pixels(static_cast<std::size_t>(stride) * height) {
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width && x * 4 < stride; ++x) {
        auto* p = &pixels[y * stride + x * 4];
        p[0] = static_cast<std::uint8_t>(x), p[1] = static_cast<std::uint8_t>(y), p[2] = 0x80, p[3] = 0xff;
      }
    chunk = {0, chunkFlags & SPA_CHUNK_FLAG_EMPTY ? 0u : static_cast<std::uint32_t>(pixels.size()), stride,
             static_cast<std::int32_t>(chunkFlags & ~SPA_CHUNK_FLAG_EMPTY)};
    data = {SPA_DATA_MemPtr, 0, -1, 0, static_cast<std::uint32_t>(pixels.size()), pixels.data(), &chunk};
    header.flags = headerFlags;
    metas.push_back({SPA_META_Header, sizeof(header), &header});
    buffer = {0, 0, nullptr, &data};
    if (cropped) region.region = *cropped, metas.push_back({SPA_META_VideoCrop, sizeof(region), &region});
    link();
  }
  FakeBuffer(const FakeBuffer&) = delete;  // it points into itself
  // id 0: hidden; withBitmap: a 2x2 red RGBA arrow, hotspot (1, 1).
  FakeBuffer& pointer(std::uint32_t id, int x, int y, bool withBitmap) {
    cursor.cursor = {
        id, 0, {x, y}, {1, 1}, withBitmap ? static_cast<std::uint32_t>(sizeof(spa_meta_cursor)) : 0};
    cursor.bitmap = {SPA_VIDEO_FORMAT_RGBA, {2, 2}, 8, sizeof(spa_meta_bitmap)};
    for (int i = 0; i < 4; ++i) cursor.pixels[i * 4] = 0xff, cursor.pixels[i * 4 + 3] = 0xff;
    metas.push_back({SPA_META_Cursor, sizeof(cursor), &cursor});
    return link();
  }
  FakeBuffer& link() {
    buffer.n_metas = static_cast<std::uint32_t>(metas.size());
    buffer.metas = metas.data();
    buffer.n_datas = 1;
    return *this;
  }
  std::vector<std::uint8_t> pixels;
  spa_chunk chunk{};
  spa_data data{};
  spa_meta_header header{};
  spa_meta_region region{};
  CursorMeta cursor{};
  std::vector<spa_meta> metas;
  spa_buffer buffer{};
};

struct Picture : pipeline::BandSink {
  void begin(int w, int h) override {
    width = w, height = h, bgrx.assign(static_cast<std::size_t>(w) * h * 4, 0);
  }
  void band(const pipeline::BgraImageView& rows, int top) override {
    for (int y = 0; y < rows.height; ++y)
      std::copy_n(rows.data + y * rows.stride, rows.width * 4, &bgrx[((top + y) * width) * 4]);
  }
  Pixel at(int x, int y) const {
    return {bgrx[(y * width + x) * 4], bgrx[(y * width + x) * 4 + 1], bgrx[(y * width + x) * 4 + 2]};
  }
  int width = 0, height = 0;
  std::vector<std::uint8_t> bgrx;
};

std::optional<Picture> render(FrameHandler& handler, std::vector<FakeBuffer*> buffers) {
  std::vector<spa_buffer*> raw;
  for (auto* b : buffers) raw.push_back(&b->buffer);
  handler.take(raw);
  Picture picture;
  pipeline::FramePixels band;
  if (!handler.render(band, picture)) return std::nullopt;
  return picture;
}

TEST(PipeWireFrames, BuffersBecomeTheWindowsRegionInBgrx) {
  struct Case {
    const char* name;
    std::uint32_t format;
    int width, height;
    FakeBuffer buffer;
    std::optional<std::array<int, 2>> size;  // none: no picture
    Pixel last;                              // the picture's bottom-right pixel
  } cases[] = {
      {"BGRx whole", SPA_VIDEO_FORMAT_BGRx, 8, 6, FakeBuffer(8, 6, 32), {{8, 6}}, {7, 5, 0x80}},
      {"RGBx swapped", SPA_VIDEO_FORMAT_RGBx, 8, 6, FakeBuffer(8, 6, 32), {{8, 6}}, {0x80, 5, 7}},
      {"crop in padded stride",
       SPA_VIDEO_FORMAT_BGRA,
       16,
       8,
       FakeBuffer(16, 8, 80, 0, 0, spa_region{{4, 2}, {6, 3}}),
       {{6, 3}},
       {9, 4, 0x80}},
      {"crop clipped to the buffer",
       SPA_VIDEO_FORMAT_BGRx,
       16,
       8,
       FakeBuffer(16, 8, 64, 0, 0, spa_region{{10, 5}, {40, 40}}),
       {{6, 3}},
       {15, 7, 0x80}},
      {"corrupted chunk",
       SPA_VIDEO_FORMAT_BGRx,
       8,
       6,
       FakeBuffer(8, 6, 32, SPA_CHUNK_FLAG_CORRUPTED),
       std::nullopt,
       {}},
      {"empty chunk",
       SPA_VIDEO_FORMAT_BGRx,
       8,
       6,
       FakeBuffer(8, 6, 32, SPA_CHUNK_FLAG_EMPTY),
       std::nullopt,
       {}},
      {"corrupted header",
       SPA_VIDEO_FORMAT_BGRx,
       8,
       6,
       FakeBuffer(8, 6, 32, 0, SPA_META_HEADER_FLAG_CORRUPTED),
       std::nullopt,
       {}},
      {"stride shorter than a row", SPA_VIDEO_FORMAT_BGRx, 8, 6, FakeBuffer(8, 6, 16), std::nullopt, {}},
      {"chunk shorter than the picture", SPA_VIDEO_FORMAT_BGRx, 8, 7, FakeBuffer(8, 6, 32), std::nullopt, {}},
  };
  for (auto& c : cases) {
    FrameHandler handler(true);
    handler.setFormat(c.format, c.width, c.height);
    const auto picture = render(handler, {&c.buffer});
    ASSERT_EQ(picture.has_value(), c.size.has_value()) << c.name;
    if (!picture) continue;
    EXPECT_EQ((std::array{picture->width, picture->height}), *c.size) << c.name;
    EXPECT_EQ(picture->at(picture->width - 1, picture->height - 1), c.last) << c.name;
  }
}

TEST(PipeWireFrames, NewestPictureCursorUpdatesAndSizeChanges) {
  FrameHandler handler(true);
  handler.setFormat(SPA_VIDEO_FORMAT_BGRx, 8, 8);
  FakeBuffer older(8, 8, 32), cursorOnly(8, 8, 32, SPA_CHUNK_FLAG_EMPTY);
  older.pixels[0] = 0x11;
  FakeBuffer newer(8, 8, 32);
  cursorOnly.pointer(7, 3, 3, true);
  // The newest picture wins; a cursor-only buffer after it still moves the pointer.
  auto picture = render(handler, {&older, &newer, &cursorOnly});
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->at(0, 0), (Pixel{0, 0, 0x80}));
  EXPECT_EQ(picture->at(2, 2), (Pixel{0, 0, 0xff}));  // position minus hotspot
  EXPECT_EQ(picture->at(4, 4), (Pixel{4, 4, 0x80}));
  // Position only: the bitmap and hotspot stay.
  FakeBuffer moved(8, 8, 32, SPA_CHUNK_FLAG_EMPTY);
  picture = render(handler, {&moved.pointer(7, 7, 7, false)});
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->at(6, 6), (Pixel{0, 0, 0xff}));
  EXPECT_EQ(picture->at(7, 7), (Pixel{0, 0, 0xff}));  // clipped at the window's edge
  EXPECT_EQ(picture->at(2, 2), (Pixel{2, 2, 0x80}));
  FakeBuffer hidden(8, 8, 32, SPA_CHUNK_FLAG_EMPTY), outside(8, 8, 32, SPA_CHUNK_FLAG_EMPTY);
  picture = render(handler, {&hidden.pointer(0, 0, 0, false)});
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->at(6, 6), (Pixel{6, 6, 0x80}));
  EXPECT_FALSE(render(handler, {&outside.pointer(7, 40, 40, false)})) << "nothing visible changed";
  EXPECT_FALSE(render(handler, {})) << "nothing new";
  // A new format (KDE's resize): the next picture has the new size.
  handler.setFormat(SPA_VIDEO_FORMAT_RGBA, 4, 2);
  FakeBuffer small(4, 2, 16);
  picture = render(handler, {&small});
  ASSERT_TRUE(picture);
  EXPECT_EQ((std::array{picture->width, picture->height}), (std::array{4, 2}));
  EXPECT_EQ(picture->at(3, 1), (Pixel{0x80, 1, 3}));
}

}  // namespace
}  // namespace quorvale::platform::pipewire
