#!/usr/bin/env python3
"""Self-test of the golden runner: a comparison that should fail must fail."""

import os
import stat
import subprocess
import sys
import tempfile
import textwrap
import unittest

# The test runs from the source tree, which must stay free of build products.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_case  # noqa: E402

RUNNER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "run_case.py")


def entries(text):
    return [(n, line) for n, line in enumerate(textwrap.dedent(text).strip("\n").split("\n"), 1)]


def expect_named(test, complaint, named):
    """No complaint where named is None, else one that holds named."""
    if named is None:
        test.assertIsNone(complaint)
    else:
        test.assertIsNotNone(complaint)
        test.assertIn(named, complaint)


class CompareOutput(unittest.TestCase):
    def test_lines_patterns_and_ends(self):
        two = entries("""
            | a  b
            |
            | c
            """)
        patterns = entries(r"""
            ~ Poll retries: +\d+
            ~{2} \d+
            """)
        # (expected lines, output, None where it matches, else a text the
        # difference must name; "" for any difference)
        cases = [
            (two, b"a  b\n\nc\n", None),
            (two, b"a  b\n\nd\n", "line 3"),
            (two, b"a  b\n\nd\n", "'d'"),
            (two, b"a  b\nc\n", "line 2"),
            (entries("| x "), b"x \n", None),
            (entries("| x "), b"x\n", ""),  # trailing spaces count
            (entries("| x "), b"", "<end of output>"),
            (entries("| x "), b"x \ny\n", "<end of output>"),
            ([], b"", None),  # an absent section means empty
            ([], b"\n", ""),
            (patterns, b"Poll retries:  12\n3\n4\n", None),
            (patterns, b"Poll retries:  12x\n3\n4\n", ""),  # whole lines only
            (patterns, b"Poll retries: 1\n3\n", ""),
            (entries("| a"), b"a", ""),
            (entries("| a\n\\ no newline at end"), b"a", None),
        ]
        for want, output, named in cases:
            with self.subTest(want=want, output=output):
                expect_named(self, run_case.compare_output("stdout", want, output), named)


class CheckLog(unittest.TestCase):
    LOG = [
        "zok_init call=1 version=258 rc=0",
        "zok_alloc call=1 stream=S size=64 rc=0 buffer=#1",
        "zok_queue_buffer call=1 buffer=#1 rc=0",
        "zok_poll_recv_pr call=1 stream=S mode=1 rc=0 block_id=1 buffer=#1",
        "zok_info call=1 stream=S rc=0",
    ]

    def test_order_tokens_and_forbidden_lines(self):
        # (expectations, None where the log meets them, else a text the
        # complaint must hold; "" for any complaint)
        cases = [
            ("zok_init\nzok_alloc rc=0 size=64\nzok_info", None),
            ("zok_info\nzok_alloc", "not found"),
            ("zok_alloc size=6", ""),  # a token equals a whole token, not a part
            ("zok_poll", ""),  # the function name is the first token exactly
            ("zok_queue_buffer\n! zok_alloc\nzok_info", None),
            ("zok_queue_buffer\n! zok_poll_recv_pr\nzok_info", "must not appear"),
            ("! zok_info", "must not appear"),
            ("! zok_close_stream", None),
        ]
        for text, named in cases:
            with self.subTest(text):
                expect_named(self, run_case.check_log(entries(text), self.LOG), named)


class WholeRuns(unittest.TestCase):
    """Runs the runner on a shell-script program and a fake double directory.

    A script sees its own path as $0, so argv[0] is checked by the programs'
    usage lines in the real scenarios instead.
    """

    def run_case(self, program_text, case_text, update=False, check=None):
        with tempfile.TemporaryDirectory() as tmp:
            program = os.path.join(tmp, "fakeprog")
            with open(program, "w") as f:
                f.write("#!/bin/sh\n" + textwrap.dedent(program_text))
            os.chmod(program, stat.S_IRWXU)
            case = os.path.join(tmp, "x.case")
            with open(case, "w") as f:
                f.write(textwrap.dedent(case_text))
            command = [sys.executable, RUNNER, "--program", program, "--double-dir", tmp, case]
            result = subprocess.run(command + (["--update"] if update else []),
                                    capture_output=True, text=True, timeout=60)
            if check is not None:
                with open(case) as f:
                    check(f.read())
                again = subprocess.run(command, capture_output=True, text=True, timeout=60)
                self.assertEqual(again.returncode, 0, again.stdout)
            return result.returncode, result.stdout + result.stderr

    def test_args_env_script_and_status(self):
        rc, out = self.run_case(
            """
            echo "$1|$2|$GOLDEN_X" ; echo oops >&2
            [ -n "$ZOK_DOUBLE_SCRIPT" ] && cat "$ZOK_DOUBLE_SCRIPT" >&2
            echo "zok_init call=1 version=258 rc=0" >> "$ZOK_DOUBLE_LOG"
            exit 3
            """,
            """
            args: "a b" ''
            env: GOLDEN_X=1
            status: 3
            [[script]]
            link_state 2
            [[stdout]]
            | a b||1
            [[stderr]]
            | oops
            | link_state 2
            [[log]]
            zok_init version=258
            """)
        self.assertEqual(rc, 0, out)
        rc, out = self.run_case("exit 4\n", "status: 3\n")
        self.assertEqual(rc, 1)
        self.assertIn("exit status: expected 3, actual 4", out)

    def test_signal_after_log_line(self):
        rc, out = self.run_case(
            """
            trap 'echo got; exit 1' INT
            echo "zok_poll_recv_pr call=1 rc=11 repeat=forever" >> "$ZOK_DOUBLE_LOG"
            while :; do sleep 0.05; done
            """,
            """
            status: 1
            signal: SIGINT after-log zok_poll_recv_pr repeat=forever
            [[stdout]]
            | got
            """)
        self.assertEqual(rc, 0, out)

    def test_update_rewrites_what_differs_and_keeps_the_rest(self):
        program = """
            echo "zok_init call=1 rc=0" >> "$ZOK_DOUBLE_LOG"
            printf 'a\\nb 42\\nnew\\n\\nlast'; echo oops >&2; exit 3
            """
        case = """\
            # header comment
            args: x
            status: 0

            [[stdout]]
            | a
            # the number varies
            ~ b \\d+
            | old

            [[log]]
            zok_init
            """
        updated = textwrap.dedent("""\
            # header comment
            args: x
            status: 3

            [[stdout]]
            | a
            # the number varies
            ~ b \\d+
            | new
            |
            | last
            \\ no newline at end

            [[stderr]]
            | oops

            [[log]]
            zok_init
            """)
        rc, out = self.run_case(program, case, update=True,
                                check=lambda text: self.assertEqual(text, updated))
        self.assertEqual(rc, 0, out)
        # The log is an expectation, never rewritten: a miss still fails.
        rc, out = self.run_case("exit 0\n", "status: 0\n[[log]]\nzok_init\n", update=True)
        self.assertEqual(rc, 1)
        self.assertIn("log: expected", out)

    def test_timeout_kills_and_fails(self):
        rc, out = self.run_case("sleep 30\n", "status: 0\ntimeout: 0.5\n")
        self.assertEqual(rc, 1)
        self.assertIn("timeout", out)

    def test_malformed_case(self):
        rc, out = self.run_case("exit 0\n", "status: 0\n[[stdout]]\nno prefix\n")
        self.assertEqual(rc, 2)
        rc, out = self.run_case("exit 0\n", "args: x\n")
        self.assertEqual(rc, 2)
        self.assertIn("status", out)


if __name__ == "__main__":
    unittest.main()
