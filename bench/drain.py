#!/usr/bin/env python3
"""Receive cost without the sender: workergrab is stopped, strobix fills its
socket with N blocks, workergrab is let go; its threads' run time (schedstat,
ns) until the socket is empty is the receive path's own cost.

  bench/drain.py [--sender BUILD] SIZE BLOCKS ROUNDS MODE rt|cfs NAME=BUILD...

BUILD is a build tree (workergrab/workergrab, strobix/strobix); each NAME's
workergrab -w MODE is measured in turn, with --sender's strobix (default:
the first build's)."""
import os, sys, time, signal, subprocess, glob, re, statistics
import tempfile
import harness
from zoktest import free_udp_ports

WORK = tempfile.mkdtemp(prefix="zok-bench-")

def threads(pid):
    out = {}
    for d in glob.glob(f"/proc/{pid}/task/*"):
        try:
            ns = int(open(d + "/schedstat").read().split()[0])
            out[int(d.rsplit("/", 1)[1])] = ns
        except OSError:
            pass
    return out

def one(build, size, blocks, mode, rt):
    port = free_udp_ports(2)[0]
    pre = (["chrt", "-f", "1"] if rt else [])
    argv = pre + ["taskset", "-c", "1", "stdbuf", "-oL", f"{build}/workergrab/workergrab", "-i", "100000",
                  "-s", "2097152", "-P", f"127.0.0.1:{port+1}", "-c", "1", "-w", mode, f"127.0.0.1:{port}"]
    p = harness.start_workergrab(argv, os.path.join(WORK, "wg.out"))
    try:
        os.kill(p.pid, signal.SIGSTOP)
        s = subprocess.run(pre + ["taskset", "-c", "0", STROBIX, "-k", str(size), "-s", "2097152", "-n", str(blocks), "-W", "0",
                            "-l", f"127.0.0.1:{port+1}", f"127.0.0.1:{port}"], capture_output=True, text=True)
        q, drops = harness.udp_socket_state(port)
        a = threads(p.pid)
        t1 = time.monotonic()
        os.kill(p.pid, signal.SIGCONT)
        while True:
            st = harness.udp_socket_state(port)
            if st[0] == 0: break
            time.sleep(0.0005)
        t2 = time.monotonic()
        b = threads(p.pid)
        time.sleep(0.2)
        p.send_signal(signal.SIGINT); p.wait(5)
        text = open(os.path.join(WORK, "wg.out")).read()
        got = harness.report_value(text, "Blocks received:")
        run = {t: b[t] - a.get(t, 0) for t in b}
        worker = sorted(run.values())
        return {"queued": q, "drops": drops, "got": got, "wall": t2 - t1, "threads": worker}
    finally:
        if p.poll() is None: p.kill()

if __name__ == "__main__":
    print("#", " ".join(["bench/drain.py"] + sys.argv[1:]), flush=True)
    if sys.argv[1] == "--sender":
        STROBIX = os.path.join(sys.argv[2], "strobix", "strobix")
        del sys.argv[1:3]
    else:
        STROBIX = os.path.join(sys.argv[6].split("=", 1)[1], "strobix", "strobix")
    size = int(sys.argv[1]); blocks = int(sys.argv[2]); rounds = int(sys.argv[3]); mode = sys.argv[4]
    rt = sys.argv[5] == "rt"
    builds = [x.split("=", 1) for x in sys.argv[6:]]
    res = {n: [] for n, _ in builds}
    for r in range(rounds):
        for n, d in (builds if r % 2 == 0 else builds[::-1]):
            x = one(d, size, blocks, mode, rt)
            per = [t / max(1, x["got"]) / 1e3 for t in x["threads"]]
            res[n].append((x["wall"] / max(1, x["got"]) * 1e6, sum(x["threads"]) / max(1, x["got"]) / 1e3))
            print(f"{r} {n:8s} got {x['got']} drops {x['drops']} queued {x['queued']} wall/block {x['wall']/max(1,x['got'])*1e6:.0f} us  thread us/block {[round(v) for v in per]}", flush=True)
    for n, v in res.items():
        w = [a for a, _ in v]; c = [b for _, b in v]
        print(f"{n:8s} wall us/block median {statistics.median(w):.0f} [{min(w):.0f}-{max(w):.0f}]  cpu us/block median {statistics.median(c):.0f} [{min(c):.0f}-{max(c):.0f}]")
