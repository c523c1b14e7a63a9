#include "platform/capture/x_errors.h"

#include <array>
#include <string_view>

namespace quorvale::platform::capture {
namespace {

struct XErrorName {
  std::string_view name;
  std::string_view meaning;
};

// Core protocol errors, indexed by error code (X.h), worded as X's own error database words them.
constexpr std::array<XErrorName, 18> kXErrors = {{
    {"Success", "no error"},
    {"BadRequest", "invalid request code or no such operation"},
    {"BadValue", "integer parameter out of range for operation"},
    {"BadWindow", "invalid Window parameter"},
    {"BadPixmap", "invalid Pixmap parameter"},
    {"BadAtom", "invalid Atom parameter"},
    {"BadCursor", "invalid Cursor parameter"},
    {"BadFont", "invalid Font parameter"},
    {"BadMatch", "invalid parameter attributes"},
    {"BadDrawable", "invalid Pixmap or Window parameter"},
    {"BadAccess", "attempt to access private resource denied"},
    {"BadAlloc", "insufficient resources for operation"},
    {"BadColor", "invalid Colormap parameter"},
    {"BadGC", "invalid GC parameter"},
    {"BadIDChoice", "invalid resource ID chosen for this connection"},
    {"BadName", "named color or font does not exist"},
    {"BadLength", "poly request too large or internal Xlib length error"},
    {"BadImplementation", "server does not implement operation"},
}};

}  // namespace

PlatformError xError(int errorCode, int majorOpcode, const std::string& context) {
  std::string text;
  if (errorCode >= 0 && errorCode < static_cast<int>(kXErrors.size())) {
    const XErrorName& entry = kXErrors[static_cast<std::size_t>(errorCode)];
    text = std::string(entry.name) + " (" + std::string(entry.meaning) + ")";
  } else {
    // Extension errors: their base varies by server, so only the number is certain.
    text = "X error " + std::to_string(errorCode);
  }
  return PlatformError("x11", errorCode, context + ": " + text + ", request " + std::to_string(majorOpcode));
}

}  // namespace quorvale::platform::capture
