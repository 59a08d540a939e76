#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""tavrinset on real kernel drivers: a Debian kernel under QEMU with a 16550 UART (8250, ttyS1)
and an FTDI USB serial adapter (ftdi_sio, ttyUSB0); tpanel-emu plays the controller on the host.
Each case starts on a line left at 7 bits with parity, which must come back so. Cases: the fast
8250 (bytes at once, the FIFO handing replies over in pieces) and the paced one, the typical run
and a full configuration under a held finger; Ctrl-C during an endless dump; ftdi_sio, and the
adapter pulled out (QEMU's monitor) during a dump and a configuration; the bridge's input device
once tavrinset --help lists --bridge. The guest's /init (init.sh) runs each case.

Exit status 0 when every case passed, 1 when one failed, 77 when QEMU cannot run here.
"""
import argparse
import fcntl
import gzip
import json
import lzma
import os
import queue
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
import tpanel as tp  # noqa: E402
from tpanel import LEAD_IN, Skip, axis, packet  # noqa: E402

SKIP = 77
# The USB host controller and serial adapter QEMU gives the guest; the bridge's input modules.
WANTED_MODULES = ["xhci-pci", "ftdi_sio", "uinput", "evdev"]
UART, USB = "/dev/ttyS1", "/dev/ttyUSB0"


def log(*args):
    print(*args, flush=True)


# --- Kernel, modules and busybox from Debian's packages, cached ---------------------------------

def module_load_order(root, busybox, wanted):
    """Paths of the wanted modules and what they need, dependencies first; built-ins left out.
    The guest's busybox writes modules.dep: a module's whole chain, the last needed first."""
    mods = os.path.join(root, "lib", "modules")
    version = os.listdir(mods)[0]
    made = run_quiet([busybox, "depmod", "-b", root, version])
    if made.returncode != 0:
        raise RuntimeError(f"depmod: {made.stdout}")
    key = lambda path: os.path.basename(path).split(".ko")[0].replace("-", "_")  # noqa: E731
    with open(os.path.join(mods, version, "modules.builtin")) as f:
        builtin = {key(ln.strip()) for ln in f}
    deps = {}
    with open(os.path.join(mods, version, "modules.dep")) as f:
        for ln in f:
            path, _, needs = ln.partition(":")
            deps[key(path)] = [os.path.join(mods, version, p) for p in [path] + needs.split()]
    order = []
    for w in (key(w) for w in wanted if key(w) not in builtin):
        if w not in deps:
            raise ValueError(f"module {w} not in the kernel package")
        order += [p for p in reversed(deps[w]) if p not in order]
    return order


def run_quiet(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)


def fetch(cache):
    """vmlinuz, modules/ (NAME.ko, 'order') and busybox, once for the modules 'complete' names."""
    done, want = os.path.join(cache, "complete"), " ".join(WANTED_MODULES)
    os.makedirs(cache, exist_ok=True)
    # Two runs at once fill it one after the other.
    with open(os.path.join(cache, "lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(done) or open(done).read() != want:
            fill_cache(cache)
            with open(done, "w") as f:
                f.write(want)


def fill_cache(cache):
    def kernel_package():
        deps = run_quiet(["apt-cache", "depends", "--important", "linux-image-amd64"]).stdout
        names = [ln.split()[-1] for ln in deps.splitlines()
                 if "Depends:" in ln and ln.split()[-1].startswith("linux-image-")]
        return names[0] if names else None

    if shutil.which("apt-get") is None:
        raise Skip("no apt-get to fetch the guest kernel with")
    name = kernel_package()
    if name is None:
        run_quiet(["apt-get", "update", "-qq"])
        name = kernel_package()
    if name is None:
        raise Skip("no Debian kernel package to be found (apt-cache depends linux-image-amd64)")
    with tempfile.TemporaryDirectory(dir=cache) as tmp:
        got = run_quiet(["apt-get", "download", name, "busybox-static"], cwd=tmp)
        debs = [f for f in os.listdir(tmp) if f.endswith(".deb")]
        if got.returncode != 0 or len(debs) != 2:
            raise Skip(f"cannot download {name} and busybox-static: {got.stdout.strip()[-300:]}")
        tree = os.path.join(tmp, "tree")
        for deb in debs:
            x = run_quiet(["dpkg-deb", "-x", os.path.join(tmp, deb), tree])
            if x.returncode != 0:
                raise RuntimeError(f"dpkg-deb -x {deb}: {x.stdout}")
        boot = os.path.join(tree, "boot")
        kernels = [f for f in os.listdir(boot) if f.startswith("vmlinuz-")]
        if len(kernels) != 1:
            raise RuntimeError(f"expected one kernel in {name}, found {kernels}")
        shutil.copy(os.path.join(boot, kernels[0]), os.path.join(cache, "vmlinuz"))
        shutil.copy(os.path.join(tree, "bin", "busybox"), os.path.join(cache, "busybox"))
        mods = os.path.join(cache, "modules")
        shutil.rmtree(mods, ignore_errors=True)
        os.makedirs(mods)
        names = []
        for path in module_load_order(tree, os.path.join(cache, "busybox"), WANTED_MODULES):
            names.append(os.path.basename(path).split(".ko")[0])
            with open(path, "rb") as f:
                data = f.read()
            with open(os.path.join(mods, names[-1] + ".ko"), "wb") as f:
                f.write(lzma.decompress(data) if path.endswith(".xz") else data)
        with open(os.path.join(mods, "order"), "w") as f:
            f.write("".join(n + "\n" for n in names))


def cpio_newc(entries):
    """The kernel's initramfs format. entries: (path, mode, data or link target)."""
    out = bytearray()
    for ino, (path, mode, data) in enumerate(entries + [("TRAILER!!!", 0, b"")], start=1):
        name = path.encode() + b"\0"
        fields = [ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name), 0]
        out += b"070701" + b"".join(b"%08X" % v for v in fields) + name
        out += b"\0" * (-len(out) % 4) + data + b"\0" * (-len(data) % 4)
    return bytes(out)


def build_initramfs(cache, tool, workdir):
    def read(p):
        with open(p, "rb") as f:
            return f.read()

    # The guest side of the input device check, static as everything the guest runs.
    evcheck = os.path.join(workdir, "evcheck")
    cc = run_quiet(["cc", "-static", "-O2", "-Wall", "-Wextra", "-o", evcheck,
                    os.path.join(HERE, "evcheck.c")])
    if cc.returncode != 0:
        raise RuntimeError(f"evcheck.c: {cc.stdout}")
    d, x, r, ln = 0o040755, 0o100755, 0o100644, 0o120777
    entries = [("bin", d, b""), ("dev", d, b""), ("lib", d, b""), ("lib/modules", d, b""),
               ("init", x, read(os.path.join(HERE, "init.sh"))),
               ("bin/busybox", x, read(os.path.join(cache, "busybox"))),
               ("bin/sh", ln, b"busybox"), ("bin/tavrinset", x, read(tool)),
               ("bin/evcheck", x, read(evcheck))]
    mods = os.path.join(cache, "modules")
    entries += [("lib/modules/" + f, r, read(os.path.join(mods, f)))
                for f in sorted(os.listdir(mods))]
    path = os.path.join(workdir, "initrd.gz")
    with open(path, "wb") as f:
        f.write(gzip.compress(cpio_newc(entries), compresslevel=1))
    return path


# --- QEMU, its console and its monitor -----------------------------------------------------------

class Qmp:

    def __init__(self, path, deadline):
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        self.file = self.sock.makefile("rwb")
        self.events = []
        self._read()  # greeting
        self.command("qmp_capabilities")

    def _read(self):
        line = self.file.readline()
        if not line:
            raise RuntimeError("QEMU's monitor closed")
        return json.loads(line)

    def command(self, name, **args):
        self.file.write(json.dumps({"execute": name, "arguments": args}).encode() + b"\n")
        self.file.flush()
        while True:
            m = self._read()
            if "event" in m:
                self.events.append(m)
            elif "error" in m:
                raise RuntimeError(f"{name}: {m['error']}")
            elif "return" in m:
                return m["return"]

    def wait_event(self, name, timeout):
        self.sock.settimeout(timeout)
        try:
            while not any(e["event"] == name for e in self.events):
                self.events.append(self._read())
            self.events = [e for e in self.events if e["event"] != name]
            return True
        except (socket.timeout, TimeoutError):
            return False
        finally:
            self.sock.settimeout(None)


class Guest:
    ADAPTER = {"driver": "usb-serial", "id": "adapter", "chardev": "usb", "bus": "xhci.0"}

    def __init__(self, workdir, kernel, initrd, verbose):
        self.verbose, self.lines = verbose, queue.Queue()
        qmp = os.path.join(workdir, "qmp.sock")
        cmd = ["qemu-system-x86_64", "-machine", "pc,accel=tcg", "-m", "256M", "-smp", "1",
               "-nodefaults", "-display", "none", "-no-reboot",
               "-kernel", kernel, "-initrd", initrd,
               "-append", "console=ttyS0 panic=-1 quiet loglevel=1",
               "-chardev", "stdio,id=console,signal=off", "-serial", "chardev:console",
               "-chardev", "pty,id=uart", "-serial", "chardev:uart",
               "-device", "qemu-xhci,id=xhci", "-chardev", "pty,id=usb", "-device",
               ",".join(f"{k}={v}" for k, v in self.ADAPTER.items()).replace("driver=", ""),
               "-qmp", f"unix:{qmp},server=on,wait=off"]
        self.errors = open(os.path.join(workdir, "qemu.log"), "w+")
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.errors)
        self.holders = {}
        try:
            threading.Thread(target=self._reader, daemon=True).start()
            self.qmp = Qmp(qmp, time.monotonic() + 10)
            self.pty = {c["label"]: c["filename"].split(":", 1)[1]
                        for c in self.qmp.command("query-chardev") if c["label"] in ("uart", "usb")}
            # Keep the host end of each pty open for the whole run: QEMU takes a pty nobody
            # holds as unplugged (and detaches the USB adapter), and notices a new holder only
            # a second later. An emulator then comes and goes without the guest seeing a thing.
            for label, path in self.pty.items():
                self.holders[label] = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                tty.setraw(self.holders[label])
        except BaseException:
            self.stop()
            raise

    def _reader(self):
        for raw in self.proc.stdout:
            line = raw.decode(errors="replace").rstrip("\r\n")
            if self.verbose:
                log("  guest|", line)
            self.lines.put(line)
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

    def unplug(self):
        self.qmp.command("device_del", id="adapter")
        if not self.qmp.wait_event("DEVICE_DELETED", 10):
            raise RuntimeError("the USB adapter was not removed")

    def plug(self):
        self.qmp.command("device_add", **self.ADAPTER)

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.send("off")
                self.proc.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        for fd in self.holders.values():
            os.close(fd)
        self.holders = {}
        self.errors.close()


class Emulator:

    def __init__(self, emu, pty, options, paced, workdir, name):
        self.json = os.path.join(workdir, name + ".json")
        self.errfile = open(os.path.join(workdir, name + ".emu.log"), "w+")
        self.proc = subprocess.Popen([emu, "--attach", pty, f"--json={self.json}",
                                      *(["--pace"] if paced else []), *options],
                                     stdin=subprocess.DEVNULL, stdout=self.errfile,
                                     stderr=self.errfile, start_new_session=True)
        # It is serving once it has said so; until then the guest must not start.
        deadline = time.monotonic() + 5
        while "serving" not in self.log():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.proc.kill()
                self.proc.wait()
                raise RuntimeError(f"tpanel-emu did not start serving: {self.log()}")
            time.sleep(0.01)

    def log(self):
        self.errfile.seek(0)
        return self.errfile.read()

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise RuntimeError("tpanel-emu did not stop on SIGTERM")
        self.errfile.close()
        with open(self.json) as f:
            return json.load(f)


# --- Cases -------------------------------------------------------------------------------------

class Result:
    def __init__(self, line, out, err, ev):
        self.fields = dict(f.split("=", 1) for f in line.split()[2:] if "=" in f)
        self.raw, self.out, self.err, self.ev = line, out, err, ev
        self.status = int(self.fields.get("status", -1))
        self.ms = int(self.fields.get("ms", -1))
        self.actms = int(self.fields.get("actms", -1))
        self.report = None

    def state(self, initial=False):
        r = self.report
        return r["initial_state"] if initial else r["state"]

    def sent(self):
        return [bytes.fromhex(p["hex"]) for p in self.report["packets"] if p["dir"] == "in"]

    def messages(self):
        return [ln for ln in self.err if not ln.startswith(("--> ", "<-- "))]

    def __str__(self):
        packets = [f"{p['dir']:3} {p['hex']}  {p['kind']} {p.get('exchange', '')}"
                   for p in (self.report or {"packets": []})["packets"]]
        return "".join(f"    {title}:\n" + "".join(f"      {ln}\n" for ln in squeeze(lines))
                       for title, lines in (("result", [self.raw]), ("stdout", self.out),
                                            ("stderr", self.err), ("events", self.ev),
                                            ("controller saw", packets)) if lines)


def squeeze(lines, most=40):
    out = []
    for ln in lines:
        if out and out[-1][0] == ln:
            out[-1][1] += 1
        elif len(out) < most:
            out.append([ln, 1])
    return [ln + (f"  (x{n})" if n > 1 else "") for ln, n in out]


def check_line_kept(r, problems):
    before, after = r.fields.get("before", ""), r.fields.get("after", "")
    c = int((before.split(":") + ["0"] * 3)[2], 16)
    if c & termios.CSIZE != termios.CS7 or not c & termios.PARENB:
        problems.append(f"the line was not 7 bits with parity before the run: {before!r}")
    if after != before:
        problems.append(f"line settings after the run {after} differ from before {before}")


def check_done(r, problems, want):
    if r.status != 0:
        problems.append(f"status {r.status}, expected 0")
    if r.messages():
        problems.append(f"messages: {r.messages()[:5]}")
    s = r.state()
    for k, v in want.items():
        got = list(s[k].values()) if isinstance(v, list) else s[k]
        if got != v:
            problems.append(f"{k} now {s[k]}, expected {v}")
    check_line_kept(r, problems)


TYPICAL = ["--width", "800", "--height", "600", "--mode", "touch,scale", "--dump"]


def check_typical(r, problems):
    want = [axis("S", "X", 0, 800), axis("S", "Y", 0, 600), packet(LEAD_IN, "M", 0, 0x01, 0x08)]
    if r.sent() != want:
        problems.append("the controller received other packets than the typical run's")
    check_done(r, problems, {"scaling": {"x": [0, 800], "y": [0, 600]}, "mode": [0x01, 0x08]})


FULL = tp.FULL + ["--dump"]


def check_full(r, problems):
    """Every packet the tool sent is one it built, each write-back from the reply it answers."""
    for found in tp.full_problems(r.report):
        problems += found
    check_done(r, problems, {})


TOUCHES = [(183, 2047), (3911, 2101), (2050, 172), (1988, 3934), (777, 888)]


def check_stopped_dump(r, problems):
    """Ctrl-C ends an endless dump: 128+SIGINT, the controller's mode put back through the
    driver before the port closed, the line too."""
    if r.status != 128 + signal.SIGINT:
        problems.append(f"status {r.status}, expected {128 + signal.SIGINT}")
    got = [tuple(int(v) for v in ln.split(", ")) for ln in r.out]
    if len(got) < 3 or got != TOUCHES[:len(got)]:
        problems.append(f"printed {got}, expected the first touches of {TOUCHES}")
    if r.state() != r.state(initial=True):
        problems.append(f"controller {r.state()} after the dump, {r.state(initial=True)} before")
    if [p[1:2] for p in r.sent()[-2:]] != [b"M", b"m"]:
        problems.append("the last packets sent were not the mode put back and read back")
    if r.actms > 1000:
        problems.append(f"ended {r.actms} ms after the signal")
    check_line_kept(r, problems)


def check_unplugged(r, problems, sent=None):
    """Pulled out: status 1 at once, one message; configuring, nothing sent after the command
    whose reply it waited for."""
    if r.status != 1:
        problems.append(f"status {r.status}, expected 1")
    if not 0 <= r.actms <= 1000:
        problems.append(f"ended {r.actms} ms after the adapter was pulled (-1: never pulled)")
    if len(r.messages()) != 1:
        problems.append(f"{len(r.messages())} messages, expected one: {r.messages()[:12]}")
    traced = [ln for ln in r.err if ln.startswith("--> ")]
    if sent is not None and len(traced) != sent:
        problems.append(f"{len(traced)} packets sent, expected {sent} (none after the unplug)")


# --- The bridge ----------------------------------------------------------------------------------
# Runs once `tavrinset --help` lists --bridge. The guest's evcheck (evcheck.c) prints the device
# it finds by name and its events ("@@EV" lines); a held finger on the controller is a press and
# moves, SIGTERM (or the unplug) must bring the release and remove the device.

BRIDGE = ["-x", "0", "-X", "4095", "-y", "0", "-Y", "4095", "--mode", "touch,stream",
          "--bridge", "--size-mm", "200,150"]
HOLD = (2000, 1000)
# The panel's y grows upwards (ylow is the bottom edge), a screen's downwards.
PRESS = (HOLD[0], 4095 - HOLD[1])


def check_bridge(r, problems, status):
    """A touchscreen as libinput takes one; a press where the finger is, one release at the end,
    then the device gone, and the line put back (unless the adapter went)."""
    ev = r.ev
    if not ev[:1] or not ev[0].startswith("NAME tavrinset touchscreen ("):
        problems.append(f"no device named 'tavrinset touchscreen (PORT)': {ev[:1]}")
    if ev[1:3] != ["DIRECT 1", "KEYS touch=1 left=0"]:
        problems.append(f"device {ev[1:3]}, expected direct, BTN_TOUCH and no BTN_LEFT")
    for label, mm, line in (("X", 200, ev[3:4]), ("Y", 150, ev[4:5])):
        lo, hi, res = (int(v) for v in (line[0].split()[2:] if line else ["0", "0", "0"]))
        if (lo, hi) != (0, 4095) or abs(res - 4095 / mm) > 1:
            problems.append(f"axis {line}, expected {label} 0..4095 at {4095 / mm:.1f}/mm")
    # type code value, without the time; SYN_REPORT (0 0 0) ends each report.
    events = [tuple(int(v) for v in e.split()[2:]) for e in ev if e.startswith("EV ")]
    # A press that came before evcheck found the device shows as its state.
    if ev[5:6] == ["DOWN %d %d" % PRESS]:
        events[:0] = [(1, 330, 1), (3, 0, PRESS[0]), (3, 1, PRESS[1]), (0, 0, 0)]
    if sorted(events[:3]) != [(1, 330, 1), (3, 0, PRESS[0]), (3, 1, PRESS[1])] or \
            events[3:4] != [(0, 0, 0)]:
        problems.append(f"first events {events[:4]}, expected a press at {PRESS}")
    if [e for e in events if e[0] == 1] != [(1, 330, 1), (1, 330, 0)] or events[-1:] != [
            (0, 0, 0)]:
        problems.append(f"keys {[e for e in events if e[0] == 1]}, expected one press and one "
                        f"release, then a report's end ({events[-2:]})")
    if ev[-1:] != ["GONE"]:
        problems.append(f"the device was not removed: {ev[-1:]}")
    if r.status not in status:
        problems.append(f"status {r.status}, expected one of {status}")
    if r.fields.get("after") != "gone":
        check_line_kept(r, problems)


STROKE = [(1000, 1000), (2000, 2000), (3000, 3000)]


def check_stroke(r, problems):
    """A stroke played by the controller: its press, its moves and, after the silence, its
    release, each report one SYN_REPORT; nothing more when SIGTERM ends the bridge."""
    events = [tuple(int(v) for v in e.split()[2:]) for e in r.ev if e.startswith("EV ")]
    want = []
    for i, (x, y) in enumerate(STROKE):
        want += [(1, 330, 1)] * (i == 0) + [(3, 0, x), (3, 1, 4095 - y), (0, 0, 0)]
    want += [(1, 330, 0), (0, 0, 0)]
    if events != want:
        problems.append(f"events {events}, expected {want}")
    if r.ev[-1:] != ["GONE"] or r.status not in (0, 128 + signal.SIGTERM):
        problems.append(f"status {r.status}, device {r.ev[-1:]}: expected 0 and GONE")
    check_line_kept(r, problems)


class Case:
    def __init__(self, name, where, args, check, emu=(), paced=True, trigger="-", action="-",
                 limit=20, line=("cs7", "parenb"), watch="-"):
        self.name, self.where, self.args, self.check = name, where, args, check
        self.emu, self.paced, self.trigger, self.action = emu, paced, trigger, action
        self.limit, self.line, self.watch = limit, line, watch
        self.device = UART if where == "uart" else USB


def cases(uart_runs, usb_runs, bridge):
    touches = [a for t in TOUCHES for a in ("--touch", f"{t[0]},{t[1]}")]
    hold, held = ["--hold", "2000,2000"], ["--hold", "%d,%d:50" % HOLD]
    # Without echo where the controller talks before the tool opens the port: QEMU keeps what
    # arrived while the port was closed and hands it over at open; a line that echoes would
    # send it back to the controller as a command before the tool has its own settings. What
    # QEMU keeps reaches the next case, too: on each line the cases with a held finger come
    # after those without one, the bridge first among them (its finger is elsewhere).
    quiet, watch = ("cs7", "parenb", "-echo"), "tavrinset+touchscreen+("
    out = [Case(f"uart-fast-typical-{i + 1}", "uart", TYPICAL, check_typical, paced=False)
           for i in range(uart_runs)]
    out.append(Case("uart-typical", "uart", TYPICAL, check_typical))
    out.append(Case("uart-ctrl-c-dump", "uart", ["--raw", "-1"], check_stopped_dump,
                    emu=touches, trigger="out:3", action="sig:INT"))
    # The bridge's device is found once a press shows (evcheck's sixth line).
    out += [Case("uart-bridge-sigterm", "uart", BRIDGE,
                 lambda r, p: check_bridge(r, p, (0, 128 + signal.SIGTERM)), emu=held,
                 line=quiet, trigger="ev:6", action="sig:TERM", watch=watch)] * bridge
    stroke = ["--stroke", "%d,%d:%d,%d:3@20" % (*STROKE[0], *STROKE[-1]), "--stroke-gap", "1500"]
    out += [Case("uart-bridge-stroke", "uart", BRIDGE + ["--release-after", "300"], check_stroke,
                 emu=stroke, line=quiet, trigger="ev:17", action="sig:TERM", watch=watch)] * bridge
    out += [Case(f"uart-fast-full-under-touch-{i + 1}", "uart", FULL, check_full, emu=hold,
                 paced=False, line=quiet) for i in range(uart_runs)]
    out.append(Case("uart-full-under-touch", "uart", FULL, check_full, emu=hold, line=quiet))
    out.append(Case("usb-typical", "usb", TYPICAL, check_typical))
    out += [Case(f"usb-full-under-touch-{i + 1}", "usb", FULL, check_full, emu=hold, line=quiet)
            for i in range(usb_runs)]
    # Each unplug brings a new adapter, with nothing held from before.
    out.append(Case("usb-unplug-dump", "usb", ["--raw", "-1"], check_unplugged,
                    emu=touches[:6], trigger="out:2", action="unplug", limit=10))
    out.append(Case("usb-unplug-configuring", "usb", FULL,
                    lambda r, p: check_unplugged(r, p, sent=3),
                    emu=["--fault", "2:no-reply"], trigger="err:5", action="unplug", limit=10))
    out += [Case("usb-bridge-unplug", "usb", BRIDGE, lambda r, p: check_bridge(r, p, (1,)),
                 emu=held, line=quiet, trigger="ev:6", action="unplug", limit=10,
                 watch=watch)] * bridge
    return out


def run_case(guest, case, emu_path, workdir):
    emu = report = None
    guest.send(" ".join(["run", case.name, case.device, ",".join(case.line), case.trigger,
                         case.action, str(case.limit), case.watch, *case.args]))
    out, err, ev, unplugged = [], [], [], False
    try:
        while True:
            line = guest.expect("@@", case.limit + 30)
            tag, _, rest = line.partition(" ")
            cid, _, text = rest.partition(" ")
            if cid != case.name:
                continue
            if tag == "@@READY":
                guest.quiet_line(case.where)
                if case.emu is not None:
                    emu = Emulator(emu_path, guest.pty[case.where], case.emu, case.paced,
                                   workdir, case.name)
                guest.send("go")
            elif tag == "@@UNPLUG":
                # QEMU 7.2 has been seen to crash when bytes arrive for the adapter as it goes:
                # the controller holds its breath meanwhile.
                emu and emu.proc.send_signal(signal.SIGSTOP)
                guest.unplug()
                emu and emu.proc.send_signal(signal.SIGCONT)
                unplugged = True
                guest.send("unplugged")
            elif tag == "@@ENDED":
                if emu is not None:
                    report, emu = emu.stop(), None
                guest.quiet_line(case.where)
                guest.send("go")
            elif tag in ("@@OUT", "@@ERR", "@@EV"):
                {"@@OUT": out, "@@ERR": err, "@@EV": ev}[tag].append(text)
            elif tag == "@@RESULT":
                break
    finally:
        if emu is not None:
            emu.stop()
    result = Result(line, out, err, ev)
    if "status" not in result.fields:
        raise RuntimeError(f"the guest could not run the case: {line}")
    result.report = report
    if unplugged:
        # The old ttyUSB0 must be gone before the new one can be told from it.
        guest.send(f"wait {USB} absent")
        guest.expect(f"@@WAIT {USB}", 30)
        guest.plug()
        guest.send(f"wait {USB} present")
        if not guest.expect(f"@@WAIT {USB}", 30).endswith("yes"):
            raise RuntimeError("the USB adapter did not come back")
    return result


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--tool", required=True, help="a statically linked tavrinset")
    ap.add_argument("--emu", required=True, help="tpanel-emu")
    ap.add_argument("--cache", default="/var/cache/tavrinset-qemu")
    ap.add_argument("--uart-runs", type=int, default=10,
                    help="typical runs and full configurations each on the fast UART")
    ap.add_argument("--usb-runs", type=int, default=3,
                    help="full configurations under touch on the USB adapter")
    ap.add_argument("--only", help="comma-separated case names (prefixes) to run")
    ap.add_argument("--verbose", action="store_true", help="show the guest's console")
    args = ap.parse_args()
    start = time.monotonic()
    try:
        if os.geteuid() != 0 or shutil.which("qemu-system-x86_64") is None:
            raise Skip("needs root (QEMU's ptys, apt-get for the guest kernel) and QEMU")
        fetch(args.cache)
    except Skip as e:
        log(f"SKIPPED: qemu tests: {e}")
        return SKIP
    bridge = "--bridge" in run_quiet([args.tool, "--help"]).stdout
    if not bridge:
        log("the bridge cases are skipped: tavrinset --help lists no --bridge")
    todo = cases(args.uart_runs, args.usb_runs, bridge)
    if args.only:
        todo = [c for c in todo if c.name.startswith(tuple(args.only.split(",")))]
    passed = failed = 0
    with tempfile.TemporaryDirectory(prefix="tavrinset-qemu-") as work:
        initrd = build_initramfs(args.cache, args.tool, work)
        guest = Guest(work, os.path.join(args.cache, "vmlinuz"), initrd, args.verbose)
        try:
            try:
                booted = guest.expect("@@BOOTED", 120).split()
                log(f"guest up after {time.monotonic() - start:.1f} s: kernel {booted[1]}, "
                    + ", ".join(booted[2:]))
                # The point is the real drivers: the 8250 family on the UART, ftdi_sio on USB,
                # and the uinput device the bridge needs.
                if booted[2:] != ["uart=serial", "usb=ftdi_sio", "uinput=yes"]:
                    raise RuntimeError(f"unexpected drivers: {booted[2:]}")
            except RuntimeError as e:
                log(f"FAIL  the guest did not come up: {e}")
                todo, failed = [], len(todo)
            for n, case in enumerate(todo):
                try:
                    r = run_case(guest, case, args.emu, work)
                except (RuntimeError, OSError) as e:
                    # The guest or the line is in an unknown state: what follows would not say
                    # anything about the tool.
                    failed += len(todo) - n
                    log(f"FAIL  {case.name}: {e}; {len(todo) - n - 1} cases not run")
                    break
                problems = []
                try:
                    case.check(r, problems)
                except (KeyError, IndexError, ValueError, TypeError, AttributeError) as e:
                    problems.append(f"the result cannot be read: {e!r}")
                if problems:
                    failed += 1
                    log(f"FAIL  {case.name} ({r.ms} ms)\n"
                        + "".join(f"    - {p}\n" for p in problems) + str(r))
                else:
                    passed += 1
                    log(f"ok    {case.name} ({r.ms} ms)")
        finally:
            guest.stop()
    log(f"qemu tests took {time.monotonic() - start:.1f} s")
    log(f"qemu: {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
