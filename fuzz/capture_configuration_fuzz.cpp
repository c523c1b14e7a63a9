// Capture decisions for any numbers, infinities and NaN included: no undefined
// behaviour, sizes always within their bounds, a valid display index.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "recorder/capture_configuration.h"

using quorvale::platform::Rect;
namespace r = quorvale::recorder;

namespace {

// Raw bytes, so that NaN and the infinities come too; a rectangle is four doubles.
template <class T>
T raw(FuzzedDataProvider& in) {
  T value{};
  in.ConsumeData(&value, sizeof value);
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const auto content = raw<Rect>(in);
  const auto window = raw<Rect>(in);
  const auto pixels = r::outputSize(content, raw<float>(in), window);
  if (pixels.width < 64 || pixels.width > 1280 || pixels.height < 64 || pixels.height > 720) std::abort();
  std::vector<Rect> displays(in.ConsumeIntegralInRange(0, 7));
  for (auto& display : displays) display = raw<Rect>(in);
  const auto chosen = r::chooseDisplay(window, displays);
  if (displays.empty() != !chosen || (chosen && *chosen >= displays.size())) std::abort();
  if (chosen) {
    const Rect source = r::sourceRect(window, displays[*chosen]);
    if (r::isUsableSourceRect(source) && !(source.x >= 0 && source.y >= 0)) std::abort();
  }
  return 0;
}
