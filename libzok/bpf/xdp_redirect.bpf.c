// Steers one stream's datagrams into the AF_XDP sockets and leaves every
// other packet to the kernel: ARP, the answers to control traffic, IP
// fragments (the kernel reassembles them for the stream's ordinary socket)
// and anything for other ports. The receiver checks every length again: this
// program only decides where a frame goes.
#include <linux/bpf.h>
#include <linux/if_ether.h>
#include <linux/in.h>
#include <linux/ip.h>
#include <linux/udp.h>
// After the kernel's types, which they use.
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

// One socket per receive queue, at the queue's index.
struct {
  __uint(type, BPF_MAP_TYPE_XSKMAP);
  __uint(max_entries, 64);
  __type(key, __u32);
  __type(value, __u32);
} zok_sockets SEC(".maps");

// The stream's local address and port, network byte order.
struct zok_dest {
  __u32 addr;
  __u16 port;
  __u16 unused;
};

struct {
  __uint(type, BPF_MAP_TYPE_ARRAY);
  __uint(max_entries, 1);
  __type(key, __u32);
  __type(value, struct zok_dest);
} zok_dest_map SEC(".maps");

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
  if ((ip->frag_off & bpf_htons(0x3FFF)) != 0) return XDP_PASS;
  struct udphdr *udp = (void *)(ip + 1);
  if ((void *)(udp + 1) > end) return XDP_PASS;
  __u32 key = 0;
  struct zok_dest *dest = bpf_map_lookup_elem(&zok_dest_map, &key);
  if (!dest || ip->daddr != dest->addr || udp->dest != dest->port) return XDP_PASS;
  // A queue without a socket passes its frames on rather than losing them.
  return bpf_redirect_map(&zok_sockets, ctx->rx_queue_index, XDP_PASS);
}

char LICENSE[] SEC("license") = "GPL";
