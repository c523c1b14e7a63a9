#pragma once

// The desktop's ScreenCast portal (xdg-desktop-portal) on the session bus: one
// session that shares one window, chosen in the desktop's picker or restored
// from the application's saved grant.
// Threading: the public methods may be called from any thread, one at a time
// (close() also while another waits). The D-Bus work, its replies and signals
// run on the portal's own thread, which serves a GMainContext of its own.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/geometry.h"
#include "platform/pipeline/unique_fd.h"
#include "platform/portal/token_store.h"

namespace quorvale::platform::portal {

using Deadline = std::chrono::steady_clock::time_point;

struct ScreenCastGrant {
  std::uint32_t nodeId = 0;  // the stream's PipeWire node
  std::optional<Size> size;  // the window's size, when the portal tells it
};

enum class RequestOutcome { granted, cancelled, timedOut };

class ScreenCastPortal {
 public:
  explicit ScreenCastPortal(TokenStore tokens);
  ~ScreenCastPortal();  // closes the session first
  ScreenCastPortal(const ScreenCastPortal&) = delete;
  ScreenCastPortal& operator=(const ScreenCastPortal&) = delete;

  // Opens a session and has the user choose the window (or restores the saved
  // grant), saving the grant the portal returns at once. timedOut: no answer by
  // the deadline, and the session (with its picker) is closed. Throws
  // PlatformError when there is no ScreenCast portal or a call fails.
  RequestOutcome request(Deadline deadline);

  std::optional<ScreenCastGrant> grant() const;

  // A new connection to the granted stream's PipeWire remote. Throws
  // PlatformError when the session is gone or the call fails.
  pipeline::UniqueFd openPipeWireRemote(Deadline deadline);

  // A descriptor that becomes readable once the session is closed (the window
  // went, or we closed it); the caller's own copy.
  pipeline::UniqueFd sessionClosedNotification() const;

  // Closes the session, which dismisses a picker still shown. Idempotent.
  void close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quorvale::platform::portal
