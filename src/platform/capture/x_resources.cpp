#include "platform/capture/x_resources.h"

#include <sys/ipc.h>

#include "platform/capture/x11_connection.h"

namespace quorvale::platform::capture {
namespace {

// Marks the SysV segment for removal: it then lives only as long as its attachments.
struct ShmIdRemover {
  int id;
  ~ShmIdRemover() { shmctl(id, IPC_RMID, nullptr); }
};

}  // namespace

std::unique_ptr<ShmBuffer> ShmBuffer::create(xcb_connection_t* c, std::size_t size) {
  const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (id < 0) return nullptr;
  ShmIdRemover remover{id};
  ShmMappingPtr mapping(shmat(id, nullptr, 0));
  if (mapping.get() == reinterpret_cast<void*>(-1)) {
    (void)mapping.release();
    return nullptr;
  }
  const xcb_shm_seg_t segment = xcb_generate_id(c);
  ErrorPtr error(xcb_request_check(c, xcb_shm_attach_checked(c, segment, static_cast<std::uint32_t>(id), 0)));
  if (error) return nullptr;
  auto buffer = std::unique_ptr<ShmBuffer>(new ShmBuffer);
  buffer->mapping_ = std::move(mapping);
  buffer->segment_ = ShmSegmentPtr(Xid(segment), {c});
  buffer->size_ = size;
  return buffer;
}

}  // namespace quorvale::platform::capture
