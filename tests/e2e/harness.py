# SPDX-License-Identifier: MIT
"""Runs tavrinset under tpanel-emu and checks what every run must show.

Usage: e2e.py GROUP TPANEL_EMU TAVRINSET. Cases of one group run side by side, so that the
ones that wait for a reply timeout cost that time once. Where the emulator cannot give the
command a private /dev/tpanel (no root, no user namespaces), the command runs as it is and
tavrinset is pointed at the emulated line with --device; only the cases that check the private
/dev itself are then left out. Exit 77 (skipped) when neither way works.
"""
import concurrent.futures
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import termios
import time
import traceback

EMU = TOOL = None
CASES = {}
# Set by main() where no private /dev can be made: the emulated line is reached by --device.
DIRECT = False


def case(group, private_dev=False):
    """Registers a case; private_dev marks one that checks the private /dev itself."""
    def register(fn):
        fn.private_dev = private_dev
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


def emu_argv(emu_args, command, tmp):
    """The emulator's command line running command, in whichever way this machine allows."""
    if not DIRECT:
        return [EMU, *emu_args, "--", *command]
    return emu_argv_direct(emu_args, command, tmp)


def emu_argv_direct(emu_args, command, tmp):
    """The command run as it is, with the emulated line at a link in tmp."""
    link = os.path.join(tmp, "tpanel")
    if TOOL in command[:4] and command[-1] != TOOL:
        # Before the test's own arguments, so that a --device of the test's still wins (also
        # as "$0" of a shell wrapper). With no argument at all tavrinset opens nothing, and an
        # added one would change that.
        at = command.index(TOOL) + 1
        command = [*command[:at], "--device", link, *command[at:]]
    return [EMU, "--no-private-dev", "--link", link, *emu_args, "--", *command]


def emu_command(emu_args, command, timeout=30, check_line=True):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "report.json")
        start = time.monotonic()
        proc = subprocess.run(emu_argv([f"--json={path}", *emu_args], command, tmp),
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


LINK = object()  # stands for the served link in served()'s tool arguments


def served(emu_args, tool_args, timeout=30):
    """tavrinset --device LINK TOOL_ARGS against tpanel-emu serving LINK: no namespace at all,
    as an operator would run the two. Where TOOL_ARGS hold LINK, it is replaced by the path and
    no --device is added."""
    with tempfile.TemporaryDirectory() as tmp:
        link, path = os.path.join(tmp, "tpanel"), os.path.join(tmp, "report.json")
        emu_proc = subprocess.Popen([EMU, f"--json={path}", "--link", link, *emu_args],
                                    stdin=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            # The link appears before the emulator has noted the line's starting settings;
            # its message comes after, when it is ready for a command.
            said = b""
            deadline = time.monotonic() + 10
            while b"until stopped" not in said:
                ready = select.select([emu_proc.stderr], [], [], deadline - time.monotonic())[0]
                more = os.read(emu_proc.stderr.fileno(), 4096) if ready else b""
                expect(more != b"", f"the emulator did not serve {link}: {said.decode()}")
                said += more
            start = time.monotonic()
            if LINK in tool_args:
                args = [link if a is LINK else a for a in tool_args]
            else:
                args = ["--device", link, *tool_args]
            proc = subprocess.run([TOOL, *args], capture_output=True,
                                  timeout=timeout, stdin=subprocess.DEVNULL)
            elapsed = time.monotonic() - start
        finally:
            emu_proc.send_signal(signal.SIGINT)
            emu_proc.communicate(timeout=30)
        with open(path) as f:
            report = json.load(f)
    # The report's status is the emulator's own here; the line checks hold all the same.
    report["status"] = proc.returncode
    run = Run(proc, report, elapsed)
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


# The transport's one message when the line is hung up: closing a pseudo-terminal's far end
# shows at this end as end of file or as EIO, depending on where the read was.
GONE = ("Error while reading packet: end of file",
        "Error while reading packet: Input/output error")


def expect(cond, what, run=None):
    if not cond:
        raise Failure(what + (f"\n{run}" if run is not None else ""))


def main(argv):
    global EMU, TOOL, DIRECT
    group, EMU, TOOL = argv[1], argv[2], argv[3]
    probe = subprocess.run([EMU, "--quiet", "--", "true"], capture_output=True)
    if probe.returncode == 77:
        with tempfile.TemporaryDirectory() as tmp:
            direct = subprocess.run(emu_argv_direct(["--quiet"], ["true"], tmp),
                                    capture_output=True)
        if direct.returncode == 0:
            DIRECT = True
            print("no private /dev here: tavrinset gets the emulated line with --device")
        else:
            # Cases that run a command under the emulator skip; those that serve a link still
            # have something to check.
            print("no private /dev here: " + probe.stderr.decode().strip())
    cases = CASES[group]
    if DIRECT:
        for fn in [fn for fn in cases if fn.private_dev]:
            print(f"left out {fn.__name__}: it checks the private /dev")
        cases = [fn for fn in cases if not fn.private_dev]
    return run_cases(cases)


def run_cases(cases, skip_alone=False):
    """Runs the cases at once and reports each. A skip ends the group with 77, unless each case
    may skip alone: then the group skips only when every case did."""
    failed = skipped = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=len(cases)) as pool:
        futures = {pool.submit(fn): fn.__name__ for fn in cases}
        for future in concurrent.futures.as_completed(futures):
            name = futures[future]
            try:
                future.result()
                print(f"ok    {name}")
            except Skip as skip:
                print(f"SKIPPED: {name}: {skip}")
                if not skip_alone:
                    return 77
                skipped += 1
            except Exception:
                failed += 1
                print(f"FAIL  {name}\n{traceback.format_exc()}")
    if skip_alone:
        print(f"{len(cases) - failed - skipped} of {len(cases)} cases passed, {skipped} skipped")
    else:
        print(f"{len(cases) - failed} of {len(cases)} cases passed")
    if failed:
        return 1
    return 77 if cases and skipped == len(cases) else 0
