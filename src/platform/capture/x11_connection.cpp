#include "platform/capture/x11_connection.h"

#include <cstdlib>

#include "platform/capture/x_errors.h"

namespace quorvale::platform::capture {

PlatformError connectionLostError() {
  return PlatformError("x11", 0, "The connection to the X display was lost.");
}

Connection::Connection(const std::optional<std::string>& displayName) {
  std::string name;
  if (displayName) {
    name = *displayName;
  } else if (const char* env = std::getenv("DISPLAY")) {
    name = env;
  }
  if (name.empty()) throw PlatformError("x11", 0, "No X display is set (DISPLAY is empty).");

  int screenNumber = 0;
  connection_.reset(xcb_connect(name.c_str(), &screenNumber));
  if (const int code = xcb_connection_has_error(connection_.get()); code != 0) {
    throw PlatformError("x11", code, "Could not connect to the X display " + name + ".");
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection_.get()));
  for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
  if (it.rem == 0)
    throw PlatformError("x11", 0,
                        "The X display " + name + " has no screen " + std::to_string(screenNumber) + ".");
  screen_ = it.data;
}

xcb_atom_t Connection::atom(std::string_view name) {
  std::string key(name);
  if (auto found = atoms_.find(key); found != atoms_.end()) return found->second;
  auto reply = checkedReply(
      connection_.get(), xcb_intern_atom(connection_.get(), 0, static_cast<uint16_t>(key.size()), key.data()),
      xcb_intern_atom_reply, "Could not look up the X atom " + key);
  atoms_.emplace(key, reply->atom);
  return reply->atom;
}

const xcb_query_extension_reply_t* Connection::extension(xcb_extension_t* ext) const {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection_.get(), ext);
  return data && data->present ? data : nullptr;
}

void checkRequest(xcb_connection_t* c, xcb_void_cookie_t cookie, const std::string& context) {
  ErrorPtr error(xcb_request_check(c, cookie));
  if (error) throwXError(*error, context);
  if (xcb_connection_has_error(c)) throw connectionLostError();
}

void throwXError(const xcb_generic_error_t& error, const std::string& context) {
  throw xError(error.error_code, error.major_code, context);
}

}  // namespace quorvale::platform::capture
