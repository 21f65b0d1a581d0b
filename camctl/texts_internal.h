// Every fixed text camctl prints.
#pragma once

#include <cinttypes>

inline constexpr const char usage_text[] =
    "camctl [options] <command> ...\n"
    "  discover [-i IFACE]                 list the cameras that answer on each interface\n"
    "  forceip [-i IFACE] MAC ADDRESS/PREFIX [GATEWAY]\n"
    "                                      give the camera with this MAC an address until it "
    "restarts\n"
    "  get CAMERA FEATURE...               print features as FEATURE=VALUE\n"
    "  set CAMERA FEATURE=VALUE...         write features (a Command feature is executed)\n"
    "  features CAMERA                     every feature: name, kind, access, value\n"
    "  xml CAMERA                          the device description as the camera serves it\n"
    "  reg CAMERA ADDRESS[=VALUE]...       read or write bootstrap registers (32 bits)\n"
    "  stream CAMERA --to [HOST:]PORT [--packet-size N] [--channel N] [-T SECONDS] [--shared]\n"
    "                                      point the camera at a receiver and keep it streaming\n"
    "                                      until SIGINT/SIGTERM or -T; HOST may be multicast,\n"
    "                                      and is this host's address toward the camera if left "
    "out\n"
    "  snap CAMERA [-o FILE] [--count N] [--packet-size N] [--channel N] [-T SECONDS] [--shared]\n"
    "       [--incomplete] [--raw-bayer] [--raw]\n"
    "                                      take N whole images (default 1) and write each as PNG:\n"
    "                                      FILE (default snap.png), numbered when N > 1; gives up\n"
    "                                      after -T (default 10 s). --incomplete also writes the\n"
    "                                      incomplete ones, marked; --raw-bayer keeps the mosaic;\n"
    "                                      --raw writes the bytes and the leader's fields instead\n"
    "CAMERA is an address[:port], a MAC, a serial number or a user name as discover shows them.\n"
    "Options: -i IFACE  look for cameras on this interface only\n"
    "         --timeout MS (default 500)  --retries N (default 3): per command to the camera\n"
    "         --no-cache  download the device description, not the copy kept in ~/.cache/camctl\n"
    "Exit status: 0 done, 1 failed, 2 bad command line, 3 another application controls the\n"
    "camera, 4 the camera did not answer (or stopped answering while streaming).\n";

inline constexpr const char text_unknown_option[] = "camctl: unrecognized option %s\n";
inline constexpr const char text_missing_value[] = "camctl: option %s needs a value\n";
inline constexpr const char text_bad_value[] = "camctl: bad value for %s\n";
inline constexpr const char text_no_command[] = "camctl: no command given%s\n";
inline constexpr const char text_unknown_command[] = "camctl: unknown command %s\n";
inline constexpr const char text_bad_arguments[] = "camctl: wrong number of arguments for %s\n";
inline constexpr const char text_no_destination[] = "camctl: stream needs --to [HOST:]PORT%s\n";

inline constexpr const char text_error[] = "camctl: %s\n";
inline constexpr const char text_access_denied[] =
    "access denied: another application controls this camera";
inline constexpr const char text_no_answer[] = "no answer from the camera";
inline constexpr const char text_bad_register_address[] = "register addresses are multiples of 4";
inline constexpr const char text_address_range[] = "address beyond the camera's 32-bit space";
inline constexpr const char text_url_not_local[] =
    "the device description is neither in the camera's memory nor a file here; its URL reads: ";
inline constexpr const char text_url_file_missing[] =
    "the device description's URL names a file this host does not have: ";
inline constexpr const char text_no_interface[] = "no IPv4 interface that is up named ";
inline constexpr const char text_ambiguous_camera[] =
    "more than one camera answers to this name (use its address or MAC): ";
inline constexpr const char text_camera_not_found[] =
    "no camera answered discovery by this address, MAC, serial or name: ";
inline constexpr const char text_off_subnet[] =
    "the camera is not on this host's subnet; give it an address there with "
    "camctl forceip ";
inline constexpr const char text_nothing_found[] = "no camera answered on ";
inline constexpr const char text_bad_mac[] = "bad MAC address (want aa:bb:cc:dd:ee:ff): ";
inline constexpr const char text_bad_ip_prefix[] = "bad address (want ADDRESS/PREFIX): ";
inline constexpr const char text_forceip_no_answer[] = "no camera acknowledged the new address: ";
inline constexpr const char text_bad_assignment[] =
    "want FEATURE=VALUE with a feature of the camera: ";
inline constexpr const char text_bad_register[] =
    "want ADDRESS[=VALUE], 32-bit, address a multiple of 4: ";
inline constexpr const char text_bad_destination[] = "bad --to (want [HOST:]PORT): ";
inline constexpr const char text_no_such_channel[] = "the camera has no such stream channel";
inline constexpr const char text_vanished[] =
    "the camera stopped answering while streaming (unplugged, restarted or unreachable)";
inline constexpr const char text_control_lost[] =
    "the camera dropped our control channel while streaming";

inline constexpr const char text_discovered[] =
    "%s %s serial=%s name=\"%s\" manufacturer=\"%s\" model=\"%s\" interface=%s";
inline constexpr const char text_on_subnet[] = " subnet=ok\n";
inline constexpr const char text_outside_subnet[] =
    " subnet=OUTSIDE (%s is %s/%d): camctl forceip %s <free address>/%d\n";
inline constexpr const char text_forceip_done[] = "%s now has %s\n";
inline constexpr const char text_feature_line[] = "%-40s %-14s %-3s %s";
inline constexpr const char text_feature_selectors[] = "  Selector: %s";

inline constexpr const char text_packet_size_unchecked[] = "Packet size %u not checked: %s\n";
inline constexpr const char text_packet_size_lowered[] =
    "Packet size %u does not reach the destination; streaming with %u, the largest that does\n";
inline constexpr const char text_packet_size_too_big[] =
    "packet size %u does not reach the destination; the largest that does is %u "
    "(--packet-size %u)";
inline constexpr const char text_streaming[] =
    "Streaming %s to %s:%u (channel %u, packet size %u, heartbeat timeout %u ms); "
    "SIGINT or SIGTERM stops\n";
inline constexpr const char text_stopped[] =
    "Stopped after %.1f s: acquisition stopped, destination cleared, control released\n";

inline constexpr const char text_snap_line[] = "%s %ux%u %s block %" PRIu64 " %s\n";
inline constexpr const char text_snap_raw_line[] = "%s payload type %u block %" PRIu64 " %s\n";
inline constexpr const char text_snap_complete[] = "complete";
inline constexpr const char text_snap_incomplete[] =
    "INCOMPLETE (status 0x%04X: parts did not arrive)";
inline constexpr const char text_snap_comment[] = "%s block %" PRIu64 " %s";
inline constexpr const char text_snap_skipped[] =
    "Skipped %u incomplete blocks (--incomplete writes them)\n";
inline constexpr const char text_snap_timed_out[] =
    "%u of %u whole images within %.1f s (%u incomplete skipped, %" PRIu64 " datagrams refused)";
inline constexpr const char text_snap_interrupted[] = "interrupted";
inline constexpr const char text_snap_unknown_format[] =
    "pixel format 0x%08" PRIX32 "%s is not one snap converts; --raw writes the bytes as they came";
inline constexpr const char text_snap_not_image[] =
    "payload type %u is not an image; --raw writes the bytes as they came";
inline constexpr const char text_snap_bad_image[] =
    "block %" PRIu64 ": %zu bytes do not hold a %ux%u %s image with %u bytes of line padding";
inline constexpr const char text_snap_write_failed[] = "cannot write %s: %s";
inline constexpr const char text_snap_zok_failed[] = "receiving (%s): %s";
inline constexpr const char text_snap_raw_fields[] =
    "payload_type=0x%04X\nblock_id=%" PRIu64 "\ntimestamp=%" PRIu64
    "\nstatus=0x%04X\npayload_length=%u\n";
inline constexpr const char text_snap_raw_image_fields[] =
    "pixel_format=0x%08" PRIX32
    " %s\nwidth=%u\nheight=%u\noffset_x=%u\noffset_y=%u\npadding_x=%u\npadding_y=%u\n";
