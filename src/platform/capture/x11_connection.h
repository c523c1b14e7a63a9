#pragma once

// One xcb connection and the owners of the C handles that come from it.
// Threading: a Connection, and everything created from it, is used by one
// thread at a time (the catalog's service thread or one stream's capture thread).

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/platform_error.h"

namespace quorvale::platform::capture {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using XcbPtr = std::unique_ptr<T, FreeDeleter>;
using ErrorPtr = XcbPtr<xcb_generic_error_t>;
using EventPtr = XcbPtr<xcb_generic_event_t>;

struct ConnectionDeleter {
  void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using ConnectionPtr = std::unique_ptr<xcb_connection_t, ConnectionDeleter>;

// The error raised when the connection itself has failed.
PlatformError connectionLostError();

class Connection {
 public:
  // displayName absent: the DISPLAY environment variable. Throws PlatformError naming the display.
  explicit Connection(const std::optional<std::string>& displayName);

  xcb_connection_t* get() const { return connection_.get(); }
  const xcb_screen_t& screen() const { return *screen_; }
  xcb_window_t root() const { return screen_->root; }
  int fileDescriptor() const { return xcb_get_file_descriptor(connection_.get()); }
  bool hasError() const { return xcb_connection_has_error(connection_.get()) != 0; }

  // Interned once, then cached.
  xcb_atom_t atom(std::string_view name);

  // The extension's data when the server has it, else null (owned by xcb).
  const xcb_query_extension_reply_t* extension(xcb_extension_t* ext) const;

 private:
  ConnectionPtr connection_;
  const xcb_screen_t* screen_ = nullptr;
  std::unordered_map<std::string, xcb_atom_t> atoms_;
};

// Waits for a reply; throws the X error (mapped by xError) or connectionLostError().
template <typename Reply, typename Cookie>
XcbPtr<Reply> checkedReply(xcb_connection_t* c, Cookie cookie,
                           Reply* (*fetch)(xcb_connection_t*, Cookie, xcb_generic_error_t**),
                           const std::string& context);
// Same, but an X error yields null instead of throwing (a vanished window, say).
template <typename Reply, typename Cookie>
XcbPtr<Reply> optionalReply(xcb_connection_t* c, Cookie cookie,
                            Reply* (*fetch)(xcb_connection_t*, Cookie, xcb_generic_error_t**));

// Waits for a checked void request; throws on error.
void checkRequest(xcb_connection_t* c, xcb_void_cookie_t cookie, const std::string& context);

[[noreturn]] void throwXError(const xcb_generic_error_t& error, const std::string& context);

template <typename Reply, typename Cookie>
XcbPtr<Reply> checkedReply(xcb_connection_t* c, Cookie cookie,
                           Reply* (*fetch)(xcb_connection_t*, Cookie, xcb_generic_error_t**),
                           const std::string& context) {
  xcb_generic_error_t* rawError = nullptr;
  XcbPtr<Reply> reply(fetch(c, cookie, &rawError));
  ErrorPtr error(rawError);
  if (error) throwXError(*error, context);
  if (!reply) throw connectionLostError();
  return reply;
}

template <typename Reply, typename Cookie>
XcbPtr<Reply> optionalReply(xcb_connection_t* c, Cookie cookie,
                            Reply* (*fetch)(xcb_connection_t*, Cookie, xcb_generic_error_t**)) {
  xcb_generic_error_t* rawError = nullptr;
  XcbPtr<Reply> reply(fetch(c, cookie, &rawError));
  ErrorPtr error(rawError);
  if (!reply && !error && xcb_connection_has_error(c)) throw connectionLostError();
  return reply;
}

}  // namespace quorvale::platform::capture
