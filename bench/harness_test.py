#!/usr/bin/env python3
"""Tests of the benchmark: the harness's reading of program output and its
arithmetic, and the bare pair counting exactly what it sends over loopback.

The pair tests need the built programs: BENCH_BUILD_DIR names the build tree.
"""

import os
import subprocess
import tempfile
import sys
import time
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

PLAINGRAB_REPORT = """\
Queued 63 buffers
--- APP stats ---
Blocks received:        97
Blocks non-zero status: 2
Poll retries:           123456
Last Block ID:          99
--- ZOK info ---
Blocks received:        99
Blocks dropped:         1
--- ZOK stats ---
Blocks Dropped:         0
Blocks Complete:        97
Blocks Incomplete:      2
Blocks Not Available:   1
Resend Requests:        4
Time between receives in nanoseconds
1000
18446744073709551000
3000
2000
"""


def run_record(seconds, blocks, udp_bytes, packets, cpu, lost=0, notes=()):
    return {"seconds": seconds, "blocks": blocks, "udp_bytes": udp_bytes, "packets": packets,
            "cpu": cpu, "lost": lost, "lost_unit": "", "notes": list(notes)}


class ReportReading(unittest.TestCase):
    def test_counters_by_label_and_occurrence(self):
        # "Blocks received:" is printed twice: the program's own count first,
        # then the library's; the harness counts the blocks the program got.
        self.assertEqual(harness.report_value(PLAINGRAB_REPORT, "Blocks received:"), 97)
        self.assertEqual(harness.report_value(PLAINGRAB_REPORT, "Blocks received:", 1), 99)
        self.assertEqual(harness.report_value(PLAINGRAB_REPORT, "Blocks Not Available:"), 1)
        self.assertEqual(harness.report_value(PLAINGRAB_REPORT, "Blocks Incomplete:"), 2)
        self.assertIsNone(harness.report_value(PLAINGRAB_REPORT, "Stream Started"))
        self.assertIsNone(harness.report_value("", "Blocks received:"))

    def test_gap_log_reads_wrapped_negatives_back_and_stops_at_other_text(self):
        self.assertEqual(harness.gap_log(PLAINGRAB_REPORT), [1000, -616, 3000, 2000])
        self.assertEqual(harness.gap_log(PLAINGRAB_REPORT + "Application timeout expired\n5\n"),
                         [1000, -616, 3000, 2000])
        self.assertIsNone(harness.gap_log("--- APP stats ---\n"))
        self.assertEqual(harness.gap_log("Time between receives in nanoseconds\n"), [])

    def test_sender_report_formats(self):
        text = "Sent 250 blocks, 358750 packets, 524893000 bytes in 3.002 s (1398.78 Mbit/s)\n"
        m = harness.SENT_STROBIX.search(text)
        self.assertEqual((m.group(1), m.group(2), m.group(4)), ("250", "358750", "3.002"))
        m = harness.SENT_BLASTER.search(
            "Sent 1000 datagrams, 1472000 bytes in 0.010000 s (0.100 Mpps, 1.178 Gbit/s)\n")
        self.assertEqual((m.group(1), m.group(2), m.group(3)), ("1000", "1472000", "0.010000"))


class SocketState(unittest.TestCase):
    TABLE = (
        "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode ref pointer drops\n"
        " 1632: 0100007F:B3B0 00000000:0000 07 00000000:00000000 00:00000000 00000000     0  "
        "      0 278326 2 00000000bd0c9917 0\n"
        " 1633: 0100007F:B3B2 00000000:0000 07 00000000:0001F400 00:00000000 00000000     0  "
        "      0 278327 2 00000000bd0c9918 1234\n")

    def test_queue_and_drops_of_the_socket_on_a_port(self):
        with tempfile.NamedTemporaryFile("w", suffix=".udp") as f:
            f.write(self.TABLE)
            f.flush()
            self.assertEqual(harness.udp_socket_state(0xB3B0, f.name), (0, 0))
            self.assertEqual(harness.udp_socket_state(0xB3B2, f.name), (0x1F400, 1234))
            self.assertIsNone(harness.udp_socket_state(0xB3B4, f.name))
        self.assertIsNone(harness.udp_socket_state(1, "/nonexistent/udp"))


class Arithmetic(unittest.TestCase):

    def test_packets_per_block_follow_the_packet_size(self):
        # 1500: 1464 data bytes per packet, 1433 packets for 2 MiB, plus
        # leader and trailer; 9000: 8964 bytes, 234 packets, plus two.
        self.assertEqual(harness.gvsp_packets_per_block(1500), 1435)
        self.assertEqual(harness.gvsp_packets_per_block(9000), 236)
        self.assertEqual(harness.gvsp_packets_per_block(1500, 1464), 3)
        self.assertEqual(harness.gvsp_packets_per_block(1500, 1465), 4)

    def test_summary_takes_the_median_of_each_figure(self):
        runs = [run_record(2.0, 100, 2e9, 1000, 2.0, lost=3),
                run_record(1.0, 90, 1e9, 800, 4.0, lost=0),
                run_record(1.0, 40, 1e9, 100, 0.5, lost=9, notes=["stopped by signal"])]
        s = harness.summarise(runs)
        self.assertEqual(s["runs"], 3)
        self.assertAlmostEqual(s["blocks_s"], 50)  # of 50, 90, 40
        self.assertAlmostEqual(s["gbit_s"], 8)  # every run moved 8 Gbit/s
        self.assertAlmostEqual(s["cpu_gb"], 1.0)  # of 1, 4, 0.5
        self.assertEqual(s["lost"], 3)
        self.assertEqual(s["notes"], ["stopped by signal"])

    def test_summary_gives_loss_causes_as_medians(self):
        runs = [run_record(1.0, 1, 1, 1, 0.1), run_record(1.0, 1, 1, 1, 0.1),
                run_record(1.0, 1, 1, 1, 0.1)]
        for r, (incomplete, kernel) in zip(runs, ((10, 0), (31, 5), (2, 0))):
            r["breakdown"] = {"incomplete": incomplete, "not available": 0,
                              "kernel drops": kernel}
        self.assertEqual(harness.summarise(runs)["notes"], ["incomplete 10"])

    def test_summary_skips_runs_without_a_duration(self):
        self.assertIsNone(harness.summarise([run_record(0.0, 0, 0, 0, 0.0)]))
        s = harness.summarise([run_record(0.0, 0, 0, 0, 0.0), run_record(1.0, 1, 0, 1, 0.1)])
        self.assertEqual(s["runs"], 1)
        self.assertIsNone(s["cpu_gb"])  # no byte moved: no cost per byte


class Table(unittest.TestCase):
    def test_rows_show_ratios_to_the_limit_and_reasons_for_gaps(self):
        cells = [("limit", "limit", {}, 1500, 1472),
                 ("strobix -> sink", "strobix_sink", {}, 1500, 1472),
                 ("strobix -> plaingrab", "receiver", {}, 1500, 1472)]
        results = {0: [dict(run_record(1.0, 400, 5e9 / 8, 6e5, 0.5), sender=0.75, host=1.25,
                            softirq=0.25)],
                   1: [dict(run_record(1.0, 200, 2.5e9 / 8, 3e5, 0.5), sender=0.75, host=2.5,
                            softirq=0.25)],
                   2: []}
        lines, plot = harness.render_table(None, cells, results, {2: "plaingrab not built"})
        self.assertIn("| limit | 1500 | 400 (1.00) | 5 (1.00) | 0.6 (1.00) |", lines[2])
        self.assertIn("| 200 (0.50) | 2.5 (0.50) | 0.3 (0.50) |", lines[3])
        # Half the bytes for the same receiver and sender CPU, for twice the
        # host's CPU and the same softirq: each column per GB, in its place.
        self.assertIn("| 1.6 (2.00) | 2.4 (2.00) | 8 (4.00) | 0.8 (2.00) | 1 |", lines[3])
        self.assertIn("| 0.8 (1.00) | 1.2 (1.00) | 2 (1.00) | 0.4 (1.00) | 1 |", lines[2])
        self.assertTrue(lines[4].endswith("| 0 | plaingrab not built |"))
        self.assertEqual(plot["strobix -> plaingrab"], {1500: None})

    def test_format_keeps_small_and_large_figures_readable(self):
        self.assertEqual(harness.fmt(None), "n/a")
        self.assertEqual(harness.fmt(0), "0")
        self.assertEqual(harness.fmt(0.012345), "0.0123")
        self.assertEqual(harness.fmt(123456.7), "123,457")


def build_dir():
    path = os.environ.get("BENCH_BUILD_DIR")
    if not path or not os.access(os.path.join(path, "bench", "sink"), os.X_OK):
        raise unittest.SkipTest("BENCH_BUILD_DIR does not hold bench/sink and bench/blaster")
    return path


class BarePair(unittest.TestCase):
    port = 45900

    def pair(self, size, count, batch, sink_args=()):
        root = build_dir()
        BarePair.port += 1
        endpoint = f"127.0.0.1:{BarePair.port}"
        sink = subprocess.Popen([os.path.join(root, "bench", "sink"), "-q", "200", "-w", "10",
                                 *sink_args, endpoint], stdout=subprocess.PIPE, text=True)
        try:
            self.assertIn("Listening", sink.stdout.readline())
            sent = subprocess.run([os.path.join(root, "bench", "blaster"), "-s", str(size),
                                   "-n", str(count), "-b", str(batch), endpoint],
                                  capture_output=True, text=True, timeout=30)
            self.assertEqual(sent.returncode, 0, sent.stderr)
            out, _ = sink.communicate(timeout=30)
        finally:
            sink.kill()
            sink.wait()
        return sent.stdout, out

    def test_sink_counts_every_datagram_and_byte(self):
        # A count that no batch divides leaves a short last batch on both sides.
        sent, received = self.pair(8972, 1001, 7)
        self.assertIn("Sent 1001 datagrams, 8980972 bytes", sent)
        self.assertIn("Received 1001 datagrams, 8980972 bytes", received)
        self.assertIn("Truncated 0,", received)

    def test_sink_ends_at_its_count(self):
        started = time.monotonic()
        _, received = self.pair(1472, 500, 64, ["-n", "300", "-b", "1"])
        self.assertIn("Received 300 datagrams, 441600 bytes", received)
        self.assertLess(time.monotonic() - started, 10)

    def test_bad_command_lines_are_refused(self):
        root = build_dir()
        for program, args in (("blaster", ["-s", "0", "127.0.0.1:4000"]),
                              ("blaster", ["-s", "70000", "127.0.0.1:4000"]),
                              ("blaster", ["127.0.0.1"]),
                              ("blaster", ["127.0.0.1:0"]),
                              ("sink", ["-b", "2000", "127.0.0.1:4000"]),
                              ("sink", ["localhost:4000"]),
                              ("sink", [])):
            with self.subTest(program=program, args=args):
                result = subprocess.run([os.path.join(root, "bench", program), *args],
                                        capture_output=True, text=True, timeout=10)
                self.assertEqual(result.returncode, 2)
                self.assertIn("Usage:", result.stderr)


class MissingAndFailingPrograms(unittest.TestCase):
    """The harness measures what it can and names the reason for every gap."""

    def test_limit_measured_and_every_other_cell_explained(self):
        real = build_dir()
        with tempfile.TemporaryDirectory() as fake:
            os.makedirs(os.path.join(fake, "bench"))
            for name in ("blaster", "sink"):
                os.symlink(os.path.join(real, "bench", name), os.path.join(fake, "bench", name))
            os.makedirs(os.path.join(fake, "strobix"))
            with open(os.path.join(fake, "strobix", "strobix"), "w") as f:
                f.write("#!/bin/sh\necho 'Bad value for -k: 9000x' >&2\nexit 255\n")
            os.chmod(os.path.join(fake, "strobix", "strobix"), 0o755)
            os.makedirs(os.path.join(fake, "workergrab"))
            with open(os.path.join(fake, "workergrab", "workergrab"), "w") as f:
                f.write("#!/bin/sh\nexit 0\n")
            os.chmod(os.path.join(fake, "workergrab", "workergrab"), 0o755)
            out = os.path.join(fake, "out")
            result = subprocess.run(
                [sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                              "harness.py"),
                 "--short", "--seconds", "0.3", "--no-delay", "--build-dir", fake, "--out", out],
                capture_output=True, text=True, timeout=120)
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(os.path.join(out, "bench.md")) as f:
                rows = {tuple(cell.strip() for cell in line.split("|")[1:3]): line
                        for line in f if line.startswith("| ")}
        for size in ("1500", "9000"):
            limit = rows[("limit: blaster -> sink", size)]
            self.assertNotIn("n/a", limit)
            self.assertIn("(1.00)", limit)
            self.assertIn("strobix failed (exit 255: Bad value for -k: 9000x)",
                          rows[("strobix -> sink", size)])
            self.assertIn("plaingrab not built", rows[("strobix -> plaingrab", size)])
            # A program without the library is not measured, whatever it prints.
            self.assertIn("workergrab: libzok not found",
                          rows[("strobix -c -> workergrab -w 0, verify", size)])

    def test_veth_rows_without_a_network_say_why_and_do_not_fail_the_run(self):
        real = build_dir()
        with tempfile.TemporaryDirectory() as fake:
            os.makedirs(os.path.join(fake, "bench"))
            for name in ("blaster", "sink"):
                os.symlink(os.path.join(real, "bench", name), os.path.join(fake, "bench", name))
            testnet = os.path.join(fake, "testnet.sh")
            with open(testnet, "w") as f:
                f.write("#!/bin/sh\necho 'SKIPPED: no namespaces here'\nexit 77\n")
            os.chmod(testnet, 0o755)
            out = os.path.join(fake, "out")
            saved = harness.TESTNET
            harness.TESTNET = testnet
            try:
                status = harness.main(["--short", "--seconds", "0.3", "--no-delay",
                                       "--worker-modes", "0", "--build-dir", fake, "--out", out])
            finally:
                harness.TESTNET = saved
            with open(os.path.join(out, "bench.md")) as f:
                rows = {tuple(cell.strip() for cell in line.split("|")[1:3]): line
                        for line in f if line.startswith("| ")}
        self.assertEqual(status, 0)
        for size in ("1500", "9000"):
            self.assertNotIn("n/a", rows[("limit: blaster -> sink", size)])
            self.assertIn("no veth pair: SKIPPED: no namespaces here",
                          rows[("veth: limit: blaster -> sink", size)])

    def test_veth_only_keeps_the_veth_rows_and_the_rate_they_need(self):
        with tempfile.TemporaryDirectory() as fake:
            testnet = os.path.join(fake, "testnet.sh")
            with open(testnet, "w") as f:
                f.write("#!/bin/sh\necho 'SKIPPED: no namespaces here'\nexit 77\n")
            os.chmod(testnet, 0o755)
            saved = harness.TESTNET
            harness.TESTNET = testnet
            try:
                args = harness.parse_args(["--veth-only", "--worker-modes", "0",
                                           "--build-dir", fake, "--out", fake])
                cells = harness.Bench(args).cells()
            finally:
                harness.TESTNET = saved
        self.assertTrue(args.no_delay)
        loopback = [(c[0], c[3]) for c in cells if not c[0].startswith("veth: ")]
        self.assertEqual(loopback, [("strobix -> sink", 1500), ("strobix -> sink", 9000)])
        veth = [c[0] for c in cells if c[0].startswith("veth: ") and c[3] == 9000]
        self.assertEqual(veth, ["veth: limit: blaster -> sink", "veth: strobix -> plaingrab",
                                "veth: strobix -> workergrab -w 0",
                                "veth: strobix -> plaingrab, AF_XDP",
                                "veth: strobix -> workergrab -w 0, AF_XDP"])

    def test_no_limit_is_a_failure(self):
        with tempfile.TemporaryDirectory() as empty:
            result = subprocess.run(
                [sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                              "harness.py"),
                 "--short", "--no-delay", "--build-dir", empty, "--out", empty],
                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 1)
        self.assertIn("limit not measured", result.stderr)


if __name__ == "__main__":
    unittest.main()
