#!/usr/bin/env python3
"""Soak runs of the receivers, strobix, libzok and niclabel on loopback.

Scenarios (each prints one line of figures, then PASS or FAIL):
  accounting  strobix -L 2 -O -U into plaingrab and workergrab, resend on and
              off: every block sent is accounted for, handed over at most once,
              verified when good; sequence lines only next to impaired blocks.
  hostile     malformed and foreign datagrams at 10% of strobix's packet rate
              into a stream read by stream_probe (libzok in-process): every good
              block complete and intact; the engine's refused-datagram count.
  exits       SIGINT, SIGTERM, -T expiry and two signals at once, at random
              moments while blocks stream in (workergrab holding its worker).
  names       niclabel set/reset from 8 processes while a ninth is SIGKILLed in
              the middle of set: the names file always well-formed, the last
              finished update per adapter kept.

Only the standard library. Randomness is seeded (printed; --seed to repeat).
Times scale with SOAK_TIME_SCALE, or by themselves for sanitizer builds.
"""

import argparse
import ctypes
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import zoktest  # noqa: E402
from zoktest import (IDLE_S, LINGER_MS, SANITIZER_NOISE, Failures, Program,  # noqa: E402
                     check_probe_intact, check_probe_whole, check_report_accounting,
                     free_udp_ports, own_network, parse_fields, parse_reports, parse_strobix,
                     probe_argv, read, time_scale, udp_bound, udp_port_free, udp_socket_state,
                     wait_for)

SHORT = "short"
LONG = "long"

BLOCK_BYTES = 65536
BUFFER_BYTES = 131072
# A quarter to half a second of blocks in hand at the rates used here.
BUFFERS = 256
# strobix -k 1500, 1.x headers: 1500 - IP 20 - UDP 8 - GVSP 8 data bytes.
PACKETS_PER_BLOCK = -(-BLOCK_BYTES // 1464) + 2


class Soak:
    def __init__(self, args):
        self.args = args
        self.mode = args.mode
        self.rng = random.Random(args.seed)
        self.work = args.work_dir or tempfile.mkdtemp(prefix="zok-soak-")
        os.makedirs(self.work, exist_ok=True)
        self.scale = time_scale(args.plaingrab, args.stream_probe)
        self.children = set()

    def path(self, name):
        return os.path.join(self.work, name)

    def ports(self):
        """A stream port and the sender's resend port."""
        return tuple(free_udp_ports(2))

    def start(self, argv, stdout=None, stderr=None, env=None, stdin=subprocess.DEVNULL):
        proc = subprocess.Popen(argv, stdout=stdout, stderr=stderr, stdin=stdin, env=env)
        self.children.add(proc.pid)
        return proc

    def reap(self, proc, timeout):
        """Waits for proc; kills it when the watchdog runs out. Returns
        (returncode, hung)."""
        try:
            return proc.wait(timeout=timeout), False
        except subprocess.TimeoutExpired:
            proc.kill()
            return proc.wait(), True

    def leftover_processes(self):
        """Processes that have become ours since the receivers exited: with
        this process a subreaper, a receiver's orphans land here."""
        mine = os.getpid()
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/stat") as f:
                    stat = f.read()
            except OSError:
                continue
            fields = stat[stat.rfind(")") + 2:].split()
            if int(fields[1]) == mine and int(entry) not in self.children:
                found.append(int(entry))
        return found


# ---------------------------------------------------------------- helpers


def become_subreaper():
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        return libc.prctl(36, 1, 0, 0, 0) == 0  # PR_SET_CHILD_SUBREAPER
    except (OSError, AttributeError):
        return False


def add_case(failures, totals, case):
    """One case's (failures, figures) into its scenario's."""
    f, figures = case
    failures.items += f.items
    for key in totals:
        totals[key] += (figures or {}).get(key, 0)


# ------------------------------------------------------------- accounting


def sequence_mismatches(ids):
    """What a 16-bit sequence check reports for these ids: (got, expected)."""
    out = []
    expected = None
    for block_id in ids:
        if expected is not None and block_id != expected:
            out.append((block_id, expected))
        expected = (block_id + 1) & 0xFFFF or 1
    return out


def unexplained_mismatches(trace):
    """Sequence lines that no impaired block explains. A block is impaired
    when it needed a resend or came back with a bad status; a line is
    explained when an impaired block lies between the expected and the
    received id, or the block before it was impaired (its delay moved the
    expected id)."""
    impaired = {bid for bid, status, resends in trace if status or resends}
    ids = [bid for bid, _, _ in trace]
    out = []
    expected = None
    previous = None
    for block_id in ids:
        if expected is not None and block_id != expected:
            lo, hi = min(block_id, expected), max(block_id, expected)
            if previous not in impaired and not any(i in impaired for i in range(lo, hi + 1)):
                out.append((block_id, expected))
        expected = (block_id + 1) & 0xFFFF or 1
        previous = block_id
    return out


def run_accounting_case(soak, receiver, resend_on, blocks, rate):
    rport, sport = soak.ports()
    tag = f"{receiver}-resend-{'on' if resend_on else 'off'}"
    out_path, err_path = soak.path(f"accounting-{tag}.out"), soak.path(f"accounting-{tag}.err")
    tool = getattr(soak.args, receiver)
    argv = [tool, "-i", str(blocks), "-v", "-V", "--verify-payload", "-s", str(BUFFER_BYTES),
            "-n", str(BUFFERS), "-P", f"127.0.0.1:{sport}"]
    if resend_on:
        # Generous enough that a loaded host still gets its answers in time:
        # strobix never drops a resent packet, so every block should complete.
        argv += ["-R", "4", "-E", str(int(30 * soak.scale))]
    elif receiver == "plaingrab":
        argv += ["-p"]
    else:
        # workergrab has no -p: no retries means no packet is ever asked for.
        argv += ["-R", "0"]
    argv += [f"127.0.0.1:{rport}"]
    failures = Failures()
    proc = Program(argv, f"accounting-{tag}", soak.work)
    # Bound is ready: from then on its socket holds what comes before the
    # buffers are queued, and a backlog must not count against the sender.
    if not failures.check(wait_for(lambda: udp_bound(rport), IDLE_S * soak.scale, proc)
                          and proc.running(), f"{tag}: receiver did not open its stream"):
        proc.stop(signal.SIGKILL)
        return failures, None
    strobix = impaired_stream(soak, blocks, rate, rport, sport, f"accounting-{tag}")
    # The receiver ends by itself once every block is handed over; when
    # some are not (lost whole), it goes quiet and is asked for its report.
    ended = "limit" if proc.wait_progressing(IDLE_S * soak.scale) else "signal"
    proc.stop(signal.SIGINT, 30 * soak.scale)
    rc, hung = proc.status, proc.killed
    strobix.stop(signal.SIGINT, 30 * soak.scale)
    sent = parse_strobix(strobix.out)
    out_text, err_text = proc.out, proc.err
    failures.check(strobix.status == 0 and sent is not None,
                   f"{tag}: strobix failed (status {strobix.status}, receiver ended by "
                   f"{ended}): {strobix.err.strip()}")
    failures.check(not hung, f"{tag}: receiver hung after its report was asked for")
    failures.check(rc == (0 if ended == "limit" else 1),
                   f"{tag}: receiver exit status {rc} (ended by {ended})")
    failures.check(not SANITIZER_NOISE.search(err_text), f"{tag}: sanitizer report in {err_path}")
    reports = parse_reports(out_text, receiver)
    if not failures.check(len(reports) == 1 and reports[0][0],
                          f"{tag}: expected one complete report, found {len(reports)}"):
        return failures, None
    if sent is None:
        return failures, None
    r = reports[0][1]
    failures.check(sent["blocks"] == blocks, f"{tag}: strobix sent {sent['blocks']} of {blocks}")
    missing = sorted(set(range(1, blocks + 1)) - {b for b, _, _ in zoktest.block_trace(err_text)})
    trace, unseen, accounted = check_report_accounting(
        failures, tag, r, out_text, err_text, sent["blocks"],
        f"; never handed over: {missing[:8]}; see {err_path}")
    handed = len(trace)
    good = sum(1 for _, status, _ in trace if status == 0)
    verified = err_text.count("(verify_payload): Verify block ok")
    ids = [bid for bid, _, _ in trace]
    failures.check(all(bid is not None and 1 <= bid <= blocks for bid in ids),
                   f"{tag}: a block id outside 1..{blocks} was handed over")
    failures.check(good == r["app_received"] and r["app_nonzero"] == r["incomplete"],
                   f"{tag}: {good} good blocks of {r['app_received']} counted, bad blocks "
                   f"{r['app_nonzero']} vs Incomplete {r['incomplete']}")
    got = [(int(a), int(b)) for a, b in re.findall(r"^Got block id(\d+), expected (\d+)$",
                                                    err_text, re.M)]
    failures.check(got == sequence_mismatches(ids),
                   f"{tag}: the receiver's sequence lines ({len(got)}) are not those of the "
                   f"order it handed blocks over ({len(sequence_mismatches(ids))})")
    unexplained = unexplained_mismatches(trace)
    failures.check(not unexplained,
                   f"{tag}: {len(unexplained)} sequence lines with no impaired block near, "
                   f"first: got {unexplained[0][0] if unexplained else 0}, expected "
                   f"{unexplained[0][1] if unexplained else 0}")
    failures.check(r["resend_requests"] == sent["requests"],
                   f"{tag}: receiver sent {r['resend_requests']} resend requests, strobix saw "
                   f"{sent['requests']}")
    if resend_on:
        # strobix never drops a resent packet, so a block can end incomplete
        # only by a resend that failed or a block timeout, which the engine
        # must then have counted.
        failures.check(r["incomplete"] <= r["resend_failed"] + r["block_timeouts"],
                       f"{tag}: {r['incomplete']} blocks incomplete but only "
                       f"{r['resend_failed']} failed resends and {r['block_timeouts']} block "
                       f"timeouts counted")
        failures.check(r["resend_requests"] > 0, f"{tag}: no resend request under 2% loss")
        failures.check(r["resend_ok"] > 0 or sent["resent"] == 0,
                       f"{tag}: strobix resent {sent['resent']} packets, the engine recognised "
                       f"none (Resend Requests OK 0)")
    else:
        failures.check(r["resend_requests"] == 0,
                       f"{tag}: {r['resend_requests']} resend requests with resend off")
    figures = {"sent": sent["blocks"], "accounted": accounted, "handed": handed,
               "verified": verified, "incomplete": r["incomplete"], "dropped": r["dropped"],
               "not_available": r["not_available"], "seq": len(got),
               "requests": r["resend_requests"], "ended": ended}
    print(f"  {tag}: sent={figures['sent']} accounted={accounted} handed_over={handed} "
          f"verified={verified} incomplete={r['incomplete']} dropped={r['dropped']} "
          f"not_available={r['not_available']} sequence_lines={len(got)} "
          f"resend_requests={r['resend_requests']} strobix_requests={sent['requests']} "
          f"ended_by={ended}", flush=True)
    return failures, figures


def scenario_accounting(soak):
    blocks = 2000 if soak.mode == SHORT else 20000
    rate = max(50, int(400 / soak.scale))
    failures = Failures()
    totals = {"sent": 0, "accounted": 0, "handed": 0, "verified": 0, "incomplete": 0,
              "seq": 0, "requests": 0}
    for resend_on in (True, False):
        for receiver in ("plaingrab", "workergrab"):
            add_case(failures, totals, run_accounting_case(soak, receiver, resend_on, blocks,
                                                           rate))
    line = (f"soak accounting: runs=4 blocks sent={totals['sent']} accounted={totals['accounted']} "
            f"handed over={totals['handed']} verified={totals['verified']} "
            f"incomplete={totals['incomplete']} sequence lines={totals['seq']} (all explained "
            f"by impairment: {'yes' if not any('sequence' in m for m in failures.items) else 'no'}) "
            f"resend requests={totals['requests']}; stream_probe: "
            f"{run_accounting_probe(soak, blocks, rate, failures)} of {blocks} whole, every "
            f"byte checked")
    return line, failures


def start_probe(soak, name, rport, sport, blocks, worker=False):
    return Program(probe_argv(soak.args.stream_probe, f"127.0.0.1:{rport}", f"127.0.0.1:{sport}",
                              blocks, BUFFERS, BUFFER_BYTES, BLOCK_BYTES, int(500 * soak.scale),
                              worker), name, soak.work)


def end_probe(soak, probe, failures, tag):
    return zoktest.end_probe(failures, tag, probe, 30 * soak.scale + 1)


def impaired_stream(soak, blocks, rate, rport, sport, name):
    """strobix -c with 2% loss, shuffled packets and duplicates, answering
    resend requests until it is stopped."""
    return Program([soak.args.strobix, "-c", "-n", str(blocks), "-s", str(BLOCK_BYTES), "-L",
                    "2", "-O", "-U", "-r", str(rate), "-H", "512", "-W", LINGER_MS, "--seed",
                    str(soak.rng.randrange(1, 1 << 31)), "-l", f"127.0.0.1:{sport}",
                    f"127.0.0.1:{rport}"], name + "-strobix", soak.work)


def run_accounting_probe(soak, blocks, rate, failures):
    """The same impaired stream into the probe: a block handed over whole
    holds every byte sent, in its place. Returns how many were whole."""
    rport, sport = soak.ports()
    tag = "accounting stream_probe"
    probe = start_probe(soak, "accounting-probe", rport, sport, blocks)
    if not failures.check(probe.wait_for_text("ready\n", IDLE_S * soak.scale, "out"),
                          f"{tag}: did not get ready: {probe.err[-300:]}"):
        probe.stop(signal.SIGKILL)
        return 0
    strobix = impaired_stream(soak, blocks, rate, rport, sport, "accounting-probe")
    probe.wait_progressing(IDLE_S * soak.scale, "complete\n", "out")
    strobix.stop(signal.SIGINT, 30 * soak.scale)
    p = end_probe(soak, probe, failures, tag)
    failures.check(strobix.status == 0, f"{tag}: strobix failed: {strobix.err.strip()}")
    if p is None:
        return 0
    accounted = p["complete"] + p["incomplete"] + p["dropped"] + p["not_available"]
    check_probe_intact(failures, tag, p, f"see {probe.err_path}")
    failures.check(accounted == blocks and p["good_ok"] > 0,
                   f"{tag}: {blocks} sent, the engine accounted for {accounted}, "
                   f"{p['good_ok']} whole")
    return p["good_ok"]


# ---------------------------------------------------------------- hostile


IN_BLOCK_KINDS = ("in_block_past_end", "in_block_short", "in_block_long")


def run_hostile_case(soak, worker, blocks, rate):
    rport, sport = soak.ports()
    tag = "worker" if worker else "poll"
    failures = Failures()
    probe = start_probe(soak, f"hostile-{tag}-probe", rport, sport, blocks, worker)
    if not failures.check(probe.wait_for_text("ready\n", IDLE_S * soak.scale, "out"),
                          f"hostile {tag}: stream_probe did not get ready"):
        probe.stop(signal.SIGKILL)
        return failures, None
    strobix = Program([soak.args.strobix, "-c", "-n", str(blocks), "-s", str(BLOCK_BYTES), "-r",
                       str(rate), "-H", "512", "-W", LINGER_MS, "-l", f"127.0.0.1:{sport}",
                       f"127.0.0.1:{rport}"], f"hostile-{tag}-strobix", soak.work)
    # Once the good stream has begun: before it, a foreign block could
    # fairly be taken for its first block with the leader lost.
    probe.wait_progressing(IDLE_S * soak.scale, "first ", "out")
    begun = re.search(r"^first (\d+)$", probe.out, re.M)
    hostile = Program([soak.args.hostile_sender, "--to", f"127.0.0.1:{rport}", "--rate",
                       f"{rate * PACKETS_PER_BLOCK * 0.10:.1f}", "--block-rate", str(rate),
                       "--first-id", str(int(begun[1]) + 1 if begun else 1), "--foreign-base",
                       "45000", "--seed", str(soak.rng.randrange(1, 1 << 31))],
                      f"hostile-{tag}-sender", soak.work)
    probe.wait_progressing(IDLE_S * soak.scale, "complete\n", "out")
    hostile.stop(signal.SIGTERM, 30 * soak.scale)
    hostile.finish(0)
    strobix.stop(signal.SIGINT, 30 * soak.scale)
    strobix.finish(0)
    # Every datagram sent must have reached the engine before it is told to
    # stop, or it could not have counted them.
    wait_for(lambda: (udp_socket_state(rport) or (0, 0))[0] == 0, IDLE_S * soak.scale)
    p = end_probe(soak, probe, failures, f"hostile {tag}")
    err_path = probe.err_path
    sent = parse_strobix(strobix.out)
    h = parse_fields("hostile", hostile.out)
    failures.check(strobix.status == 0 and sent is not None,
                   f"hostile {tag}: strobix failed: {strobix.err.strip()}")
    failures.check(h is not None, f"hostile {tag}: hostile sender printed no counts")
    failures.check(not SANITIZER_NOISE.search(hostile.err), f"hostile {tag}: sanitizer report")
    if sent is None or p is None or h is None:
        return failures, None
    # It runs until the probe has every good block, which on a loaded machine
    # is well after strobix's last: only too little of it would be a fault.
    ratio = h["total"] / max(1, sent["packets"])
    failures.check(0.05 <= ratio,
                   f"hostile {tag}: hostile traffic was {ratio:.1%} of strobix's packets, "
                   f"not about 10% (suite fault or a starved hostile sender)")
    check_probe_whole(failures, f"hostile {tag}", p, blocks, f"see {err_path}")
    zoktest.check_hostile_refused(failures, f"hostile {tag}", p, blocks, h, 0, sent["packets"])
    print(f"  {tag}: good blocks sent={blocks} complete+intact={p['good_ok']} "
          f"strobix packets={sent['packets']} hostile datagrams={h['total']} ({ratio:.1%}) "
          f"malformed={h['must_refuse']} refused by engine={p['refused']} "
          f"kernel drops={p['kernel_drops']} foreign blocks handed over={p['foreign']} "
          f"engine: complete={p['complete']} incomplete={p['incomplete']} "
          f"dropped={p['dropped']} not_available={p['not_available']} "
          f"resend_requests={p['resend_requests']} "
          f"kinds: " + " ".join(f"{k}={h[k]}" for k in ("random", "truncated_header",
                                                      "truncated_leader", "unknown_format",
                                                      "foreign_stream", "past_end", "oversize",
                                                      "error_answer") + IN_BLOCK_KINDS),
          flush=True)
    return failures, {"blocks": blocks, "good": p["good_ok"], "hostile": h["total"],
                      "malformed": h["must_refuse"], "refused": p["refused"],
                      "foreign": p["foreign"]}


def scenario_hostile(soak):
    blocks = 2000 if soak.mode == SHORT else 20000
    rate = max(50, int(500 / soak.scale))
    failures = Failures()
    totals = {"blocks": 0, "good": 0, "hostile": 0, "malformed": 0, "refused": 0, "foreign": 0}
    for worker in (False, True):
        add_case(failures, totals, run_hostile_case(soak, worker, blocks, rate))
    line = (f"soak hostile: runs=2 (poll, worker) good blocks sent={totals['blocks']} "
            f"complete+verified={totals['good']} hostile datagrams={totals['hostile']} "
            f"malformed={totals['malformed']} refused by engine={totals['refused']} "
            f"foreign blocks handed over={totals['foreign']}")
    return line, failures


# ------------------------------------------------------------------ exits


def run_exit_case(soak, receiver, path, rport, sport, index, stream_alive):
    tag = f"{receiver}-{path}-{index}"
    out_path, err_path = soak.path(f"exits-{tag}.out"), soak.path(f"exits-{tag}.err")
    argv = [getattr(soak.args, receiver), "-i", "-1", "-v", "-V", "--verify-payload",
            "-s", str(BUFFER_BYTES), "-n", str(BUFFERS), "-P", f"127.0.0.1:{sport}"]
    seconds = 0
    if path == "timeout":
        seconds = soak.rng.choice((1, 1, 1, 2))
        argv += ["-T", str(seconds)]
    if receiver == "workergrab":
        argv += ["--block-worker", str(soak.rng.randrange(200_000, 3_000_000))]
    argv += [f"127.0.0.1:{rport}"]
    failures = Failures()
    watchdog = IDLE_S * soak.scale
    with open(out_path, "w") as out, open(err_path, "w") as err:
        started = time.monotonic()
        proc = soak.start(argv, stdout=out, stderr=err)
        streaming = wait_for(lambda: "(main): Received data block" in read(err_path),
                             IDLE_S * soak.scale, proc, step=0.005)
        if path in ("sigint", "sigterm", "double") and proc.poll() is None:
            time.sleep(soak.rng.uniform(0.0, 0.3))
            if path == "sigint":
                proc.send_signal(signal.SIGINT)
            elif path == "sigterm":
                proc.send_signal(signal.SIGTERM)
            else:
                # Both pending at once, so that the second reaches the process
                # while the first is being handled, never after it ended.
                pair = [signal.SIGINT, signal.SIGTERM]
                soak.rng.shuffle(pair)
                os.kill(proc.pid, signal.SIGSTOP)
                os.kill(proc.pid, pair[0])
                os.kill(proc.pid, pair[1])
                os.kill(proc.pid, signal.SIGCONT)
            rc, hung = soak.reap(proc, watchdog)
        else:
            rc, hung = soak.reap(proc, seconds + watchdog)
        elapsed = time.monotonic() - started
    out_text, err_text = read(out_path), read(err_path)
    if not streaming and not stream_alive():
        return None
    failures.check(streaming, f"{tag}: no block arrived before the exit path was taken")
    failures.check(not hung, f"{tag}: still running after the {watchdog:.0f} s watchdog")
    failures.check(not SANITIZER_NOISE.search(err_text), f"{tag}: sanitizer report in {err_path}")
    reports = parse_reports(out_text, receiver)
    if path == "double":
        failures.check(rc in (-signal.SIGINT, -signal.SIGTERM),
                       f"{tag}: two signals at once: exit status {rc}, expected death by signal")
        failures.check(len(reports) <= 1, f"{tag}: {len(reports)} reports after two signals")
    else:
        expected_rc = 0 if path == "timeout" else 1
        first_line = ("Application timeout expired" if path == "timeout"
                      else "Application received a signal")
        failures.check(rc == expected_rc, f"{tag}: exit status {rc}, expected {expected_rc}")
        failures.check(out_text.count(first_line + "\n") == 1,
                       f"{tag}: '{first_line}' printed {out_text.count(first_line)} times")
        complete = [values for ok, values in reports if ok]
        failures.check(len(reports) == 1 and len(complete) == 1,
                       f"{tag}: {len(reports)} reports, {len(complete)} complete; see {out_path}")
        if complete:
            taken = complete[0]["app_received"] + complete[0]["app_nonzero"]
            failures.check(taken > 0, f"{tag}: report shows no block taken under load")
        if path == "timeout":
            failures.check(elapsed >= seconds, f"{tag}: -T {seconds} ended after {elapsed:.2f} s")
    failures.check(udp_port_free(rport), f"{tag}: port {rport} still held after the exit")
    left = soak.leftover_processes()
    failures.check(not left, f"{tag}: processes left behind: {left}")
    for pid in left:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    return failures


def scenario_exits(soak):
    per_path = 10 if soak.mode == SHORT else 100
    doubles = per_path // 2
    subreaper = become_subreaper()
    failures = Failures()
    tried = survived = 0
    counts = {}
    strobix_deaths = 0
    for index, receiver in enumerate(("plaingrab", "workergrab")):
        rport, sport = soak.ports()

        def start_stream():
            # One stream for all the runs: each receiver joins it mid-block.
            return soak.start([soak.args.strobix, "-c", "-n", "-1", "-s", str(BLOCK_BYTES),
                               "-r", str(max(20, int(200 / soak.scale))),
                               "-l", f"127.0.0.1:{sport}", f"127.0.0.1:{rport}"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

        strobix = start_stream()
        paths = (["sigint"] * per_path + ["sigterm"] * per_path + ["timeout"] * per_path
                 + ["double"] * doubles)
        soak.rng.shuffle(paths)
        for i, path in enumerate(paths):
            for _ in range(3):
                if strobix.poll() is not None:
                    # A sender must outlive the receivers that come and go;
                    # start it again so that the exit paths are still tried.
                    strobix_deaths += 1
                    message = strobix.stderr.read().decode().strip()
                    failures.check(False, f"exits: strobix ended with status "
                                          f"{strobix.returncode} when a {receiver} went away: "
                                          f"{message}")
                    strobix = start_stream()
                f = run_exit_case(soak, receiver, path, rport, sport, i,
                                  lambda: strobix.poll() is None)
                if f is not None:
                    break
            if f is None:
                f = Failures()
                f.check(False, f"exits: {receiver}-{path}-{i}: no stream to run under")
            tried += 1
            key = (receiver, path)
            ok_runs, runs = counts.get(key, (0, 0))
            counts[key] = (ok_runs + (not f), runs + 1)
            if not f:
                survived += 1
            failures.items += f.items
        strobix.terminate()
        rc, hung = soak.reap(strobix, 30 * soak.scale)
        failures.check(not hung, "exits: strobix did not end on SIGTERM")
    detail = "; ".join(
        f"{r} " + " ".join(f"{p} {counts[(r, p)][0]}/{counts[(r, p)][1]}"
                           for p in ("sigint", "sigterm", "timeout", "double"))
        for r in ("plaingrab", "workergrab"))
    line = (f"soak exits: tried={tried} survived={survived} ({detail}); orphan check "
            f"{'on' if subreaper else 'off (no subreaper)'}; strobix restarts={strobix_deaths}")
    return line, failures


# ------------------------------------------------------------------ names


NAMES_HEADER = "# zok adapter names: hardware address, one space, name\n"
MAC = re.compile(r"^[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5}$")


def adapters():
    """This host's interfaces with a hardware address of their own:
    (identifier text, interface name)."""
    found = {}
    for name in sorted(os.listdir("/sys/class/net")):
        try:
            address = read(f"/sys/class/net/{name}/address").strip()
        except OSError:
            continue
        if MAC.match(address) and address not in found:
            found[address] = name
    by_serial = {}
    for address in found:
        serial = int(address.replace(":", "")[6:], 16)
        by_serial.setdefault(serial, []).append(address)
    out = []
    for address, name in found.items():
        out.append((f"M={address.upper()}", name))
        serial = int(address.replace(":", "")[6:], 16)
        if len(by_serial[serial]) == 1 and len(out) < 6:
            out.append((f"S={serial}", name))
    return out


def names_file_problem(text):
    """Why a names file is not well-formed, or None."""
    if not text.startswith(NAMES_HEADER):
        return "header missing"
    if not text.endswith("\n"):
        return "last line cut"
    seen = set()
    for line in text[len(NAMES_HEADER):].splitlines():
        mac, sep, name = line[:17], line[17:18], line[18:]
        if not MAC.match(mac) or sep != " ":
            return f"bad line {line!r}"
        if not 1 <= len(name) <= 63 or any(not 0x20 <= ord(c) <= 0x7E for c in name):
            return f"bad name in {line!r}"
        if mac.lower() in seen:
            return f"adapter twice: {mac}"
        seen.add(mac.lower())
    return None


def scenario_names(soak):
    duration = (4.0 if soak.mode == SHORT else 30.0) * soak.scale
    state = tempfile.mkdtemp(prefix="names-", dir=soak.work)
    env = dict(os.environ, ZOK_STATE_DIR=state)
    niclabel = soak.args.niclabel
    # Adapters of its own, or else the host's, where one that vanishes
    # under the run (others' veth pairs, a container runtime's) is gone,
    # not a fault of niclabel.
    shared = own_network()
    targets = adapters()
    failures = Failures()
    if not failures.check(targets, "names: this host has no adapter with a hardware address"):
        return "soak names: no adapter", failures

    def gone(ifname):
        return not os.path.exists(f"/sys/class/net/{ifname}")
    groups = {}
    for ident, ifname in targets:
        groups.setdefault(ifname, []).append(ident)

    lock = threading.Lock()
    ops = []  # (ifname, kind, name, start, end, finished)
    seed = soak.rng.randrange(1 << 31)

    def run_one(argv):
        return subprocess.run([niclabel] + argv, env=env, capture_output=True, text=True,
                              timeout=30 * soak.scale)

    def worker(index):
        rng = random.Random(seed + index)
        n = 0
        while time.monotonic() < stop_at:
            ident, ifname = rng.choice(targets)
            n += 1
            if rng.random() < 0.75:
                name = f"w{index}-{n}"
                argv, kind = ["-s", name, ident], "set"
            else:
                name, argv, kind = ifname, ["-r", ident], "reset"
            start = time.monotonic()
            result = run_one(argv)
            end = time.monotonic()
            reported = None
            m = re.fullmatch(re.escape(ident) + r": (.*)\n", result.stdout)
            if m:
                reported = m.group(1)
            ok = result.returncode == 0 and reported is not None
            with lock:
                ops.append((ifname, kind, name, start, end, ok))
                if not ok and not gone(ifname):
                    failures.check(False, f"names: niclabel {' '.join(argv)} status "
                                          f"{result.returncode}: {result.stdout.strip()} "
                                          f"{result.stderr.strip()}")
                else:
                    reported_names.append((ifname, reported))

    reported_names = []
    kills = {"tried": 0, "finished_first": 0}

    def killer():
        rng = random.Random(seed - 1)
        n = 0
        while time.monotonic() < stop_at:
            ident, ifname = rng.choice(targets)
            n += 1
            name = f"k-{n}"
            start = time.monotonic()
            proc = subprocess.Popen([niclabel, "-s", name, ident], env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            # Most kills land inside the set, some before it starts its work.
            time.sleep(rng.uniform(0, window * 0.8))
            proc.send_signal(signal.SIGKILL)
            killed_at = time.monotonic()
            rc = proc.wait()
            with lock:
                kills["tried"] += 1
                if rc == 0:
                    kills["finished_first"] += 1
                    ops.append((ifname, "set", name, start, killed_at, True))
                else:
                    ops.append((ifname, "killed", name, start, killed_at, False))

    checks = {"reads": 0, "bad": 0}

    def checker():
        path = os.path.join(state, "names")
        while time.monotonic() < stop_at + 0.2:
            try:
                with open(path) as f:
                    text = f.read()
            except FileNotFoundError:
                time.sleep(0.001)
                continue
            problem = names_file_problem(text)
            checks["reads"] += 1
            if problem:
                checks["bad"] += 1
                with lock:
                    failures.check(False, f"names: malformed names file: {problem}")

    # How long one set takes alone, so that kills land inside one (or in its
    # wait for the lock, once the others compete for it).
    times = []
    for _ in range(3):
        t0 = time.monotonic()
        result = run_one(["-s", "probe", targets[0][0]])
        times.append(time.monotonic() - t0)
        ops.append((targets[0][1], "set", "probe", t0, t0 + times[-1], result.returncode == 0))
    window = max(0.002, sorted(times)[1])
    stop_at = time.monotonic() + duration

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    threads += [threading.Thread(target=killer), threading.Thread(target=checker)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    # The last finished update of each adapter must be the one in force. An
    # update could have been the last to take effect when no other finished
    # update of that adapter started after it ended; a killed set may have
    # taken effect any time before its kill.
    kept = 0
    for ifname, idents in groups.items():
        if gone(ifname):
            continue
        mine = [o for o in ops if o[0] == ifname]
        finished = [o for o in mine if o[5]]
        candidates = set()
        for o in mine:
            if o[1] == "set" and not o[5]:
                continue
            if not any(other[3] > o[4] for other in finished):
                candidates.add(o[2])
        if not mine:
            candidates.add(ifname)
        for ident in idents:
            result = run_one([ident])
            m = re.fullmatch(re.escape(ident) + r": (.*)\n", result.stdout)
            now = m.group(1) if m else None
            if failures.check(now in candidates,
                              f"names: {ident} reads {now!r}, but the last finished update "
                              f"could only have left one of {sorted(candidates)[:6]}"):
                kept += 1
    failures.check(kills["tried"] - kills["finished_first"] > 0,
                   "names: no niclabel was killed in the middle of a set")
    universe = {o[2] for o in ops}
    bad_reports = [r for r in reported_names if r[1] not in universe]
    failures.check(not bad_reports, f"names: a set read back a name never set: {bad_reports[:3]}")

    # A writer killed before its rename leaves a temporary file; the next
    # update must clear it.
    final = run_one(["-s", "final", targets[0][0]])
    failures.check(final.returncode == 0 and final.stdout == f"{targets[0][0]}: final\n",
                   f"names: final set failed: {final.stdout.strip()} {final.stderr.strip()}")
    leftovers = [f for f in os.listdir(state) if f.startswith(".names.")]
    failures.check(not leftovers, f"names: temporary files left after an update: {leftovers}")
    problem = names_file_problem(read(os.path.join(state, "names")))
    failures.check(problem is None, f"names: final names file malformed: {problem}")

    sets = sum(1 for o in ops if o[1] == "set" and o[5])
    resets = sum(1 for o in ops if o[1] == "reset" and o[5])
    where = "its own" if shared is None else f"the host's: {shared}"
    line = (f"soak names: adapters={len(groups)} ({len(targets)} identifiers, {where}) "
            f"updates tried="
            f"{len(ops)} finished={sets + resets} (sets {sets}, resets {resets}) killed mid-set="
            f"{kills['tried'] - kills['finished_first']} (of {kills['tried']} kills; "
            f"{kills['finished_first']} finished first) file reads checked={checks['reads']} "
            f"malformed={checks['bad']} final names kept={kept}/"
            f"{sum(len(v) for v in groups.values())} temp files left={len(leftovers)}")
    return line, failures


# ------------------------------------------------------------------- main


# In the order they run in.
SCENARIOS = {name[len("scenario_"):]: run for name, run in globals().items()
             if name.startswith("scenario_")}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scenario", choices=sorted(SCENARIOS) + ["all"], default="all")
    parser.add_argument("--mode", choices=(SHORT, LONG), default=SHORT)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--work-dir", default=None, help="where logs go (default: a new temp dir)")
    parser.add_argument("--keep", action="store_true", help="keep the logs of passing runs")
    for program in ("strobix", "plaingrab", "workergrab", "niclabel", "hostile-sender",
                    "stream-probe"):
        parser.add_argument(f"--{program}", required=True)
    args = parser.parse_args()
    if args.seed is None:
        args.seed = random.SystemRandom().randrange(1, 1 << 31)
    soak = Soak(args)
    print(f"soak: mode={args.mode} seed={args.seed} time scale={soak.scale:g} logs={soak.work}",
          flush=True)
    failed = False
    for name in SCENARIOS if args.scenario == "all" else [args.scenario]:
        started = time.monotonic()
        try:
            line, failures = SCENARIOS[name](soak)
        except Exception as error:  # a suite fault must fail, not vanish
            line, failures = f"soak {name}: aborted", Failures()
            failures.check(False, f"{name}: {type(error).__name__}: {error}")
        verdict = "FAIL" if failures else "PASS"
        print(f"{line} [{time.monotonic() - started:.1f} s] {verdict}", flush=True)
        for message in failures.items[:20]:
            print(f"  FAIL {message}", flush=True)
        if len(failures.items) > 20:
            print(f"  ... and {len(failures.items) - 20} more", flush=True)
        failed = failed or bool(failures)
    if failed:
        print(f"soak: FAILED (seed {args.seed}; logs in {soak.work})", flush=True)
        return 1
    if not args.keep and not args.work_dir:
        shutil.rmtree(soak.work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
