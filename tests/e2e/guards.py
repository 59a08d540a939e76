#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Guards: promises to users that only a misbehaving line, stream or process puts to the test.

Usage: guards.py GROUP TPANEL_EMU TAVRINSET LINE_SHIM SIGNAL_AUDIT

LINE_SHIM is preloaded into tavrinset to make its serial device misbehave as real ones do
(tests/shim/line_shim.cpp); SIGNAL_AUDIT into tpanel-emu to log every signal it sends
(tests/shim/signal_audit.cpp).
"""
import json
import os
import select
import subprocess
import sys
import tempfile
import termios
import threading
import time
import types

sys.dont_write_bytecode = True  # nothing of ours lands in the source tree
from harness import Failure, Run, Skip, case, expect, line_checks, main
import harness

LINE_SHIM = SIGNAL_AUDIT = None
LETTER = 1
TOUCHES = ["--touch", "512,730", "--touch", "1,2", "--touch", "4095,0"]
SCALING_X = "55 53 58 00 00 20 03 00 00 00"


def letters(run):
    return [chr(int(h.split()[LETTER], 16)) for h in run.sent()]


def stop(proc):
    """Ends a run that overran: the command first (it may be ignoring every signal but
    SIGKILL, or spinning), then the emulator. Both are ours, named by pid."""
    try:
        with open(f"/proc/{proc.pid}/task/{proc.pid}/children") as f:
            children = [int(p) for p in f.read().split()]
    except OSError:
        children = []
    for pid in children:
        try:
            os.kill(pid, 9)
        except ProcessLookupError:
            pass
    proc.kill()
    proc.communicate()


def with_device(command, link):
    """The command with tavrinset pointed at the emulated line at link, wherever it appears
    (also as "$0" of a shell wrapper, whose "$@" then starts with the option)."""
    out = []
    for word in command:
        out.append(word)
        if word == harness.TOOL:
            out += ["--device", link]
    return out


def run_emu(emu_args, command, stdout=subprocess.PIPE, env=None, timeout=20,
            check_line=True):
    """tpanel-emu EMU_ARGS -- COMMAND with the checks of every run, bounded in time. Where no
    private /dev can be made, the emulated line is served at a link that the command finds in
    $TPANEL, and tavrinset gets it with --device."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "report.json")
        env = dict(env or os.environ, TPANEL="/dev/tpanel")
        argv = [harness.EMU, f"--json={path}", *emu_args, "--", *command]
        if harness.DIRECT:
            link = os.path.join(tmp, "tpanel")
            env.update(TPANEL=link, TPSHIM_PANEL=link)
            argv = [harness.EMU, "--no-private-dev", "--link", link, f"--json={path}",
                    *emu_args, "--", *with_device(command, link)]
        start = time.monotonic()
        proc = subprocess.Popen(argv, stdout=stdout, stderr=subprocess.PIPE,
                                stdin=subprocess.DEVNULL, env=env)
        try:
            out, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            stop(proc)
            raise Failure(f"no end within {timeout} s: {emu_args} -- {command}")
        elapsed = time.monotonic() - start
        if proc.returncode == 77:
            raise Skip(err.decode())
        with open(path) as f:
            report = json.load(f)
    done = types.SimpleNamespace(returncode=proc.returncode, stdout=out or b"", stderr=err)
    run = Run(done, report, elapsed)
    expect(report["status"] == run.status, "report and exit status differ", run)
    if check_line:
        line_checks(run)
    return run


def asan_options():
    # An instrumented tool wants its sanitizer runtime first; the shim does not mind.
    given = os.environ.get("ASAN_OPTIONS", "")
    return (given + ":" if given else "") + "verify_asan_link_order=0"


def shimmed(args, faults, log):
    """tavrinset ARGS on a device with the line shim's FAULTS, logging to LOG."""
    return ["env", f"LD_PRELOAD={LINE_SHIM}", f"ASAN_OPTIONS={asan_options()}",
            f"TPSHIM_FAULTS={','.join(faults)}", f"TPSHIM_LOG={log}", harness.TOOL, *args]


def read_log(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return ""


# --- standard streams ---------------------------------------------------------------------

@case("streams")
def reader_gone_ends_the_dump_with_the_mode_put_back():
    # tavrinset --raw -1 | head -1, once head has gone: the first line meets a closed pipe.
    r, w = os.pipe()
    os.close(r)
    try:
        run = run_emu(["--mode", "0x05,0x0c", *TOUCHES], [harness.TOOL, "--raw", "-1"],
                      stdout=w)
    finally:
        os.close(w)
    expect(run.status == 1, "stopped as a failed run, not killed by SIGPIPE", run)
    expect(run.err.endswith("Error while writing coordinates: Broken pipe\n"), "message", run)
    expect(letters(run) == ["m", "M", "M"], "query, raw mode, restore", run)
    expect(run.state["mode"] == run.initial["mode"], "mode put back", run)


@case("streams")
def closed_standard_descriptors_never_reach_the_line():
    # Started with some of 0, 1, 2 closed, the port would take the lowest free number, and
    # whatever goes to that stream (trace, coordinates) into the controller's line.
    for closed, args, want in [
            ("<&-", ["-D", "-w", "800"], ["D", "S"]),
            (">&-", ["--raw", "2"], ["m", "M", "M"]),
            ("2>&-", ["-w", "800", "--dump"], ["S"]),
            (">&- 2>&-", ["--raw", "2", "--dump"], ["m", "M", "M"]),
            ("<&- >&- 2>&-", ["--deviation", "12", "--dump"], ["f", "F"])]:
        command = ["sh", "-c", f'exec "$0" "$@" {closed}', harness.TOOL, *args]
        run = run_emu(TOUCHES, command)
        what = f"{closed} {args}"
        expect(run.status == 0, what, run)
        expect(letters(run) == want, f"{what}: only packets on the line", run)
        expect(all(p["kind"] == "command" for p in run.packets if p["dir"] == "in"),
               f"{what}: whole packets", run)


# --- stop signals -----------------------------------------------------------------------------

@case("stops")
def stop_signals_inherited_as_ignored():
    # A background job of a non-interactive shell starts with SIGINT and SIGQUIT ignored;
    # kill -INT must still end a dump cleanly. A hang-up ignored (nohup) stays ignored.
    dump = ["--raw", "-1"]
    scaling = ["-w", "800", "-h", "600"]
    for ignored, emu_args, args, status, lines, packets in [
            ("INT TERM QUIT", ["--after-touches", "INT", *TOUCHES], dump, 130, 3, 3),
            ("INT TERM QUIT", ["--after-touches", "TERM", *TOUCHES], dump, 143, 3, 3),
            ("INT TERM QUIT", ["--after-touches", "QUIT", *TOUCHES], dump, 131, 3, 3),
            ("HUP", ["--fault", "0:signal:HUP"], scaling, 0, 0, 2),
            ("", ["--fault", "0:signal:HUP"], scaling, 129, 0, 1)]:
        ignore = f'trap "" {ignored};' if ignored else ""
        command = ["sh", "-c", ignore + ' exec "$0" "$@"', harness.TOOL, *args]
        run = run_emu(emu_args, command, timeout=10)
        what = f"ignoring '{ignored}', {emu_args}"
        expect(run.status == status, what, run)
        expect(run.out.count("\n") == lines, f"{what}: touches printed", run)
        expect(run.state["mode"] == run.initial["mode"], f"{what}: mode put back", run)
        expect(len(run.sent()) == packets, f"{what}: packets sent", run)


# --- a device that goes away ------------------------------------------------------------------

@case("gone")
def eio_from_a_read_means_the_device_is_gone():
    # USB serial adapters report an unplug as end of file or as EIO; either ends the run at
    # once, with one message, rather than a retry for every failed read.
    for emu_args, args in [
            (["--after-touches", "hangup", *TOUCHES], ["--raw", "-1"]),
            (["--fault", "1:hangup"], ["-w", "800", "-h", "600", "--mode", "touch"]),
            (["--fault", "0:hangup"], ["-D", "-w", "800"])]:
        with tempfile.TemporaryDirectory() as tmp:
            log = os.path.join(tmp, "shim.log")
            run = run_emu(emu_args, shimmed(args, ["eio-at-hangup"], log), timeout=10)
            shim = read_log(log)
        what = f"{emu_args} {args}"
        expect("end of file given as EIO" in shim, f"{what}: the line gave EIO\n{shim}", run)
        expect(run.status == 1 and run.elapsed < 3, f"{what}: ended at once", run)
        expect(run.err.count("Error while") == 1 and
               "Error while reading packet: Input/output error\n" in run.err,
               f"{what}: one message", run)


@case("gone")
def a_failed_mode_restore_fails_the_dump():
    for fault, restored in (("2:no-reply", True), ("2:short:4", True), ("2:hangup", False)):
        run = run_emu(["--mode", "0x05,0x0c", "--fault", fault, *TOUCHES],
                      [harness.TOOL, "--raw", "2"])
        expect(run.status == 1 and run.out == "512, 730\n1, 2\n", fault, run)
        expect(letters(run) == ["m", "M", "M"], f"{fault}: restore sent", run)
        expect((run.state["mode"] == run.initial["mode"]) == restored, f"{fault}: mode", run)


# --- replies that never come: a controller played by the test --------------------------------

def packet(letter, data=None):
    """A reply as the controller builds it: lead-in, letter, filler in every other byte."""
    pkt = bytearray([0x55, ord(letter)] + [0xa0 + i for i in range(2, 10)])
    for pos, value in (data or {}).items():
        pkt[pos] = value
    return bytes(pkt)


def touch(x, y):
    return packet("T", {3: x & 0xff, 4: x >> 8, 5: y & 0xff, 6: y >> 8})


class Panel:
    """The controller on a pty that tavrinset is pointed at with --device. answer(command)
    gives the packets to send back, in one write."""

    def __init__(self, answer):
        self.answer = answer
        self.master, self.slave = os.openpty()
        # A getty's line without echo: unlike the packet line in every field.
        t = termios.tcgetattr(self.slave)
        t[3] &= ~(termios.ECHO | termios.ECHOE | termios.ECHOK | termios.ECHONL |
                  termios.ECHOCTL | termios.ECHOKE)
        termios.tcsetattr(self.slave, termios.TCSANOW, t)
        self.before = termios.tcgetattr(self.slave)
        self.received = []  # (command, line settings when it came)
        self.done = threading.Event()

    def serve(self):
        pending = b""
        quiet_since = None
        while True:
            ready = select.select([self.master], [], [], 0.02)[0]
            if not ready:
                if self.done.is_set():
                    quiet_since = quiet_since or time.monotonic()
                    if time.monotonic() - quiet_since > 0.1:
                        return
                continue
            quiet_since = None
            pending += os.read(self.master, 256)
            while len(pending) >= 10:
                command, pending = pending[:10], pending[10:]
                self.received.append((command, termios.tcgetattr(self.slave)))
                replies = self.answer(command)
                if replies:
                    os.write(self.master, b"".join(replies))

    def run(self, args, timeout=20):
        server = threading.Thread(target=self.serve)
        server.start()
        try:
            proc = subprocess.run([harness.TOOL, "--device", os.ttyname(self.slave), *args],
                                  capture_output=True, stdin=subprocess.DEVNULL,
                                  timeout=timeout)
        finally:
            self.done.set()
            server.join()
        after = termios.tcgetattr(self.slave)
        os.close(self.master)
        os.close(self.slave)
        run = types.SimpleNamespace(
            status=proc.returncode, out=proc.stdout.decode(), err=proc.stderr.decode(),
            letters=[chr(c[LETTER]) for c, _ in self.received],
            sent=[c for c, _ in self.received])
        what = f"{args}: status {run.status}, sent {run.letters}\n{run.err}"
        expect(after == self.before, f"line not put back: {what}")
        for _, line in self.received:
            expect(line[3] == 0 and line[4] == termios.B9600, f"packet line: {what}")
        return run, what


@case("replies")
def self_test_without_its_second_reply():
    for mask, args, status, out, sent in [
            # A reply without the packet that follows it is asked for once more.
            (0, ["-D", "-w", "800"], 1, "", ["D", "D", "S"]),
            (5, ["-D", "-w", "800"], 255, "dmask = 5", ["D", "D"])]:
        def answer(command):
            if command[LETTER] == ord("D"):
                return [packet("R", {2: mask})]  # the result, and then nothing
            return [packet("A")]

        run, what = Panel(answer).run(args)
        expect(run.status == status and run.out == out and run.letters == sent, what)
        expect("Timeout while reading packet\n" in run.err, what)


@case("replies")
def mode_query_without_its_second_reply():
    def answer(command):
        if command[LETTER] == ord("m"):
            return [packet("O", {3: 0x05, 4: 0x0c})]  # the mode, and then nothing
        if command[LETTER] == ord("M") and command[3:5] == b"\x01\x00":
            return [packet("A"), touch(512, 730), touch(1, 2)]
        return [packet("A")]

    run, what = Panel(answer).run(["--raw", "2"])
    expect(run.status == 1 and run.out == "512, 730\n1, 2\n", what)
    expect("Timeout while reading packet\n" in run.err, what)
    expect(run.letters == ["m", "m", "M", "M"] and run.sent[-1][2:5] == bytes([0xa2, 0x05, 0x0c]),
           f"the mode that was read is put back: {what}")


# --- opening a line that does not take its settings -------------------------------------------

@case("open")
def line_that_refuses_the_settings_is_put_back():
    for fault, message, sign in [
            ("keeps-speed", "openPanel: device does not accept 9600 baud 8N1 raw mode\n",
             "speed kept"),
            ("readback-fails", "openPanel: Input/output error\n", "tcgetattr: EIO"),
            ("flush-fails", "openPanel: Input/output error\n", "tcflush: EIO")]:
        with tempfile.TemporaryDirectory() as tmp:
            log = os.path.join(tmp, "shim.log")
            # line_checks: the line afterwards is exactly the line before.
            run = run_emu([], shimmed(["-w", "800"], [fault], log))
            shim = read_log(log)
        expect(sign in shim, f"{fault}: the device misbehaved\n{shim}", run)
        expect(run.status == 255 and run.err == message, fault, run)
        expect(run.sent() == [], f"{fault}: nothing sent", run)


# --- the line is put back only after what was written has left --------------------------------

@case("drain")
def line_is_put_back_after_the_last_command_has_gone_out():
    # Stopped while waiting for a reply, the command may still be in the transmit queue; a
    # change of speed then would garble its end.
    for emu_args, args, status, sent in [
            (["--fault", "0:no-reply", "--fault", "0:signal:TERM"], ["-w", "800"], 143,
             [SCALING_X]),
            (["--fault", "1:no-reply", "--fault", "1:signal:INT"], ["-w", "800", "-d", "9"],
             130, [SCALING_X, "55 66 00 00 00 00 00 00 00 00"])]:
        with tempfile.TemporaryDirectory() as tmp:
            log = os.path.join(tmp, "shim.log")
            run = run_emu(emu_args, shimmed(args, ["hold-output"], log))
            shim = read_log(log)
        what = f"{emu_args} {args}"
        expect(run.status == status and run.sent() == sent, what, run)
        expect("changed under" not in shim, f"{what}: line changed too early\n{shim}", run)
        expect("drained 10 by" in shim, f"{what}: nothing was going out at the end\n{shim}",
               run)


# --- signals go only where they are meant -----------------------------------------------------

# The command writes a packet and is gone before the emulator has taken it: the emulator is
# stopped meanwhile, and let go once the command is a zombie, so that it learns of both at once.
WRITE_AND_GO = (
    '(while [ "$(cut -d" " -f3 /proc/$$/stat)" != Z ]; do sleep 0.01; done;'
    ' kill -CONT $PPID) &'
    ' kill -STOP $PPID;'
    r' printf "\125\115\000\001\000\000\000\000\000\000" >"$TPANEL"')


@case("signals")
def emulator_signals_only_its_own_live_command():
    # A signal to a pid that has been reaped reaches whatever process has the number now: on a
    # shared machine, another run's tavrinset.
    for emu_args, command, check_line in [
            (["--fault", "0:signal:INT"], ["sh", "-c", WRITE_AND_GO], False),
            (["--after-touches", "INT", *TOUCHES], [harness.TOOL, "--raw", "-1"], True),
            (["--fault", "1:signal:TERM"], [harness.TOOL, "-w", "800", "-h", "600"], True)]:
        with tempfile.TemporaryDirectory() as tmp:
            log = os.path.join(tmp, "signals.log")
            env = dict(os.environ, LD_PRELOAD=SIGNAL_AUDIT, SIGNAL_AUDIT_LOG=log,
                       ASAN_OPTIONS=asan_options())
            run = run_emu(emu_args, command, env=env, check_line=check_line)
            sent = read_log(log).splitlines()
        what = f"{emu_args} {command[0]}: signals sent\n" + "\n".join(sent)
        expect(sent, f"{what}: the audit saw nothing", run)
        for line in sent:
            if line.startswith("tpanel-emu "):
                expect(line.endswith(" child"), what, run)


if __name__ == "__main__":
    LINE_SHIM, SIGNAL_AUDIT = os.path.abspath(sys.argv[4]), os.path.abspath(sys.argv[5])
    sys.exit(main(sys.argv))
