// Every fixed text strobix prints.
#pragma once

inline constexpr const char usage_text[] =
    "strobix [args] <dest IP>:<port>\n"
    "  -c               payload pattern for --verify-payload: in every 4-byte word, bytes 0-1 hold "
    "the\n"
    "                   low 16 bits of the block id (network order), bytes 2-3 the word's index "
    "(low 16 bits)\n"
    "  -n <blocks>      blocks to send (default 1, -1 = until stopped)\n"
    "  -s <bytes>       data bytes per block (default 1048576)\n"
    "  -k <bytes>       packet size as a device's stream packet size: IP + UDP + GVSP header + "
    "data (default 1500)\n"
    "  -y <type>        image, raw, file, chunk, extchunk (default raw); -g <W>x<H> sets image "
    "geometry (Mono8)\n"
    "  -r <blocks/s>    block rate; -R <Mbit/s> bandwidth cap (default: as fast as the socket "
    "takes them)\n"
    "  -2               GigE Vision 2.x stream: extended headers, 64-bit block ids\n"
    "  -I <id>          first block id (default 1; 16-bit ids wrap 65535 -> 1)\n"
    "  -l <IP>[:<port>] local address of the stream socket, which also takes resend requests "
    "(default 0.0.0.0:3956)\n"
    "  -H <blocks>      blocks kept to answer resend requests (default 64)\n"
    "  -W <ms>          after the last block, keep answering resend requests this long (default "
    "500)\n"
    "  -L <percent>     drop this share of packets when first sent (resent packets are never "
    "dropped)\n"
    "  --drop <blk>:<pkt>  drop this packet of this block when first sent (repeatable)\n"
    "  --seed <n>       seed of the generator behind -L and -O (default 1: runs repeat exactly)\n"
    "  -O[<n>]          send each block's payload packets out of order: shuffled, or (-O<n>) each\n"
    "                   at most n places from its own; -U send each twice\n"
    "  -a               send blocks that fit one packet as all-in packets\n"
    "  -T <seconds>     stop after this many seconds; -v one line per block and per resend "
    "request\n";

inline constexpr const char text_unknown_option[] = "Unrecognized option\n";
inline constexpr const char text_missing_value[] = "Option -%c needs a value\n";
inline constexpr const char text_missing_long_value[] = "Option --%s needs a value\n";
inline constexpr const char text_bad_value[] = "Bad value for %s: %s\n";
inline constexpr const char text_no_destination[] = "No destination <dest IP>:<port> given\n";
inline constexpr const char text_extra_argument[] = "Unexpected argument: %s\n";
inline constexpr const char text_bad_destination[] = "Bad destination (want <IP>:<port>): %s\n";
inline constexpr const char text_bad_local[] = "Bad local address (want <IP>[:<port>]): %s\n";
inline constexpr const char text_size_geometry[] = "-s %llu disagrees with -g %ux%u\n";
inline constexpr const char text_too_many_packets[] =
    "A block of %llu bytes needs %llu packets of %llu data bytes: more than the packet id holds\n";
inline constexpr const char text_packet_too_small[] =
    "Packet size %llu leaves no room for the leader and data (at least %llu)\n";
inline constexpr const char text_first_id_width[] = "First block id %llu does not fit 16-bit ids\n";

inline constexpr const char text_socket_failed[] = "%s : %s (errno=%d)\n";

inline constexpr const char text_start[] = "Sending to %s:%u from %s:%u\n";
inline constexpr const char text_block[] = "Block %llu: %llu packets sent, %llu dropped\n";
inline constexpr const char text_resend[] =
    "Resend request %u for block %llu packets %u-%u: %llu resent, %llu unavailable\n";
inline constexpr const char text_other_channel[] =
    "Resend request %u for channel %u ignored (this stream is channel %u)\n";
inline constexpr const char text_malformed[] = "Malformed command (%zu bytes): %s\n";

inline constexpr const char text_summary_sent[] =
    "Sent %llu blocks, %llu packets, %llu bytes in %.3f s (%.2f Mbit/s)\n";
inline constexpr const char text_summary_resend[] =
    "Resend requests: %llu, packets resent: %llu, unavailable: %llu, malformed: %llu\n";
