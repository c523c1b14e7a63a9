#pragma once

// GLib and GDBus handles owned by unique_ptr, and their errors as PlatformError.
// Any thread; a connection's calls belong to the thread whose main context was
// current when they were made.

#include <gio/gio.h>

#include <memory>
#include <string>

#include "platform/platform_error.h"

namespace quorvale::platform::portal {

struct GObjectDeleter {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct VariantDeleter {
  void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
struct ErrorDeleter {
  void operator()(GError* error) const { g_error_free(error); }
};
struct MainContextDeleter {
  void operator()(GMainContext* context) const { g_main_context_unref(context); }
};
struct MainLoopDeleter {
  void operator()(GMainLoop* loop) const { g_main_loop_unref(loop); }
};
struct FreeDeleter {
  void operator()(gpointer memory) const { g_free(memory); }
};

using ConnectionPtr = std::unique_ptr<GDBusConnection, GObjectDeleter>;
using FdListPtr = std::unique_ptr<GUnixFDList, GObjectDeleter>;
using VariantPtr = std::unique_ptr<GVariant, VariantDeleter>;
using ErrorPtr = std::unique_ptr<GError, ErrorDeleter>;
using MainContextPtr = std::unique_ptr<GMainContext, MainContextDeleter>;
using MainLoopPtr = std::unique_ptr<GMainLoop, MainLoopDeleter>;
using StringPtr = std::unique_ptr<gchar, FreeDeleter>;

// The one message for a desktop that cannot share a window.
inline PlatformError noScreenCastPortal() {
  return PlatformError("portal", 0,
                       "Window recording on this desktop needs xdg-desktop-portal with screen sharing "
                       "(the ScreenCast portal), which is not available.");
}

// A failed portal call: what was being done, then D-Bus's own words.
inline PlatformError portalError(const GError* error, const std::string& context) {
  std::string detail = error ? error->message : "no reply";
  if (error && g_dbus_error_is_remote_error(error)) {
    // Without the D-Bus error name that heads the message.
    ErrorPtr stripped(g_error_copy(error));
    g_dbus_error_strip_remote_error(stripped.get());
    detail = stripped->message;
  }
  return PlatformError("portal", error ? error->code : 0, context + ": " + detail + ".");
}

// A portal missing from the bus, or one without the ScreenCast interface.
inline bool meansNoPortal(const GError* error) {
  return g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
         g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER) ||
         g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_INTERFACE) ||
         g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD) ||
         g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT) ||
         g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS);
}

}  // namespace quorvale::platform::portal
