#pragma once

// What the capture service's tests share: an X client that makes windows, and a movie
// looked into with ffprobe and ffmpeg.

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <condition_variable>
#include <functional>
#include <mutex>

#include "e2e/support/media.h"
#include "platform/platform.h"
#include "platform/platform_error.h"

namespace quorvale::platform::testing {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::uint32_t kRed = 0xd02020, kBlue = 0x2040d0, kGreen = 0x20c040;

// A test application's X connection and its windows.
class Client {
 public:
  explicit Client(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
  }
  ~Client() { xcb_disconnect(c_); }
  xcb_connection_t* get() const { return c_; }
  xcb_window_t root() const { return screen_->root; }

  xcb_window_t window(int x, int y, int width, int height, std::uint32_t rgb, bool map = true,
                      bool overrideRedirect = false, xcb_window_t parent = XCB_WINDOW_NONE) {
    const xcb_window_t id = xcb_generate_id(c_);
    const std::uint32_t values[] = {rgb, overrideRedirect ? 1u : 0u};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, id, parent ? parent : root(), std::int16_t(x),
                      std::int16_t(y), std::uint16_t(width), std::uint16_t(height), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    return made(id, map);
  }
  void property(xcb_window_t window, const std::string& name, xcb_atom_t type, std::uint8_t format,
                const void* data, std::uint32_t count) {
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, atom(name), type, format, count, data);
    sync();
  }
  xcb_atom_t atom(const std::string& name) {
    auto* reply =
        xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, std::uint16_t(name.size()), name.data()), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
  }
  void fill(xcb_window_t window, std::uint32_t rgb, xcb_rectangle_t rect) {
    const xcb_gcontext_t gc = xcb_generate_id(c_);
    xcb_create_gc(c_, gc, window, XCB_GC_FOREGROUND, &rgb);
    xcb_poly_fill_rectangle(c_, window, gc, 1, &rect);
    xcb_free_gc(c_, gc);
    sync();
  }
  // An override-redirect popup with a 32-bit visual: its pixels carry premultiplied alpha.
  xcb_window_t translucentPopup(int x, int y, int width, int height, std::uint32_t argb) {
    xcb_visualid_t visual = 0;
    for (auto d = xcb_screen_allowed_depths_iterator(screen_); d.rem && !visual; xcb_depth_next(&d))
      if (d.data->depth == 32 && d.data->visuals_len) visual = xcb_depth_visuals(d.data)->visual_id;
    const xcb_colormap_t colormap = xcb_generate_id(c_);
    xcb_create_colormap(c_, XCB_COLORMAP_ALLOC_NONE, colormap, root(), visual);
    const xcb_window_t id = xcb_generate_id(c_);
    const std::uint32_t values[] = {argb, 0, 1, colormap};
    xcb_create_window(c_, 32, id, root(), std::int16_t(x), std::int16_t(y), std::uint16_t(width),
                      std::uint16_t(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_COLORMAP,
                      values);
    return made(id, true);
  }
  void move(xcb_window_t window, std::uint32_t x, std::uint32_t y, std::uint32_t width,
            std::uint32_t height) {
    const std::uint32_t geometry[] = {x, y, width, height};
    xcb_configure_window(
        c_, window,
        XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
        geometry);
    sync();
  }
  void warpPointer(int x, int y) {
    xcb_warp_pointer(c_, XCB_NONE, root(), 0, 0, 0, 0, std::int16_t(x), std::int16_t(y));
    sync();
  }
  // A round trip: everything sent before has been processed.
  void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

 private:
  xcb_window_t made(xcb_window_t id, bool map) {
    const std::uint32_t pid = std::uint32_t(::getpid());  // for servers without X-Resource
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, id, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &pid);
    if (map) xcb_map_window(c_, id);
    sync();
    return id;
  }
  xcb_connection_t* c_;
  xcb_screen_t* screen_ = nullptr;
};

// A window of another process, the test window program with these options; ended with the object.
struct TestWindow {
  TestWindow(const std::string& display, std::vector<std::string> options)
      : process((options.insert(options.begin(), QUORVALE_TEST_WINDOW), options),
                {e2e::Environment().set("DISPLAY", display)}),
        id(std::stoul(process.readLine(e2e::Clock::now() + e2e::kStartTimeout).value_or("0"))) {}
  e2e::Process process;
  xcb_window_t id;
};

// The message of the PlatformError the call throws; empty when it throws none.
inline std::string failure(const std::function<void()>& call) {
  try {
    call();
  } catch (const PlatformError& error) {
    return error.what();
  }
  return "";
}

inline int packets(const nlohmann::json& info, const std::string& type) {
  const auto all = info.value("packets", nlohmann::json::array());
  return int(std::count_if(all.begin(), all.end(),
                           [&](const auto& packet) { return packet["codec_type"] == type; }));
}

inline double seconds(const nlohmann::json& value) { return std::stod(value.get<std::string>()); }

// The named members of an ffprobe record as ffprobe wrote them, space-separated ("h264 320").
inline std::string fields(const nlohmann::json& record, std::initializer_list<const char*> names) {
  std::string text;
  for (const char* name : names) {
    const auto value = record.value(name, nlohmann::json());
    text += (text.empty() ? "" : " ") + (value.is_string() ? value.get<std::string>() : value.dump());
  }
  return text;
}

// The movie decoded by ffmpeg into the output format that the arguments give; empty when it fails.
inline std::string decode(const fs::path& file, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"ffmpeg", "-v", "error", "-i", file});
  arguments.push_back("-");
  return e2e::output(arguments).value_or("");
}

// The byte offsets of the movie's boxes of this type ("moof": its fragments), found by their tag.
inline std::vector<std::int64_t> boxes(const fs::path& file, const std::string& type) {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes(std::istreambuf_iterator<char>(in), {});
  std::vector<std::int64_t> found;
  for (auto at = bytes.find(type, 4); at != std::string::npos; at = bytes.find(type, at + 1))
    found.push_back(std::int64_t(at) - 4);
  return found;
}

}  // namespace quorvale::platform::testing
