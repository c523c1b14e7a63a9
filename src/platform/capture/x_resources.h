#pragma once

// Server-side X resources owned like any other handle: pixmaps, graphics contexts,
// Damage objects, redirections and shared memory segments.
// Threading: the thread that owns their connection.

#include <sys/shm.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace quorvale::platform::capture {

// An X resource id that unique_ptr can hold (it needs a nullable "pointer").
struct Xid {
  std::uint32_t value = 0;
  Xid() = default;
  Xid(std::nullptr_t) {}
  explicit Xid(std::uint32_t v) : value(v) {}
  explicit operator bool() const { return value != 0; }
  friend bool operator==(Xid, Xid) = default;
};

// Owns one server-side resource of a connection; Release frees it.
template <auto Release>
struct XidDeleter {
  xcb_connection_t* connection = nullptr;
  using pointer = Xid;
  void operator()(Xid id) const { Release(connection, id.value); }
};

using PixmapPtr = std::unique_ptr<Xid, XidDeleter<&xcb_free_pixmap>>;
using GcPtr = std::unique_ptr<Xid, XidDeleter<&xcb_free_gc>>;
using DamagePtr = std::unique_ptr<Xid, XidDeleter<&xcb_damage_destroy>>;
using ShmSegmentPtr = std::unique_ptr<Xid, XidDeleter<&xcb_shm_detach>>;
// Undoes our redirection; the server keeps others' (a compositor's) in place.
inline xcb_void_cookie_t unredirectWindow(xcb_connection_t* c, std::uint32_t window) {
  return xcb_composite_unredirect_window(c, window, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
}
using RedirectPtr = std::unique_ptr<Xid, XidDeleter<&unredirectWindow>>;

struct ShmMappingDeleter {
  void operator()(void* address) const { shmdt(address); }
};
using ShmMappingPtr = std::unique_ptr<void, ShmMappingDeleter>;

// One shared memory segment attached to the server, reused for every frame.
class ShmBuffer {
 public:
  // Null when the server cannot share memory with us (remote, or limits hit):
  // the caller then reads pixels over the socket instead.
  static std::unique_ptr<ShmBuffer> create(xcb_connection_t* c, std::size_t size);
  // The server detaches before we unmap: members go in reverse order.
  const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(mapping_.get()); }
  xcb_shm_seg_t segment() const { return segment_.get().value; }
  std::size_t size() const { return size_; }

 private:
  ShmBuffer() = default;
  ShmMappingPtr mapping_;
  ShmSegmentPtr segment_;
  std::size_t size_ = 0;
};

}  // namespace quorvale::platform::capture
