#!/usr/bin/env python3
"""Runs golden scenarios (tests/golden/README.md) against the library double.

Exit status 0 when, for every scenario, the program's standard output,
standard error, exit status and call log all meet it; 1 with the first
difference of each otherwise; 2 when a scenario file itself is malformed.

With --update the expected outputs and status are rewritten to what the
program did, for a deliberate change of output; the call log and time
bounds are still checked, not rewritten.
"""

import argparse
import os
import re
import shlex
import signal
import subprocess
import sys
import tempfile
import threading
import time

SECTIONS = ("script", "stdin", "stdout", "stderr", "log")
HEADER_KEYS = ("args", "status", "env", "timeout", "signal", "signal-delay-ms", "min-ms",
               "max-ms", "stdout-file")
NO_EOL = "\\ no newline at end"


class CaseError(Exception):
    pass


class Case:
    def __init__(self):
        self.args = []
        self.status = None
        self.env = {}
        self.timeout = 30.0
        self.signal = None  # (signum, kind, argument)
        self.signal_delay_ms = 0
        self.min_ms = None
        self.max_ms = None
        self.stdout_file = None
        self.sections = {}


def parse_case(path):
    case = Case()
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    current = None
    for number, line in enumerate(lines, 1):
        m = re.fullmatch(r"\[\[(\w+)\]\]", line)
        if m:
            if m.group(1) not in SECTIONS:
                raise CaseError(f"line {number}: unknown section [[{m.group(1)}]]")
            if m.group(1) in case.sections:
                raise CaseError(f"line {number}: section [[{m.group(1)}]] twice")
            current = m.group(1)
            case.sections[current] = []
            continue
        if current == "script":
            case.sections[current].append(line)
            continue
        # Blank lines only separate: an empty output line is written "|".
        if line.startswith("#") or not line.strip():
            continue
        if current is None:
            key, sep, value = line.partition(":")
            if not sep or key not in HEADER_KEYS:
                raise CaseError(f"line {number}: expected one of {', '.join(HEADER_KEYS)}")
            value = value.strip()
            try:
                if key == "args":
                    case.args = shlex.split(value)
                elif key == "status":
                    case.status = int(value)
                    if not 0 <= case.status <= 255:
                        raise ValueError
                elif key == "env":
                    name, eq, val = value.partition("=")
                    if not eq or not name:
                        raise ValueError
                    case.env[name] = val
                elif key == "stdout-file":
                    if not value:
                        raise ValueError
                    case.stdout_file = value
                elif key == "timeout":
                    case.timeout = float(value)
                elif key in ("min-ms", "max-ms", "signal-delay-ms"):
                    setattr(case, key.replace("-", "_"), int(value))
                elif key == "signal":
                    name, kind, argument = (value.split(None, 2) + ["", ""])[:3]
                    if name not in ("SIGINT", "SIGTERM") or kind not in (
                        "after-log", "after-stdout", "after-ms") or not argument:
                        raise ValueError
                    if kind == "after-ms":
                        argument = int(argument)
                    case.signal = (getattr(signal, name), kind, argument)
            except ValueError:
                raise CaseError(f"line {number}: bad value for {key}: {value!r}") from None
            continue
        case.sections[current].append((number, line))
    if case.status is None:
        raise CaseError("no 'status:' line")
    for number, line in case.sections.get("stdin", []):
        if not (line == "|" or line.startswith("| ")):
            raise CaseError(f"line {number}: [[stdin]] lines start with '| '")
    return case


def expected_output(entries, name):
    """Turns `| text` / `~ regex` / `~{n} regex` lines into matchers."""
    matchers = []
    no_eol = False
    for number, line in entries:
        if line == NO_EOL:
            no_eol = True
        elif line == "|" or line.startswith("| "):
            matchers.append(("text", line[2:], number))
        else:
            m = re.fullmatch(r"~(?:\{(\d+)\})? (.*)", line)
            if not m:
                raise CaseError(f"line {number}: [[{name}]] lines start with '| ', '~ ' or '~{{n}} '")
            try:
                pattern = re.compile(m.group(2))
            except re.error as e:
                raise CaseError(f"line {number}: bad pattern: {e}") from None
            matchers.extend([("regex", pattern, number)] * int(m.group(1) or 1))
    return matchers, no_eol


def output_lines(actual):
    """The output's lines, and whether it ends without a newline."""
    text = actual.decode("utf-8", errors="backslashreplace")
    if text == "":
        return [], False
    lines = text.split("\n")
    no_eol = lines[-1] != ""
    if not no_eol:
        lines.pop()
    return lines, no_eol


def line_matches(matcher, got):
    kind, want, _ = matcher
    return got is not None and (got == want if kind == "text" else bool(want.fullmatch(got)))


def compare_output(name, entries, actual):
    """Returns a description of the first difference, or None."""
    matchers, no_eol = expected_output(entries, name)
    lines, actual_no_eol = output_lines(actual)
    for index, (kind, want, case_line) in enumerate(matchers):
        got = lines[index] if index < len(lines) else None
        if not line_matches((kind, want, case_line), got):
            shown = want if kind == "text" else f"~ {want.pattern}"
            return (f"{name}: first difference at line {index + 1} (case line {case_line}):\n"
                    f"  expected: {shown!r}\n"
                    f"  actual:   {'<end of output>' if got is None else repr(got)}")
    if len(lines) > len(matchers):
        return (f"{name}: first difference at line {len(matchers) + 1}:\n"
                f"  expected: <end of output>\n  actual:   {lines[len(matchers)]!r}")
    if actual_no_eol != no_eol:
        return f"{name}: output {'ends' if actual_no_eol else 'does not end'} without a newline"
    return None


def log_matches(expectation, line):
    want = expectation.split()
    have = line.split()
    return bool(want) and bool(have) and want[0] == have[0] and all(t in have[1:] for t in want[1:])


def check_log(entries, log_lines):
    """Ordered plain lines; `! line` forbidden between its plain neighbours."""
    position = 0  # first log index the next plain line may match
    pending = []  # forbidden expectations waiting for the next plain match
    for number, line in entries:
        if line.startswith("! "):
            pending.append((number, line[2:]))
            continue
        found = next((i for i in range(position, len(log_lines))
                      if log_matches(line, log_lines[i])), None)
        if found is None:
            return (f"log: expected {line!r} (case line {number}) not found"
                    f" after log line {position}")
        for forbidden_number, forbidden in pending:
            for i in range(position, found):
                if log_matches(forbidden, log_lines[i]):
                    return (f"log: {forbidden!r} (case line {forbidden_number}) must not appear,"
                            f" but log line {i + 1} is {log_lines[i]!r}")
        pending = []
        position = found + 1
    for forbidden_number, forbidden in pending:
        for i in range(position, len(log_lines)):
            if log_matches(forbidden, log_lines[i]):
                return (f"log: {forbidden!r} (case line {forbidden_number}) must not appear,"
                        f" but log line {i + 1} is {log_lines[i]!r}")
    return None


def read_stream(pipe, sink):
    while True:
        chunk = pipe.read1(65536) if hasattr(pipe, "read1") else pipe.read(65536)
        if not chunk:
            break
        sink.append(chunk)


def run(case, program, double_dir, workdir):
    # The program runs in the work directory, so every path must be absolute.
    program = os.path.abspath(program)
    double_dir = os.path.abspath(double_dir)
    workdir = os.path.abspath(workdir)
    script_path = os.path.join(workdir, "script")
    log_path = os.path.join(workdir, "calls.log")
    with open(script_path, "w", encoding="utf-8") as f:
        f.write("\n".join(case.sections.get("script", [])) + "\n")
    open(log_path, "w").close()
    env = dict(os.environ)
    for name in list(env):
        if name.startswith("ZOK_DOUBLE_"):
            del env[name]
    env.update(case.env)
    env["LD_LIBRARY_PATH"] = double_dir + (
        ":" + env["LD_LIBRARY_PATH"] if env.get("LD_LIBRARY_PATH") else "")
    env["ZOK_DOUBLE_SCRIPT"] = script_path
    env["ZOK_DOUBLE_LOG"] = log_path
    stdin_lines = [line[2:] for _, line in case.sections.get("stdin", [])]
    stdin_bytes = "".join(line + "\n" for line in stdin_lines).encode()

    argv0 = os.path.basename(program)
    stdout_target = subprocess.PIPE
    if case.stdout_file:
        stdout_target = open(case.stdout_file, "wb")
    started = time.monotonic()
    proc = subprocess.Popen([argv0] + case.args, executable=program, env=env, cwd=workdir,
                            stdin=subprocess.PIPE, stdout=stdout_target,
                            stderr=subprocess.PIPE, start_new_session=True)
    if case.stdout_file:
        stdout_target.close()
    out, err = [], []
    readers = [threading.Thread(target=read_stream, args=(proc.stderr, err))]
    if not case.stdout_file:
        readers.append(threading.Thread(target=read_stream, args=(proc.stdout, out)))
    for r in readers:
        r.start()
    try:
        proc.stdin.write(stdin_bytes)
        proc.stdin.close()
    except BrokenPipeError:
        pass

    signalled = case.signal is None
    condition_held_at = None
    timed_out = False
    while proc.poll() is None:
        elapsed = time.monotonic() - started
        if elapsed > case.timeout:
            os.killpg(proc.pid, signal.SIGKILL)
            timed_out = True
            break
        if not signalled:
            signum, kind, argument = case.signal
            if kind == "after-ms":
                due = elapsed * 1000 >= argument
            elif kind == "after-stdout":
                due = argument.encode() in b"".join(out)
            else:
                with open(log_path, encoding="utf-8", errors="replace") as f:
                    due = any(log_matches(argument, line) for line in f.read().splitlines())
            if due and condition_held_at is None:
                condition_held_at = elapsed
            if condition_held_at is not None and (
                    elapsed - condition_held_at) * 1000 >= case.signal_delay_ms:
                proc.send_signal(signum)
                signalled = True
        time.sleep(0.005)
    proc.wait()
    elapsed_ms = (time.monotonic() - started) * 1000
    for r in readers:
        r.join()
    with open(log_path, encoding="utf-8", errors="replace") as f:
        log_lines = f.read().splitlines()
    return proc.returncode, b"".join(out), b"".join(err), log_lines, timed_out, signalled, elapsed_ms


def literal(line):
    return "|" if line == "" else f"| {line}"


def updated_section(raw, entries, actual):
    """The section's lines rewritten to the actual output, or None if it matches.

    Entries that still match stay as written, so patterns and comments
    survive; the others become literal lines of the actual output.
    """
    if compare_output("", entries, actual) is None:
        return None
    lines, no_eol = output_lines(actual)
    # Positions of each entry's lines among the expanded matchers.
    positions = {}
    index = 0
    for number, line in entries:
        if line == NO_EOL:
            continue
        matchers, _ = expected_output([(number, line)], "")
        positions[number] = (index, matchers)
        index += len(matchers)
    body = []
    for number, line in raw:
        if number not in positions:
            if line != NO_EOL and number not in {n for n, _ in entries}:
                body.append(line)  # comment or blank line
            continue
        start, matchers = positions[number]
        span = lines[start:start + len(matchers)]
        kept = len(span) == len(matchers) and all(map(line_matches, matchers, span))
        body.extend([line] if kept else [literal(got) for got in span])
    while body and not body[-1].strip():
        body.pop()
    body.extend(literal(line) for line in lines[index:])
    if no_eol:
        body.append(NO_EOL)
    return body


def update_case(path, case, status, outputs):
    """Rewrites the case file's status and output sections; True if it changed."""
    with open(path, encoding="utf-8") as f:
        file_lines = f.read().split("\n")
    if file_lines and file_lines[-1] == "":
        file_lines.pop()
    # Where each section's raw lines are: from after its header to the next.
    starts = [(i, m.group(1)) for i, line in enumerate(file_lines)
              if (m := re.fullmatch(r"\[\[(\w+)\]\]", line))]
    bounds = {name: (i + 1, (starts[k + 1][0] if k + 1 < len(starts) else len(file_lines)))
              for k, (i, name) in enumerate(starts)}
    changed = False
    replacements = []  # (first, end, new lines), applied from the bottom up
    for order, (name, actual) in enumerate(outputs):
        if name in bounds:
            first, end = bounds[name]
            raw = [(n + 1, file_lines[n]) for n in range(first, end)]
        else:
            raw = []
        body = updated_section(raw, case.sections.get(name, []), actual)
        if body is None:
            continue
        changed = True
        section = [f"[[{name}]]"] + body if body else []
        if name in bounds:
            first, end = bounds[name]
            last = end == len(file_lines)
            replacements.append(
                (first - 1, order, end, section + ([] if last or not section else [""])))
        elif "log" in bounds:  # a new section goes before [[log]], or at the end
            at = bounds["log"][0] - 1
            replacements.append((at, order, at, section + [""]))
        else:
            at = len(file_lines)
            replacements.append((at, order, at, [""] + section))
    # From the bottom up, so that earlier positions stay valid.
    for first, _, end, new in sorted(replacements, reverse=True):
        file_lines[first:end] = new
    while file_lines and not file_lines[-1].strip():
        file_lines.pop()
    if status != case.status:
        changed = True
        for i, line in enumerate(file_lines):
            if line.startswith("status:"):
                file_lines[i] = f"status: {status}"
                break
    if changed:
        with open(path, "w", encoding="utf-8") as f:
            f.write("\n".join(file_lines) + "\n")
    return changed


def run_one(path, options):
    """Runs one scenario; returns 0, 1 or 2 as the whole run does."""
    try:
        case = parse_case(path)
        for name in ("stdout", "stderr"):
            expected_output(case.sections.get(name, []), name)
    except (CaseError, OSError) as e:
        print(f"{path}: {e}", file=sys.stderr)
        return 2

    with tempfile.TemporaryDirectory(prefix="golden-") as tmp:
        workdir = options.keep or tmp
        os.makedirs(workdir, exist_ok=True)
        status, out, err, log_lines, timed_out, signalled, elapsed_ms = run(
            case, options.program, options.double_dir, workdir)
        if options.keep:
            with open(os.path.join(workdir, "stdout"), "wb") as f:
                f.write(out)
            with open(os.path.join(workdir, "stderr"), "wb") as f:
                f.write(err)

    failures = []
    if timed_out:
        failures.append(f"timeout: still running after {case.timeout:g} s, killed")
    elif not signalled:
        failures.append(f"signal: never sent: the program ended before {case.signal[1]}"
                        f" {case.signal[2]!r} held (plus any signal-delay-ms)")
    if options.update and not timed_out and status >= 0:
        if update_case(path, case, status, (("stdout", out), ("stderr", err))):
            print(f"updated {path}")
            case = parse_case(path)
    if not timed_out and status != case.status:
        shown = f"killed by signal {-status}" if status < 0 else str(status)
        failures.append(f"exit status: expected {case.status}, actual {shown}")
    for name, actual in (("stdout", out), ("stderr", err)):
        difference = compare_output(name, case.sections.get(name, []), actual)
        if difference:
            failures.append(difference)
    difference = check_log(case.sections.get("log", []), log_lines)
    if difference:
        if not log_lines:
            difference += " (the call log is empty: was the double loaded instead of libzok?)"
        failures.append(difference)
    if case.min_ms is not None and elapsed_ms < case.min_ms:
        failures.append(f"time: ran {elapsed_ms:.0f} ms, expected at least {case.min_ms} ms")
    if case.max_ms is not None and elapsed_ms > case.max_ms:
        failures.append(f"time: ran {elapsed_ms:.0f} ms, expected at most {case.max_ms} ms")

    if failures:
        print(f"FAIL {path}")
        for failure in failures:
            print(failure)
        return 1
    print(f"ok {path}")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True, help="path of the program under test")
    parser.add_argument("--double-dir", required=True, help="directory of the double's libzok.so.0")
    parser.add_argument("--keep", help="directory to keep the script, log and outputs in")
    parser.add_argument("--update", action="store_true",
                        help="rewrite the expected outputs and status to the actual ones")
    parser.add_argument("cases", nargs="+", metavar="case")
    options = parser.parse_args()
    return max(run_one(path, options) for path in options.cases)


if __name__ == "__main__":
    sys.exit(main())
