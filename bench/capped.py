#!/usr/bin/env python3
"""The worker's own cost per block at a capped rate, where -w 0 sleeps and
wakes: each thread's run time (schedstat) and voluntary switches per block.

  bench/capped.py [--sender BUILD] SIZE BLOCKS MBIT ROUNDS MODE NAME=BUILD...

BUILD is a build tree (workergrab/workergrab, strobix/strobix); each NAME's
workergrab -w MODE is measured in turn, strobix -R MBIT from --sender
(default: the first build)."""
import os, sys, time, signal, subprocess, glob, statistics
import tempfile
import harness
from zoktest import free_udp_ports

WORK = tempfile.mkdtemp(prefix="zok-bench-")

def threads(pid):
    out = {}
    for d in glob.glob(f"/proc/{pid}/task/*"):
        try:
            ns = int(open(d + "/schedstat").read().split()[0])
            st = open(d + "/status").read()
            vol = int([l.split()[1] for l in st.splitlines() if l.startswith("voluntary_ctxt")][0])
            out[int(d.rsplit("/", 1)[1])] = (ns, vol)
        except (OSError, IndexError):
            pass
    return out

def one(build, size, blocks, mbit, mode):
    port = free_udp_ports(2)[0]
    argv = ["taskset", "-c", "1", "stdbuf", "-oL", f"{build}/workergrab/workergrab", "-i", "100000",
            "-s", "2097152", "-P", f"127.0.0.1:{port+1}", "-c", "1", "-w", mode, f"127.0.0.1:{port}"]
    p = harness.start_workergrab(argv, os.path.join(WORK, "wg2.out"))
    try:
        a = threads(p.pid)
        s = subprocess.run(["taskset", "-c", "0", STROBIX, "-k", str(size), "-s", "2097152", "-n", str(blocks), "-R", str(mbit), "-W", "0",
                            "-l", f"127.0.0.1:{port+1}", f"127.0.0.1:{port}"], capture_output=True, text=True)
        harness.wait_for_drain(port, 5)
        b = threads(p.pid)
        p.send_signal(signal.SIGINT); p.wait(5)
        got = harness.report_value(open(os.path.join(WORK, "wg2.out")).read(), "Blocks received:")
        m = harness.SENT_STROBIX.search(s.stdout)
        run = sorted(((b[t][0] - a[t][0]) / 1e3 / max(1, got), b[t][1] - a[t][1]) for t in b if t in a)
        return got, float(m.group(4)) if m else 0, run
    finally:
        if p.poll() is None: p.kill()

print("#", " ".join(["bench/capped.py"] + sys.argv[1:]), flush=True)
if sys.argv[1] == "--sender":
    STROBIX = os.path.join(sys.argv[2], "strobix", "strobix")
    del sys.argv[1:3]
else:
    STROBIX = os.path.join(sys.argv[6].split("=", 1)[1], "strobix", "strobix")
size, blocks, mbit, rounds, mode = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
builds = [x.split("=", 1) for x in sys.argv[6:]]
res = {n: [] for n, _ in builds}
for r in range(rounds):
    for n, d in (builds if r % 2 == 0 else builds[::-1]):
        got, secs, run = one(d, size, blocks, mbit, mode)
        worker = max(run)  # the busier thread
        res[n].append(sum(x[0] for x in run))
        print(f"{r} {n:7s} got {got}/{blocks} in {secs:.2f}s  per thread (us/block, vol switches): {[(round(x[0]), x[1]) for x in run]}", flush=True)
for n, v in res.items():
    print(f"{n:7s} all threads us/block median {statistics.median(v):.0f} [{min(v):.0f}-{max(v):.0f}]")
