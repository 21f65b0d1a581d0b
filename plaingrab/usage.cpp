#include "usage.h"

#include <support/receiver.h>

// Option names end in column 19; -n shows the cap, not the default count.
void print_usage(FILE *out, const char *program) {
  std::fprintf(out, "Usage: %s [args] <local IP>:<port>\n\n", program);
  std::fputs("                 -v: Verbose, -v -v more verbose\n", out);
  std::fputs("       -T <seconds>: Terminate application after <seconds> (default:infinity)\n",
             out);
  std::fputs("         -i <iters>: Number of blocks to receive (default: 1, -1=infinity)\n", out);
  std::fputs("                 -r: Read blocks after receiving\n", out);
  std::fprintf(out, "      -n <num_bufs>: maximum number of buffers to allocate (default: %d)\n",
               max_buffers);
  std::fputs(
      "      -D <nanosecs>: add <nanosecs> of synthetic processing delay in packet handling, can "
      "be range.\n",
      out);
  std::fputs("                 -V: Verify that block ids are sequential\n", out);
  std::fputs("      -s <buf size>: Size of buffers (default: 2MB)\n", out);
  std::fputs("         <local IP>: IP address of local ZOK-enabled device to\n", out);
  std::fputs("                     receive GVSP blocks on.\n", out);
  std::fputs("             <port>: UDP port on <local IP> to recieve GVSP blocks on\n", out);
  std::fputs("                 -t: Print time between packets\n", out);
  std::fputs("           -c <CPU>: Pin to CPU number(from 0)\n", out);
  std::fputs("  -P <unicast addr>: Unicast address to send packet resend requests to\n", out);
  std::fputs("   -R <num_retries>: Number of resend retries (default:1)\n", out);
  std::fputs("-E <resend timeout>: Resend Timeout in milliseconds (default:0)\n", out);
  std::fputs(" -b <block timeout>: Block Timeout in milliseconds (default:0)\n", out);
  std::fputs(
      "          -d <booo>: Block Out of Order Action (default:always return, -1:return lt, 0: "
      "always drop, 1: return gt)\n",
      out);
  std::fputs(
      "       -C <channel>: The stream channel id for the given GVSP stream. Used for packet "
      "resend\n",
      out);
  std::fputs("                 -p: Disable packet resend\n", out);
  std::fputs("  --drop-incomplete: Drop incomplete blocks instead of returning them\n", out);
  std::fputs("   --drop-blk <blk>: Force drop of packet in this block\n", out);
  std::fputs("   --drop-pkt <pkt>: Force drop this packet in drop-blk\n", out);
  std::fputs("   --verify-payload: Verify data sent via strobix's -c flag.\n", out);
  std::fputs("                 -2: Open as a GigE Vision 2.x stream.\n", out);
  std::fputs("\n\n", out);
}
