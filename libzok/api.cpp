// The stream operations of zok/zok.h: argument checks and handle lookups,
// then the stream. No exception crosses this boundary.
#include <zok/zok.h>

#include <cerrno>
#include <memory>

#include "export_internal.h"
#include "handles_internal.h"
#include "init_internal.h"
#include "stream_internal.h"

namespace {

using zok::Stream;

template <typename Operation>
int on_stream(zok_stream_t handle, Operation operation) noexcept {
  if (!zok::library_initialized()) return EPERM;
  Stream *stream = zok::find_stream(handle);
  if (stream == nullptr) return EINVAL;
  try {
    return operation(*stream);
  } catch (...) {
    return ENOMEM;
  }
}

template <typename Operation>
int on_counters(zok_stream_t handle, Operation operation) noexcept {
  if (!zok::library_initialized()) return EPERM;
  zok::Counters *counters = zok::find_counters(handle);
  if (counters == nullptr) return EINVAL;
  operation(*counters);
  return 0;
}

}  // namespace

ZOK_EXPORT int zok_open_stream_pr(const uint32_t *local_addr, uint16_t local_port,
                                  zok_stream_t *stream, const zok_open_params *params,
                                  void *reserved) {
  if (!zok::library_initialized()) return EPERM;
  if (local_addr == nullptr || stream == nullptr || params == nullptr || reserved != nullptr) {
    return EINVAL;
  }
  if (params->booo < ZOK_BOOO_ALWAYS_DROP || params->booo > ZOK_BOOO_RETURN_GT) return EINVAL;
  zok::OpenRequest request;
  request.local_addr = *local_addr;
  request.local_port = local_port;
  request.params = *params;
  zok::StreamId id;
  if (!zok::reserve_slot(id)) return EMFILE;
  std::unique_ptr<Stream> opened;
  int error = 0;
  try {
    error = Stream::open(request, id, opened);
  } catch (...) {
    error = ENOMEM;
  }
  if (error != 0) {
    opened.reset();
    zok::release_slot(id);
    return error;
  }
  zok::install_stream(std::move(opened), id);
  *stream = zok::stream_handle(id);
  return 0;
}

ZOK_EXPORT int zok_get_link_state(zok_stream_t stream, uint32_t *link_state) {
  if (link_state == nullptr) return zok::library_initialized() ? EINVAL : EPERM;
  return on_stream(stream, [&](Stream &s) { return s.link_state(*link_state); });
}

ZOK_EXPORT int zok_get_timesource_state(zok_stream_t stream, uint32_t *timesource_state) {
  if (timesource_state == nullptr) return zok::library_initialized() ? EINVAL : EPERM;
  return on_stream(stream, [&](Stream &) {
    *timesource_state = ZOK_TIMESOURCE_LOCAL;
    return 0;
  });
}

ZOK_EXPORT int zok_drop_packet(zok_stream_t stream, uint32_t block_number, uint32_t packet_number) {
  return on_stream(stream, [&](Stream &s) {
    if (block_number == 0 || packet_number == 0) return EINVAL;
    s.arm_drop(block_number, packet_number);
    return 0;
  });
}

ZOK_EXPORT int zok_alloc(zok_stream_t stream, size_t size, zok_buffer_t *buffer) {
  if (buffer == nullptr) return zok::library_initialized() ? EINVAL : EPERM;
  return on_stream(stream, [&](Stream &s) { return s.alloc(size, *buffer); });
}

ZOK_EXPORT int zok_queue_buffer(zok_buffer_t buffer) {
  if (!zok::library_initialized()) return EPERM;
  Stream *s = nullptr;
  zok::Buffer *b = zok::find_buffer(buffer, &s);
  if (b == nullptr) return EINVAL;
  return s->queue(*b);
}

ZOK_EXPORT int zok_poll_recv_pr(zok_stream_t stream, zok_block_desc *block, uint32_t mode,
                                zok_block_status *block_status) {
  if (block == nullptr || block_status == nullptr || mode != 1) {
    return zok::library_initialized() ? EINVAL : EPERM;
  }
  return on_stream(stream, [&](Stream &s) { return s.poll(*block, *block_status); });
}

ZOK_EXPORT int zok_info(zok_stream_t stream, zok_info_record *info) {
  if (info == nullptr) return zok::library_initialized() ? EINVAL : EPERM;
  return on_counters(stream, [&](const zok::Counters &c) { c.snapshot(*info); });
}

ZOK_EXPORT int zok_get_stats(zok_stream_t stream, zok_stats_record *stats) {
  if (stats == nullptr) return zok::library_initialized() ? EINVAL : EPERM;
  return on_counters(stream, [&](const zok::Counters &c) { c.snapshot(*stats); });
}

ZOK_EXPORT int zok_get_io_errors(zok_stream_t stream, zok_io_errors *errors) {
  if (errors == nullptr) return zok::library_initialized() ? EINVAL : EPERM;
  return on_counters(stream, [&](const zok::Counters &c) { c.snapshot(*errors); });
}

ZOK_EXPORT int zok_get_engine_stats(zok_stream_t stream, zok_engine_stats *stats) {
  if (stats == nullptr) return zok::library_initialized() ? EINVAL : EPERM;
  return on_counters(stream, [&](const zok::Counters &c) { c.snapshot(*stats); });
}

ZOK_EXPORT int zok_get_receive_path(zok_stream_t stream, uint32_t *path) {
  if (path == nullptr) return zok::library_initialized() ? EINVAL : EPERM;
  return on_stream(stream, [&](const Stream &s) {
    *path = static_cast<uint32_t>(s.receive_path());
    return 0;
  });
}

ZOK_EXPORT int zok_clear_stats(zok_stream_t stream) {
  return on_counters(stream, [](zok::Counters &c) { c.clear(); });
}

ZOK_EXPORT int zok_close_stream(zok_stream_t stream) {
  if (!zok::library_initialized()) return EPERM;
  std::unique_ptr<Stream> s = zok::remove_stream(stream);
  if (!s) return EINVAL;
  s.reset();
  return 0;
}

ZOK_EXPORT int zok_create_recv_worker(zok_stream_t stream, uint32_t worker_setting,
                                      zok_req_id_fn req_id) {
  return on_stream(stream, [&](Stream &s) { return s.create_worker(worker_setting, req_id); });
}

ZOK_EXPORT int zok_start_recv_worker(zok_stream_t stream) {
  return on_stream(stream, [](Stream &s) { return s.start_worker(); });
}

ZOK_EXPORT int zok_stop_recv_worker(zok_stream_t stream) {
  return on_stream(stream, [](Stream &s) { return s.stop_worker(); });
}

ZOK_EXPORT int zok_block_recv_worker(zok_stream_t stream) {
  return on_stream(stream, [](Stream &s) { return s.block_worker(); });
}

ZOK_EXPORT int zok_unblock_recv_worker(zok_stream_t stream) {
  return on_stream(stream, [](Stream &s) { return s.unblock_worker(); });
}

ZOK_EXPORT int zok_get_status_recv_worker(zok_stream_t stream, zok_worker_status *status) {
  if (status == nullptr) return zok::library_initialized() ? EINVAL : EPERM;
  return on_stream(stream, [&](Stream &s) { return s.worker_status(*status); });
}
