#!/usr/bin/env python3
"""An outside receiver and controller for the comparison bench: Debian's
Aravis through its public Python API (gir1.2-aravis-0.8, python3-gi).

    arv_driver.py --mode packet|socket|control --camera ADDR [--camera ADDR]...
                  [--to HOST:PORT]... --width W --height H --packet-size P
                  --rate FPS --seconds S [--loss PERMILLE] [--buffers N]
                  [--stream-only]

packet and socket: Aravis receives every camera's stream itself, in its
packet-ring mode (the default as root) or with the packet socket disabled.
control: Aravis only points each camera at --to (one per camera) and runs its
acquisition, so that another receiver takes the frames from the same source
under the same control. --stream-only (for a camera that cannot stream what
is asked, such as Aravis's simulated one): the streams are made and named,
acquisition is never started, and frames are taken from whoever sends them
to the streams' ports.

Lines on standard output, in order: "stream K port P" (not in control mode),
"ready", "started T" (monotonic seconds, once every camera streams), after S
seconds "stopped T", then "stream K whole N failed N ..." per stream and
"done". It then waits for standard input to close, so that its CPU time can
be read while it still exists.
"""

import argparse
import os
import socket
import struct
import sys
import threading
import time

import gi

gi.require_version("Aravis", "0.8")
from gi.repository import Aravis  # noqa: E402

COUNTERS = ("n_completed_buffers", "n_failures", "n_underruns", "n_timeouts",
            "n_missing_frames", "n_resend_requests", "n_resent_packets", "n_missing_packets")


SOCKET_BUFFER = 256 * 1024 * 1024


def say(*words):
    sys.stdout.write(" ".join(str(w) for w in words) + "\n")
    sys.stdout.flush()


class Taker(threading.Thread):
    """Takes one stream's frames and gives each buffer straight back, as an
    application that keeps up does; counts them by status."""

    def __init__(self, stream):
        super().__init__(daemon=True)
        self.stream = stream
        self.whole = 0
        self.failed = 0
        self.last = None  # monotonic time of the last frame taken
        self.running = True

    def run(self):
        while self.running:
            buf = self.stream.timeout_pop_buffer(100_000)
            if buf is None:
                continue
            if buf.get_status() == Aravis.BufferStatus.SUCCESS:
                self.whole += 1
            else:
                self.failed += 1
            self.last = time.monotonic()
            self.stream.push_buffer(buf)


def configure(camera, args):
    device = camera.get_device()
    camera.set_region(0, 0, args.width, args.height)
    camera.set_pixel_format_from_string("Mono8")
    camera.gv_set_packet_size(args.packet_size)
    if camera.is_frame_rate_available():
        camera.set_frame_rate(args.rate)
    if args.loss is not None and camera.is_feature_available("LossPerMille"):
        device.set_float_feature_value("LossPerMille", args.loss)
    return device


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--mode", choices=("packet", "socket", "control"), required=True)
    p.add_argument("--camera", action="append", required=True)
    p.add_argument("--to", action="append", default=[])
    p.add_argument("--width", type=int, required=True)
    p.add_argument("--height", type=int, required=True)
    p.add_argument("--packet-size", type=int, required=True)
    p.add_argument("--rate", type=float, required=True)
    p.add_argument("--seconds", type=float, required=True)
    p.add_argument("--loss", type=float, help="LossPerMille, where the camera has it")
    p.add_argument("--buffers", type=int, default=63)
    p.add_argument("--stream-only", action="store_true")
    args = p.parse_args()
    if args.mode == "control" and len(args.to) != len(args.camera):
        p.error("control mode needs one --to per --camera")

    cameras = [Aravis.Camera.new(address) for address in args.camera]
    takers = []
    for k, camera in enumerate(cameras):
        device = configure(camera, args)
        if args.mode == "control":
            host, port = args.to[k].rsplit(":", 1)
            device.set_integer_feature_value(
                "GevSCDA", struct.unpack("!I", socket.inet_aton(host))[0])
            device.set_integer_feature_value("GevSCPHostPort", int(port))
            continue
        if args.mode == "socket":
            camera.gv_set_stream_options(Aravis.GvStreamOption.PACKET_SOCKET_DISABLED)
        stream = camera.create_stream(None, None)
        if args.mode == "socket":
            # Its default is the system's default buffer, smaller than a
            # frame; ask for what libzok asks for (the kernel grants up to
            # net.core.rmem_max).
            stream.set_property("socket-buffer", Aravis.GvStreamSocketBuffer.FIXED)
            stream.set_property("socket-buffer-size", SOCKET_BUFFER)
        payload = camera.get_payload()
        for _ in range(args.buffers):
            stream.push_buffer(Aravis.Buffer.new_allocate(payload))
        say("stream", k, "port", stream.get_port())
        takers.append(Taker(stream))
    for taker in takers:
        taker.start()
    say("ready")

    if not args.stream_only:
        for camera in cameras:
            camera.start_acquisition()
    say("started", f"{time.monotonic():.6f}")
    time.sleep(args.seconds)
    if not args.stream_only:
        for camera in cameras:
            camera.stop_acquisition()
    stopped = time.monotonic()
    say("stopped", f"{stopped:.6f}")

    # Frames still on their way (a backlog, a resend) finish or time out:
    # wait until none came for half a second.
    while any(t.last is not None and time.monotonic() - t.last < 0.5 for t in takers):
        time.sleep(0.05)
    for k, taker in enumerate(takers):
        taker.running = False
        taker.join()
        counts = " ".join(f"{name[2:]} {taker.stream.get_info_uint64_by_name(name)}"
                          for name in COUNTERS)
        last = f"{taker.last:.6f}" if taker.last is not None else "none"
        say("stream", k, "whole", taker.whole, "failed", taker.failed, "last", last, counts)
    say("done")
    sys.stdin.read()
    # The camera is free for the next run at once, not after its heartbeat
    # timeout; Aravis's threads and sockets go with the process.
    for camera in cameras:
        camera.get_device().leave_control()
    os._exit(0)


if __name__ == "__main__":
    main()
