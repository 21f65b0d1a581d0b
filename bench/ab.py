#!/usr/bin/env python3
"""Side-by-side: one bench row (workergrab -w MODE at SIZE on loopback) for
several builds of workergrab, interleaved, with a paired limit run before each.

  bench/ab.py --strobix BUILD [--size N] [--mode M] [--rounds N] NAME=BUILD[:SENDER_BUILD]...

BUILD is a build tree; --strobix's holds the sender and the bare pair."""
import argparse, os, sys, statistics, glob, time
sys.dont_write_bytecode = True
import tempfile
import harness

snap = {}
def proc_cpu_with_ctx(pid):
    v = orig(pid)
    sw = {}
    for st in glob.glob(f"/proc/{pid}/task/*/status"):
        try:
            with open(st) as f:
                t = f.read()
            name = [l.split()[1] for l in t.splitlines() if l.startswith("Name:")][0]
            vol = int([l.split()[1] for l in t.splitlines() if l.startswith("voluntary_ctxt")][0])
            inv = int([l.split()[1] for l in t.splitlines() if l.startswith("nonvoluntary_ctxt")][0])
            with open(st.replace("status", "stat")) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            cpu = (int(fields[11]) + int(fields[12])) / harness.CLK_TCK
            sw[name + "/" + st.split("/")[4]] = (vol, inv, cpu)
        except (OSError, IndexError):
            pass
    snap.setdefault(pid, []).append(sw)
    return v
orig = harness.proc_cpu_seconds
harness.proc_cpu_seconds = proc_cpu_with_ctx

ap = argparse.ArgumentParser()
ap.add_argument("--size", type=int, default=9000)
ap.add_argument("--mode", default="0")
ap.add_argument("--realtime", action="store_true")
ap.add_argument("--rounds", type=int, default=4)
ap.add_argument("--seconds", type=float, default=3)
ap.add_argument("--strobix", required=True, help="build tree of strobix, blaster and sink")
ap.add_argument("variants", nargs="+", help="name=builddir")
a = ap.parse_args()
print("#", " ".join(["bench/ab.py"] + sys.argv[1:]), flush=True)
args = harness.parse_args(["--build-dir", a.strobix, "--no-veth", "--no-delay",
                           "--seconds", str(a.seconds)] + (["--realtime"] if a.realtime else []) + ["--out", tempfile.mkdtemp(prefix="zok-bench-")])
b = harness.Bench(args)
payload = dict(harness.PACKET_SIZES)[a.size]
variants = [v.split("=", 1) for v in a.variants]
r = b.measure_strobix_sink(a.size, payload, a.seconds, False)
print("strobix->sink rate", b.strobix_rate, flush=True)
res = {n: [] for n, _ in variants}
try:
    for rnd in range(a.rounds):
        order = variants[rnd % len(variants):] + variants[:rnd % len(variants)]
        for name, d in order:
            d, _, sd = d.partition(":")
            b.programs["workergrab"] = os.path.join(d, "workergrab", "workergrab")
            b.programs["strobix"] = os.path.join(sd or a.strobix, "strobix", "strobix")
            lim = b.measure_limit(a.size, payload, 1.0)
            snap.clear()
            m = b.measure_receiver(a.size, payload, a.seconds, "workergrab", False, a.mode, False)
            limbs = lim["blocks"] / lim["seconds"]
            bs = m["blocks"] / m["seconds"]
            cpugb = m["cpu"] / (m["udp_bytes"] / 1e9) if m["udp_bytes"] else float("nan")
            limgb = lim["cpu"] / (lim["udp_bytes"] / 1e9)
            ctx = ""
            for pid, snaps in snap.items():
                if len(snaps) >= 2:
                    s0, s1 = snaps[0], snaps[-1]
                    for t in s1:
                        if t in s0:
                            ctx += f" {t}:vol={s1[t][0]-s0[t][0]},inv={s1[t][1]-s0[t][1]},cpu={s1[t][2]-s0[t][2]:.2f}"
            res[name].append((bs / limbs, cpugb / limgb, m["lost"]))
            print(f"round {rnd} {name:10s} blocks/s {bs:7.0f} ({bs/limbs:.2f}) cpu/GB {cpugb:.3f} ({cpugb/limgb:.2f}) lost {m['lost']} host {m.get('host',0):.2f}{ctx} {'; '.join(m['notes'])}", flush=True)
finally:
    harness.Child.stop_all()
for name, runs in res.items():
    rs = [x[0] for x in runs]; cs = [x[1] for x in runs]
    print(f"{name:10s} ratio median {statistics.median(rs):.2f} [{min(rs):.2f}-{max(rs):.2f}]  cpu ratio median {statistics.median(cs):.2f} [{min(cs):.2f}-{max(cs):.2f}] lost {[x[2] for x in runs]}")
