// Steers the streams' datagrams into their AF_XDP sockets, each stamped with
// when it came, and leaves every other packet to the kernel: ARP, the
// answers to control traffic, IP fragments (the kernel reassembles them for
// the stream's ordinary socket), anything for other ports, and, once a
// stream has locked onto its sender, what other hosts send to it, which the
// stream's socket receives and the engine refuses there as on the socket
// path. The receiver checks every length again: this program only decides
// where a frame goes.
#include <linux/bpf.h>
#include <linux/if_ether.h>
#include <linux/in.h>
#include <linux/ip.h>
#include <linux/udp.h>
// After the kernel's types, which they use.
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#include "xdp_maps.h"

// One socket per stream and receive queue.
struct {
  __uint(type, BPF_MAP_TYPE_XSKMAP);
  __uint(max_entries, ZOK_XDP_MAX_STREAMS *ZOK_XDP_MAX_QUEUES);
  __type(key, __u32);
  __type(value, __u32);
} zok_sockets SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, ZOK_XDP_MAX_STREAMS);
  __type(key, struct zok_xdp_key);
  __type(value, struct zok_xdp_stream);
} zok_streams SEC(".maps");

// Frames larger than a page arrive in pieces on a jumbo MTU; the headers are
// always in the first.
SEC("xdp.frags")
int zok_redirect(struct xdp_md *ctx) {
  void *data = (void *)(long)ctx->data;
  void *end = (void *)(long)ctx->data_end;
  struct ethhdr *eth = data;
  if ((void *)(eth + 1) > end || eth->h_proto != bpf_htons(ETH_P_IP)) return XDP_PASS;
  struct iphdr *ip = (void *)(eth + 1);
  // Options are rare enough on a camera link to leave to the kernel.
  if ((void *)(ip + 1) > end || ip->ihl != 5 || ip->protocol != IPPROTO_UDP) return XDP_PASS;
  const int fragment = (ip->frag_off & bpf_htons(0x3FFF)) != 0;
  // Only a datagram's first fragment carries its UDP header.
  if (fragment && (ip->frag_off & bpf_htons(0x1FFF)) != 0) return XDP_PASS;
  struct udphdr *udp = (void *)(ip + 1);
  if ((void *)(udp + 1) > end) return XDP_PASS;
  struct zok_xdp_key key = {.addr = ip->daddr, .port = udp->dest, .unused = 0};
  struct zok_xdp_stream *stream = bpf_map_lookup_elem(&zok_streams, &key);
  if (!stream) return XDP_PASS;
  if (stream->sender != 0 && ip->saddr != stream->sender) return XDP_PASS;
  if (stream->sender_port != 0 && udp->source != stream->sender_port) return XDP_PASS;
  if (fragment) {
    // Its pieces go to the kernel; were the stream's whole datagrams to go
    // on through the rings, the engine would see them overtake the
    // reassembled ones. Only the sender's count (once there is one), and
    // set on every first fragment, so a lock of the sender written over it
    // meanwhile does not undo it for long.
    stream->fragmented = 1;
    return XDP_PASS;
  }
  if (stream->fragmented) return XDP_PASS;
  __u32 queue = ctx->rx_queue_index;
  if (queue >= ZOK_XDP_MAX_QUEUES) return XDP_PASS;
  const __u32 socket = stream->slot * ZOK_XDP_MAX_QUEUES + queue;
  // A queue without a socket passes its frames on rather than losing them,
  // unstamped: the kernel reads the addresses the stamp takes.
  if (!bpf_map_lookup_elem(&zok_sockets, &socket)) return XDP_PASS;
  struct zok_xdp_stamp *stamp = data;
  if ((void *)(stamp + 1) > end) return XDP_PASS;
  stamp->arrival_ns = bpf_ktime_get_ns();
  stamp->magic = ZOK_XDP_STAMP_MAGIC;
  return bpf_redirect_map(&zok_sockets, socket, XDP_PASS);
}

char LICENSE[] SEC("license") = "GPL";
