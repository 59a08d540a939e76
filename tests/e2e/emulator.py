#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The emulator itself: the held finger, the adapters' delivery, lost bytes, ignored commands,
serving a terminal it did not make, running a command, its options."""
import contextlib
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import termios
import time
import tty

sys.dont_write_bytecode = True  # nothing of ours lands in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import tpanel as tp
from tpanel import Skip, case, expect, packet

BYTE_MS = 10 / 9.6  # ten bits at 9600 baud

FILTER_QUERY = packet(0x55, ord("f"))

def mode(report, process=0):
    return packet(0x55, ord("M"), 0, report, process)

def held(x, y):
    """The touch report a finger at x, y makes: filler the emulator never leaves at 0."""
    return bytes([0x55, ord("T"), 0xA2, x & 0xFF, x >> 8, y & 0xFF, y >> 8, 0xA7, 0xA8, 0xA9])

def split(data):
    return [data[i:i + 10] for i in range(0, len(data), 10)]

class Line:
    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd, termios.TCSANOW)

    def send(self, data):
        os.write(self.fd, data)

    def read(self, n=None, seconds=5):
        """n bytes, or what came within `seconds`; with no n, all that came within them."""
        got, end = b"", time.monotonic() + seconds
        while (n is None or len(got) < n) and (left := end - time.monotonic()) > 0:
            if select.select([self.fd], [], [], left)[0]:
                got += os.read(self.fd, 4096 if n is None else n - len(got))
        return got

@contextlib.contextmanager
def served(*emu_args):
    with tp.EMU.serving(*emu_args) as (link, result):
        line = Line(link)
        try:
            yield line, result
        finally:
            os.close(line.fd)

def out_packets(report, kind=None):
    return [p for p in report["packets"]
            if p["dir"] == "out" and (kind is None or p["kind"] == kind)]

@case("emulator.hold")
def streams_whole_reports_at_the_rate_asked():
    for rate, args, per_second in (("line rate", ["--pace", "--hold", "100,300"], 96),
                                   ("30 a second", ["--adapter", "uart", "--hold", "100,300:30"],
                                    30)):
        with served(*args) as (line, result):
            data = line.read(seconds=0.6)
        # Nothing was thrown away at our end: from its very first byte the stream is whole
        # reports, back to back.
        report = held(100, 300)
        whole = len(data) // 10
        expect(whole > 0 and data == report * whole + report[:len(data) % 10],
               f"{rate}: {data.hex()}")
        got = len(out_packets(result.report, "held"))
        expect(got == len(out_packets(result.report)), f"{rate}: held reports only")
        # Late wake-ups under load skip reports; none is ever sent twice.
        want = per_second * result.report["duration_ms"] / 1000
        expect(0.5 * want <= got <= want + 2, f"{rate}: {got} reports, {want:.1f} expected")

@case("emulator.hold")
def a_press_after_each_mode_that_reports_touches_without_streaming():
    # The last mode command is acknowledged but not carried out: no stream, no press.
    with served("--pace", "--mode", "0,0", "--hold", "7,9", "--fault", "5:ignore") as (line,
                                                                                     result):
        nothing = line.read(seconds=0.15)
        steps = []
        # What is read is exactly what each step should bring: a press too many shows as the
        # next step's first packet, and one after the last as what is left.
        for flags, presses in (((0x01, 0), 1), ((0x05, 0x08), 1), ((0x00, 0), 0),
                               ((0x04, 0), 0), ((0x01, 0), 1), ((0x03, 0), 0)):
            line.send(mode(*flags))
            steps.append((flags, presses, split(line.read(10 * (1 + presses)))))
        left = line.read(seconds=0.15)
    expect(nothing == b"" and left == b"", f"no press unasked: {nothing.hex()} {left.hex()}")
    for flags, presses, got in steps:
        expect(len(got) == 1 + presses and got[0][1] == ord("A") and
               got[1:] == [held(7, 9)] * presses, f"mode {flags}: {[g.hex() for g in got]}")
    expect(result.report["state"]["mode"] == {"report_flags": 1, "process_flags": 0}, "ignored")

@case("emulator.hold")
def replies_wait_for_the_report_on_the_line_and_are_never_split():
    with served("--pace", "--hold", "1,2") as (line, result):
        data = line.read(seconds=0.05)
        line.send(FILTER_QUERY)
        line.send(mode(0x01))  # a press, and the stream stops
        line.send(mode(0x07, 0x4E))  # the stream again
        end = time.monotonic() + 10
        while len([p for p in split(data) if p[:2] in (b"UF", b"UA")]) < 3 and \
                time.monotonic() < end:
            data += line.read(seconds=0.1)
        data += line.read(seconds=0.05)
    kinds = [p["kind"] for p in out_packets(result.report)]
    expect(kinds.count("reply") == 3, f"three replies among {kinds}")
    # Cut at every tenth byte from the start, everything is a whole report or a whole reply.
    packets = split(data[:len(data) // 10 * 10])
    replies = [p for p in packets if p != held(1, 2)]
    expect([r[1] for r in replies] == [ord("F"), ord("A"), ord("A")] and
           all(len(r) == 10 for r in replies), f"{[p.hex() for p in packets]}")
    first_ack = packets.index(replies[1])
    expect(packets[first_ack + 1] == held(1, 2), "the press after the first mode")

@case("emulator.hold")
def reports_do_not_pile_up_behind_replies():
    # At line rate every reply pushes the stream back by a packet. The controller skips a
    # report while the last is still waiting; were they queued, they would pile up and be
    # sent long after the finger's mode had changed.
    with served("--pace", "--hold", "8,8") as (line, result):
        for _ in range(8):
            line.send(FILTER_QUERY)
            line.read(seconds=0.03)
        line.send(mode(0x00))
        line.read(seconds=0.1)
    packets = sorted(result.report["packets"], key=lambda p: p["ms"])
    stop = next(p for p in packets if p["dir"] == "in" and p["hex"].startswith("55 4d"))
    ack = next(p for p in packets if p["dir"] == "out" and p["exchange"] == stop["exchange"])
    late = [p for p in packets if p["kind"] == "held" and stop["last_ms"] < p["last_ms"]]
    expect(len(late) <= 2 and all(p["last_ms"] <= ack["last_ms"] for p in late),
           f"{len(late)} reports after the mode command came in")

@case("emulator.delivery")
def a_reply_arrives_as_the_adapter_hands_it_over():
    # Bytes that arrive, and byte times from the command to the first and to the last of them:
    # a UART's FIFO keeps the last two; a lost byte still takes its time on the line.
    for args, arrive, first, last in [
            (["--pace"], 10, 1, 10), (["--adapter", "uart"], 10, 8, 14),
            (["--pace", "--fault", "0:short:5", "--fault", "0:drop:2"], 4, 1, 5)]:
        with served(*args) as (line, result):
            line.send(FILTER_QUERY)
            got = line.read(arrive) + line.read(seconds=0.05)
        cmd = next(p for p in result.report["packets"] if p["dir"] == "in")
        reply = out_packets(result.report)[0]
        expect(reply["hex"] == got.hex(" ") and len(got) == arrive, f"{args}: {got.hex()}")
        # Each time is when the byte was handed over at the earliest; late wake-ups only add.
        expect(reply["first_ms"] - cmd["ms"] >= first * BYTE_MS - 0.01 and
               reply["last_ms"] - cmd["ms"] >= last * BYTE_MS - 0.01, f"{args}: {cmd} {reply}")
        # Paced, the command took its ten byte times to come in.
        expect(cmd["last_ms"] - cmd["first_ms"] >= 9 * BYTE_MS - 0.01, f"{cmd}")

@case("emulator.delivery")
def a_usb_adapter_hands_over_in_bursts():
    with served("--adapter", "usb", "--hold", "5,5") as (line, result):
        line.read(seconds=0.2)
    packets = out_packets(result.report)
    # One write a burst (16 ms): late wake-ups can merge bursts, never split them. Byte by
    # byte, or a burst a millisecond, would be many more writes.
    writes = {t for p in packets for t in (p["first_ms"], p["last_ms"])}
    bursts = result.report["duration_ms"] / 16 + 2
    expect(len(packets) > 5 and len(writes) <= bursts, f"{len(writes)} writes, {bursts:.0f}")
    # At line rate a burst carries about 15 bytes: reports end mid-burst.
    expect(any(p["first_ms"] != p["last_ms"] for p in packets), "a report split between bursts")

@case("emulator.attach")
def serves_an_existing_terminal_and_puts_it_back():
    far, near = os.openpty()
    try:
        tty.setraw(near)  # no echo of what the far end writes before we start
        path = os.ttyname(near)
        settings = termios.tcgetattr(near)
        os.write(far, b"stale!")
        with tempfile.TemporaryDirectory() as tmp:
            report_path = os.path.join(tmp, "report.json")
            proc = tp.start([tp.EMU.emu, f"--json={report_path}", "--attach", path],
                            stderr=subprocess.PIPE)
            # The emulator says it is serving once the terminal is set up.
            expect(b"serving" in proc.stderr.readline(), "started")
            during = termios.tcgetattr(near)
            os.write(far, FILTER_QUERY)
            got = b""
            while len(got) < 10 and select.select([far], [], [], 5)[0]:
                got += os.read(far, 10)
            proc.send_signal(signal.SIGINT)
            tp.finish(proc, 30)
            after = termios.tcgetattr(near)
            with open(report_path) as f:
                report = json.load(f)
    finally:
        os.close(far)
        os.close(near)
    iflag, oflag, cflag, lflag, ispeed, ospeed = during[:6]
    expect(ispeed == ospeed == termios.B9600 and cflag & termios.CSIZE == termios.CS8 and
           not cflag & (termios.PARENB | termios.CSTOPB) and iflag == termios.IGNPAR and
           oflag == 0 and lflag == 0, f"raw 9600 8N1 while served: {during[:6]}")
    expect(after == settings, "its settings put back")
    expect(proc.returncode == 0 and got[:2] == b"UF", f"answered, not misled by stale input: "
           f"{got.hex()} status {proc.returncode}")
    expect(report["attached"] == path and report["line_before"] is None and
           [p["hex"] for p in report["packets"] if p["dir"] == "in"] == [FILTER_QUERY.hex(" ")],
           f"{report}")

@case("emulator.attach")
def ends_when_the_far_end_closes():
    far, near = os.openpty()
    try:
        proc = tp.start([tp.EMU.emu, "--quiet", "--attach", os.ttyname(near)],
                        stderr=subprocess.PIPE)
        proc.stderr.readline()
    finally:
        os.close(far)
        os.close(near)
    tp.finish(proc, 10, "serving a terminal whose far end is gone")
    expect(proc.returncode == 0, f"status {proc.returncode}")

@case("emulator.options")
def bad_options_run_nothing():
    far, near = os.openpty()
    with tempfile.TemporaryDirectory() as tmp:
        marker, path = os.path.join(tmp, "ran"), os.ttyname(near)
        for args, named in ((["--attach", path], "no command"),
                            (["--no-private-dev"], "--no-private-dev needs"),
                            (["--hold", "1,2:0"], "--hold"), (["--hold", "1,2:97"], "--hold"),
                            (["--hold", "1,65536"], "--hold"),
                            (["--adapter", "usb:0"], "--adapter"),
                            (["--adapter", "usb:1001"], "--adapter"),
                            (["--fault", "1:drop:10"], "--fault"), (["--bogus"], "--bogus"),
                            (["--touch", "1"], "--touch"), (["--pending", "-1"], "--pending"),
                            (["--after-touches", "NOPE"], "--after-touches"),
                            (["--json=" + tmp + "/no/such/dir"], tmp)):
            got = plain(*args, "--", "touch", marker)
            expect(got.returncode == 125 and named in got.stderr, f"{args}: {got.stderr}")
            expect(not os.path.exists(marker), "the command did not run")
        for args, named in ((["--attach", path, "--link", marker], "--link"),
                            (["--no-private-dev", "--link", marker], "--no-private-dev needs"),
                            (["--attach", "/dev/null"], "not a terminal"),
                            (["--pace"], "no command")):
            got = plain(*args)
            expect(got.returncode == 125 and named in got.stderr, f"{args}: {got.stderr}")
    os.close(far)
    os.close(near)

def plain(*args):
    args = list(args)
    with tempfile.TemporaryDirectory() as tmp:
        # A command after "--" runs in whichever way this machine allows.
        argv = ([tp.EMU.emu, *args] if "--" not in args else
                tp.EMU.argv(args[:args.index("--")], args[args.index("--") + 1:], tmp)[0])
        return tp.call(argv)

@case("emulator.options")
def statuses_of_the_command():
    for command, status in ((["sh", "-c", "exit 7"], 7), (["sh", "-c", "kill -TERM $$"], 143),
                            (["no-such-command-here"], 127), (["/dev/null"], 126)):
        got = plain("--quiet", "--", *command)
        expect(got.returncode == status, f"{command}: {got.returncode} {got.stderr}")

@case("emulator.options")
def starting_state_and_text_report():
    run = tp.EMU.run(["--scaling-x", "10,20", "--scaling-y", "0x10,-5", "--calibration-x", "1,2",
               "--calibration-y", "3,4", "--filter", "1,2,3", "--report", "4,5",
               "--mode", "6,7", "--selftest-failures", "255"], ["--slen", "9"])
    expect(run.initial == {"scaling": {"x": [10, 20], "y": [16, -5]},
                           "calibration": {"x": [1, 2], "y": [3, 4]},
                           "filter": {"slen": 1, "deviation": 2, "states": 3},
                           "report": {"untouch": 4, "repeat": 5},
                           "mode": {"report_flags": 6, "process_flags": 7},
                           "self_test_failures": 255}, "starting state", run)
    expect(run.state["filter"] == {"slen": 9, "deviation": 2, "states": 3}, "write-back", run)
    text = plain("--", tp.EMU.tool, "--width", "640")
    expect(text.returncode == 0 and "scaling      X 0..640" in text.stderr and
           "line after: exactly as before" in text.stderr, text.stderr)

@case("emulator.attach")
def link():
    if tp.EMU.direct:
        raise Skip("it checks the private /dev")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "tpanel")
        got = plain("--quiet", "--link", path, "--", "sh", "-c",
                    f'test -L {path} && test -c {path} && test -c /dev/tpanel')
        expect(got.returncode == 0 and not os.path.lexists(path), f"link: {got.stderr}")
        open(path, "w").close()
        got = plain("--quiet", "--link", path, "--", "true")
        expect(got.returncode == 125 and os.path.isfile(path), "an existing file is kept")

if __name__ == "__main__":
    sys.exit(tp.main(sys.argv))
