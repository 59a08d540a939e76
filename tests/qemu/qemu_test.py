#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""tavrinset on real kernel drivers: a Debian kernel under QEMU with a 16550 UART (8250, ttyS1)
and an FTDI USB serial adapter (ftdi_sio, ttyUSB0); tpanel-emu plays the controller on the host.
Each case starts on a line left at 7 bits with parity, which must come back so. Cases: the fast
8250 (bytes at once, the FIFO handing replies over in pieces) and the paced one, the typical run
and a full configuration under a held finger; Ctrl-C during an endless dump; ftdi_sio, and the
adapter pulled out (QEMU's monitor) during a dump and a configuration; the bridge's input
device. The guest's /init (init.sh) runs each case; run.sh builds what it boots. Exit status 0
when every case passed, 1 when one failed.
"""
import argparse
import contextlib
import json
import os
import queue
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import tpanel as tp  # noqa: E402
from tpanel import LEAD_IN, axis, packet  # noqa: E402

sys.stdout.reconfigure(line_buffering=True)


# --- QEMU, its console and its monitor -----------------------------------------------------------

class Guest:
    ADAPTER = {"driver": "usb-serial", "id": "adapter", "chardev": "usb", "bus": "xhci.0"}

    def __init__(self, workdir, kernel, initrd):
        self.lines, self.holders, self.events = queue.Queue(), {}, []
        monitor, qemu_end = socket.socketpair()
        cmd = ["qemu-system-x86_64", "-machine", "pc,accel=tcg", "-m", "256M", "-smp", "1",
               "-nodefaults", "-display", "none", "-no-reboot",
               "-kernel", kernel, "-initrd", initrd,
               "-append", "console=ttyS0 panic=-1 quiet loglevel=1",
               "-chardev", "stdio,id=console,signal=off", "-serial", "chardev:console",
               "-chardev", "pty,id=uart", "-serial", "chardev:uart",
               "-device", "qemu-xhci,id=xhci", "-chardev", "pty,id=usb", "-device",
               ",".join(f"{k}={v}" for k, v in self.ADAPTER.items()).replace("driver=", ""),
               "-chardev", f"socket,id=qmp,fd={qemu_end.fileno()}",
               "-mon", "chardev=qmp,mode=control"]
        self.errors = open(os.path.join(workdir, "qemu.log"), "w+")
        self.proc = tp.start(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=self.errors, pass_fds=[qemu_end.fileno()])
        qemu_end.close()
        monitor.settimeout(30)
        self.monitor = monitor.makefile("rwb")
        try:
            threading.Thread(target=self._reader, daemon=True).start()
            self.said()  # its greeting
            self.command("qmp_capabilities")
            self.pty = {c["label"]: c["filename"].split(":", 1)[1]
                        for c in self.command("query-chardev") if c["label"] in ("uart", "usb")}
            # Keep the host end of each pty open for the whole run: QEMU takes a pty nobody
            # holds as unplugged (and detaches the USB adapter), and notices a new holder only
            # a second later. An emulator then comes and goes without the guest seeing a thing.
            for label, path in self.pty.items():
                self.holders[label] = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                tty.setraw(self.holders[label])
        except BaseException:
            self.stop()
            raise

    def said(self):
        line = self.monitor.readline()
        if not line:
            raise RuntimeError("QEMU's monitor closed")
        return json.loads(line)

    def command(self, name, **args):
        self.monitor.write(json.dumps({"execute": name, "arguments": args}).encode() + b"\n")
        self.monitor.flush()
        while True:
            m = self.said()
            self.events.append(m.get("event"))
            if "error" in m:
                raise RuntimeError(f"{name}: {m['error']}")
            if "return" in m:
                return m["return"]

    def unplug(self):
        """Pulls the adapter out, and waits until QEMU has let go of it and its line."""
        self.command("device_del", id="adapter")
        while "DEVICE_DELETED" not in self.events:
            self.events.append(self.said().get("event"))
        self.events.clear()

    def _reader(self):
        for raw in self.proc.stdout:
            self.lines.put(raw.decode(errors="replace").rstrip("\r\n"))
        self.lines.put(None)

    def expect(self, prefix, timeout):
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                raise RuntimeError(f"no '{prefix}' from the guest within {timeout} s")
            if line is None:
                self.errors.seek(0)
                raise RuntimeError(f"QEMU ended (waiting for '{prefix}'): {self.errors.read()}")
            if line.startswith("@@FATAL"):
                raise RuntimeError(f"guest: {line}")
            if line.startswith(prefix):
                return line

    def send(self, line):
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def quiet_line(self, label):
        termios.tcflush(self.holders[label], termios.TCIOFLUSH)

    def stop(self):
        with contextlib.suppress(OSError, subprocess.TimeoutExpired):
            self.send("off")
            self.proc.wait(timeout=10)
        self.proc.kill()
        self.proc.wait()
        for fd in self.holders.values():
            os.close(fd)
        self.errors.close()


# --- Cases -------------------------------------------------------------------------------------

class Result(tp.Run):
    def __init__(self, line, out, err, ev, report):
        self.fields = dict(f.split("=", 1) for f in line.split()[2:] if "=" in f)
        self.line, self.ev = line, ev
        self.ms, self.actms = int(self.fields["ms"]), int(self.fields["actms"])
        super().__init__(int(self.fields["status"]), "\n".join(out), "\n".join(err), report,
                         self.ms / 1000)

    def __str__(self):
        return f"guest: {self.line}\nevents: {self.ev[:40]}\n{super().__str__()}"


def common_problems(case, r):
    """What every case asks: the status, the end soon after the action, the input device gone,
    the message count, and the line as it was (7 bits with parity) unless the adapter went."""
    problems = [] if r.status in case.status else [f"status {r.status}, expected {case.status}"]
    if case.action != "-" and not 0 <= r.actms <= 1000:
        problems.append(f"ended {r.actms} ms after the {case.action} (-1: never done)")
    if case.watch != "-" and r.ev[-1:] != ["GONE"]:
        problems.append(f"the input device was not removed: {r.ev[-1:]}")
    if case.messages is not None and len(r.messages()) != case.messages:
        problems.append(f"messages {r.messages()[:12]}, expected {case.messages}")
    before, after = r.fields["before"], r.fields["after"]
    c = int((before.split(":") + ["0"] * 3)[2], 16)
    if c & termios.CSIZE != termios.CS7 or not c & termios.PARENB:
        problems.append(f"the line was not 7 bits with parity before the run: {before!r}")
    if after != before and not (after == "gone" and case.action == "unplug"):
        problems.append(f"line settings after the run {after} differ from before {before}")
    return problems


TYPICAL = ["--width", "800", "--height", "600", "--mode", "touch,scale", "--dump"]
TYPICAL_SENT = [axis("S", "X", 0, 800), axis("S", "Y", 0, 600),
                packet(LEAD_IN, "M", 0, 0x01, 0x08)]


def typical_problems(r):
    s = r.state
    return ([f"sent {r.sent()}"] if r.sent() != [p.hex(" ") for p in TYPICAL_SENT] else []) + (
        [f"scaling {s['scaling']}, mode {s['mode']}"] if (s["scaling"], s["mode"]) != (
            {"x": [0, 800], "y": [0, 600]}, {"report_flags": 1, "process_flags": 8}) else [])


FULL = tp.FULL + ["--dump"]
TOUCHES = [(183, 2047), (3911, 2101), (2050, 172), (1988, 3934), (777, 888)]


def stopped_dump_problems(r):
    """Ctrl-C ends an endless dump: the controller's mode put back through the driver before
    the port closed."""
    problems = []
    got = [tuple(int(v) for v in ln.split(", ")) for ln in r.out.splitlines()]
    if len(got) < 3 or got != TOUCHES[:len(got)]:
        problems.append(f"printed {got}, expected the first touches of {TOUCHES}")
    if r.state != r.initial:
        problems.append(f"controller {r.state} after the dump, {r.initial} before")
    if r.letters()[-2:] != "Mm":
        problems.append("the last packets sent were not the mode put back and read back")
    return problems


def sent_problems(r, count):
    """Pulled out while configuring: nothing sent after the command whose reply it waited for."""
    traced = [ln for ln in r.err.splitlines() if ln.startswith("--> ")]
    return [] if len(traced) == count else [f"{len(traced)} packets sent, expected {count}"]


# --- The bridge ----------------------------------------------------------------------------------
# The guest's evcheck (evcheck.c) prints the device it finds by name and its events ("@@EV"
# lines); a held finger on the controller is a press and moves, SIGTERM (or the unplug) must
# bring the release and remove the device.

BRIDGE = ["-x", "0", "-X", "4095", "-y", "0", "-Y", "4095", "--mode", "touch,stream",
          "--bridge", "--size-mm", "200,150"]
HOLD = (2000, 1000)
# The panel's y grows upwards (ylow is the bottom edge), a screen's downwards.
PRESS = (HOLD[0], 4095 - HOLD[1])
STROKE = [(1000, 1000), (2000, 2000), (3000, 3000)]


def input_events(r):
    """(type, code, value) of each event, without the time; SYN_REPORT (0 0 0) ends a report."""
    return [tuple(int(v) for v in e.split()[2:]) for e in r.ev if e.startswith("EV ")]


def bridge_problems(r):
    """A touchscreen as libinput takes one; a press where the finger is, one release at the end."""
    ev, events, problems = r.ev, input_events(r), []
    if not ev[:1] or not ev[0].startswith("NAME tavrinset touchscreen ("):
        problems.append(f"no device named 'tavrinset touchscreen (PORT)': {ev[:1]}")
    if ev[1:3] != ["DIRECT 1", "KEYS touch=1 left=0"]:
        problems.append(f"device {ev[1:3]}, expected direct, BTN_TOUCH and no BTN_LEFT")
    for label, mm, line in (("X", 200, ev[3:4]), ("Y", 150, ev[4:5])):
        lo, hi, res = (int(v) for v in (line[0].split()[2:] if line else ["0", "0", "0"]))
        if (lo, hi) != (0, 4095) or abs(res - 4095 / mm) > 1:
            problems.append(f"axis {line}, expected {label} 0..4095 at {4095 / mm:.1f}/mm")
    # A press that came before evcheck found the device shows as its state.
    if ev[5:6] == ["DOWN %d %d" % PRESS]:
        events[:0] = [(1, 330, 1), (3, 0, PRESS[0]), (3, 1, PRESS[1]), (0, 0, 0)]
    if sorted(events[:3]) != [(1, 330, 1), (3, 0, PRESS[0]), (3, 1, PRESS[1])] or \
            events[3:4] != [(0, 0, 0)]:
        problems.append(f"first events {events[:4]}, expected a press at {PRESS}")
    keys = [e for e in events if e[0] == 1]
    if keys != [(1, 330, 1), (1, 330, 0)] or events[-1:] != [(0, 0, 0)]:
        problems.append(f"keys {keys}, expected one press and one release, then a report's end "
                        f"({events[-2:]})")
    return problems


def stroke_problems(r):
    """A stroke played by the controller: its press, its moves and, a second after the last (a
    loaded host stalls for longer than less), its release; nothing more when SIGTERM ends it."""
    want = []
    for i, (x, y) in enumerate(STROKE):
        want += [(1, 330, 1)] * (i == 0) + [(3, 0, x), (3, 1, 4095 - y), (0, 0, 0)]
    want += [(1, 330, 0), (0, 0, 0)]
    events = input_events(r)
    return [] if events == want else [f"events {events}, expected {want}"]


class Case:
    def __init__(self, name, args, check, status=(0,), messages=None, emu=(), paced=True,
                 trigger="-", action="-", limit=20, line=("cs7", "parenb"), watch="-"):
        self.name, self.args, self.check, self.status = name, args, check, status
        self.messages, self.emu, self.paced = messages, emu, paced
        self.trigger, self.action, self.limit = trigger, action, limit
        self.line, self.watch = line, watch
        self.where = name.split("-")[0]
        self.device = "/dev/ttyS1" if self.where == "uart" else "/dev/ttyUSB0"


def cases(uart_runs, usb_runs):
    touches = [a for t in TOUCHES for a in ("--touch", f"{t[0]},{t[1]}")]
    hold, held = ["--hold", "2000,2000"], ["--hold", "%d,%d:50" % HOLD]
    full = dict(check=lambda r: sum(tp.full_problems(r.report), []), messages=0)
    typical = dict(check=typical_problems, messages=0)
    sigterm = dict(status=(0, 128 + signal.SIGTERM), action="sig:TERM")
    # Without echo where the controller talks before the tool opens the port: QEMU keeps what
    # arrived while the port was closed and hands it over at open; a line that echoes would
    # send it back to the controller as a command before the tool has its own settings. What
    # QEMU keeps reaches the next case, too: on each line the cases with a held finger come
    # after those without one, the bridge first among them (its finger is elsewhere).
    quiet, watch = ("cs7", "parenb", "-echo"), "tavrinset+touchscreen+("
    stroke = ["--stroke", "%d,%d:%d,%d:3@20" % (*STROKE[0], *STROKE[-1]), "--stroke-gap", "1500"]
    out = [Case(f"uart-fast-typical-{i + 1}", TYPICAL, paced=False, **typical)
           for i in range(uart_runs)]
    out += [Case("uart-typical", TYPICAL, **typical),
            Case("uart-ctrl-c-dump", ["--raw", "-1"], stopped_dump_problems,
                 status=(128 + signal.SIGINT,), emu=touches, trigger="out:3", action="sig:INT")]
    # The bridge's device is found once a press shows (evcheck's sixth line).
    out += [Case("uart-bridge-sigterm", BRIDGE, bridge_problems, emu=held, line=quiet,
                 trigger="ev:6", watch=watch, **sigterm),
            Case("uart-bridge-stroke", BRIDGE + ["--release-after", "1000"], stroke_problems,
                 emu=stroke, line=quiet, trigger="ev:17", watch=watch, **sigterm)]
    out += [Case(f"uart-fast-full-under-touch-{i + 1}", FULL, emu=hold, paced=False, line=quiet,
                 **full) for i in range(uart_runs)]
    out += [Case("uart-full-under-touch", FULL, emu=hold, line=quiet, **full),
            Case("usb-typical", TYPICAL, **typical)]
    out += [Case(f"usb-full-under-touch-{i + 1}", FULL, emu=hold, line=quiet, **full)
            for i in range(usb_runs)]
    # Each unplug brings a new adapter, with nothing held from before.
    unplug = dict(status=(1,), action="unplug", limit=10)
    out += [Case("usb-unplug-dump", ["--raw", "-1"], lambda r: [], messages=1, emu=touches[:6],
                 trigger="out:2", **unplug),
            Case("usb-unplug-configuring", FULL, lambda r: sent_problems(r, 3), messages=1,
                 emu=["--fault", "2:no-reply"], trigger="err:5", **unplug),
            Case("usb-bridge-unplug", BRIDGE, bridge_problems, emu=held, line=quiet,
                 trigger="ev:6", watch=watch, **unplug)]
    return out


def run_case(guest, case, emu_path):
    report, unplugged = None, False
    guest.send(" ".join(["run", case.name, case.device, ",".join(case.line), case.trigger,
                         case.action, str(case.limit), case.watch, *case.args]))
    said = {"@@OUT": [], "@@ERR": [], "@@EV": []}
    with contextlib.ExitStack() as serving:
        while True:
            line = guest.expect("@@", case.limit + 30)
            tag, _, rest = line.partition(" ")
            cid, _, text = rest.partition(" ")
            if cid != case.name:
                continue
            if tag == "@@READY":
                guest.quiet_line(case.where)
                emu, served = serving.enter_context(tp.serve(
                    emu_path, ["--attach", guest.pty[case.where]],
                    *(["--pace"] if case.paced else []), *case.emu))
                guest.send("go")
            elif tag == "@@UNPLUG":
                # QEMU 7.2 has been seen to crash when bytes arrive for the adapter as it goes:
                # the controller holds its breath meanwhile.
                emu.send_signal(signal.SIGSTOP)
                guest.unplug()
                emu.send_signal(signal.SIGCONT)
                unplugged = True
                guest.send("unplugged")
            elif tag == "@@ENDED":
                serving.close()
                report = served.report
                guest.quiet_line(case.where)
                guest.send("go")
            elif tag in said:
                said[tag].append(text)
            elif tag == "@@RESULT":
                break
    if "status=" not in line:
        raise RuntimeError(f"the guest could not run the case: {line}")
    if unplugged:
        # The guest saw the old ttyUSB0 go before it ended the case; the next waits for the new.
        guest.command("device_add", **guest.ADAPTER)
    return Result(line, said["@@OUT"], said["@@ERR"], said["@@EV"], report)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--kernel", required=True)
    ap.add_argument("--initrd", required=True, help="with /init (init.sh) and a static tavrinset")
    ap.add_argument("--emu", required=True, help="tpanel-emu")
    ap.add_argument("--uart-runs", type=int, default=10,
                    help="typical runs and full configurations each on the fast UART")
    ap.add_argument("--usb-runs", type=int, default=3,
                    help="full configurations under touch on the USB adapter")
    ap.add_argument("--only", help="comma-separated case names (prefixes) to run")
    args = ap.parse_args()
    start = time.monotonic()
    todo = [c for c in cases(args.uart_runs, args.usb_runs)
            if c.name.startswith(tuple((args.only or "").split(",")))]
    passed = failed = 0
    name = "the guest"
    with tempfile.TemporaryDirectory(prefix="tavrinset-qemu-") as work:
        guest = Guest(work, args.kernel, args.initrd)
        try:
            booted = guest.expect("@@BOOTED", 120).split()
            print(f"guest up after {time.monotonic() - start:.1f} s: kernel {booted[1]}, "
                  + ", ".join(booted[2:]))
            # The point is the real drivers: the 8250 family on the UART, ftdi_sio on USB,
            # and the uinput device the bridge needs.
            if booted[2:] != ["uart=serial", "usb=ftdi_sio", "uinput=yes"]:
                raise RuntimeError(f"unexpected drivers: {booted[2:]}")
            for case in todo:
                name = case.name
                r = run_case(guest, case, args.emu)
                try:
                    problems = common_problems(case, r) + case.check(r)
                except (KeyError, IndexError, ValueError, TypeError, AttributeError) as e:
                    problems = [f"the result cannot be read: {e!r}"]
                if problems:
                    failed += 1
                    print(f"FAIL  {name} ({r.ms} ms)\n"
                          + "".join(f"    - {p}\n" for p in problems) + str(r))
                else:
                    passed += 1
                    print(f"ok    {name} ({r.ms} ms)")
        except (RuntimeError, OSError, subprocess.SubprocessError, tp.Failure) as e:
            # The guest or the line is in an unknown state: what follows would not say
            # anything about the tool.
            print(f"FAIL  {name}: {e}; the cases left are not run")
            failed = len(todo) - passed
        finally:
            guest.stop()
    print(f"qemu tests took {time.monotonic() - start:.1f} s")
    print(f"qemu: {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
