// A seeded dropper for the test network's camera-side egress (tc cls_bpf in
// direct-action mode: this kernel has no generic drop action to count for us).
// Datagram n of the UDP stream is dropped when a hash of (seed, n) falls
// under DROP_PPM in a million, so the same seed and the same traffic drop the
// same datagrams, and a test can compare exact counts. Built by testnet.sh
// with the three settings given as -D.
#include <linux/bpf.h>
#include <linux/if_ether.h>
#include <linux/in.h>
#include <linux/ip.h>
#include <linux/pkt_cls.h>
#include <linux/udp.h>

#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#ifndef DROP_PPM
#define DROP_PPM 0
#endif
#ifndef DROP_SEED
#define DROP_SEED 1
#endif
#ifndef DROP_PORT
#define DROP_PORT 0
#endif

// Read by `testnet.sh drops` from the object's .bss map.
__u64 datagrams_seen;
__u64 datagrams_dropped;

static __always_inline __u64 mix(__u64 x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

SEC("tc")
int drop_udp(struct __sk_buff* skb) {
  void* data = (void*)(long)skb->data;
  void* end = (void*)(long)skb->data_end;
  struct ethhdr* eth = data;
  if ((void*)(eth + 1) > end || eth->h_proto != bpf_htons(ETH_P_IP))
    return TC_ACT_OK;
  struct iphdr* ip = (void*)(eth + 1);
  if ((void*)(ip + 1) > end || ip->protocol != IPPROTO_UDP)
    return TC_ACT_OK;
  // A later fragment carries no UDP header; its datagram was judged by the
  // first.
  if (ip->frag_off & bpf_htons(0x1fff))
    return TC_ACT_OK;
  struct udphdr* udp = (void*)ip + ip->ihl * 4;
  if ((void*)(udp + 1) > end)
    return TC_ACT_OK;
  if (DROP_PORT != 0 && udp->dest != bpf_htons(DROP_PORT))
    return TC_ACT_OK;
  __u64 n = __sync_fetch_and_add(&datagrams_seen, 1);
  if (mix(n ^ ((__u64)DROP_SEED << 32)) % 1000000 < DROP_PPM) {
    __sync_fetch_and_add(&datagrams_dropped, 1);
    return TC_ACT_SHOT;
  }
  return TC_ACT_OK;
}

char LICENSE[] SEC("license") = "GPL";
