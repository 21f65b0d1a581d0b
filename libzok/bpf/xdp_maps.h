// What the XDP program and the library agree on: the layout of the program's
// maps and the stamp it writes into each frame. Plain C, for both
// compilers.
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
  // when every source goes to the stream's sockets. A port of 0 is any
  // port of that host.
  __u32 sender;
  __u16 sender_port;
  // Set by the program when a datagram of the stream came as IP fragments:
  // the kernel puts those together for the stream's socket, so from then
  // on the whole stream goes there, in the order it came.
  __u16 fragmented;
};

// Over the Ethernet addresses of every frame the program steers, which no
// one reads past it: when it ran, on CLOCK_MONOTONIC, the engine's own
// clock. AF_XDP has no receive stamp of its own, and a frame stamped only
// when the engine gets round to it would make a receiver held off its CPU
// judge in-time packets late. (Metadata in front of the frame would leave
// it whole, but the kernel refuses this program the helper that makes room
// for it.)
struct zok_xdp_stamp {
  __u64 arrival_ns;
  __u32 magic;  // ZOK_XDP_STAMP_MAGIC
};
#define ZOK_XDP_STAMP_MAGIC 0x7a6f6b6dU

#endif
