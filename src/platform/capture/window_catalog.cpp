#include "platform/capture/window_catalog.h"

#include <xcb/randr.h>
#include <xcb/res.h>

#include <algorithm>
#include <fstream>

namespace quorvale::platform::capture {
namespace {

// Frames nest the client at most this deep under the managers in use.
constexpr int kClientSearchDepth = 3;

}  // namespace

WindowCatalog::WindowCatalog(Connection& connection) : connection_(connection) {}

std::optional<std::string> WindowCatalog::stringProperty(xcb_window_t window, xcb_atom_t property,
                                                         xcb_atom_t type) {
  xcb_connection_t* c = connection_.get();
  auto reply =
      optionalReply(c, xcb_get_property(c, 0, window, property, type, 0, 4096), xcb_get_property_reply);
  if (!reply || reply->type == XCB_ATOM_NONE || reply->format != 8) return std::nullopt;
  const auto* data = static_cast<const char*>(xcb_get_property_value(reply.get()));
  return std::string(data, static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
}

std::vector<std::uint32_t> WindowCatalog::cardinals(xcb_window_t window, xcb_atom_t property,
                                                    xcb_atom_t type) {
  xcb_connection_t* c = connection_.get();
  auto reply =
      optionalReply(c, xcb_get_property(c, 0, window, property, type, 0, 1024), xcb_get_property_reply);
  if (!reply || reply->type == XCB_ATOM_NONE || reply->format != 32) return {};
  const auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
  return {data, data + xcb_get_property_value_length(reply.get()) / 4};
}

xcb_window_t WindowCatalog::findClient(xcb_window_t window, int depth) {
  const xcb_atom_t wmState = connection_.atom("WM_STATE");
  xcb_connection_t* c = connection_.get();
  auto state = optionalReply(c, xcb_get_property(c, 0, window, wmState, XCB_GET_PROPERTY_TYPE_ANY, 0, 0),
                             xcb_get_property_reply);
  if (state && state->type != XCB_ATOM_NONE) return window;
  if (depth >= kClientSearchDepth) return XCB_WINDOW_NONE;
  auto tree = optionalReply(c, xcb_query_tree(c, window), xcb_query_tree_reply);
  if (!tree) return XCB_WINDOW_NONE;
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  for (int i = xcb_query_tree_children_length(tree.get()) - 1; i >= 0; --i) {
    if (xcb_window_t found = findClient(children[i], depth + 1)) return found;
  }
  return XCB_WINDOW_NONE;
}

std::vector<ClientWindow> WindowCatalog::clientWindows() {
  xcb_connection_t* c = connection_.get();
  auto tree = checkedReply(c, xcb_query_tree(c, connection_.root()), xcb_query_tree_reply,
                           "Could not list the X windows");
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  const int count = xcb_query_tree_children_length(tree.get());

  // Ask for every top level's attributes at once: one round trip, not one per window.
  std::vector<xcb_get_window_attributes_cookie_t> attributeCookies;
  attributeCookies.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) attributeCookies.push_back(xcb_get_window_attributes(c, children[i]));
  std::vector<XcbPtr<xcb_get_window_attributes_reply_t>> attributes;
  attributes.reserve(attributeCookies.size());
  for (auto cookie : attributeCookies)
    attributes.push_back(optionalReply(c, cookie, xcb_get_window_attributes_reply));

  std::vector<ClientWindow> result;
  for (int i = 0; i < count; ++i) {
    const auto& topAttributes = attributes[static_cast<std::size_t>(i)];
    if (!topAttributes || topAttributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY) continue;
    ClientWindow window;
    window.topLevel = children[i];
    window.overrideRedirect = topAttributes->override_redirect != 0;
    const xcb_window_t client =
        window.overrideRedirect ? xcb_window_t{XCB_WINDOW_NONE} : findClient(children[i], 0);
    window.id = client != XCB_WINDOW_NONE ? client : children[i];

    auto clientAttributes =
        window.id == window.topLevel
            ? std::move(attributes[static_cast<std::size_t>(i)])
            : optionalReply(c, xcb_get_window_attributes(c, window.id), xcb_get_window_attributes_reply);
    auto geometry = optionalReply(c, xcb_get_geometry(c, window.id), xcb_get_geometry_reply);
    auto position = optionalReply(c, xcb_translate_coordinates(c, window.id, connection_.root(), 0, 0),
                                  xcb_translate_coordinates_reply);
    if (!clientAttributes || !geometry || !position) continue;  // gone meanwhile
    window.viewable = clientAttributes->map_state == XCB_MAP_STATE_VIEWABLE;
    window.depth = geometry->depth;
    window.frame = Rect{static_cast<double>(position->dst_x), static_cast<double>(position->dst_y),
                        static_cast<double>(geometry->width), static_cast<double>(geometry->height)};
    result.push_back(window);
  }
  return result;
}

std::optional<std::int64_t> WindowCatalog::processID(xcb_window_t window) {
  xcb_connection_t* c = connection_.get();
  if (!hasResource_) {
    hasResource_ = false;
    if (connection_.extension(&xcb_res_id)) {
      auto version = optionalReply(c, xcb_res_query_version(c, 1, 2), xcb_res_query_version_reply);
      hasResource_ = version && (version->server_major > 1 ||
                                 (version->server_major == 1 && version->server_minor >= 2));
    }
  }
  if (*hasResource_) {
    const xcb_res_client_id_spec_t query{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    auto reply = optionalReply(c, xcb_res_query_client_ids(c, 1, &query), xcb_res_query_client_ids_reply);
    if (reply) {
      for (auto it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem > 0;
           xcb_res_client_id_value_next(&it)) {
        if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) && it.data->length >= 4) {
          return static_cast<std::int64_t>(*xcb_res_client_id_value_value(it.data));
        }
      }
      // The server knows the process of every local client. This one is remote (over TCP, say):
      // its _NET_WM_PID counts on another machine, and the local process of that number is a stranger.
      return std::nullopt;
    }
  }
  const auto pid = cardinals(window, connection_.atom("_NET_WM_PID"), XCB_ATOM_CARDINAL);
  if (!pid.empty() && pid[0] != 0) return static_cast<std::int64_t>(pid[0]);
  return std::nullopt;
}

std::optional<xcb_window_t> WindowCatalog::transientFor(xcb_window_t window) {
  const auto owner = cardinals(window, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW);
  if (owner.empty() || owner[0] == XCB_WINDOW_NONE) return std::nullopt;
  return owner[0];
}

std::string WindowCatalog::title(xcb_window_t window) {
  if (auto name = stringProperty(window, connection_.atom("_NET_WM_NAME"), connection_.atom("UTF8_STRING"))) {
    return *name;
  }
  return stringProperty(window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY).value_or("");
}

bool WindowCatalog::isDesktopWindow(xcb_window_t window) {
  const auto types = cardinals(window, connection_.atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM);
  return std::find(types.begin(), types.end(), connection_.atom("_NET_WM_WINDOW_TYPE_DESKTOP")) !=
         types.end();
}

std::optional<RunningApplication> WindowCatalog::owningApplication(xcb_window_t window) {
  const auto pid = processID(window);
  if (!pid) return std::nullopt;
  RunningApplication application{*pid, {}};
  // WM_CLASS is "instance\0class\0"; the class names the application.
  if (auto wmClass = stringProperty(window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING)) {
    const auto split = wmClass->find('\0');
    if (split != std::string::npos) application.applicationName = wmClass->substr(split + 1);
    while (!application.applicationName.empty() && application.applicationName.back() == '\0') {
      application.applicationName.pop_back();
    }
  }
  if (application.applicationName.empty()) application.applicationName = processName(*pid);
  return application;
}

std::vector<Display> WindowCatalog::displays() {
  xcb_connection_t* c = connection_.get();
  std::vector<Display> result;
  if (connection_.extension(&xcb_randr_id)) {
    auto version = optionalReply(c, xcb_randr_query_version(c, 1, 5), xcb_randr_query_version_reply);
    if (version && (version->major_version > 1 || version->minor_version >= 5)) {
      auto monitors =
          optionalReply(c, xcb_randr_get_monitors(c, connection_.root(), 1), xcb_randr_get_monitors_reply);
      if (monitors) {
        for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem > 0;
             xcb_randr_monitor_info_next(&it)) {
          const auto& m = *it.data;
          if (m.width == 0 || m.height == 0) continue;
          result.push_back(
              Display{m.name, Rect{static_cast<double>(m.x), static_cast<double>(m.y),
                                   static_cast<double>(m.width), static_cast<double>(m.height)}});
        }
      }
    }
  }
  if (result.empty()) {
    const auto& screen = connection_.screen();
    result.push_back(Display{1, Rect{0, 0, static_cast<double>(screen.width_in_pixels),
                                     static_cast<double>(screen.height_in_pixels)}});
  }
  return result;
}

ShareableContent WindowCatalog::content(bool excludeDesktopWindows, bool onScreenWindowsOnly) {
  ShareableContent content;
  auto windows = clientWindows();
  for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
    if (it->overrideRedirect) continue;
    if (onScreenWindowsOnly && !it->viewable) continue;
    if (excludeDesktopWindows && isDesktopWindow(it->id)) continue;
    content.windows.push_back(
        Window{it->id, it->frame, owningApplication(it->id), title(it->id), it->viewable});
  }
  content.displays = displays();
  return content;
}

std::string processName(std::int64_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

}  // namespace quorvale::platform::capture
