#include "lib/fake_zok.h"

#include <cerrno>

fake_zok fake;

extern "C" {

int zok_init(uint32_t) {
  return 0;
}
int zok_open_stream_pr(const uint32_t *, uint16_t, zok_stream_t *stream, const zok_open_params *,
                       void *) {
  *stream = reinterpret_cast<zok_stream_t>(0x5);
  return 0;
}
int zok_get_link_state(zok_stream_t, uint32_t *state) {
  *state = ZOK_LINK_UP;
  return 0;
}
int zok_get_timesource_state(zok_stream_t, uint32_t *state) {
  *state = ZOK_TIMESOURCE_LOCAL;
  return 0;
}
int zok_drop_packet(zok_stream_t, uint32_t, uint32_t) {
  return 0;
}
int zok_alloc(zok_stream_t, size_t, zok_buffer_t *) {
  return ENOMEM;
}
int zok_queue_buffer(zok_buffer_t) {
  ++fake.queue_calls;
  return fake.queue_rc;
}
int zok_poll_recv_pr(zok_stream_t, zok_block_desc *block, uint32_t, zok_block_status *status) {
  if (fake.next_poll >= fake.poll_results.size()) return EIO;
  int rc = fake.poll_results[fake.next_poll++];
  if (rc == 0) {
    *block = fake.blocks[fake.next_block++];
    *status = {};
    status->block_id = block->block_id;
  }
  return rc;
}
int zok_info(zok_stream_t, zok_info_record *info) {
  if (fake.closed) return EBADF;
  if (fake.during_info != nullptr) fake.during_info();
  if (fake.info_rc != 0) return fake.info_rc;
  *info = fake.info;
  return 0;
}
int zok_get_stats(zok_stream_t, zok_stats_record *stats) {
  if (fake.stats_rc != 0) return fake.stats_rc;
  *stats = fake.cleared ? fake.stats_after_clear : fake.stats;
  return 0;
}
int zok_clear_stats(zok_stream_t) {
  ++fake.clear_calls;
  fake.cleared = true;
  return 0;
}
int zok_close_stream(zok_stream_t) {
  fake.closed = true;
  return 0;
}
}
