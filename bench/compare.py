#!/usr/bin/env python3
"""The receivers beside the best open receiver, measured as a camera user picks one.

Run through bench/compare.sh, which builds the programs first; bench/README.md
explains every table. One camera source feeds every receiver in turn:
strobix's camera mode, run by the same Aravis client for every receiver
(Aravis's own receiver, or only pointing the camera at ours); where strobix
has no camera mode, Aravis's simulated camera stands in for Aravis's control
and plain strobix sends the frames. Nothing here judges
a number: the output is a measurement, never a verdict.
"""

import argparse
import datetime
import os
import random
import re
import shlex
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import Child, Unavailable  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = os.path.join(HERE, "arv_driver.py")
GVCP_PORT = 3956
TOP_RATE = 100000  # the camera's highest AcquisitionFrameRate: as fast as it goes
PACED_SHORTFALL = 0.97  # a probe counts only if the camera kept this share of its pace


class Receiver:
    """One way of receiving: Aravis in one of its modes, or one of ours."""

    def __init__(self, label, kind, mode=None, program=None, extra=(), env=None):
        self.label = label
        self.kind = kind  # "aravis" or "zok"
        self.mode = mode  # Aravis: "packet" or "socket"
        self.program = program
        self.extra = list(extra)
        self.env = env  # libzok's receive path, as ZOK_RECEIVE
        self.unavailable = None


def chosen(rows, labels, strict=True):
    if labels is None:
        return rows
    unknown = set(labels) - {r.label for r in rows}
    if unknown and strict:
        sys.exit(f"compare: no receiver labelled {', '.join(sorted(unknown))}")
    return [r for r in rows if r.label in labels]


def single_receivers(zok_paths):
    rows = [Receiver("Aravis packet ring", "aravis", mode="packet"),
            Receiver("Aravis socket", "aravis", mode="socket"),
            Receiver("plaingrab", "zok", program="plaingrab"),
            Receiver("workergrab -w 0", "zok", program="workergrab", extra=["-w", "0"])]
    for path in zok_paths:
        rows += [Receiver(f"plaingrab ({path})", "zok", program="plaingrab", env=path),
                 Receiver(f"workergrab -w 0 ({path})", "zok", program="workergrab",
                          extra=["-w", "0"], env=path)]
    return rows


def multi_receivers(zok_paths):
    rows = [Receiver("Aravis packet ring", "aravis", mode="packet"),
            Receiver("Aravis socket", "aravis", mode="socket"),
            Receiver("multigrab", "zok", program="multigrab"),
            Receiver("multigrab -w 0", "zok", program="multigrab", extra=["-w", "0"])]
    for path in zok_paths:
        rows.append(Receiver(f"multigrab ({path})", "zok", program="multigrab", env=path))
    return rows


class Net:
    """Where a run's traffic goes: loopback, or a veth pair whose far end (in
    a network namespace) holds the cameras."""

    def __init__(self, name, host, cameras, prefix=(), skipped=None, cam_if=None):
        self.name = name
        self.host = host
        self.cameras = cameras  # camera addresses, as many as streams may need
        self.prefix = list(prefix)
        self.skipped = skipped
        self.cam_if = cam_if


def aravis_python():
    """An interpreter with Debian's Aravis bindings (the system's may not be first on PATH)."""
    for candidate in ("python3", "/usr/bin/python3"):
        try:
            ok = subprocess.run([candidate, "-c", "import gi; gi.require_version('Aravis', '0.8')"],
                                capture_output=True, timeout=30).returncode == 0
        except (OSError, subprocess.TimeoutExpired):
            ok = False
        if ok:
            return candidate
    return None


def parse_counts(line):
    """'stream K a 1 b 2 ...' -> {a: 1, b: 2}."""
    words = line.split()[2:]
    out = {}
    for key, value in zip(words[0::2], words[1::2]):
        try:
            out[key] = float(value)
        except ValueError:
            out[key] = value
    return out


class Compare:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build_dir)
        self.workdir = tempfile.mkdtemp(prefix="zok-compare-")
        self.port = args.base_port
        self.started = time.monotonic()
        self.notes = []
        self.python = aravis_python()
        self.root = os.geteuid() == 0
        two = (os.cpu_count() or 1) >= 2
        self.sender_cpu, self.receiver_cpu = ("0", "1") if two else (None, None)
        self.camera_priority, self.controller_priority = self.device_priorities()
        self.programs = {name: os.path.join(self.build, sub, name) for sub, name in
                         (("strobix", "strobix"), ("plaingrab", "plaingrab"),
                          ("workergrab", "workergrab"), ("bench", "multigrab"))}
        self.camera_mode = self.python is not None and self.strobix_has_camera()
        self.networks = []
        self.fake_camera = {}  # Net name -> Child of Aravis's simulated camera

    # ------------------------------------------------------------ helpers

    def elapsed(self):
        return time.monotonic() - self.started

    def log(self, text):
        sys.stderr.write(f"[{self.elapsed():7.1f}s] {text}\n")

    def next_port(self):
        self.port += 1
        if self.port > self.args.base_port + 3000:
            self.port = self.args.base_port + 1
        return self.port

    def program(self, name):
        path = self.programs[name]
        if not os.access(path, os.X_OK):
            raise Unavailable(f"{name} not built")
        return path

    def strobix_has_camera(self):
        try:
            out = subprocess.run([self.program("strobix"), "-h"], capture_output=True, text=True,
                                 timeout=10)
        except (OSError, subprocess.TimeoutExpired, Unavailable):
            return False
        return "--camera" in out.stdout + out.stderr

    def pinned(self, cpu, argv):
        return (["taskset", "-c", cpu] if cpu is not None else []) + argv

    def device_priorities(self):
        """Real-time priorities for the cameras and for the controllers beside
        them, or none. A camera is a device of its own: at an ordinary
        priority it shares its CPU with whatever else the host runs, and how
        much of it that takes depends on the receiver (one that keeps its own
        CPU busy leaves the host's other work to the cameras' CPU), so the
        camera's rate would measure the host, not the receiver. Round-robin,
        so that several cameras share their CPU; the controllers, which
        sleep but for a command, a notch above them."""
        if self.args.shared_cameras:
            return [], []
        try:
            ok = subprocess.run(["chrt", "-r", "1", "true"], capture_output=True,
                                timeout=10).returncode == 0
        except (OSError, subprocess.TimeoutExpired):
            ok = False
        if not ok:
            self.notes.append("cameras at an ordinary priority: chrt -r 1 is refused here")
            return [], []
        return ["chrt", "-r", "1"], ["chrt", "-r", "2"]

    def why_not(self, receiver, streams):
        """Why a receiver cannot run here, or None."""
        if receiver.kind == "aravis":
            if self.python is None:
                return "no Aravis Python API (python3-gi, gir1.2-aravis-0.8)"
            if receiver.mode == "packet" and not self.root:
                return "the packet ring needs root"
            if not self.camera_mode and streams > 1:
                return "several cameras need strobix's camera mode"
        return None

    # ----------------------------------------------------------- networks

    def loopback(self):
        # Cameras on addresses of their own in 127/8, random per run, so that
        # two runs on one host, or a camera test's, do not take each other's
        # GVCP port.
        a, b = random.randrange(100, 200), random.randrange(1, 250)
        return Net("loopback", "127.0.0.1", [f"127.{a}.{b}.{10 + k}" for k in range(8)])

    def veth(self, mtu):
        name = f"cmp{mtu}-{os.getpid()}"
        try:
            up = subprocess.run([harness.TESTNET, "up", "--name", name, "--mtu", str(mtu)],
                                capture_output=True, text=True, timeout=60)
        except (OSError, subprocess.TimeoutExpired) as error:
            up = subprocess.CompletedProcess([], 1, "", str(error))
        env = dict(line.split("=", 1) for line in up.stdout.splitlines() if "=" in line)
        if up.returncode != 0 or "TESTNET_NS" not in env:
            why = (up.stdout.strip() or up.stderr.strip() or "testnet.sh up failed").splitlines()[0]
            self.notes.append(f"veth rows at MTU {mtu} skipped: {why}")
            return Net(f"veth {mtu}", None, [], skipped=f"no veth pair: {why}")
        self.networks.append(name)
        prefix = ["ip", "netns", "exec", env["TESTNET_NS"]]
        base = env["TESTNET_CAM_ADDR"].rsplit(".", 1)[0]
        cameras = [env["TESTNET_CAM_ADDR"]]
        # More cameras on the same link, one address each.
        for k in range(1, 8):
            address = f"{base}.{10 + k}"
            subprocess.run(prefix + ["ip", "addr", "add", f"{address}/{env['TESTNET_PREFIX']}",
                                     "dev", env["TESTNET_CAM_IF"]], capture_output=True)
            cameras.append(address)
        return Net(f"veth {mtu}", env["TESTNET_HOST_ADDR"], cameras, prefix,
                   cam_if=env["TESTNET_CAM_IF"])

    def remove_networks(self):
        for child in self.fake_camera.values():
            child.stop(signal.SIGTERM)
        for name in self.networks:
            subprocess.run([harness.TESTNET, "down", "--name", name], capture_output=True,
                           timeout=60)
        self.networks = []

    # ------------------------------------------------------------ sources

    def start_cameras(self, net, count, frame, packet, rate, loss):
        cams = []
        for address in net.cameras[:count]:
            argv = net.prefix + self.camera_priority + self.pinned(self.sender_cpu, [
                "stdbuf", "-oL", self.program("strobix"), "--camera", "-l", address,
                "-g", f"{frame[0]}x{frame[1]}", "-k", str(packet), "-r", f"{rate:g}",
                "-L", f"{loss:g}"])
            cams.append(Child(argv, self.workdir, f"camera-{address}"))
        for cam in cams:
            if not cam.wait_for_line("Camera on", 10):
                raise Unavailable(cam.failure("strobix --camera did not start"))
        return cams

    def stop_cameras(self, cams):
        """Sent blocks and resend requests answered, over every camera."""
        sent = answered = 0
        for cam in cams:
            cam.stop(signal.SIGINT, 5.0)
            text = cam.output()
            match = harness.SENT_STROBIX.search(text)
            if not match:
                raise Unavailable(cam.failure("no camera summary"))
            sent += int(match.group(1))
            requests = re.search(r"Resend requests: (\d+)", text)
            answered += int(requests.group(1)) if requests else 0
        return sent, answered

    def simulated_camera(self, net):
        """Aravis's simulated camera, for control only, where strobix has no camera mode."""
        child = self.fake_camera.get(net.name)
        if child is not None and child.status is None:
            return net.host if net.prefix == [] else net.cameras[0]
        iface = "lo" if not net.prefix else net.cam_if
        child = Child(net.prefix + ["arv-fake-gv-camera-0.8", "-i", iface], self.workdir,
                      f"fake-{net.name.replace(' ', '')}")
        self.fake_camera[net.name] = child
        address = "127.0.0.1" if not net.prefix else net.cameras[0]
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if child.wait(0):
                raise Unavailable(child.failure("Aravis's simulated camera did not start"))
            probe = subprocess.run(["arv-tool-0.8", "-a", address, "control", "Width"],
                                   capture_output=True, text=True)
            if probe.returncode == 0 and "Width" in probe.stdout:
                return address
            time.sleep(0.2)
        raise Unavailable("Aravis's simulated camera does not answer")

    def plain_sender(self, net, frame, packet, rate, loss, secs, dest_port, name="strobix",
                     resend=None):
        resend = resend or self.next_port()
        argv = [self.program("strobix"), "-y", "image", "-g", f"{frame[0]}x{frame[1]}",
                "-k", str(packet), "-n", "-1", "-T", f"{secs:g}", "-L", f"{loss:g}",
                "-l", f"{net.cameras[0] if net.prefix else '127.0.0.1'}:{resend}"]
        if rate < TOP_RATE:
            argv += ["-r", f"{rate:g}"]
        argv.append(f"{net.host}:{dest_port}")
        return Child(net.prefix + self.camera_priority + self.pinned(self.sender_cpu, argv),
                     self.workdir, name)

    # ------------------------------------------------------------ one run

    def run(self, net, receiver, frame, packet, rate, secs, loss=0.0, streams=1):
        """One acquisition of secs seconds into one receiver; a dict of figures."""
        if net.skipped:
            raise Unavailable(net.skipped)
        why = self.why_not(receiver, streams)
        if why:
            raise Unavailable(why)
        if receiver.kind == "aravis":
            return self.run_aravis(net, receiver, frame, packet, rate, secs, loss, streams)
        return self.run_zok(net, receiver, frame, packet, rate, secs, loss, streams)

    def receiver_argv(self, receiver, net, frame, ports, resend):
        confine = self.pinned(self.receiver_cpu, [])
        size = str(frame[0] * frame[1])
        cpu = ["-c", self.receiver_cpu] if self.receiver_cpu is not None else []
        if receiver.program == "multigrab":
            return confine + ["stdbuf", "-oL", self.program("multigrab"), "-s", size] + cpu + \
                receiver.extra + [f"{r}/{net.host}:{p}" for r, p in zip(resend, ports)]
        return confine + ["stdbuf", "-oL", self.program(receiver.program), "-i", "-1", "-s", size,
                          "-P", resend[0]] + cpu + receiver.extra + [f"{net.host}:{ports[0]}"]

    def run_zok(self, net, receiver, frame, packet, rate, secs, loss, streams):
        env = dict(os.environ, ZOK_RECEIVE=receiver.env) if receiver.env else None
        ports = [self.next_port() for _ in range(streams)]
        cams, senders, controllers = [], [], []
        if self.camera_mode:
            cams = self.start_cameras(net, streams, frame, packet, rate, loss)
            resend = net.cameras[:streams]
        else:
            resend_ports = [self.next_port() for _ in range(streams)]
            resend = [f"{net.cameras[0] if net.prefix else '127.0.0.1'}:{p}" for p in resend_ports]
        rx = Child(self.receiver_argv(receiver, net, frame, ports, resend), self.workdir,
                   receiver.program, env)
        try:
            ready = "ready" if receiver.program == "multigrab" else "Queued"
            if not rx.wait_for_line(ready, 15):
                raise Unavailable(rx.failure(f"{receiver.program} did not start"))
            if self.camera_mode:
                controllers.append(self.controller(net, ports, frame, packet, rate, secs, loss))
            else:
                senders = [self.plain_sender(net, frame, packet, rate, loss, secs, port,
                                             f"strobix-{port}", resend_port)
                           for port, resend_port in zip(ports, resend_ports)]
            cpu0 = harness.proc_cpu_seconds(rx.pid)
            worker0 = harness.thread_cpu_seconds(rx.pid, "zok-worker")
            host0 = harness.host_cpu_seconds()
            for c in controllers:
                if not c.wait_for_line("stopped", secs * 3 + 30):
                    raise Unavailable(c.failure("Aravis did not stop the cameras"))
            for c in senders:
                if not c.wait(secs * 3 + 30):
                    raise Unavailable(f"{c.name} did not finish")
                if c.status != 0:
                    raise Unavailable(c.failure(f"{c.name} failed"))
            t1 = time.monotonic()
            # What the kernel still holds for the receiver is this run's: its
            # time counts, so that a slow receiver is not credited with the
            # sender's rate because the socket buffer hid the difference.
            for port in ports:
                harness.wait_for_drain(port, 10.0, harness.CAUGHT_UP_BYTES)
            drained = time.monotonic()
            for port in ports:
                harness.wait_for_drain(port, 5.0)
            time.sleep(0.05)  # the last block through the engine
            cpu1 = harness.proc_cpu_seconds(rx.pid)
            worker1 = harness.thread_cpu_seconds(rx.pid, "zok-worker")
            host = harness.host_cpu_since(host0)
            rx.stop()
            text = rx.output()
            if self.camera_mode:
                sent, answered = self.stop_cameras(cams)
                cams = []
                text_c = controllers[0].output()
                seconds = (float(re.search(r"^stopped (\S+)", text_c, re.M).group(1)) -
                           float(re.search(r"^started (\S+)", text_c, re.M).group(1)))
            else:
                sent = answered = 0
                seconds = 0.0
                for s in senders:
                    match = harness.SENT_STROBIX.search(s.output())
                    if not match:
                        raise Unavailable("no strobix report")
                    sent += int(match.group(1))
                    seconds = max(seconds, float(match.group(4)))
            if receiver.program == "multigrab":
                lines = [parse_counts(line) for line in text.splitlines()
                         if line.startswith("stream ")]
                if len(lines) != streams:
                    raise Unavailable(rx.failure("no multigrab counts"))
                whole = sum(int(c["whole"]) for c in lines)
                requests = sum(int(c["resend_requests"]) for c in lines)
            else:
                whole = harness.report_value(text, "Blocks received:")
                if whole is None:
                    raise Unavailable(rx.failure(f"no {receiver.program} report"))
                requests = harness.report_value(text, "Resend Requests:") or 0
            return {"sent": sent, "whole": whole, "seconds": seconds + (drained - t1),
                    "paced_seconds": seconds,
                    "cpu": (cpu1 or 0) - (cpu0 or 0), "host": host.get("host"),
                    "worker": None if worker0 is None or worker1 is None else worker1 - worker0,
                    "requests": requests, "answered": answered,
                    "bytes": whole * frame[0] * frame[1]}
        finally:
            for c in senders:
                c.stop()
            for c in controllers:
                if c.status is None:
                    c.proc.stdin.close()
                c.stop(signal.SIGTERM)
            rx.stop()
            for cam in cams:
                cam.stop(signal.SIGKILL, 1.0)

    def driver_argv(self, mode, cameras, frame, packet, rate, secs, loss):
        return [self.python, DRIVER, "--mode", mode, "--width", str(frame[0]),
                "--height", str(frame[1]), "--packet-size", str(packet), "--rate", f"{rate:g}",
                "--seconds", f"{secs:g}", "--loss", f"{loss * 10:g}"] + \
            [w for a in cameras for w in ("--camera", a)]

    def controller(self, net, ports, frame, packet, rate, secs, loss):
        """The cameras pointed at our receiver and run for secs by the same
        client that runs them for Aravis's receiver, on the cameras' CPU."""
        argv = self.controller_priority + self.pinned(self.sender_cpu, self.driver_argv(
            "control", net.cameras[:len(ports)], frame, packet, rate, secs, loss)) + \
            [w for p in ports for w in ("--to", f"{net.host}:{p}")]
        c = Child(argv, self.workdir, "control", stdin=subprocess.PIPE)
        if not c.wait_for_line("started", 30):
            raise Unavailable(c.failure("Aravis did not start the cameras"))
        return c

    def run_aravis(self, net, receiver, frame, packet, rate, secs, loss, streams):
        cams, senders = [], []
        if self.camera_mode:
            cams = self.start_cameras(net, streams, frame, packet, rate, loss)
            addresses = net.cameras[:streams]
        else:
            addresses = [self.simulated_camera(net)]
        argv = self.pinned(self.receiver_cpu, self.driver_argv(
            receiver.mode, addresses, frame, packet, rate,
            secs if self.camera_mode else secs + 1, loss)) + \
            ([] if self.camera_mode else ["--stream-only"])
        rx = Child(argv, self.workdir, f"aravis-{receiver.mode}", stdin=subprocess.PIPE)
        try:
            if not rx.wait_for_line("ready", 30):
                raise Unavailable(rx.failure("Aravis's receiver did not start"))
            if not rx.wait_for_line("started", 30):
                raise Unavailable(rx.failure("Aravis did not start the camera"))
            cpu0 = harness.proc_cpu_seconds(rx.pid)
            host0 = harness.host_cpu_seconds()
            if not self.camera_mode:
                port = int(re.search(r"stream 0 port (\d+)", rx.output()).group(1))
                senders = [self.plain_sender(net, frame, packet, rate, loss, secs, port)]
            if not rx.wait_for_line("done", secs * 3 + 60):
                raise Unavailable(rx.failure("Aravis's receiver did not finish"))
            cpu1 = harness.proc_cpu_seconds(rx.pid)
            host = harness.host_cpu_since(host0)
            text = rx.output()
            started = float(re.search(r"^started (\S+)", text, re.M).group(1))
            stopped = float(re.search(r"^stopped (\S+)", text, re.M).group(1))
            counts = [parse_counts(line) for line in text.splitlines()
                      if line.startswith("stream ") and " whole " in line]
            whole = sum(int(c["whole"]) for c in counts)
            requests = sum(int(c["resend_requests"]) for c in counts)
            last = max((c["last"] for c in counts if isinstance(c.get("last"), float)),
                       default=stopped)
            rx.proc.stdin.close()
            rx.wait(5)
            if self.camera_mode:
                sent, answered = self.stop_cameras(cams)
                cams = []
                paced = stopped - started
                seconds = paced + max(0.0, last - stopped)
            else:
                s = senders[0]
                if not s.wait(secs * 3 + 30) or s.status != 0:
                    raise Unavailable(s.failure("strobix failed"))
                match = harness.SENT_STROBIX.search(s.output())
                sent, answered, seconds = int(match.group(1)), 0, float(match.group(4))
                paced = seconds
            return {"sent": sent, "whole": whole, "seconds": seconds, "paced_seconds": paced,
                    "cpu": (cpu1 or 0) - (cpu0 or 0), "host": host.get("host"),
                    "requests": requests, "answered": answered,
                    "bytes": whole * frame[0] * frame[1]}
        finally:
            for s in senders:
                s.stop()
            if rx.status is None:
                try:
                    rx.proc.stdin.close()
                except OSError:
                    pass
            rx.stop(signal.SIGTERM)
            for cam in cams:
                cam.stop(signal.SIGKILL, 1.0)

    # ------------------------------------------------------------ measures

    def attempt(self, net, receiver, frame, packet, rate, secs, loss=0.0, streams=1):
        """run(), or None with the reason kept on the receiver."""
        try:
            return self.run(net, receiver, frame, packet, rate, secs, loss, streams)
        except Unavailable as why:
            receiver.unavailable = str(why)
            return None

    def flat_out(self, net, receivers, frame, packet, streams=1):
        """Whole frames per second with the camera as fast as it goes; runs alternate."""
        runs = {r.label: [] for r in receivers}
        for rnd in range(self.args.flat_runs):
            for r in receivers:
                self.log(f"{net.name} {frame[0]}x{frame[1]} @{packet} x{streams}: flat out, "
                         f"round {rnd + 1}: {r.label}")
                result = self.attempt(net, r, frame, packet, TOP_RATE, self.args.flat_seconds,
                                      streams=streams)
                if result:
                    runs[r.label].append(result)
        return runs

    def held(self, net, receivers, frame, packet, flat, streams=1, steps=None):
        """The highest paced rate each receiver takes for probe seconds without a
        lost frame: bisection on the rate asked of the cameras, every receiver's
        probe in turn at each step. What is reported is the rate the cameras
        really sent at in the best loss-free probe: a camera on a busy CPU does
        not make up the frames it fell behind by."""
        state = {}
        for r in receivers:
            runs = [x for x in flat.get(r.label, []) if x["paced_seconds"] > 0]
            if not runs:
                continue
            top = statistics.median(x["sent"] / x["paced_seconds"] / streams for x in runs)
            whole = statistics.median(x["whole"] / x["seconds"] / streams for x in runs)
            # First guess: a little below what it took whole flat out.
            state[r.label] = {"lo": 0.0, "hi": top * 1.02, "held": 0.0, "sender_short": False,
                              "next": max(1.0, min(whole, top) * 0.95)}
        for step in range(self.args.steps if steps is None else steps):
            for r in receivers:
                s = state.get(r.label)
                if s is None or s["next"] is None:
                    continue
                rate = round(s["next"], 1 if s["next"] < 20 else 0)
                self.log(f"{net.name} {frame[0]}x{frame[1]} @{packet} x{streams}: "
                         f"step {step + 1}: {r.label} at {rate:g}/s")
                x = self.attempt(net, r, frame, packet, rate, self.args.probe_seconds,
                                 streams=streams)
                if x is None:
                    s["next"] = None
                    continue
                sent_rate = x["sent"] / x["paced_seconds"] / streams if x["paced_seconds"] else 0
                if x["whole"] < x["sent"]:
                    s["hi"] = rate
                else:
                    s["held"] = max(s["held"], sent_rate)
                    if sent_rate < PACED_SHORTFALL * rate:
                        # Nothing above this is measurable with these cameras.
                        s["sender_short"] = True
                        s["hi"] = rate
                    else:
                        s["lo"] = rate
                s["next"] = (s["lo"] + s["hi"]) / 2
                if s["hi"] - s["lo"] < max(1.0, 0.01 * s["hi"]):
                    s["next"] = None
        return state

    def measure_at(self, net, receivers, frame, packet, rate, secs, loss=0.0, streams=1,
                   what="at"):
        out = {}
        for r in receivers:
            self.log(f"{net.name} {frame[0]}x{frame[1]} @{packet} x{streams}: {what} "
                     f"{rate:g}/s, loss {loss:g}%: {r.label}")
            out[r.label] = self.attempt(net, r, frame, packet, rate, secs, loss, streams)
        return out


# ----------------------------------------------------------------- output


def num(value, digits=3):
    return harness.fmt(value, digits)


def per_gb(run, key):
    if not run or not run["bytes"] or run.get(key) is None:
        return None
    return run[key] / (run["bytes"] / 1e9)


def worker_cell(run):
    """The library's receive worker alone, where the receiver has one: our
    programs poll for blocks without sleeping (that is their contract), so
    the process's CPU per GB is mostly that spin; the worker's is what the
    engine itself costs, the figure to hold against Aravis's process."""
    worker = per_gb(run, "worker")
    return f" (worker {num(worker)})" if worker is not None else ""


def flat_cell(runs):
    if not runs:
        return None
    fps = statistics.median(x["whole"] / x["seconds"] for x in runs if x["seconds"] > 0)
    lost = [(x["sent"] - x["whole"]) / x["sent"] if x["sent"] else 0 for x in runs]
    worst = max(lost)
    tag = "none lost" if worst <= 0 else f"{worst * 100:.2g}% lost at worst"
    return f"{num(fps)} ({tag}, {len(runs)} runs)"


def held_cell(s, streams=1):
    if s is None:
        return None
    text = num(s["held"] * streams) if s["held"] > 0 else "none held"
    if s["sender_short"]:
        text += " (cameras' limit)"
    return text


def table(head, rows):
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return lines


def na(receiver):
    return "n/a" + (f" ({receiver.unavailable})" if receiver.unavailable else "")


# ------------------------------------------------------------------- main


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true",
                   help="seconds, not minutes: loopback 512x512 at 1500, one veth row under "
                        "loss; proves the scripts work, measures nothing")
    p.add_argument("--build-dir", default=os.path.join(os.path.dirname(HERE), "build", "bench"))
    p.add_argument("--out", help="directory for compare.md (default bench/results/<UTC time>)")
    p.add_argument("--no-veth", action="store_true")
    p.add_argument("--no-multi", action="store_true", help="skip the several-stream tables")
    p.add_argument("--no-loss", action="store_true", help="skip the rows under loss")
    p.add_argument("--zok-paths", default="",
                   help="libzok receive paths (ZOK_RECEIVE values) measured beside the default, "
                        "comma-separated")
    p.add_argument("--base-port", type=int, default=random.randrange(30000, 40000, 2))
    p.add_argument("--frames", help="frame sizes measured, e.g. 512x512,2048x2048")
    p.add_argument("--packets", help="packet sizes measured, e.g. 1500,9000")
    p.add_argument("--shared-cameras", action="store_true",
                   help="cameras at an ordinary priority (by default they run at real-time "
                        "priority, so that the host's other work does not slow them)")
    p.add_argument("--probe-seconds", type=float,
                   help="seconds each paced rate is held (default 10)")
    p.add_argument("--nets", default="loopback,veth",
                   help="where the traffic goes, comma-separated: loopback, veth (default both)")
    p.add_argument("--receivers",
                   help="only these receivers' columns, comma-separated labels as in the "
                        "tables, e.g. 'Aravis packet ring,plaingrab,workergrab -w 0 (packet)'")
    args = p.parse_args(argv)
    frames, packets, probe_seconds = args.frames, args.packets, args.probe_seconds
    args.zok_paths = [x for x in args.zok_paths.split(",") if x]
    args.nets = [x for x in args.nets.split(",") if x]
    if any(x not in ("loopback", "veth") for x in args.nets):
        p.error("--nets takes loopback and veth")
    args.receivers = [x.strip() for x in args.receivers.split(",")] if args.receivers else None
    if args.quick:
        # Every kind of run once, briefly: the tables on loopback, the rows
        # under loss on a veth pair.
        args.frames, args.packets = [(512, 512)], [1500]
        args.probe_seconds, args.steps, args.flat_runs, args.flat_seconds = 0.5, 1, 1, 0.5
        args.multi_steps, args.stream_counts, args.losses = 1, [4], [0.5]
        args.tables_on_veth = False
    else:
        args.frames, args.packets = [(512, 512), (2048, 2048)], [1500, 9000]
        args.probe_seconds, args.steps, args.flat_runs, args.flat_seconds = 10.0, 5, 3, 5.0
        args.multi_steps, args.stream_counts, args.losses = 4, [4, 8], [0.0, 0.5, 2.0]
        args.tables_on_veth = True
    # A shorter run of the full tables, where a quiet machine is had only for minutes.
    if frames:
        args.frames = [tuple(int(v) for v in f.split("x")) for f in frames.split(",")]
    if packets:
        args.packets = [int(v) for v in packets.split(",")]
    if probe_seconds:
        args.probe_seconds = probe_seconds
    if args.out is None:
        stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%d-%H%M%SZ")
        args.out = os.path.join(HERE, "results", stamp + "-compare")
    return args


def main(argv):
    args = parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    c = Compare(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    doc = []
    try:
        nets = [c.loopback()] if "loopback" in args.nets else []
        if not args.no_veth and "veth" in args.nets:
            nets += [c.veth(packet) for packet in args.packets]
        doc = report(c, nets)
    finally:
        Child.stop_all()
        c.remove_networks()
        shutil.rmtree(c.workdir, ignore_errors=True)
    # The command goes with its figures, so that a run in results/ can be made again.
    command = " ".join(["bench/compare.sh"] + [shlex.quote(a) for a in argv])
    text = "\n".join(doc[:1] + ["", f"Command: `{command}`"] + doc[1:]) + "\n"
    with open(os.path.join(args.out, "compare.md"), "w") as f:
        f.write(text)
    sys.stdout.write(text + f"\nWritten: {os.path.join(args.out, 'compare.md')}\n")
    return 0


def report(c, nets):
    args = c.args
    # A label may name a several-stream receiver only; a label neither table knows is a typo.
    chosen(single_receivers(args.zok_paths) + multi_receivers(args.zok_paths), args.receivers)
    singles = chosen(single_receivers(args.zok_paths), args.receivers, strict=False)
    labels = [r.label for r in singles]
    held_rows, cpu_rows, flat_rows, loss_rows, multi_rows = [], [], [], [], []
    common = {}
    for net in nets:
        for frame in args.frames:
            for packet in args.packets:
                # The veth pairs carry one packet size each, their MTU.
                if net.name.startswith("veth") and (not net.name.endswith(str(packet)) or
                                                    not args.tables_on_veth):
                    continue
                where = [net.name, f"{frame[0]}x{frame[1]}", packet]
                for r in singles:
                    r.unavailable = None
                flat = c.flat_out(net, singles, frame, packet)
                flat_rows.append(where + [flat_cell(flat[r.label]) or na(r) for r in singles])
                state = c.held(net, singles, frame, packet, flat)
                held_rows.append(where + [held_cell(state.get(r.label)) or na(r)
                                          for r in singles])
                rates = [s["held"] for s in state.values() if s["held"] > 0]
                if not rates:
                    continue
                rate = round(min(rates) * 0.9) or 1
                common[(net.name, frame, packet)] = rate
                at = c.measure_at(net, singles, frame, packet, rate, args.probe_seconds,
                                  what="CPU at")
                cpu_rows.append(where + [rate] + [
                    f"{num(per_gb(at[r.label], 'cpu'))} / {num(per_gb(at[r.label], 'host'))}"
                    + worker_cell(at[r.label])
                    + ("" if at[r.label]["whole"] >= at[r.label]["sent"] else
                       f" ({at[r.label]['sent'] - at[r.label]['whole']} lost)")
                    if at[r.label] else na(r) for r in singles])
    if not args.no_loss:
        veths = [n for n in nets if n.name.startswith("veth")] or nets[:1]
        for net in veths:
            packet = int(net.name.split()[-1]) if net.name.startswith("veth") else args.packets[0]
            frame = args.frames[0] if packet == 1500 else args.frames[-1]
            rate = common.get((net.name, frame, packet), 100)
            for loss in args.losses:
                for r in singles:
                    r.unavailable = None
                at = c.measure_at(net, singles, frame, packet, rate, args.probe_seconds, loss,
                                  what="under loss at")
                for r in singles:
                    x = at[r.label]
                    if x is None:
                        loss_rows.append([net.name, f"{frame[0]}x{frame[1]}", packet, rate,
                                          f"{loss:g}%", r.label, na(r), "", "", ""])
                        continue
                    loss_rows.append([net.name, f"{frame[0]}x{frame[1]}", packet, rate,
                                      f"{loss:g}%", r.label, num(x["whole"] / x["seconds"]),
                                      x["sent"] - x["whole"], x["requests"],
                                      num(per_gb(x, "cpu"))])
    multis = multi_receivers(args.zok_paths)
    if not args.no_multi:
        multis = chosen(multis, args.receivers, strict=False)
        frame = args.frames[0]
        for net in nets:
            for packet in args.packets:
                if net.name.startswith("veth") and (not net.name.endswith(str(packet)) or
                                                    not args.tables_on_veth):
                    continue
                for n in args.stream_counts:
                    for r in multis:
                        r.unavailable = None
                    flat = c.flat_out(net, multis, frame, packet, streams=n)
                    state = c.held(net, multis, frame, packet, flat, streams=n,
                                   steps=args.multi_steps)
                    rates = [s["held"] for s in state.values() if s["held"] > 0]
                    at = {}
                    if rates:
                        at = c.measure_at(net, multis, frame, packet, round(min(rates) * 0.9) or 1,
                                          args.probe_seconds, streams=n, what="CPU at")
                    row = [net.name, n, packet]
                    for r in multis:
                        held = held_cell(state.get(r.label), n)
                        if held is None:
                            row.append(na(r))
                            continue
                        x = at.get(r.label)
                        cpu = f"{num(per_gb(x, 'cpu'))} / {num(per_gb(x, 'host'))}" if x else "n/a"
                        row.append(f"{held}; {cpu}")
                    multi_rows.append(row)

    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    source = ("strobix --camera, started and stopped through Aravis's API for every receiver"
              if c.camera_mode else
              "plain strobix sending image blocks; Aravis's simulated camera for Aravis's "
              "control only (strobix has no camera mode in this build)")
    pinning = (f"cameras and controllers on CPU {c.sender_cpu}, receivers confined to CPU "
               f"{c.receiver_cpu}" if c.sender_cpu else "no CPU pinning")
    pinning += ("; cameras at real-time priority (chrt -r 1), controllers beside them at 2, "
                "receivers at an ordinary one" if c.camera_priority else
                "; cameras at an ordinary priority, sharing their CPU with the host's other work")
    doc = [f"# Receivers beside Aravis, {when}", "",
           f"Mode: {'quick (proves it works; figures mean nothing)' if args.quick else 'full'}. "
           f"Source: {source}. Host: {os.cpu_count()} CPUs, {os.uname().release}; {pinning}.",
           "", f"## Highest paced frame rate held {args.probe_seconds:g} s without a lost frame "
           f"(frames/s; bisection, {args.steps} steps)", ""]
    head = ["path", "frame", "packet"] + labels
    doc += table(head, held_rows)
    doc += ["", "## CPU s/GB at one rate every receiver held (receiving process / whole host; "
            "(worker): the library's receive worker thread alone)",
            ""]
    doc += table(["path", "frame", "packet", "frames/s"] + labels, cpu_rows)
    doc += ["", f"## Flat out: whole frames per second, camera as fast as it goes "
            f"({args.flat_seconds:g} s runs, median)", ""]
    doc += table(head, flat_rows)
    if not args.no_multi:
        doc += ["", f"## Streams in one process, {args.frames[0][0]}x{args.frames[0][1]}: "
                "aggregate frames/s held without loss; CPU s/GB (process / host) at one "
                "rate all held", ""]
        doc += table(["path", "streams", "packet"] + [r.label for r in multis], multi_rows)
    if not args.no_loss:
        doc += ["", "## Under loss: the camera drops the share given of first transmissions",
                ""]
        doc += table(["path", "frame", "packet", "frames/s asked", "loss", "receiver",
                      "whole frames/s", "frames lost", "resend requests", "CPU s/GB"], loss_rows)
    if c.notes:
        doc += [""] + [f"- {n}" for n in c.notes]
    doc += ["", f"Total time: {c.elapsed():.0f} s"]
    return doc


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
