/*
 * zok: GVSP stream receive library.
 *
 * The C interface shared by the receivers (plaingrab, workergrab), the
 * adapter naming tool (niclabel) and the library (libzok.so).
 *
 * Conventions:
 *  - Every operation returns 0 on success or a positive errno value; never -1.
 *  - Every record is little-endian, caller-allocated and filled by the
 *    library; the stream handle and buffer descriptor are opaque values.
 *  - Records keep the byte layout fixed below; reserved members are bytes the
 *    callers do not read but must provide room for.
 */
#ifndef ZOK_ZOK_H
#define ZOK_ZOK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The only interface version zok_init accepts. */
#define ZOK_INTERFACE_VERSION 258u

/* Stream open flags (zok_open_params.flags). */
#define ZOK_FLAG_PACKET_RESEND 0x02u    /* ask the sender for lost packets */
#define ZOK_FLAG_DROP_INCOMPLETE 0x04u  /* drop, do not return, incomplete blocks */
#define ZOK_FLAG_DEFAULT_ON 0x08u       /* always set by the receivers */
#define ZOK_FLAG_GEV2 0x10u             /* GigE Vision 2.x stream: extended ids */

/* Block out-of-order action (zok_open_params.booo). */
#define ZOK_BOOO_ALWAYS_DROP 1u
#define ZOK_BOOO_ALWAYS_RETURN 2u
#define ZOK_BOOO_RETURN_LT 3u
#define ZOK_BOOO_RETURN_GT 4u

/* Payload types of the block descriptor. */
#define GVSP_PAYLOAD_TYPE_IMAGE 1u
#define GVSP_PAYLOAD_TYPE_RAW_DATA 2u
#define GVSP_PAYLOAD_TYPE_FILE 3u
#define GVSP_PAYLOAD_TYPE_CHUNK_DATA 4u
#define GVSP_PAYLOAD_TYPE_EXTENDED_CHUNK 5u

/* zok_get_link_state. */
#define ZOK_LINK_DOWN 0u
#define ZOK_LINK_UP 1u

/* zok_get_timesource_state. */
#define ZOK_TIMESOURCE_LOCAL 0u
#define ZOK_TIMESOURCE_NOT_SYNCHRONIZED 1u
#define ZOK_TIMESOURCE_SYNCHRONIZED 2u
#define ZOK_TIMESOURCE_NIC_FAILURE 3u

/*
 * Status of a returned block (zok_block_desc.status, zok_block_status.status).
 * GEV stream status codes are used where one fits; 0xC0xx are the library's
 * own. A status a sender put on its packets is passed through.
 */
#define ZOK_BLOCK_STATUS_OK 0x0000u
#define ZOK_BLOCK_STATUS_PACKET_UNAVAILABLE 0x800Cu /* packets missing: resends spent or refused */
#define ZOK_BLOCK_STATUS_DATA_OVERRUN 0x800Du       /* data past the end of the buffer */
#define ZOK_BLOCK_STATUS_BLOCK_TIMEOUT 0xC001u      /* block timeout expired before it ended */

typedef struct zok_stream *zok_stream_t; /* opaque stream handle */
typedef struct zok_buffer *zok_buffer_t; /* opaque buffer descriptor */

/* Stream open parameters: 40 bytes. */
typedef struct zok_open_params {
  uint32_t flags;          /* ZOK_FLAG_* */
  uint32_t block_timeout;  /* ms, 0 = library default */
  uint32_t resend_timeout; /* ms, 0 = library default */
  uint32_t num_retries;    /* resend requests per packet at most */
  uint32_t booo;           /* ZOK_BOOO_* */
  uint8_t reserved[12];
  uint32_t resend_addr; /* IPv4, network byte order */
  uint16_t resend_port; /* host byte order, 0 = 3956 */
  uint16_t channel;     /* GVSP stream channel index */
} zok_open_params;

/* Leader and trailer fields of the block descriptor, by payload type. */
typedef struct zok_image_fields {
  uint32_t pixel_type;
  uint32_t size_x;
  uint32_t size_y;
  uint32_t offset_x;
  uint32_t offset_y;
  uint32_t padding_x;
  uint32_t padding_y;
  uint32_t trailer_size_y;
} zok_image_fields;

typedef struct zok_raw_data_fields {
  uint64_t payload_data_size;
} zok_raw_data_fields;

typedef struct zok_file_fields {
  uint64_t payload_data_size;
  char filename[48]; /* NUL-terminated, cut to fit */
} zok_file_fields;

typedef struct zok_chunk_data_fields {
  uint64_t data_payload_len;
} zok_chunk_data_fields;

typedef struct zok_extended_chunk_fields {
  uint32_t reserved0;
  uint32_t pixel_type;
  uint32_t size_x;
  uint32_t size_y;
  uint32_t offset_x;
  uint32_t offset_y;
  uint32_t padding_x;
  uint32_t padding_y;
  uint32_t trailer_size_y;
  uint32_t reserved1;
  uint64_t data_payload_len;
  uint32_t chunk_layout_id;
  uint32_t reserved2;
} zok_extended_chunk_fields;

/* Block descriptor: 128 bytes, filled by zok_poll_recv_pr. */
typedef struct zok_block_desc {
  uint16_t payload_type;
  uint16_t reserved0;
  uint32_t payload_length; /* data bytes the block's packets span */
  void *payload;           /* first data byte; valid until requeued */
  zok_buffer_t buffer;     /* hand back with zok_queue_buffer */
  uint16_t status;         /* ZOK_BLOCK_STATUS_* or the sender's */
  uint8_t reserved1[6];
  uint64_t block_id;
  uint32_t timestamp;      /* leader timestamp, low 32 bits */
  uint32_t timestamp_high; /* leader timestamp, high 32 bits */
  uint64_t epoch_time_ns;  /* kernel receive time of the last packet, 0 if none */
  uint8_t reserved2[16];
  union {
    zok_image_fields image;
    zok_raw_data_fields raw_data;
    zok_file_fields file;
    zok_chunk_data_fields chunk_data;
    zok_extended_chunk_fields extended_chunk;
    uint8_t fields[56];
  };
} zok_block_desc;

/* Block status record: 32 bytes, filled with each returned block. */
typedef struct zok_block_status {
  uint32_t status;
  uint32_t reserved0;
  uint64_t block_id;
  uint32_t dropped_packet_id; /* forced drop, else first packet asked for, else 0 */
  uint32_t resend_request;    /* resend commands sent for this block */
  uint16_t next_request_id;   /* request id the next command will carry */
  uint8_t reserved1[6];
} zok_block_status;

/* Information record: 24 bytes. */
typedef struct zok_info_record {
  uint64_t datagrams_refused; /* datagrams dropped as malformed or foreign */
  uint64_t blocks_dropped;  /* Blocks Dropped + Blocks Not Available + blocks never seen */
  uint64_t blocks_received; /* blocks handed to the program */
} zok_info_record;

/*
 * I/O failures of a stream: 32 bytes, filled by zok_get_io_errors. The
 * information and statistics records have no room left, and a failure the
 * engine survives must still show.
 */
typedef struct zok_io_errors {
  uint64_t receive_errors;       /* failed recvmmsg or poll on the stream socket */
  uint64_t send_errors;          /* failed sendto of a resend command */
  uint64_t resends_unsent;       /* resend commands that never left, send errors included */
  uint64_t socket_option_errors; /* socket options refused at open (see man 3 libzok) */
} zok_io_errors;

/*
 * What the engine saw beyond the statistics record: 32 bytes, filled by
 * zok_get_engine_stats (see man 3 libzok). Blocks never seen are also in the
 * information record's blocks dropped.
 */
typedef struct zok_engine_stats {
  uint64_t blocks_unseen;          /* block ids the sender went past, no packet of them seen */
  uint64_t spurious_resends;       /* packets asked for that then came on their own */
  uint64_t reorder_window_ns;      /* how long a gap waits now before it is asked for */
  uint64_t reorder_window_peak_ns; /* the widest it has been since the stream opened or was cleared */
} zok_engine_stats;

/* Statistics record: 160 bytes of counters. */
typedef struct zok_stats_record {
  uint64_t blocks_dropped;
  uint64_t blocked_blocks_dropped;
  uint64_t blocks_complete;
  uint64_t blocks_incomplete;
  uint64_t blocks_not_available;
  uint64_t resend_requests;
  uint64_t resend_requests_ok;
  uint64_t resend_requests_failed;
  uint64_t block_timeouts;
  uint64_t resend_timeouts;
  uint64_t max_resend_retries;
  uint64_t buffers_allocated;
  uint64_t buffers_freed;
  uint64_t buffers_enqueued;
  uint64_t stream_stopped;
  uint64_t stream_started;
  uint64_t stream_blocked;
  uint64_t stream_unblocked;
  uint64_t callbacks_invoked;
  uint64_t kernel_drops; /* dropped by the kernel at the stream's socket: full buffer or bad
                            checksum (AF_XDP: full ring or no free frame) */
} zok_stats_record;

/* Worker status record: 16 bytes. */
typedef struct zok_worker_status {
  uint32_t thread_state;
  uint32_t thread_mode;
  uint32_t block_processing_mode;
  uint32_t reserved;
} zok_worker_status;

/*
 * Request-id callback: the library asks for a range of packet resend
 * request ids. May run on the library's receive worker thread.
 */
typedef void (*zok_req_id_fn)(void *context, uint16_t *start_request_id, uint16_t *max_requests);

int zok_init(uint32_t interface_version);

int zok_open_stream_pr(const uint32_t *local_addr, uint16_t local_port, zok_stream_t *stream,
                       const zok_open_params *params, void *reserved);
int zok_get_link_state(zok_stream_t stream, uint32_t *link_state);
int zok_get_timesource_state(zok_stream_t stream, uint32_t *timesource_state);
int zok_drop_packet(zok_stream_t stream, uint32_t block_number, uint32_t packet_number);
int zok_alloc(zok_stream_t stream, size_t size, zok_buffer_t *buffer);
int zok_queue_buffer(zok_buffer_t buffer);
int zok_poll_recv_pr(zok_stream_t stream, zok_block_desc *block, uint32_t mode,
                     zok_block_status *block_status);
int zok_info(zok_stream_t stream, zok_info_record *info);
int zok_get_stats(zok_stream_t stream, zok_stats_record *stats);
int zok_clear_stats(zok_stream_t stream);
int zok_get_io_errors(zok_stream_t stream, zok_io_errors *errors);
int zok_get_engine_stats(zok_stream_t stream, zok_engine_stats *stats);
int zok_close_stream(zok_stream_t stream);

/*
 * How a stream receives (see ZOK_RECEIVE in man 3 libzok): through its UDP
 * socket, through AF_XDP sockets in copy or zero-copy mode, or through a
 * packet socket's ring.
 */
#define ZOK_RECEIVE_PATH_SOCKET 0u
#define ZOK_RECEIVE_PATH_XDP_COPY 1u
#define ZOK_RECEIVE_PATH_XDP_ZEROCOPY 2u
#define ZOK_RECEIVE_PATH_PACKET_RING 3u
int zok_get_receive_path(zok_stream_t stream, uint32_t *path);

int zok_create_recv_worker(zok_stream_t stream, uint32_t worker_setting, zok_req_id_fn req_id);
int zok_start_recv_worker(zok_stream_t stream);
int zok_stop_recv_worker(zok_stream_t stream);
int zok_block_recv_worker(zok_stream_t stream);
int zok_unblock_recv_worker(zok_stream_t stream);
int zok_get_status_recv_worker(zok_stream_t stream, zok_worker_status *status);

int zok_get_name(const char *adapter, char **name);
int zok_set_name(const char *adapter, const char *name);
int zok_reset_name(const char *adapter);
int zok_reset_all_name(void);

#ifdef __cplusplus
}
#define ZOK_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define ZOK_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

ZOK_STATIC_ASSERT(sizeof(zok_open_params) == 40, "stream open parameters are 40 bytes");
ZOK_STATIC_ASSERT(offsetof(zok_open_params, flags) == 0, "flags");
ZOK_STATIC_ASSERT(offsetof(zok_open_params, block_timeout) == 4, "block_timeout");
ZOK_STATIC_ASSERT(offsetof(zok_open_params, resend_timeout) == 8, "resend_timeout");
ZOK_STATIC_ASSERT(offsetof(zok_open_params, num_retries) == 12, "num_retries");
ZOK_STATIC_ASSERT(offsetof(zok_open_params, booo) == 16, "booo");
ZOK_STATIC_ASSERT(offsetof(zok_open_params, reserved) == 20, "reserved");
ZOK_STATIC_ASSERT(offsetof(zok_open_params, resend_addr) == 32, "resend_addr");
ZOK_STATIC_ASSERT(offsetof(zok_open_params, resend_port) == 36, "resend_port");
ZOK_STATIC_ASSERT(offsetof(zok_open_params, channel) == 38, "channel");

ZOK_STATIC_ASSERT(sizeof(zok_block_desc) == 128, "block descriptor is 128 bytes");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, payload_type) == 0, "payload_type");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, payload_length) == 4, "payload_length");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, payload) == 8, "payload");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, buffer) == 16, "buffer");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, status) == 24, "status");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, block_id) == 32, "block_id");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, timestamp) == 40, "timestamp");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, timestamp_high) == 44, "timestamp_high");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, epoch_time_ns) == 48, "epoch_time_ns");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, image.pixel_type) == 72, "image.pixel_type");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, image.size_x) == 76, "image.size_x");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, image.size_y) == 80, "image.size_y");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, image.offset_x) == 84, "image.offset_x");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, image.offset_y) == 88, "image.offset_y");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, image.padding_x) == 92, "image.padding_x");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, image.padding_y) == 96, "image.padding_y");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, image.trailer_size_y) == 100, "image.trailer_size_y");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, raw_data.payload_data_size) == 72, "raw_data");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, file.payload_data_size) == 72, "file.payload_data_size");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, file.filename) == 80, "file.filename");
ZOK_STATIC_ASSERT(sizeof(((zok_block_desc *)0)->file.filename) == 48, "filename fills the record");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, chunk_data.data_payload_len) == 72, "chunk_data");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, extended_chunk.pixel_type) == 76, "ext.pixel_type");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, extended_chunk.size_x) == 80, "ext.size_x");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, extended_chunk.size_y) == 84, "ext.size_y");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, extended_chunk.offset_x) == 88, "ext.offset_x");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, extended_chunk.offset_y) == 92, "ext.offset_y");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, extended_chunk.padding_x) == 96, "ext.padding_x");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, extended_chunk.padding_y) == 100, "ext.padding_y");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, extended_chunk.trailer_size_y) == 104, "ext.trailer_size_y");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, extended_chunk.data_payload_len) == 112, "ext.data_payload_len");
ZOK_STATIC_ASSERT(offsetof(zok_block_desc, extended_chunk.chunk_layout_id) == 120, "ext.chunk_layout_id");

ZOK_STATIC_ASSERT(sizeof(zok_block_status) == 32, "block status record is 32 bytes");
ZOK_STATIC_ASSERT(offsetof(zok_block_status, status) == 0, "status");
ZOK_STATIC_ASSERT(offsetof(zok_block_status, block_id) == 8, "block_id");
ZOK_STATIC_ASSERT(offsetof(zok_block_status, dropped_packet_id) == 16, "dropped_packet_id");
ZOK_STATIC_ASSERT(offsetof(zok_block_status, resend_request) == 20, "resend_request");
ZOK_STATIC_ASSERT(offsetof(zok_block_status, next_request_id) == 24, "next_request_id");

ZOK_STATIC_ASSERT(sizeof(zok_info_record) == 24, "information record is 24 bytes");
ZOK_STATIC_ASSERT(offsetof(zok_info_record, blocks_dropped) == 8, "blocks_dropped");
ZOK_STATIC_ASSERT(offsetof(zok_info_record, blocks_received) == 16, "blocks_received");

ZOK_STATIC_ASSERT(sizeof(zok_stats_record) == 160, "statistics record is 160 bytes");
ZOK_STATIC_ASSERT(sizeof(zok_io_errors) == 32, "I/O error record is 32 bytes");
ZOK_STATIC_ASSERT(sizeof(zok_engine_stats) == 32, "engine record is 32 bytes");
ZOK_STATIC_ASSERT(offsetof(zok_stats_record, blocks_dropped) == 0, "blocks_dropped");
ZOK_STATIC_ASSERT(offsetof(zok_stats_record, blocked_blocks_dropped) == 8, "blocked_blocks_dropped");
ZOK_STATIC_ASSERT(offsetof(zok_stats_record, blocks_complete) == 16, "blocks_complete");
ZOK_STATIC_ASSERT(offsetof(zok_stats_record, blocks_incomplete) == 24, "blocks_incomplete");
ZOK_STATIC_ASSERT(offsetof(zok_stats_record, blocks_not_available) == 32, "blocks_not_available");
ZOK_STATIC_ASSERT(offsetof(zok_stats_record, resend_requests) == 40, "resend_requests");
ZOK_STATIC_ASSERT(offsetof(zok_stats_record, resend_requests_ok) == 48, "resend_requests_ok");
ZOK_STATIC_ASSERT(offsetof(zok_stats_record, resend_requests_failed) == 56, "resend_requests_failed");
ZOK_STATIC_ASSERT(offsetof(zok_stats_record, block_timeouts) == 64, "block_timeouts");
ZOK_STATIC_ASSERT(offsetof(zok_stats_record, resend_timeouts) == 72, "resend_timeouts");
ZOK_STATIC_ASSERT(offsetof(zok_stats_record, max_resend_retries) == 80, "max_resend_retries");
ZOK_STATIC_ASSERT(offsetof(zok_stats_record, buffers_allocated) == 88, "buffers_allocated");
ZOK_STATIC_ASSERT(offsetof(zok_stats_record, buffers_freed) == 96, "buffers_freed");
ZOK_STATIC_ASSERT(offsetof(zok_stats_record, buffers_enqueued) == 104, "buffers_enqueued");
ZOK_STATIC_ASSERT(offsetof(zok_stats_record, stream_stopped) == 112, "stream_stopped");
ZOK_STATIC_ASSERT(offsetof(zok_stats_record, stream_started) == 120, "stream_started");
ZOK_STATIC_ASSERT(offsetof(zok_stats_record, stream_blocked) == 128, "stream_blocked");
ZOK_STATIC_ASSERT(offsetof(zok_stats_record, stream_unblocked) == 136, "stream_unblocked");
ZOK_STATIC_ASSERT(offsetof(zok_stats_record, callbacks_invoked) == 144, "callbacks_invoked");
ZOK_STATIC_ASSERT(offsetof(zok_stats_record, kernel_drops) == 152, "kernel_drops");

ZOK_STATIC_ASSERT(sizeof(zok_worker_status) == 16, "worker status record is 16 bytes");
ZOK_STATIC_ASSERT(offsetof(zok_worker_status, thread_state) == 0, "thread_state");
ZOK_STATIC_ASSERT(offsetof(zok_worker_status, thread_mode) == 4, "thread_mode");
ZOK_STATIC_ASSERT(offsetof(zok_worker_status, block_processing_mode) == 8, "block_processing_mode");

#undef ZOK_STATIC_ASSERT

#endif /* ZOK_ZOK_H */
