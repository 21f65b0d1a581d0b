// Every fixed text strobix prints.
#pragma once

inline constexpr const char usage_text[] =
    "strobix [args] <dest IP>:<port>\n"
    "strobix --camera [args]   (a GigE Vision camera: controlled over GVCP, see man strobix)\n"
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
    "request\n"
    "camera mode (-n, -s, -y, -c, -W and a destination do not apply; -g, -k, -2, -r, -I, -a, -L,\n"
    "-O, -U set the first values of its features; -l is where it listens for GVCP):\n"
    "  --camera         answer GVCP on the -l address and stream as its registers say\n"
    "  --zip            serve the description zipped (the first URL names the zip)\n"
    "  --serial <text>  serial number (default: from the address); --user-id <text> DeviceUserID\n"
    "  --sensor <W>x<H> sensor size (default 4096x3072); -g sets Width and Height (default "
    "640x480)\n";

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

inline constexpr const char text_camera_refuses[] =
    "%s does not apply with --camera: the camera's registers decide it\n";
inline constexpr const char text_camera_destination[] =
    "--camera takes no destination (%s): the controlling application sets it\n";
inline constexpr const char text_camera_only[] =
    "--zip, --serial, --user-id and --sensor need --camera\n";
inline constexpr const char text_camera_geometry[] =
    "Image %s does not fit the sensor or its steps (width a multiple of 4 from 16, height of 2)\n";
inline constexpr const char text_no_zip[] = "--zip: this strobix was built without libzip\n";

inline constexpr const char text_socket_failed[] = "%s : %s (errno=%d)\n";

inline constexpr const char text_start[] = "Sending to %s:%u from %s:%u\n";
inline constexpr const char text_block[] = "Block %llu: %llu packets sent, %llu dropped\n";
inline constexpr const char text_resend[] =
    "Resend request %u for block %llu packets %u-%u: %llu resent, %llu unavailable\n";
inline constexpr const char text_other_channel[] =
    "Resend request %u for channel %u ignored (this stream is channel %u)\n";
inline constexpr const char text_malformed[] = "Malformed command (%zu bytes): %s\n";

inline constexpr const char text_camera_start[] = "Camera on %s:%u, serial %s, description %s\n";
inline constexpr const char text_control_taken[] = "Control taken by %s:%u (%s)\n";
inline constexpr const char text_control_released[] = "Control released by %s:%u\n";
inline constexpr const char text_control_lapsed[] =
    "Control of %s:%u lapsed: no command within the heartbeat timeout\n";
inline constexpr const char text_acquisition_started[] =
    "Acquisition started: %ux%u %s, %llu bytes per block, %u-byte packets, to %s:%u\n";
inline constexpr const char text_acquisition_stopped[] = "Acquisition stopped after %llu blocks\n";

inline constexpr const char text_summary_sent[] =
    "Sent %llu blocks, %llu packets, %llu bytes in %.3f s (%.2f Mbit/s)\n";
inline constexpr const char text_summary_resend[] =
    "Resend requests: %llu, packets resent: %llu, unavailable: %llu, malformed: %llu\n";
