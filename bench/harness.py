#!/usr/bin/env python3
"""Loopback throughput of the sender and the receivers, next to this host's limit.

Run through bench/run.sh, which builds the programs first; bench/README.md
explains every column. Nothing here judges a number: the machines that run
it are shared and noisy, so the output is a measurement, never a verdict.
"""

import argparse
import datetime
import glob
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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests", "lib"))
from zoktest import STROBIX_SENT as SENT_STROBIX  # noqa: E402
from zoktest import Program, read, report_value, udp_socket_state, wait_for  # noqa: E402

BLOCK_BYTES = 2 * 1024 * 1024
# A receiver that keeps up holds at most a block or so in its socket buffer;
# the kernel accounts about twice the data it queues.
CAUGHT_UP_BYTES = 4 * BLOCK_BYTES
# (GVSP packet size, UDP payload of the bare pair): the bare pair sends what
# fits the same IP packet, 20 + 8 bytes of IP and UDP header less.
PACKET_SIZES = [(1500, 1472), (9000, 8972)]
GVSP_HEADER = 8
LEADER_RAW = 20
TRAILER_RAW = 4
DELAYS_NS = [1_000, 10_000, 100_000, 1_000_000]
DELAY_BLOCKS = 1025  # fills the receivers' log of 1024 gaps once
TIME_BUDGET_S = 285  # the whole command has to finish in under five minutes
PAIR_SECONDS = 1.0  # the limit run paired with every other cell's run
DELAY_CHECK_S = 25  # what the delay check takes on a loaded host
HOST = "127.0.0.1"
TESTNET = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts",
                       "testnet.sh")


class Path:
    """Where a cell's traffic goes: loopback, or across a veth pair from a
    network namespace (the camera's side) to this host, at an MTU equal to
    the packet size. Senders run through `prefix`, receivers on `recv`."""

    def __init__(self, name, recv=HOST, send=HOST, prefix=(), skipped=None):
        self.name = name
        self.recv = recv
        self.send = send
        self.prefix = list(prefix)
        self.skipped = skipped  # why the path could not be made, or None


LOOPBACK = Path("loopback")


def gvsp_packets_per_block(packet_size, data_bytes=BLOCK_BYTES):
    per_packet = packet_size - 20 - 8 - GVSP_HEADER
    return -(-data_bytes // per_packet) + 2


def gvsp_udp_bytes_per_block(packet_size, data_bytes=BLOCK_BYTES):
    packets = gvsp_packets_per_block(packet_size, data_bytes)
    return data_bytes + packets * GVSP_HEADER + LEADER_RAW + TRAILER_RAW


class Unavailable(Exception):
    """A cell that cannot be measured; the message is shown instead of a number."""


# ---------------------------------------------------------------- processes

CLK_TCK = os.sysconf("SC_CLK_TCK")


def _stat_cpu(path):
    """(name, user + system seconds) from a /proc stat file, or None when it
    is gone. The name may hold spaces and parentheses: split at the last ')'."""
    try:
        with open(path) as f:
            head, fields = f.read().rsplit(")", 1)
    except OSError:
        return None
    fields = fields.split()
    return head.split("(", 1)[1], (int(fields[11]) + int(fields[12])) / CLK_TCK


def proc_cpu_seconds(pid):
    """User + system seconds of a live process (all its threads), or None."""
    stat = _stat_cpu(f"/proc/{pid}/stat")
    return stat[1] if stat else None


def thread_cpu_seconds(pid, name):
    """User + system seconds of a live process's threads called `name`, or
    None when it has none (the library's receive worker, apart from the
    program's own polling thread, which spins by design)."""
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return None
    times = [s[1] for s in (_stat_cpu(f"/proc/{pid}/task/{t}/stat") for t in tids)
             if s and s[0] == name]
    return sum(times) if times else None


def host_cpu_seconds():
    """(busy, softirq) CPU seconds of the whole host since boot, over all CPUs.

    Busy is user + nice + system + irq + softirq: idle, iowait and the time a
    hypervisor stole are no work of this host's. On a veth pair or loopback
    the receive side's kernel work runs in the sender's softirq, on the
    sender's CPU, where no receiver's own figure can see it."""
    try:
        with open("/proc/stat") as f:
            fields = [int(x) for x in f.readline().split()[1:8]]
    except (OSError, ValueError):
        return None
    user, nice, system, _idle, _iowait, irq, softirq = fields
    return (user + nice + system + irq + softirq) / CLK_TCK, softirq / CLK_TCK


def host_cpu_since(before):
    """{"host": busy s, "softirq": s} since a host_cpu_seconds() reading, or {}."""
    after = host_cpu_seconds()
    if before is None or after is None:
        return {}
    return {"host": after[0] - before[0], "softirq": after[1] - before[1]}


class Child(Program):
    """A started program whose output goes to files and whose CPU time is kept."""

    live = []

    def __init__(self, argv, workdir, name, env=None, stdin=subprocess.DEVNULL):
        super().__init__(argv, name, workdir, env, stdin)
        self.name = name
        Child.live.append(self)

    def wait(self, timeout):
        ended = super().wait(timeout)
        if ended and self in Child.live:
            Child.live.remove(self)
        return ended

    def output(self):
        return self.out

    def error_tail(self):
        lines = [line.strip() for line in self.err.splitlines() if line.strip()]
        return lines[-1] if lines else ""

    def wait_for_line(self, needle, timeout):
        return self.wait_for_text(needle, timeout, "out")

    def failure(self, what):
        tail = self.error_tail()
        state = "still running" if self.status is None else f"exit {self.status}"
        return f"{what} ({state}{': ' + tail if tail else ''})"

    @classmethod
    def stop_all(cls):
        for child in list(cls.live):
            child.stop(signal.SIGKILL, 1.0)


def worker_running(pid):
    """Whether the process has a thread besides its main one and every
    thread of it has run: a receiver's worker is started and at work."""
    runs = []
    for task in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        try:
            runs.append(int(read(task).split()[0]))
        except (OSError, IndexError, ValueError):
            return False
    return len(runs) >= 2 and all(runs)


def start_workergrab(argv, out_path, timeout=10):
    """workergrab (argv, behind any wrappers that exec it) with its output
    in out_path, once it has queued its buffers and its worker has begun to
    run, so that what is measured from then on includes the worker."""
    proc = subprocess.Popen(argv, stdout=open(out_path, "w"), stderr=subprocess.STDOUT)
    if not wait_for(lambda: "Queued" in read(out_path) and worker_running(proc.pid), timeout,
                    proc):
        proc.kill()
        raise RuntimeError(f"workergrab did not start: {read(out_path)[-300:]}")
    return proc


# ------------------------------------------------------------------ parsing


def wait_for_drain(port, timeout, below=1):
    """Waits until the socket on port holds less than below bytes (the kernel's
    accounting, about twice the data); returns its state then."""
    deadline = time.monotonic() + timeout
    while True:
        state = udp_socket_state(port)
        if state is None or state[0] < below or time.monotonic() >= deadline:
            return state
        time.sleep(0.01)


def time_to_empty(port, since, timeout, backlog=CAUGHT_UP_BYTES):
    """Seconds after the monotonic time since until the socket on port held
    less than backlog bytes."""
    pause = since - time.monotonic()
    if pause > 0:
        time.sleep(pause)
    wait_for_drain(port, timeout, backlog)
    return max(0.0, time.monotonic() - since)


# The library's own account of lost blocks, as the report prints it.
LOSS_LABELS = (("Blocks Incomplete:", "incomplete"), ("Blocks Dropped:", "dropped"),
               ("Blocks Not Available:", "not available"))

SENT_BLASTER = re.compile(r"Sent (\d+) datagrams, (\d+) bytes in ([\d.]+) s")
RECEIVED_SINK = re.compile(r"Received (\d+) datagrams, (\d+) bytes in ([\d.]+) s")


def gap_log(text):
    """The -t inter-arrival log: nanosecond gaps after its heading.

    Each gap has the counter's own read cost taken off, so a gap shorter than
    that cost is negative and comes out of the unsigned conversion near 2^64;
    it is read back as the small negative number it is.
    """
    head = text.find("Time between receives in nanoseconds")
    if head < 0:
        return None
    gaps = []
    for line in text[head:].splitlines()[1:]:
        if not line.strip().isdigit():
            break
        value = int(line)
        gaps.append(value - 2**64 if value >= 2**63 else value)
    return gaps


# ------------------------------------------------------------------- bench


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build_dir)
        self.workdir = tempfile.mkdtemp(prefix="zok-bench-")
        self.port = args.base_port
        self.two_cpus = (os.cpu_count() or 1) >= 2 and not args.no_pin
        self.sender_cpu, self.receiver_cpu = ("0", "1") if self.two_cpus else (None, None)
        self.notes = []
        self.started = time.monotonic()
        self.programs = {
            "blaster": os.path.join(self.build, "bench", "blaster"),
            "sink": os.path.join(self.build, "bench", "sink"),
            "strobix": os.path.join(self.build, "strobix", "strobix"),
            "plaingrab": os.path.join(self.build, "plaingrab", "plaingrab"),
            "workergrab": os.path.join(self.build, "workergrab", "workergrab"),
        }
        self.strobix_rate = {}  # packet size -> blocks/s strobix reached into the sink
        self.veth = {}  # packet size -> Path across the test network
        self.veth_names = []

    def next_ports(self):
        self.port += 2
        if self.port > self.args.base_port + 2000:
            self.port = self.args.base_port + 2
        return self.port, self.port + 1

    def program(self, name):
        path = self.programs[name]
        if not os.access(path, os.X_OK):
            raise Unavailable(f"{name} not built")
        if name in ("plaingrab", "workergrab"):
            library = self.loaded_library(path)
            if library is None:
                raise Unavailable(f"{name}: libzok not found")
            if os.sep + "double" + os.sep in library:
                raise Unavailable(f"{name} linked against the library double")
        return path

    def loaded_library(self, path):
        try:
            out = subprocess.run(["ldd", path], capture_output=True, text=True, timeout=10).stdout
        except (OSError, subprocess.TimeoutExpired):
            return None
        match = re.search(r"libzok\.so\.0 => (\S+)", out)
        return match.group(1) if match and match.group(1) != "not" else None

    def pinned(self, cpu, argv):
        return self.realtime() + (["taskset", "-c", cpu] if cpu is not None else []) + argv

    def line_buffered(self, argv, realtime=True):
        """A receiver whose setup lines can be watched while it runs."""
        return (self.realtime() if realtime else []) + ["stdbuf", "-oL"] + argv

    def realtime(self):
        # Lowest real-time priority: ahead of every ordinary task, such as
        # other people's compilers on a shared machine, and still below the
        # kernel's own threads; the kernel's real-time throttling keeps a
        # spinning receiver from starving the host.
        return ["chrt", "-f", "1"] if self.args.realtime else []

    def elapsed(self):
        return time.monotonic() - self.started

    # One measurement of each kind returns a dict of raw figures:
    #   seconds (sender's transfer time), packets, udp_bytes, blocks,
    #   lost (count), lost_unit ("pkts" or ""), cpu (receiver CPU s over the
    #   traffic), notes (list of short texts)

    def sink_run(self, sender_name, sender_argv_for, secs, path=LOOPBACK):
        stream_port, resend_port = self.next_ports()
        sink = Child(self.pinned(self.receiver_cpu, [self.program("sink"), "-p", "-q", "300", "-w", "20",
                                                     f"{path.recv}:{stream_port}"]),
                     self.workdir, "sink")
        try:
            if not sink.wait_for_line("Listening", 5):
                raise Unavailable(sink.failure("sink did not start"))
            before = proc_cpu_seconds(sink.pid) or 0.0
            host_before = host_cpu_seconds()
            sender = Child(path.prefix + self.pinned(self.sender_cpu,
                                                     sender_argv_for(stream_port, resend_port)),
                           self.workdir, "sender")
            if not sender.wait(secs * 4 + 20):
                sender.stop(signal.SIGKILL)
                raise Unavailable("sender did not finish")
            sender_text = sender.output()
            if sender.status != 0:
                raise Unavailable(sender.failure(sender_name + " failed"))
            if not sink.wait(5):
                sink.stop()
            host = dict(host_cpu_since(host_before), sender=sender.cpu)
            match = RECEIVED_SINK.search(sink.output())
            if not match:
                raise Unavailable(sink.failure("no sink report"))
            received, received_bytes = int(match.group(1)), int(match.group(2))
            return sender_text, received, received_bytes, (sink.cpu or 0.0) - before, host
        finally:
            sink.stop()

    def measure_limit(self, size, payload, secs, path=LOOPBACK):
        if path.skipped:
            raise Unavailable(path.skipped)
        blaster = self.program("blaster")
        text, received, received_bytes, cpu, host = self.sink_run(
            "blaster",
            lambda port, _: [blaster, "-s", str(payload), "-d", str(secs), f"{path.recv}:{port}"],
            secs, path)
        match = SENT_BLASTER.search(text)
        if not match:
            raise Unavailable("no blaster report")
        sent, seconds = int(match.group(1)), float(match.group(3))
        packets_per_block = gvsp_packets_per_block(size)
        return {"seconds": seconds, "packets": received, "udp_bytes": received_bytes,
                "blocks": received / packets_per_block, "lost": sent - received,
                "lost_unit": " pkts", "cpu": cpu, "notes": [], **host}

    def strobix_argv(self, size, stream_port, resend_port, extra, pattern, path=LOOPBACK):
        # -c only where the receiver checks the payload: filling the pattern
        # is strobix's own cost, and a plain stream is the harder test of a
        # receiver that does not look at the bytes.
        return ([self.program("strobix")] + (["-c"] if pattern else []) +
                ["-k", str(size), "-s", str(BLOCK_BYTES), "-l", f"{path.send}:{resend_port}"] +
                extra + [f"{path.recv}:{stream_port}"])

    def measure_strobix_sink(self, size, payload, secs, pattern):
        text, received, received_bytes, cpu, host = self.sink_run(
            "strobix",
            lambda port, resend: self.strobix_argv(size, port, resend,
                                                   ["-n", "-1", "-T", f"{secs:g}"], pattern),
            secs)
        match = SENT_STROBIX.search(text)
        if not match:
            raise Unavailable("no strobix report")
        blocks, packets = int(match.group(1)), int(match.group(2))
        seconds = float(match.group(4))
        packets_per_block = packets / blocks if blocks else gvsp_packets_per_block(size)
        if seconds > 0 and blocks > 0:
            self.strobix_rate[size] = max(self.strobix_rate.get(size, 0.0), blocks / seconds)
        return {"seconds": seconds, "packets": received, "udp_bytes": received_bytes,
                "blocks": received / packets_per_block, "lost": packets - received,
                "lost_unit": " pkts", "cpu": cpu, "notes": [], **host}

    def receiver_argv(self, name, stream_port, resend_port, blocks, verify, mode, extra=(),
                      path=LOOPBACK):
        # workergrab as a whole too: its worker and its polling main thread
        # share the CPU of -c at one priority and yield to each other. -c pins
        # only the program's thread and libzok's worker runs where the process
        # may, so the process is confined to that CPU as well; otherwise the
        # worker would share the sender's CPU on a two-CPU host.
        confine = ["taskset", "-c", self.receiver_cpu] if self.receiver_cpu is not None else []
        argv = self.line_buffered(confine + [self.program(name), "-i", str(blocks), "-s",
                                             str(BLOCK_BYTES), "-P", f"{path.send}:{resend_port}"])
        if self.receiver_cpu is not None:
            argv += ["-c", self.receiver_cpu]
        if verify:
            argv.append("--verify-payload")
        if mode is not None:
            argv += ["-w", str(mode)]
        return argv + list(extra) + [f"{path.recv}:{stream_port}"]

    def measure_receiver(self, size, payload, secs, name, verify, mode, pattern, path=LOOPBACK,
                         receive=None):
        if path.skipped:
            raise Unavailable(path.skipped)
        # libzok's receive path; unset, its default (the socket) is taken.
        env = None
        if receive is not None:
            env = dict(os.environ, ZOK_RECEIVE=receive, ZOK_VERBOSE="1")
        self.program(name)
        self.program("strobix")
        rate = self.strobix_rate.get(size)
        if rate is None:
            raise Unavailable("strobix rate unknown (strobix -> sink failed)")
        # Twice what strobix can send in the time: the receiver never reaches
        # its -i before strobix stops, however fast it is.
        blocks = int(2 * rate * secs) + 16
        stream_port, resend_port = self.next_ports()
        receiver = Child(self.receiver_argv(name, stream_port, resend_port, blocks, verify, mode,
                                            path=path),
                         self.workdir, name, env)
        try:
            if not receiver.wait_for_line("Queued", 10):
                raise Unavailable(receiver.failure(f"{name} did not start"))
            if receive == "xdp":
                # Said on standard error at open, before the buffers were queued.
                with open(receiver.err_path, errors="replace") as f:
                    if "receive path xdp (" not in f.read():
                        raise Unavailable(receiver.failure(f"{name} did not take AF_XDP"))
            notes = []
            before = proc_cpu_seconds(receiver.pid)
            host_before = host_cpu_seconds()
            sender = Child(path.prefix + self.pinned(self.sender_cpu,
                                                     self.strobix_argv(size, stream_port,
                                                                       resend_port,
                                                                       ["-n", "-1", "-T",
                                                                        f"{secs:g}"],
                                                                       pattern, path)),
                           self.workdir, "strobix")
            # strobix sends for secs, then lingers for resend requests. A
            # receiver slower than strobix still has a backlog in its socket
            # buffer when the sending stops; the time it takes to empty it is
            # part of the receiver's time, or the buffer would hide that it
            # fell behind.
            drain = time_to_empty(stream_port, sender.started + secs, 10.0)
            if not sender.wait(secs * 4 + 30):
                sender.stop(signal.SIGKILL)
                raise Unavailable("strobix did not finish")
            if sender.status != 0:
                raise Unavailable(sender.failure("strobix failed"))
            match = SENT_STROBIX.search(sender.output())
            if not match:
                raise Unavailable("no strobix report")
            sent, packets, seconds = int(match.group(1)), int(match.group(2)), float(match.group(4))
            # What the kernel still holds for the receiver belongs to this
            # run: let it be taken before the receiver is told to report, and
            # count the time it takes, so that a receiver slower than strobix
            # is not credited with the sender's rate because the socket
            # buffer hid the difference.
            state = wait_for_drain(stream_port, 5.0)
            if state and state[0]:
                notes.append(f"{state[0]} bytes left in the socket")
            if drain >= 0.05:
                notes.append(f"socket emptied {drain:.2f} s after strobix's last block")
            seconds += drain
            kernel_drops = state[1] if state else 0
            time.sleep(0.05)
            after = proc_cpu_seconds(receiver.pid)
            host = host_cpu_since(host_before)
            if after is None:
                if receiver.wait(1.0):
                    notes.append(f"ended before strobix stopped (exit {receiver.status})")
                    after = receiver.cpu
            receiver.stop()
            if receiver.killed:
                notes.append("did not end within 3 s of SIGINT: killed")
            cpu = (after or 0.0) - (before or 0.0)
            text = receiver.output()
            received = report_value(text, "Blocks received:")
            if received is None:
                raise Unavailable(receiver.failure(f"no {name} report"))
            if "Failed to verify block" in text:
                notes.append("payload check failed")
            breakdown = {short: report_value(text, label) or 0
                         for label, short in LOSS_LABELS}
            packets_per_block = packets / sent if sent else gvsp_packets_per_block(size)
            return {"seconds": seconds, "packets": received * packets_per_block,
                    "udp_bytes": received * gvsp_udp_bytes_per_block(size),
                    "blocks": received, "lost": max(0, sent - received), "lost_unit": "",
                    "cpu": cpu, "notes": notes, **host, "sender": sender.cpu,
                    "breakdown": dict(breakdown, **{"kernel drops": kernel_drops})}
        finally:
            receiver.stop()

    # ------------------------------------------------------------- the table

    def cells(self):
        """Every row of the table, per packet size, in the order measured."""
        rows = [("limit: blaster -> sink", "limit", {}),
                ("strobix -> sink", "strobix_sink", {"pattern": False}),
                ("strobix -c -> sink", "strobix_sink", {"pattern": True})]
        for verify in (False, True):
            tag, sender = (", verify", "strobix -c") if verify else ("", "strobix")
            rows.append((f"{sender} -> plaingrab{tag}", "receiver",
                         {"name": "plaingrab", "verify": verify, "mode": None,
                          "pattern": verify}))
            for mode in self.args.worker_modes:
                rows.append((f"{sender} -> workergrab -w {mode}{tag}", "receiver",
                             {"name": "workergrab", "verify": verify, "mode": mode,
                              "pattern": verify}))
        if self.args.veth_only:
            # strobix's rate into the sink still sets every receiver's -i.
            rows = rows[1:2]
        cells = [(label, kind, params, size, payload)
                 for size, payload in PACKET_SIZES for label, kind, params in rows]
        if self.args.no_veth:
            return cells
        # The same programs across a veth pair, beside the loopback rows: the
        # bare limit and the two receivers as they are usually run, on
        # libzok's socket path and on its AF_XDP path (which `auto` would
        # take here as root).
        veth_rows = [("veth: limit: blaster -> sink", "limit", {})]
        for receive, tag in (("socket", ""), ("xdp", ", AF_XDP")):
            veth_rows.append((f"veth: strobix -> plaingrab{tag}", "receiver",
                              {"name": "plaingrab", "verify": False, "mode": None,
                               "pattern": False, "receive": receive}))
            veth_rows += [(f"veth: strobix -> workergrab -w {mode}{tag}", "receiver",
                           {"name": "workergrab", "verify": False, "mode": mode,
                            "pattern": False, "receive": receive})
                          for mode in self.args.worker_modes[:1]]
        for size, payload in PACKET_SIZES:
            path = self.veth_path(size)
            cells += [(label, kind, dict(params, path=path), size, payload)
                      for label, kind, params in veth_rows]
        return cells

    def veth_path(self, size):
        """The test network for one packet size, made on first use."""
        if size in self.veth:
            return self.veth[size]
        name = f"bench{size}-{os.getpid()}"
        try:
            up = subprocess.run([TESTNET, "up", "--name", name, "--mtu", str(size)],
                                capture_output=True, text=True, timeout=60)
        except (OSError, subprocess.TimeoutExpired) as error:
            up = subprocess.CompletedProcess([], 1, "", str(error))
        env = dict(line.split("=", 1) for line in up.stdout.splitlines() if "=" in line)
        if up.returncode != 0 or "TESTNET_NS" not in env:
            why = (up.stdout.strip() or up.stderr.strip() or "testnet.sh up failed").splitlines()[0]
            path = Path(f"veth {size}", skipped=f"no veth pair: {why}")
            self.notes.append(f"veth rows at {size} skipped: {why}")
        else:
            self.veth_names.append(name)
            path = Path(f"veth {size}", recv=env["TESTNET_HOST_ADDR"],
                        send=env["TESTNET_CAM_ADDR"],
                        prefix=["ip", "netns", "exec", env["TESTNET_NS"]])
        self.veth[size] = path
        return path

    def remove_networks(self):
        for name in self.veth_names:
            subprocess.run([TESTNET, "down", "--name", name], capture_output=True, timeout=60)
        self.veth_names = []

    def measure(self, kind, params, size, payload, secs):
        if kind == "limit":
            return self.measure_limit(size, payload, secs, **params)
        if kind == "strobix_sink":
            return self.measure_strobix_sink(size, payload, secs, **params)
        return self.measure_receiver(size, payload, secs, **params)

    def pair_seconds(self):
        return min(PAIR_SECONDS, self.args.seconds / 2)

    def run_table(self):
        cells = self.cells()
        results = {i: [] for i in range(len(cells))}
        failures = {}
        runs = self.args.runs
        secs = self.args.seconds
        # Rounds go over every cell in turn, so that a noisy minute spreads
        # over all rows instead of spoiling one.
        reserve = 0 if self.args.no_delay else DELAY_CHECK_S
        took = {}  # cell -> seconds its last run took
        for round_no in range(runs):
            order = list(range(len(cells)))
            if round_no > 0:
                # The limit rows are every ratio's denominator: when the time
                # budget cuts a round short, it cuts receiver rows first.
                order.sort(key=lambda i: cells[i][1] == "receiver")
            limit_of = {(cells[i][3], cells[i][2].get("path", LOOPBACK)): i
                        for i in range(len(cells)) if cells[i][1] == "limit"}
            for i in order:
                label, kind, params, size, payload = cells[i]
                if i in failures:
                    continue
                # A loaded host makes every run slower; later rounds give way
                # rather than let the whole command outgrow its five minutes.
                if round_no > 0 and self.elapsed() + took.get(i, 0) + reserve > TIME_BUDGET_S:
                    self.notes.append(f"time budget reached: round {round_no + 1} stopped "
                                      f"before '{label}' at {size}")
                    return cells, results, failures
                sys.stderr.write(f"[{self.elapsed():6.1f}s] round {round_no + 1}/{runs}: "
                                 f"{label} @ {size}\n")
                started = time.monotonic()
                try:
                    # The host's speed drifts by tens of percent within a
                    # minute: every other cell's run is paired with a short
                    # limit run just before it, and its ratios are taken to
                    # that one (the limit row keeps every limit run).
                    pair = None
                    path = params.get("path", LOOPBACK)
                    li = limit_of.get((size, path))
                    if kind != "limit" and li is not None and li not in failures:
                        pair = self.measure_limit(size, payload, self.pair_seconds(), path)
                        pair["paired"] = True
                    result = self.measure(kind, params, size, payload, secs)
                    if pair is not None:
                        results[li].append(pair)
                        result["limit"] = pair
                    results[i].append(result)
                except Unavailable as why:
                    failures[i] = str(why)
                took[i] = time.monotonic() - started
        return cells, results, failures

    # --------------------------------------------------------- delay check

    def measure_gaps(self, delay_ns):
        """plaingrab's own time per block with -D delay_ns: the median gap of a drained backlog.

        The receiver is stopped (SIGSTOP) while strobix queues DELAY_BLOCKS
        small blocks in its socket, then let go: every block is already
        waiting when the previous one is done, so each gap is the receiver's
        time per block, delay included, however fast or slow the sender is.
        """
        stream_port, resend_port = self.next_ports()
        # 1 ns converts to no iteration at all: the baseline then calibrates
        # and reads the counter exactly like the delayed runs, but never waits.
        receiver = Child(self.line_buffered(
            [self.program("plaingrab"), "-i", str(DELAY_BLOCKS), "-s", "4096",
             "-P", f"{HOST}:{resend_port}", "-t", "-T", "60", "-D", str(delay_ns or 1)]
            + (["-c", self.receiver_cpu] if self.receiver_cpu else [])
            + [f"{HOST}:{stream_port}"]), self.workdir, "plaingrab-delay")
        try:
            if not receiver.wait_for_line("Queued", 10):
                raise Unavailable(receiver.failure("plaingrab did not start"))
            os.kill(receiver.pid, signal.SIGSTOP)
            try:
                sender = Child(self.pinned(self.sender_cpu,
                                           [self.program("strobix"), "-k", "1500", "-s", "1024",
                                            "-a", "-n", str(DELAY_BLOCKS), "-W", "0",
                                            "-l", f"{HOST}:{resend_port}",
                                            f"{HOST}:{stream_port}"]),
                               self.workdir, "strobix-delay")
                if not sender.wait(30):
                    sender.stop(signal.SIGKILL)
                    raise Unavailable("strobix did not finish")
                if sender.status != 0 or not SENT_STROBIX.search(sender.output()):
                    raise Unavailable(sender.failure("strobix failed"))
            finally:
                os.kill(receiver.pid, signal.SIGCONT)
            # Blocks the library could not place (no free buffer) never come,
            # so the receiver may wait for more than it will get.
            receiver.wait(0.3 + DELAY_BLOCKS * (delay_ns + 5_000) * 1.5e-9)
            receiver.stop()
            text = receiver.output()
            gaps = gap_log(text)
            if not gaps:
                raise Unavailable(receiver.failure("no gap log"))
            iters = re.search(r"it takes (-?\d+) iters to generate", text)
            return statistics.median(gaps), len(gaps), int(iters.group(1)) if iters else None
        finally:
            receiver.stop()

    def run_delay_check(self):
        rows = []
        try:
            self.program("plaingrab")
            self.program("strobix")
            sys.stderr.write(f"[{self.elapsed():6.1f}s] delay check: baseline\n")
            base, _, _ = self.measure_gaps(0)
        except Unavailable as why:
            return [(d, None, None, None, str(why)) for d in DELAYS_NS], None
        for delay in DELAYS_NS:
            sys.stderr.write(f"[{self.elapsed():6.1f}s] delay check: -D {delay}\n")
            try:
                gap, count, iters = self.measure_gaps(delay)
            except Unavailable as why:
                rows.append((delay, None, None, None, str(why)))
                continue
            note = f"{count} gaps; {iters if iters is not None else '?'} busy-loop iterations"
            rows.append((delay, gap, gap - base, (gap - base) / delay, note))
        return rows, base


# ------------------------------------------------------------------ output


def fmt(value, digits=3):
    if value is None:
        return "n/a"
    if abs(value) >= 1000:
        return f"{value:,.0f}"
    return f"{value:.{digits}g}" if value != 0 else "0"


# The receiving process's own CPU, the sender's, the whole host's and the
# host's softirq.
CPU_KEYS = ("cpu_gb", "sender_gb", "host_gb", "softirq_gb")


def per_gb(run, key):
    """CPU seconds of one kind per 10^9 bytes moved, or None."""
    if not run["udp_bytes"] or run.get(key) is None:
        return None
    return run[key] / (run["udp_bytes"] / 1e9)


def summarise(runs):
    """Median of every figure over the runs of one cell."""
    timed = [r for r in runs if r["seconds"] > 0]
    rates = [{"blocks_s": r["blocks"] / r["seconds"],
              "gbit_s": r["udp_bytes"] * 8 / r["seconds"] / 1e9,
              "mpps": r["packets"] / r["seconds"] / 1e6,
              "lost": r["lost"],
              "cpu_gb": per_gb(r, "cpu"), "sender_gb": per_gb(r, "sender"),
              "host_gb": per_gb(r, "host"),
              "softirq_gb": per_gb(r, "softirq")}
             for r in timed]
    if not rates:
        return None
    out = {key: statistics.median(x[key] for x in rates if x[key] is not None)
           if any(x[key] is not None for x in rates) else None
           for key in ("blocks_s", "gbit_s", "mpps", "lost") + CPU_KEYS}
    out["lost_unit"] = runs[0]["lost_unit"]
    out["runs"] = len(rates)
    # Each run's figures over those of the limit run paired with it.
    paired = [(rate, summarise([r["limit"]])) for rate, r in zip(rates, timed) if r.get("limit")]
    out["ratios"] = {}
    for key in ("blocks_s", "gbit_s", "mpps") + CPU_KEYS:
        quotients = [rate[key] / lim[key] for rate, lim in paired
                     if lim and rate[key] is not None and lim.get(key)]
        if quotients:
            out["ratios"][key] = statistics.median(quotients)
    notes = []
    for r in runs:
        for n in r["notes"]:
            if n not in notes:
                notes.append(n)
    # Loss causes are counts like the others: their medians, not a list.
    causes = [r["breakdown"] for r in runs if r.get("breakdown")]
    for cause in (causes[0] if causes else {}):
        value = statistics.median(c.get(cause, 0) for c in causes)
        if value:
            notes.append(f"{cause} {value:g}")
    out["notes"] = notes
    return out


def with_ratio(value, limit, digits=3, ratio=None):
    if value is None:
        return "n/a"
    if ratio is None and limit:
        ratio = value / limit
    if ratio is None:
        return fmt(value, digits)
    return f"{fmt(value, digits)} ({ratio:.2f})"


def render_table(bench, cells, results, failures):
    lines = ["| receiver (sender -> receiver) | packet | blocks/s | Gbit/s | Mpps | lost | "
             "CPU s/GB | sender CPU s/GB | host CPU s/GB | softirq s/GB | runs | notes |",
             "|---|---|---|---|---|---|---|---|---|---|---|---|"]
    limits = {}
    plot_rows = {}
    for i, (label, kind, params, size, _payload) in enumerate(cells):
        summary = summarise(results[i]) if results[i] else None
        where = (size, params.get("path", LOOPBACK))
        if kind == "limit" and summary:
            limits[where] = summary
        limit = limits.get(where, {})
        if summary is None:
            reason = failures.get(i, "not run")
            lines.append(f"| {label} | {size} | " + "n/a | " * 8 + f"0 | {reason} |")
            plot_rows.setdefault(label, {})[size] = None
            continue
        notes = list(summary["notes"])
        if i in failures:
            notes.append("later run failed: " + failures[i])
        lost = "n/a" if summary["lost"] is None else f"{summary['lost']:.0f}{summary['lost_unit']}"
        ratios = summary["ratios"] if kind != "limit" else {}

        def cell(key, digits=3):
            return with_ratio(summary[key], limit.get(key), digits, ratios.get(key))

        lines.append(
            f"| {label} | {size} | {cell('blocks_s')} | {cell('gbit_s')} | {cell('mpps')} | "
            f"{lost} | {cell('cpu_gb')} | {cell('sender_gb')} | {cell('host_gb')} | "
            f"{cell('softirq_gb')} | "
            f"{summary['runs']} | {'; '.join(notes)} |")
        plot_rows.setdefault(label, {})[size] = summary["gbit_s"]
    return lines, plot_rows


def render_delay(rows, base):
    lines = ["| -D asked | median gap | extra per block | extra / asked | notes |",
             "|---|---|---|---|---|",
             f"| none (-D 1: no iteration) | {fmt(base) + ' ns' if base is not None else 'n/a'}"
             " | | | |"]
    for delay, gap, extra, ratio, note in rows:
        if gap is None:
            lines.append(f"| {delay} ns | n/a | n/a | n/a | {note} |")
        else:
            lines.append(f"| {delay} ns | {fmt(gap)} ns | {fmt(extra)} ns | {ratio:.2f} | "
                         f"{note} |")
    return lines


def write_plot(out_dir, plot_rows):
    if not any(v is not None for by_size in plot_rows.values() for v in by_size.values()):
        return None, "no Gbit/s figure to plot"
    if shutil.which("gnuplot") is None:
        return None, "gnuplot not installed (apt-get install gnuplot-nox): plot skipped"
    data = os.path.join(out_dir, "gbits.dat")
    png = os.path.join(out_dir, "gbits.png")
    with open(data, "w") as f:
        f.write("label " + " ".join(str(s) for s, _ in PACKET_SIZES) + "\n")
        for label, by_size in plot_rows.items():
            cols = ["?" if by_size.get(s) is None else f"{by_size[s]:.4f}"
                    for s, _ in PACKET_SIZES]
            f.write('"' + label.replace('"', "'") + '" ' + " ".join(cols) + "\n")
    # Boxes at explicit positions rather than a histogram: a row without a
    # figure must keep its place and label, not vanish from the axis.
    script = f"""
set terminal pngcairo size 1200,640 noenhanced font ',10'
set output '{png}'
set title 'Loopback Gbit/s per receiver and packet size (median of runs; missing bar = n/a)'
set style fill solid 0.8 border -1
set datafile missing '?'
set key top right
set ylabel 'Gbit/s'
set yrange [0:*]
set xrange [-0.6:{len(plot_rows) - 0.4}]
set xtics rotate by 30 right nomirror
set bmargin 10
set lmargin 22
plot '{data}' skip 1 using ($0-0.2):2:(0.4) with boxes title '{PACKET_SIZES[0][0]}', \\
     '' skip 1 using ($0+0.2):3:(0.4) with boxes title '{PACKET_SIZES[1][0]}', \\
     '' skip 1 using 0:(0):xtic(1) with points pointsize 0 notitle
"""
    result = subprocess.run(["gnuplot"], input=script, text=True, capture_output=True)
    if result.returncode != 0 or not os.path.exists(png):
        # pngcairo is not in every build; the plain png terminal is.
        script = script.replace("pngcairo size 1200,640 noenhanced font ',10'",
                                "png size 1200,640 noenhanced")
        result = subprocess.run(["gnuplot"], input=script, text=True, capture_output=True)
    if result.returncode != 0 or not os.path.exists(png):
        return None, "gnuplot failed: " + result.stderr.strip().splitlines()[-1:][0] \
            if result.stderr.strip() else "gnuplot failed"
    return png, None


def parse_args(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--short", action="store_true",
                   help="one run per cell of about a second: proves it works, measures nothing")
    p.add_argument("--build-dir", default=os.path.join(os.path.dirname(here), "build", "bench"))
    p.add_argument("--out", help="directory for the Markdown table and the plot "
                                 "(default bench/results/<UTC time>)")
    p.add_argument("--runs", type=int, help="runs per cell (default 3, short mode 1)")
    p.add_argument("--seconds", type=float, help="seconds of traffic per run (default 3, short 1)")
    p.add_argument("--worker-modes", default="0,1",
                   help="workergrab -w values to measure, comma-separated (default 0,1)")
    p.add_argument("--no-pin", action="store_true", help="run without CPU pinning")
    p.add_argument("--realtime", action="store_true",
                   help="run senders and receivers at real-time priority (chrt -f 1), "
                        "for figures that other load on the host does not bend")
    p.add_argument("--no-delay", action="store_true", help="skip the delay-accuracy check")
    p.add_argument("--no-veth", action="store_true",
                   help="skip the rows across a veth pair (scripts/testnet.sh, needs root)")
    p.add_argument("--delay-only", action="store_true", help="run only the delay-accuracy check")
    p.add_argument("--veth-only", action="store_true",
                   help="run only the veth rows (and strobix -> sink, which sets the receivers' "
                        "block count); no delay check")
    # Random by default, below the kernel's ephemeral range, so that two
    # benchmarks started on one host at once do not take each other's ports.
    p.add_argument("--base-port", type=int, default=random.randrange(20000, 30000, 2))
    args = p.parse_args(argv)
    args.runs = args.runs or (1 if args.short else 3)
    args.seconds = args.seconds or (1.0 if args.short else 3.0)
    args.worker_modes = [m.strip() for m in args.worker_modes.split(",") if m.strip()]
    if args.veth_only:
        if args.no_veth:
            p.error("--veth-only and --no-veth exclude each other")
        args.no_delay = True
    if args.out is None:
        stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%d-%H%M%SZ")
        args.out = os.path.join(here, "results", stamp)
    return args


def main(argv):
    args = parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    bench = Bench(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    try:
        cells, results, failures = ([], {}, {}) if args.delay_only else bench.run_table()
        delay_rows, delay_base = ([], None) if args.no_delay else bench.run_delay_check()
    finally:
        Child.stop_all()
        bench.remove_networks()
        shutil.rmtree(bench.workdir, ignore_errors=True)

    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    pinning = "no CPU pinning"
    if bench.two_cpus:
        pinning = (f"senders (blaster, strobix) pinned to CPU {bench.sender_cpu} with taskset; "
                   f"sink with taskset and receivers with taskset and -c on CPU {bench.receiver_cpu}")
    if args.realtime:
        pinning = "real-time priority (chrt -f 1) for every measured program; " + pinning
    mode = ("short (one run per cell, proves it works; figures mean nothing)" if args.short
            else "full")
    table, plot_rows = render_table(bench, cells, results, failures)
    png, plot_note = write_plot(args.out, plot_rows)
    doc = [f"# Loopback benchmark, {when}", "",
           f"Command: `python3 bench/harness.py {shlex.join(argv)}`", "",
           f"Mode: {mode}; "
           f"{args.runs} run(s) per cell of {args.seconds:g} s of traffic, 2 MiB blocks, "
           f"median per figure; (x) = median over the runs of the figure "
           f"divided by that of a {bench.pair_seconds():g} s limit run (blaster -> sink, same packet "
           f"size) made just before it; the limit rows hold every limit run.",
           f"Host: {os.cpu_count()} CPUs, {os.uname().release}; {pinning}.", ""]
    if not args.no_veth and not args.delay_only:
        doc[-1:-1] = ["veth rows: the sender in a network namespace (scripts/testnet.sh), the "
                      "receiver on this host, across a veth pair whose MTU is the packet size; "
                      "their (x) is to a limit run across the same pair.", ""]
    doc += table
    if bench.notes:
        doc += [""] + [f"- {n}" for n in bench.notes]
    if not args.no_delay:
        doc += ["", "## Synthetic delay (-D) accuracy: plaingrab draining a backlog of "
                f"{DELAY_BLOCKS} 1 KiB all-in blocks", ""]
        doc += render_delay(delay_rows, delay_base)
    doc += ["", f"Plot: {png}" if png else f"Plot: none ({plot_note})",
            f"Total time: {bench.elapsed():.0f} s"]
    text = "\n".join(doc) + "\n"
    with open(os.path.join(args.out, "bench.md"), "w") as f:
        f.write(text)
    sys.stdout.write(text)
    sys.stdout.write(f"\nWritten: {os.path.join(args.out, 'bench.md')}\n")
    # The bare pair needs nothing of the project, so a limit row without a
    # figure means the harness itself is broken; every other row may be n/a.
    broken = [cells[i][3] for i in results
              if cells[i][1] == "limit" and "path" not in cells[i][2] and not results[i]]
    if broken:
        sys.stderr.write(f"limit not measured for packet size(s) {broken}\n")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
