"""What the Python scenarios (tests/net, tests/soak, tests/golden) and the
bench harness share: how a program is run and waited for, how a free port
and a bound one are found, and how the receivers', strobix's and the
probes' reports are read. Standard library only.

One convention for a program's end, the same as the C++ runners of
tests/lib: its exit code, or minus the signal number when a signal ended
it (subprocess's own). Nothing here sleeps for a fixed time to let
something happen: callers wait for the state they need, with a bound that
a loaded machine stays well inside.
"""

import collections
import ctypes
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

SKIP = 77  # ctest's SKIP_RETURN_CODE for every suite
SANITIZER_NOISE = re.compile(r"(Sanitizer|runtime error:|==\d+==ERROR)")
# How long a receiver may take nothing at all before a scenario stops
# waiting for it: a loaded machine makes it slow, never silent this long.
IDLE_S = 60
# strobix answers resend requests until the scenario stops it, once the
# receiver is done, however far behind a loaded machine has left it.
LINGER_MS = "3600000"


class Failures:
    """The failed checks of a scenario, in the order found."""

    def __init__(self):
        self.items = []

    def check(self, ok, message):
        if not ok:
            self.items.append(message)
        return ok

    def __bool__(self):
        return bool(self.items)


def time_scale(*programs):
    """How much longer than on a plain build a run may take: SOAK_TIME_SCALE,
    or by the sanitizer runtime linked into any of the programs."""
    if os.environ.get("SOAK_TIME_SCALE"):
        return float(os.environ["SOAK_TIME_SCALE"])
    scale = 1.0
    for program in filter(None, programs):
        try:
            with open(program, "rb") as f:
                data = f.read()
        except OSError:
            continue
        scale = max(scale, 6.0 if b"__tsan_init" in data else 3.0 if b"__asan_init" in data
                    else 1.0)
    return scale


# ---------------------------------------------------------------- waiting


def wait_for(predicate, timeout, proc=None, step=0.01):
    """Polls predicate until it holds or timeout seconds pass; stops early
    once proc (a Popen) has ended. Returns the predicate's last value."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        if proc is not None and proc.poll() is not None:
            break
        time.sleep(step)
    return predicate()


def read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


# ---------------------------------------------------------------- sockets


def udp_sockets(table="/proc/net/udp"):
    """The host's IPv4 UDP sockets: (address, port, bytes queued, drops)."""
    try:
        with open(table) as f:
            lines = f.readlines()[1:]
    except OSError:
        return []
    out = []
    for line in lines:
        fields = line.split()
        if len(fields) < 13:
            continue
        hex_addr, hex_port = fields[1].split(":")
        address = socket.inet_ntoa(int(hex_addr, 16).to_bytes(4, "little"))
        out.append((address, int(hex_port, 16), int(fields[4].split(":")[1], 16),
                    int(fields[-1])))
    return out


def udp_bound(port, address=None):
    """Whether a socket is bound to port (on address, when given)."""
    return any(p == port and address in (None, a) for a, p, _, _ in udp_sockets())


def udp_socket_state(port, table="/proc/net/udp", address=None):
    """(bytes queued, datagrams dropped) of the socket bound to port (on
    address, when given), or None."""
    for a, p, queued, drops in udp_sockets(table):
        if p == port and address in (None, a):
            return queued, drops
    return None


def udp_port_free(port, address="127.0.0.1"):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        s.bind((address, port))
        return True
    except OSError:
        return False
    finally:
        s.close()


def free_udp_ports(count=2, address="127.0.0.1", low=20000, high=32000):
    """`count` consecutive UDP ports free on address (and on the wildcard),
    from a random start below the kernel's ephemeral range, so that suites
    and people running at once seldom even try the same ones."""
    for _ in range(200):
        base = random.randrange(low, high - count, 2)
        ports = list(range(base, base + count))
        if all(udp_port_free(p, address) and udp_port_free(p, "0.0.0.0") for p in ports):
            return ports
    raise RuntimeError(f"no {count} free UDP ports on {address}")


# --------------------------------------------------------------- programs


class Program:
    """A started program whose output goes to files, which can be read while
    it runs (a pipe nobody reads would fill and hold it in its next print).
    The files are kept in `workdir` when one is given, or else removed once
    the program has ended and its output was read."""

    def __init__(self, argv, name="program", workdir=None, env=None, stdin=subprocess.DEVNULL,
                 stdout=None):
        self.argv = argv
        self.keep = workdir is not None
        self.dir = workdir or tempfile.mkdtemp(prefix="zoktest-")
        self.out_path = os.path.join(self.dir, name + ".out")
        self.err_path = os.path.join(self.dir, name + ".err")
        with open(self.out_path, "w") as out, open(self.err_path, "w") as err:
            self.proc = subprocess.Popen(argv, stdout=stdout or out, stderr=err, stdin=stdin,
                                         env=env)
        self.started = time.monotonic()
        self.status = None  # exit code, or -N for signal N
        self.cpu = None  # user + system seconds, once reaped
        self.hung = False  # still running at the end of finish()'s bound
        self.killed = False  # ended by SIGKILL after stop() asked politely
        self._text = None

    @property
    def pid(self):
        return self.proc.pid

    def poll(self):
        """None while the program runs, else its exit status (as Popen's)."""
        return self.status if self.wait(0) else None

    def running(self):
        return self.poll() is None

    @property
    def out(self):
        return self._text[0] if self._text else read(self.out_path)

    @property
    def err(self):
        return self._text[1] if self._text else read(self.err_path)

    def wait_for_text(self, needle, timeout, stream="err"):
        """Whether needle shows in the program's output within timeout
        seconds; stops looking once the program has ended."""
        path = self.err_path if stream == "err" else self.out_path
        return wait_for(lambda: needle in read(path), timeout, self)

    def wait_progressing(self, idle, until=None, stream="err"):
        """Waits for the program's end, or for `until` to show in its output,
        for as long as that output keeps growing: a loaded machine makes a
        program slow, not silent. True once the end (or the text) came,
        False when the output stood still for `idle` seconds."""
        path = self.err_path if stream == "err" else self.out_path
        size, moved = -1, time.monotonic()
        while not (self.poll() is not None or (until and until in read(path))):
            now = time.monotonic()
            if os.path.getsize(path) != size:
                size, moved = os.path.getsize(path), now
            elif now - moved > idle:
                return False
            time.sleep(0.05)
        return True

    def send(self, sig):
        if self.status is None:
            try:
                os.kill(self.pid, sig)
            except ProcessLookupError:
                pass

    def wait(self, timeout):
        """Reaps the program within timeout seconds; True once it ended."""
        return wait_for(self._reaped, timeout, step=0.005)

    def _reaped(self):
        if self.status is None:
            try:
                pid, status, usage = os.wait4(self.pid, os.WNOHANG)
            except ChildProcessError:  # reaped through self.proc
                self.status = self.proc.returncode
                return self.status is not None
            if pid != 0:
                self.status = self.proc.returncode = os.waitstatus_to_exitcode(status)
                self.cpu = usage.ru_utime + usage.ru_stime
        return self.status is not None

    def stop(self, sig=signal.SIGINT, grace=3.0):
        """Asks the program to end with sig, and kills it when it has not
        within grace seconds."""
        self.send(sig)
        if not self.wait(grace):
            self.killed = True
            self.send(signal.SIGKILL)
            self.wait(30)

    def finish(self, timeout):
        """Waits up to timeout seconds for the program's own end, then kills
        it (counted as hung); reads its output. Returns the exit status."""
        if not self.wait(max(0, timeout)):
            self.hung = True
            self.stop(signal.SIGKILL, 30)
        if self._text is None:
            self._text = (read(self.out_path), read(self.err_path))
            if not self.keep:
                shutil.rmtree(self.dir, ignore_errors=True)
        return self.status


# ---------------------------------------------------------------- reports

# The receivers' statistics report, line by line: (key, exact prefix); a
# key of None is a heading.
REPORT_APP = [(None, "--- APP stats ---"),
              ("app_received", "Blocks received:        "),
              ("app_nonzero", "Blocks non-zero status: "),
              ("poll_retries", "Poll retries:           "),
              ("last_id", "Last Block ID:          "),
              (None, "--- ZOK info ---"),
              ("info_received", "Blocks received:        "),
              ("info_dropped", "Blocks dropped:         "),
              (None, "--- ZOK stats ---"),
              ("dropped", "Blocks Dropped:         "),
              ("complete", "Blocks Complete:        "),
              ("incomplete", "Blocks Incomplete:      "),
              ("not_available", "Blocks Not Available:   "),
              ("resend_requests", "Resend Requests:        "),
              ("resend_ok", "Resend Requests OK:     "),
              ("resend_failed", "Resend Requests Failed: "),
              ("block_timeouts", "Block Timeouts:         "),
              ("resend_timeouts", "Resend Timeouts:        "),
              ("max_retries", "Max Resend Retries:     "),
              ("buffers_allocated", "Buffers Allocated:      "),
              ("buffers_freed", "Buffers Freed:          "),
              ("buffers_enqueued", "Buffers Enqueued:       ")]
REPORT_WORKER = [("stream_stopped", "Stream Stopped          "),
                 ("stream_started", "Stream Started          "),
                 ("stream_blocked", "Stream Blocked          "),
                 ("stream_unblocked", "Stream Unblocked        "),
                 ("callbacks", "Callbacks Invoked       "),
                 ("blocked_dropped", "Blocked Blocks Dropped  ")]


def parse_reports(text, receiver):
    """Every report that starts in text: (complete?, values). Lines of the
    main thread may come between report lines, so those are skipped."""
    layout = REPORT_APP + (REPORT_WORKER if receiver == "workergrab" else [])
    lines = text.splitlines()
    reports = []
    for start, line in enumerate(lines):
        if line != layout[0][1]:
            continue
        values = {}
        step = 1
        for line2 in lines[start + 1:]:
            if step == len(layout) or line2 == layout[0][1]:
                break
            key, prefix = layout[step]
            if key is None:
                step += line2 == prefix
            elif line2.startswith(prefix) and line2[len(prefix):].isdigit():
                values[key] = int(line2[len(prefix):])
                step += 1
        reports.append((step == len(layout), values))
    return reports


def the_report(text, receiver):
    """The values of the one complete report in text, or None."""
    reports = parse_reports(text, receiver)
    return reports[0][1] if len(reports) == 1 and reports[0][0] else None


def report_value(text, label, occurrence=0):
    """A counter of the receivers' report by its label, however aligned."""
    found = re.findall(r"^" + re.escape(label) + r"\s*(\d+)\s*$", text, re.M)
    return int(found[occurrence]) if len(found) > occurrence else None


STROBIX_SENT = re.compile(r"^Sent (\d+) blocks, (\d+) packets, (\d+) bytes in ([\d.]+) s", re.M)
STROBIX_RESEND = re.compile(
    r"^Resend requests: (\d+), packets resent: (\d+), unavailable: (\d+), malformed: (\d+)", re.M)


def parse_strobix(text):
    """strobix's closing tally, or None when it printed none."""
    sent = STROBIX_SENT.search(text)
    resend = STROBIX_RESEND.search(text)
    if not sent or not resend:
        return None
    return {"blocks": int(sent[1]), "packets": int(sent[2]), "bytes": int(sent[3]),
            "seconds": float(sent[4]), "requests": int(resend[1]), "resent": int(resend[2]),
            "unavailable": int(resend[3]), "malformed": int(resend[4])}


def parse_fields(prefix, text):
    """The key=number fields of the first line starting with prefix (the
    probes' and the hostile sender's one-line tallies), or None."""
    for line in text.splitlines():
        if line.startswith(prefix + " "):
            return {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", line)}
    return None


CLOSED = re.compile(r"zok: stream \S+: closed: kernel drops (\d+), spurious resends (\d+), "
                    r"blocks unseen (\d+), reorder window (\d+) us \(peak (\d+) us\)")


def closing(stderr_text):
    """What the engine said when its stream closed under ZOK_VERBOSE (the
    last stream's), or None when it never closed it (a receiver killed)."""
    found = CLOSED.findall(stderr_text)
    if not found:
        return None
    names = ("kernel_drops", "spurious", "unseen", "window_us", "peak_us")
    return dict(zip(names, map(int, found[-1])))


def cpu_stalled_us():
    """Microseconds some runnable task of this host has waited for a CPU
    (the kernel's pressure account), or None where the kernel keeps none."""
    try:
        with open("/proc/pressure/cpu") as f:
            return int(re.search(r"^some .*total=(\d+)", f.read(), re.M)[1])
    except (OSError, TypeError):
        return None


class Loaded:
    """Whether the host kept tasks waiting for a CPU for more than `share`
    of the time between entering and leaving the block."""

    def __init__(self, share=0.05):
        self.share = share
        self.loaded = False

    def __enter__(self):
        self.start, self.stalled = time.monotonic(), cpu_stalled_us()
        return self

    def __exit__(self, *_):
        now = cpu_stalled_us()
        elapsed_us = (time.monotonic() - self.start) * 1e6
        self.loaded = now is None or self.stalled is None or \
            now - self.stalled > self.share * elapsed_us
        return False


def block_trace(stderr_text):
    """The blocks as a receiver handed them over, in order, from its -v
    block status lines: (block_id, status, resend_request)."""
    trace = []
    current = None
    for line in stderr_text.splitlines():
        if line == "(print_block_status): ---Block Status---":
            current = {}
            trace.append(current)
        elif current is not None and line.startswith("(print_block_status): "):
            label, _, value = line[len("(print_block_status): "):].partition(":")
            if value.strip().isdigit():
                current[label.strip()] = int(value)
    return [(t.get("Block ID"), t.get("Status"), t.get("Resend Request")) for t in trace]


# ---------------------------------------------------------------- checks


def check_report_accounting(failures, tag, r, out, err, blocks, detail=""):
    """A receiver's report (r) and -v output against the `blocks` sent:
    every block handed over, dropped or counted (those lost whole before
    the engine show only in the info record's dropped count), none handed
    over twice, its counts of blocks handed over those of its status lines,
    every good block verified, no payload corrupted. Returns (block trace,
    blocks never seen, blocks accounted for)."""
    trace = block_trace(err)
    unseen = r["info_dropped"] - r["dropped"] - r["not_available"]
    accounted = r["complete"] + r["incomplete"] + r["info_dropped"]
    failures.check(unseen >= 0 and accounted == blocks,
                   f"{tag}: {blocks} blocks sent but Complete {r['complete']} + Incomplete "
                   f"{r['incomplete']} + Dropped {r['dropped']} + Not Available "
                   f"{r['not_available']} + never seen {unseen} = {accounted}{detail}")
    ids = [bid for bid, _, _ in trace]
    again = sorted(bid for bid, n in collections.Counter(ids).items() if n > 1)
    failures.check(not again, f"{tag}: blocks handed over more than once: {again[:8]} "
                   f"({[(b, s) for b, s, _ in trace if b in again[:2]]})")
    failures.check(r["info_received"] == r["app_received"] + r["app_nonzero"] == len(trace),
                   f"{tag}: blocks handed over disagree: info {r['info_received']}, app "
                   f"{r['app_received']}+{r['app_nonzero']}, status lines {len(trace)}")
    verified = err.count("(verify_payload): Verify block ok")
    failures.check(r["app_received"] == verified == r["complete"],
                   f"{tag}: {r['complete']} complete, {r['app_received']} good, {verified} "
                   f"verified")
    failures.check("Failed to verify block" not in out and "Verify payload failed" not in err,
                   f"{tag}: payload corrupted")
    return trace, unseen, accounted


def probe_argv(probe, local, resend, blocks, buffers, size, block_bytes, drain_ms, worker=False,
               block_timeout_ms=None):
    """tests/soak's stream_probe: libzok in-process, every byte and the
    length of every good block checked, which the receivers'
    --verify-payload (the block id half of each word) cannot."""
    return ([probe, "--local", local, "--resend", resend, "--first-id", "1", "--blocks",
             str(blocks), "--buffers", str(buffers), "--size", str(size), "--block-bytes",
             str(block_bytes), "--drain-ms", str(drain_ms)]
            + (["--worker"] if worker else [])
            + (["--block-timeout", str(block_timeout_ms)] if block_timeout_ms else []))


def end_probe(failures, tag, probe, grace):
    """Ends stream_probe (a Program; it drains first): its figures, or None."""
    probe.stop(signal.SIGTERM, grace)
    probe.finish(0)
    p = parse_fields("probe", probe.out)
    failures.check(p is not None and probe.status == 0 and not probe.killed,
                   f"{tag}: stream_probe status {probe.status}"
                   f"{' (hung)' if probe.killed else ''}: {probe.err[-300:]}")
    failures.check(not SANITIZER_NOISE.search(probe.err), f"{tag}: sanitizer report")
    return p


def check_probe_intact(failures, tag, p, where):
    """No block the probe took whole holds bytes other than those sent, none
    is one nobody sent, none came twice."""
    return failures.check(p["good_corrupt"] == 0 and p["foreign"] == 0 and p["good_twice"] == 0,
                          f"{tag}: stream_probe took {p['good_corrupt']} blocks with status 0 "
                          f"whose bytes were not those sent, {p['foreign']} nobody sent, "
                          f"{p['good_twice']} twice: {where}")


def check_probe_whole(failures, tag, p, blocks, where=""):
    """Every good block the probe was sent came complete and intact."""
    return failures.check(p["good_ok"] == blocks,
                          f"{tag}: {p['good_ok']} of {blocks} good blocks complete and intact "
                          f"(bad status {p['good_bad_status']}, corrupt {p['good_corrupt']}, "
                          f"missing {p['good_missing']}, twice {p['good_twice']}) {where}")


# --------------------------------------------------------------- networks


# What a hostile sender sends that opens no block and may still go
# uncounted: error answers (late answers about blocks the engine closed, to
# it) and in-block packets naming a finished block (late copies, dropped).
UNCOUNTED_KINDS = ("error_answer", "in_block_past_end", "in_block_short", "in_block_long")


def check_hostile_refused(failures, tag, p, blocks, near, far_total, sent_packets):
    """The probe's refused count against what hostile senders sent: from the
    stream's sender's address, whatever opened no block but the kinds above;
    once foreign blocks were opened (a leaderless one fairly may be), only
    the malformed; from another host, everything. No block nobody sent is
    handed over. Returns (foreign blocks opened, datagrams to be refused)."""
    opened = p["complete"] + p["incomplete"] + p["dropped"] + p["not_available"] - blocks
    must = (near["total"] - sum(near[k] for k in UNCOUNTED_KINDS) if opened == 0
            else near["must_refuse"]) + far_total
    failures.check(p["refused"] + p["kernel_drops"] >= must,
                   f"{tag}: engine refused {p['refused']} datagrams but {must} sent had to be "
                   f"(kernel drops {p['kernel_drops']}, foreign blocks opened {opened}, from "
                   f"another host {far_total})")
    failures.check(p["foreign"] == 0, f"{tag}: {p['foreign']} blocks nobody sent were handed over")
    failures.check(p["refused"] <= near["total"] + far_total + sent_packets,
                   f"{tag}: engine refused {p['refused']}, more than all datagrams sent")
    return opened, must


def testnet_up(script, name, *options):
    """Makes the test network `name` (scripts/testnet.sh): its TESTNET_*
    assignments, or (None, why) where it cannot be made."""
    try:
        up = subprocess.run([script, "up", "--name", name] + list(options), capture_output=True,
                            text=True, timeout=120)
    except (OSError, subprocess.TimeoutExpired) as error:
        return None, str(error)
    env = dict(line.split("=", 1) for line in up.stdout.splitlines() if "=" in line)
    if up.returncode != 0 or "TESTNET_NS" not in env:
        return None, (up.stdout.strip() or up.stderr.strip() or
                      f"testnet.sh up failed ({up.returncode})").splitlines()[0]
    return env, None


def testnet_down(script, name):
    subprocess.run([script, "down", "--name", name], capture_output=True, timeout=120)


def own_network(pairs=2):
    """Moves this process, and all it starts from then on, into a network
    namespace of its own (inside a user namespace where it is not root)
    with lo and `pairs` veth pairs, 02:7a:6f:00:00:01 and on: the
    interfaces that others add and remove beside a test no longer show.
    Needs a process without threads. Returns None, or why it could not;
    where even the namespace could not be made, nothing has changed."""
    libc = ctypes.CDLL(None, use_errno=True)
    uid, gid = os.getuid(), os.getgid()
    new_net, new_mounts, new_user = 0x40000000, 0x00020000, 0x10000000
    if libc.unshare(new_net | new_mounts | (0 if uid == 0 else new_user)) != 0:
        return f"no namespace of its own: {os.strerror(ctypes.get_errno())}"
    if uid != 0:
        for name, text in (("setgroups", "deny"), ("uid_map", f"0 {uid} 1"),
                           ("gid_map", f"0 {gid} 1")):
            with open(f"/proc/self/{name}", "w") as f:
                f.write(text)
    # sysfs shows the interfaces of the namespace that mounted it.
    ms_rec, ms_private = 0x4000, 0x40000
    if (libc.mount(b"none", b"/", None, ms_rec | ms_private, None) != 0
            or libc.mount(b"sysfs", b"/sys", b"sysfs", 0, None) != 0):
        raise OSError(ctypes.get_errno(), "cannot mount sysfs for the new namespace")
    subprocess.run(["ip", "link", "set", "lo", "up"], capture_output=True)
    for k in range(1, 2 * pairs, 2):
        subprocess.run(["ip", "link", "add", f"zokveth{k}", "address", f"02:7a:6f:00:00:{k:02x}",
                        "type", "veth", "peer", "name", f"zokveth{k + 1}", "address",
                        f"02:7a:6f:00:00:{k + 1:02x}"], check=True, capture_output=True)
    return None
