#pragma once

// The pictures and formats that pass between the stages: window pixels from
// capture, NV12 frames for the encoder, and the movie's video and sound formats.
// Plain data, no library types, so every stage can use them; any thread.

#include <cstdint>
#include <vector>

namespace quorvale::platform::pipeline {

// A BGRX image (4 bytes a pixel, byte order B, G, R, X), rows `stride` bytes apart.
struct BgraImageView {
  const std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;
};

struct VideoFormat {
  int width = 0;  // output size in pixels, as configured
  int height = 0;
  int framesPerSecond = 15;         // the highest rate; frames may come less often
  bool preserveAspectRatio = true;  // letterbox instead of stretching
};

// An NV12 picture at the output size: a luma plane, then interleaved Cb/Cr rows
// at half the height. Plain vectors, so frames can be recycled between threads.
struct Nv12Frame {
  std::vector<std::uint8_t> luma;
  std::vector<std::uint8_t> chroma;
  int width = 0;  // even
  int height = 0;
  int lumaStride = 0;
  int chromaStride = 0;
};

// Sound as interleaved float samples.
struct AudioFormat {
  int sampleRate = 48000;
  int channels = 2;
};

}  // namespace quorvale::platform::pipeline
