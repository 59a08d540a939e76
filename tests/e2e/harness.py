"""Runs tavrinset under tpanel-emu and checks what every run must show.

Usage: e2e.py GROUP TPANEL_EMU TAVRINSET. Cases of one group run side by side, so that the
ones that wait for a reply timeout cost that time once. Exit 77 (skipped) when the emulator
cannot give the command a private /dev/tpanel on this machine.
"""
import concurrent.futures
import json
import os
import subprocess
import sys
import tempfile
import termios
import time
import traceback

EMU = TOOL = None
CASES = {}


def case(group):
    def register(fn):
        CASES.setdefault(group, []).append(fn)
        return fn
    return register


class Run:
    def __init__(self, proc, report, elapsed):
        self.status = proc.returncode
        self.out = proc.stdout.decode(errors="replace")
        self.err = proc.stderr.decode(errors="replace")
        self.report = report
        self.elapsed = elapsed
        self.packets = report["packets"]
        self.state = report["state"]
        self.initial = report["initialState"]

    def sent(self):
        """The packets tavrinset wrote, as hex strings."""
        return [p["hex"] for p in self.packets if p["dir"] == "in"]

    def answers(self, exchange):
        """What the emulator sent back for one exchange, in order."""
        return [p for p in self.packets if p["dir"] == "out" and p["exchange"] == exchange]

    def reply(self, exchange):
        """The controller's first reply to an exchange, whatever came before it."""
        return [p for p in self.answers(exchange) if p["kind"] == "reply"][0]["hex"]

    def __str__(self):
        return (f"status {self.status} after {self.elapsed:.2f} s\nstdout: {self.out!r}\n"
                f"stderr: {self.err}\nreport: {json.dumps(self.report, indent=1)[:4000]}")


def emu(emu_args, tool_args, timeout=30):
    """tpanel-emu EMU_ARGS -- tavrinset TOOL_ARGS, with the checks every run must pass."""
    return emu_command(emu_args, [TOOL, *tool_args], timeout)


def emu_command(emu_args, command, timeout=30, check_line=True):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "report.json")
        start = time.monotonic()
        proc = subprocess.run([EMU, f"--json={path}", *emu_args, "--", *command],
                              capture_output=True, timeout=timeout, stdin=subprocess.DEVNULL)
        elapsed = time.monotonic() - start
        if proc.returncode == 77:
            raise Skip(proc.stderr.decode())
        with open(path) as f:
            run = Run(proc, json.load(f), elapsed)
    expect(run.report["status"] == run.status, "report and exit status differ", run)
    if check_line:
        line_checks(run)
    return run


def line_checks(run):
    """While tavrinset talks, the panel's line; once it is done, exactly the line it found."""
    before, after = run.report["lineBefore"], run.report["lineAfter"]
    expect(not is_panel_line(before), "the emulator's starting line is already the panel's", run)
    for p in run.packets:
        if p["dir"] == "in":
            expect(is_panel_line(p["line"]), f"line during the run: {p['line']['text']}", run)
    hung_up = any("hung up" in e["what"] for e in run.report["events"])
    if not hung_up:
        expect(after == before, f"line after: {after and after['text']}", run)


def is_panel_line(t):
    frame = termios.CSIZE | termios.PARENB | termios.CSTOPB | termios.CRTSCTS
    want = termios.CLOCAL | termios.CREAD
    return (t["ispeed"] == 9600 and t["ospeed"] == 9600 and t["cflag"] & frame == termios.CS8
            and t["cflag"] & want == want and t["iflag"] == termios.IGNPAR
            and t["oflag"] == 0 and t["lflag"] == 0 and t["vmin"] == 1 and t["vtime"] == 0)


def trace(run):
    """The --dump trace tavrinset must print for the packets the emulator saw whole."""
    lines = []
    for p in run.packets:
        if len(p["hex"].split()) != 10:
            continue
        data = bytes.fromhex(p["hex"])
        letters = "".join((chr(b) if chr(b).isascii() and chr(b).isalpha() else ".") + " "
                          for b in data)
        arrow = "--> " if p["dir"] == "in" else "<-- "
        lines.append(arrow + "".join(f"{b:02x} " for b in data) + "\t" + letters + "\n")
    return "".join(lines)


def patched(hexstr, changes):
    """A packet with some bytes replaced: {position: value}."""
    data = bytearray.fromhex(hexstr)
    for pos, value in changes.items():
        data[pos] = value
    return " ".join(f"{b:02x}" for b in data)


class Skip(Exception):
    pass


class Failure(Exception):
    pass


def expect(cond, what, run=None):
    if not cond:
        raise Failure(what + (f"\n{run}" if run is not None else ""))


def main(argv):
    global EMU, TOOL
    group, EMU, TOOL = argv[1], argv[2], argv[3]
    probe = subprocess.run([EMU, "--quiet", "--", "true"], capture_output=True)
    if probe.returncode == 77:
        print("SKIPPED: " + probe.stderr.decode().strip())
        return 77
    cases = CASES[group]
    failed = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=len(cases)) as pool:
        futures = {pool.submit(fn): fn.__name__ for fn in cases}
        for future in concurrent.futures.as_completed(futures):
            name = futures[future]
            try:
                future.result()
                print(f"ok    {name}")
            except Skip as skip:
                print(f"SKIPPED: {name}: {skip}")
                return 77
            except Exception:
                failed += 1
                print(f"FAIL  {name}\n{traceback.format_exc()}")
    print(f"{len(cases) - failed} of {len(cases)} cases passed")
    return 1 if failed else 0
