// What the XDP program and the library agree on: the layout of the program's
// maps. Plain C, for both compilers.
#ifndef ZOK_BPF_XDP_MAPS_H
#define ZOK_BPF_XDP_MAPS_H

#include <linux/types.h>

// Streams of one process on one interface, and receive queues per
// interface: a stream's socket for queue q sits at slot * zok_xdp_max_queues
// + q of the socket map.
#define ZOK_XDP_MAX_STREAMS 64
#define ZOK_XDP_MAX_QUEUES 64

// A stream's local address and UDP port, network byte order.
struct zok_xdp_key {
  __u32 addr;
  __u16 port;
  __u16 unused;
};

struct zok_xdp_stream {
  __u32 slot;
  // The source the engine locked onto, network byte order; 0 until then,
  // when every source goes to the stream's sockets.
  __u32 sender;
};

#endif
