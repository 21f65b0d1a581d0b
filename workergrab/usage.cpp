#include "worker_internal.h"

void print_worker_usage(FILE *out, const char *program) {
  fprintf(out, "Usage: %s [args] <local IP>:<port>\n\n", program);
  fprintf(out, "                    -v: Verbose, -v -v more verbose\n");
  fprintf(out,
          "          -T <seconds>: Terminate application after <seconds> (default:infinity)\n");
  fprintf(out, "            -i <iters>: Number of blocks to receive (default: 1, -1=infinity)\n");
  fprintf(out, "                    -r: Read blocks after receiving\n");
  fprintf(out, "         -n <num_bufs>: maximum number of buffers to allocate (default: %d)\n",
          max_buffers);
  fprintf(out,
          "         -D <nanosecs>: add <nanosecs> of synthetic processing delay in packet "
          "handling, can be range.\n");
  fprintf(out, "                    -V: Verify that block ids are sequential\n");
  fprintf(out, "         -s <buf size>: Size of buffers (default: 2MB)\n");
  fprintf(out, "            <local IP>: IP address of local ZOK-enabled device to\n");
  fprintf(out, "                        receive GVSP blocks on.\n");
  fprintf(out, "                <port>: UDP port on <local IP> to recieve GVSP blocks on\n");
  fprintf(out, "                    -t: Print time between packets\n");
  fprintf(out, "              -c <CPU>: Pin to CPU number(from 0)\n");
  fprintf(out, "      -P <unicat addr>: Uncast address to send packet resend requests to\n");
  fprintf(out, "      -R <num_retries>: Number of resend retries (default:1)\n");
  fprintf(out, "   -E <resend timeout>: Resend Timeout in milliseconds (default:0)\n");
  fprintf(out, "    -b <block timeout>: Block Timeout in milliseconds (default:0)\n");
  fprintf(out,
          "             -d <booo>: Block Out of Order Action (default:always return, -1:return "
          "lt, 0: always drop, 1: return gt)\n");
  fprintf(out,
          "          -C <channel>: The stream channel id for the given GVSP stream. Used for "
          "packet resend\n");
  fprintf(out, "     --drop-incomplete: Drop incomplete blocks instead of returning them\n");
  fprintf(out,
          "       --worker-req-id: Starting request id for the worker thread packet resend "
          "request. (default:1)\n");
  fprintf(out,
          "     --max-worker-reqs: Maximum number of worker thread packet resend requests "
          "(default:1)\n");
  fprintf(out,
          "--block-worker <nsecs>: After receiving a block, block the worker rthread for "
          "<nsecs>\n");
  fprintf(out, "      --verify-payload: Verify data sent via strobix's -c flag.\n");
  fprintf(out, "                    -2: Open as a GigE Vision 2.x stream.\n");
  fprintf(out, "\n\n");
}
