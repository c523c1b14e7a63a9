// Capture decisions for any numbers, infinities and NaN included: no undefined
// behaviour, sizes always within their bounds, a valid display index.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "recorder/capture_configuration.h"

using quorvale::platform::Rect;
namespace r = quorvale::recorder;

namespace {

struct Reader {
  const std::uint8_t* data;
  std::size_t size;
  template <class T>
  T next() {
    T value{};
    const std::size_t n = size < sizeof(T) ? size : sizeof(T);
    std::memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
  }
  Rect rect() { return Rect{next<double>(), next<double>(), next<double>(), next<double>()}; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in{data, size};
  const Rect content = in.rect();
  const Rect window = in.rect();
  const float scale = in.next<float>();
  const auto pixels = r::outputSize(content, scale, window);
  if (pixels.width < 64 || pixels.width > 1280 || pixels.height < 64 || pixels.height > 720) std::abort();

  std::vector<Rect> displays;
  const auto count = in.next<std::uint8_t>() % 8;
  for (int i = 0; i < count; ++i) displays.push_back(in.rect());
  const auto chosen = r::chooseDisplay(window, displays);
  if (displays.empty() != !chosen.has_value()) std::abort();
  if (chosen && *chosen >= displays.size()) std::abort();
  if (chosen) {
    const Rect source = r::sourceRect(window, displays[*chosen]);
    if (r::isUsableSourceRect(source) && (!(source.x >= 0) || !(source.y >= 0))) std::abort();
  }
  return 0;
}
