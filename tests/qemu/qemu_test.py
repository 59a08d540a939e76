#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""tavrinset on real kernel serial drivers: a Debian kernel under QEMU (software emulation), a
16550 UART (8250 driver, ttyS1) and an FTDI USB serial adapter (ftdi_sio, ttyUSB0), with the
controller played on the host by tpanel-emu at the far end of each.

Usage: qemu_test.py --tool STATIC_TAVRINSET --emu TPANEL_EMU [--cache DIR] [--uart-runs N]
                    [--usb-runs N] [--only NAME,...] [--verbose]

The kernel and busybox come from Debian's packages, fetched once with apt-get download into the
cache and unpacked, never installed; later runs need no network. The guest's /init
(tests/qemu/init.sh) runs each case when the host says so, so that the host can start a fresh
emulator with that case's options first and stop it once the tool has ended. QEMU's monitor
pulls the USB adapter out (device_del) and puts it back.

One boot runs, on the UART and the adapter: the typical run (exact packets and trace); a silent
controller (status 1 after one reply wait); Ctrl-C, and on the UART Ctrl-\, during an endless
raw dump (128+N, the controller's mode put back); a full configuration under a held finger,
several times (every packet one the tool built, each write-back the reply it answers with only
the named bytes changed, status 0); and on the adapter, pulling it out during the dump and during
a configuration (status 1 at once, one message, nothing sent after). Before each case the line
gets 7 bits with parity, and exactly that must come back. The last lines count the corrupted
write-backs and the cases that passed and failed.

Exit status 0 when every case passed, 1 when one failed, 77 (skipped) when QEMU cannot run here.
"""

import argparse
import fcntl
import gzip
import json
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
SKIP = 77

# The USB host controller QEMU gives the guest, and the serial adapter on it: the modules the
# guest needs for them, dependencies found from the modules themselves.
WANTED_MODULES = ["xhci-pci", "ftdi_sio"]
UART = "/dev/ttyS1"
USB = "/dev/ttyUSB0"

# The protocol as the controller sees it, written down here rather than taken from the tool.
REPLY_TIMEOUT_S = 2.0
LEAD_IN = 0x55
FACTORY_MODE = (0x07, 0x4E)


def packet(letter, *data):
    body = [LEAD_IN, ord(letter), *data]
    return bytes(body + [0] * (10 - len(body)))


def axis_packet(letter, axis, low, high):
    return packet(letter, ord(axis), low & 0xFF, (low >> 8) & 0xFF, high & 0xFF, high >> 8)


class Skip(Exception):
    pass


def log(*args):
    print(*args, flush=True)


# ---------------------------------------------------------------------------------------------
# Kernel, modules and busybox from Debian's packages, cached.

def modinfo_depends(data):
    """The depends= entry of a kernel module's .modinfo section (ELF64, little-endian)."""
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        raise ValueError("not a 64-bit little-endian ELF file")
    shoff = int.from_bytes(data[0x28:0x30], "little")
    shentsize = int.from_bytes(data[0x3A:0x3C], "little")
    shnum = int.from_bytes(data[0x3C:0x3E], "little")
    shstrndx = int.from_bytes(data[0x3E:0x40], "little")

    def section(i):
        h = data[shoff + i * shentsize:shoff + (i + 1) * shentsize]
        name = int.from_bytes(h[0:4], "little")
        off = int.from_bytes(h[0x18:0x20], "little")
        size = int.from_bytes(h[0x20:0x28], "little")
        return name, data[off:off + size]

    _, names = section(shstrndx)
    for i in range(shnum):
        name, body = section(i)
        if names[name:names.index(b"\0", name)] == b".modinfo":
            for entry in body.split(b"\0"):
                if entry.startswith(b"depends="):
                    return [d for d in entry[8:].decode().split(",") if d]
            return []
    raise ValueError("no .modinfo section")


def module_load_order(tree, wanted):
    """[(name, bytes)] for the wanted modules and what they need, each after its dependencies.
    tree is an unpacked kernel package; names may be spelled with - or _ like modprobe's."""
    files = {}
    for root, _, names in os.walk(tree):
        for n in names:
            for ext in (".ko", ".ko.xz"):
                if n.endswith(ext):
                    files[n[:-len(ext)].replace("-", "_")] = os.path.join(root, n)
    order, seen = [], set()

    def visit(name, chain):
        key = name.replace("-", "_")
        if key in seen:
            return
        if key in chain:
            raise ValueError("module dependency cycle: " + " -> ".join(chain + [key]))
        if key not in files:
            raise ValueError(f"module {name} not in the kernel package")
        with open(files[key], "rb") as f:
            data = f.read()
        if files[key].endswith(".xz"):
            import lzma  # only for kernels that compress their modules

            data = lzma.decompress(data)
        for dep in modinfo_depends(data):
            visit(dep, chain + [key])
        seen.add(key)
        order.append((key, data))

    for w in wanted:
        visit(w, [])
    return order


def run_quiet(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)


def fetch(cache):
    """Fills the cache with vmlinuz, modules/ (NAME.ko and 'order') and busybox, once."""
    done = os.path.join(cache, "complete")
    if os.path.exists(done):
        return
    os.makedirs(cache, exist_ok=True)
    # Two runs at once fill it one after the other.
    with open(os.path.join(cache, "lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(done):
            fill_cache(cache, done)


def fill_cache(cache, done):
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
        order = module_load_order(os.path.join(tree, "lib", "modules"), WANTED_MODULES)
        for key, data in order:
            with open(os.path.join(mods, key + ".ko"), "wb") as f:
                f.write(data)
        with open(os.path.join(mods, "order"), "w") as f:
            f.write("\n".join(k for k, _ in order) + "\n")
        with open(os.path.join(cache, "versions"), "w") as f:
            f.write("\n".join(sorted(debs)) + "\n")
    with open(done, "w") as f:
        f.write("")


# ---------------------------------------------------------------------------------------------
# The initramfs: a gzipped cpio archive in the kernel's "newc" format.

def cpio_newc(entries):
    """entries: (path, mode, data or link target). Returns the archive."""
    out = bytearray()
    for ino, (path, mode, data) in enumerate(entries + [("TRAILER!!!", 0, b"")], start=1):
        name = path.encode() + b"\0"
        fields = [ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name), 0]
        out += b"070701" + b"".join(b"%08X" % v for v in fields) + name
        out += b"\0" * (-len(out) % 4)
        out += data
        out += b"\0" * (-len(out) % 4)
    return bytes(out)


def build_initramfs(cache, tool, path):
    def read(p):
        with open(p, "rb") as f:
            return f.read()

    d, x, r, ln = 0o040755, 0o100755, 0o100644, 0o120777
    entries = [("bin", d, b""), ("dev", d, b""), ("lib", d, b""), ("lib/modules", d, b""),
               ("init", x, read(os.path.join(HERE, "init.sh"))),
               ("bin/busybox", x, read(os.path.join(cache, "busybox"))),
               ("bin/sh", ln, b"busybox"),
               ("bin/tavrinset", x, read(tool))]
    mods = os.path.join(cache, "modules")
    for f in sorted(os.listdir(mods)):
        entries.append(("lib/modules/" + f, r, read(os.path.join(mods, f))))
    with open(path, "wb") as f:
        f.write(gzip.compress(cpio_newc(entries), compresslevel=1))


# ---------------------------------------------------------------------------------------------
# QEMU, its console and its monitor.

class Qmp:
    """QEMU's machine protocol on a unix socket: commands, and the events in between."""

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
        msg = {"execute": name}
        if args:
            msg["arguments"] = args
        self.file.write(json.dumps(msg).encode() + b"\n")
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
            while True:
                for i, e in enumerate(self.events):
                    if e["event"] == name:
                        return self.events.pop(i)
                self.events.append(self._read())
        except (socket.timeout, TimeoutError):
            return None
        finally:
            self.sock.settimeout(None)


class Guest:
    def __init__(self, workdir, kernel, initrd, verbose):
        self.verbose = verbose
        self.lines = queue.Queue()
        self.qmp_path = os.path.join(workdir, "qmp.sock")
        cmd = ["qemu-system-x86_64", "-machine", "pc,accel=tcg", "-m", "256M", "-smp", "1",
               "-nodefaults", "-display", "none", "-no-reboot",
               "-kernel", kernel, "-initrd", initrd,
               "-append", "console=ttyS0 panic=-1 quiet loglevel=1",
               "-chardev", "stdio,id=console,signal=off", "-serial", "chardev:console",
               "-chardev", "pty,id=uart", "-serial", "chardev:uart",
               "-device", "qemu-xhci,id=xhci",
               "-chardev", "pty,id=usb", "-device", self.ADAPTER,
               "-qmp", f"unix:{self.qmp_path},server=on,wait=off"]
        self.errors = open(os.path.join(workdir, "qemu.log"), "w+")
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.errors)
        self.holders = {}
        try:
            threading.Thread(target=self._reader, daemon=True).start()
            self.qmp = Qmp(self.qmp_path, time.monotonic() + 10)
            self.pty = {}
            for c in self.qmp.command("query-chardev"):
                if c["label"] in ("uart", "usb"):
                    self.pty[c["label"]] = c["filename"].split(":", 1)[1]
            # Keep the host end of each pty open for the whole run: QEMU takes a pty nobody
            # holds as unplugged (and detaches the USB adapter), and notices a new holder only
            # a second later. An emulator then comes and goes without the guest seeing a thing.
            for label, path in self.pty.items():
                fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                self.holders[label] = fd
                tty.setraw(fd)
        except BaseException:
            self.stop()
            raise

    ADAPTER = "usb-serial,id=adapter,chardev=usb,bus=xhci.0"

    def _reader(self):
        for raw in self.proc.stdout:
            line = raw.decode(errors="replace").rstrip("\r\n")
            if self.verbose:
                log("  guest|", line)
            self.lines.put(line)
        self.lines.put(None)

    def expect(self, prefix, timeout):
        """The next console line starting with prefix; other lines are passed over."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise RuntimeError(f"no '{prefix}' from the guest within {timeout} s")
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                self.errors.seek(0)
                err = self.errors.read().strip()
                raise RuntimeError(f"QEMU ended (waiting for '{prefix}'): {err}")
            if line.startswith("@@FATAL"):
                raise RuntimeError(f"guest: {line}")
            if line.startswith(prefix):
                return line

    def send(self, line):
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def quiet_line(self, label):
        """Drops what is waiting on the host end: bytes the guest sent to nobody, and bytes an
        emulator sent that the guest never took."""
        termios.tcflush(self.holders[label], termios.TCIOFLUSH)

    def unplug(self):
        self.qmp.command("device_del", id="adapter")
        if self.qmp.wait_event("DEVICE_DELETED", 10) is None:
            raise RuntimeError("the USB adapter was not removed")

    def plug(self):
        driver, *props = self.ADAPTER.split(",")
        args = dict(p.split("=", 1) for p in props)
        self.qmp.command("device_add", driver=driver, **args)

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


# ---------------------------------------------------------------------------------------------
# The controller: tpanel-emu attached to the host end of a pty.

class Emulator:
    def __init__(self, emu, pty, options, workdir, name):
        self.json = os.path.join(workdir, name + ".json")
        self.errfile = open(os.path.join(workdir, name + ".emu.log"), "w+")
        self.proc = subprocess.Popen([emu, "--attach", pty, "--pace", f"--json={self.json}",
                                      *options], stdin=subprocess.DEVNULL,
                                     stdout=self.errfile, stderr=self.errfile)
        # It is serving once it has said so; until then the guest must not start.
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError(f"tpanel-emu ended at start: {self.log()}")
            if "serving" in self.log():
                return
            time.sleep(0.01)
        self.proc.kill()
        self.proc.wait()
        raise RuntimeError(f"tpanel-emu did not start serving: {self.log()}")

    def log(self):
        self.errfile.seek(0)
        return self.errfile.read()

    def stop(self):
        """Ends it and returns its JSON report."""
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


# ---------------------------------------------------------------------------------------------
# Cases.

class Result:
    def __init__(self, line, out, err):
        self.fields = dict(f.split("=", 1) for f in line.split()[2:] if "=" in f)
        self.raw = line
        self.status = int(self.fields.get("status", -1))
        self.ms = int(self.fields.get("ms", -1))
        self.actms = int(self.fields.get("actms", -1))
        self.before = self.fields.get("before", "")
        self.after = self.fields.get("after", "")
        self.out, self.err = out, err
        self.report = None
        self.corrupt_writeback = False  # set by check_full

    def sent(self):
        """The packets the tool wrote, as the controller received them."""
        return [bytes.fromhex(p["hex"]) for p in self.report["packets"] if p["dir"] == "in"]

    def replies(self, exchange):
        return [bytes.fromhex(p["hex"]) for p in self.report["packets"]
                if p["dir"] == "out" and p.get("exchange") == exchange and p["kind"] == "reply"]

    def __str__(self):
        text = (f"    {self.raw}\n    stdout: {self.out[:50]}\n    stderr:\n"
                + "".join(f"      {ln}\n" for ln in self.err[:100]))
        if self.report is not None:
            text += "    controller saw:\n" + "".join(
                f"      {p['dir']:3} {p['hex']}  {p['kind']} {p.get('exchange', '')}\n"
                for p in self.report["packets"][:60])
        return text


def trace_line(direction, data):
    letters = "".join((chr(b) if chr(b).isascii() and chr(b).isalpha() else ".") + " "
                      for b in data)
    return f"{direction} " + "".join(f"{b:02x} " for b in data) + "\t" + letters


def is_trace(line):
    return line.startswith(("--> ", "<-- "))


def cflag(stty_g):
    return int(stty_g.split(":")[2], 16)


def check_line_kept(r, problems):
    """The line came back exactly as the case left it: 7 bits with parity."""
    try:
        c = cflag(r.before)
    except (IndexError, ValueError):
        problems.append(f"no line settings before the run: {r.before!r}")
        return
    if c & termios.CSIZE != termios.CS7 or not c & termios.PARENB:
        problems.append(f"the line was not 7 bits with parity before the run: {r.before}")
    if r.after != r.before:
        problems.append(f"line settings after the run {r.after} differ from before {r.before}")


def check_typical(r, problems):
    want = [axis_packet("S", "X", 0, 800), axis_packet("S", "Y", 0, 600),
            packet("M", 0, 0x01, 0x08)]
    if r.status != 0:
        problems.append(f"status {r.status}, expected 0")
    if r.sent() != want:
        problems.append("the controller received other packets than the typical run's")
    # The trace shows every packet on the line, in line order, exactly as it crossed.
    expected = [trace_line("-->" if p["dir"] == "in" else "<--", bytes.fromhex(p["hex"]))
                for p in r.report["packets"]]
    if r.err != expected:
        problems.append("the --dump trace is not the packets on the line")
    if r.out:
        problems.append("output on stdout")
    s = r.report["state"]
    if s["scaling"]["x"] != [0, 800] or s["scaling"]["y"] != [0, 600]:
        problems.append(f"scaling now {s['scaling']}")
    if (s["mode"]["reportFlags"], s["mode"]["processFlags"]) != (0x01, 0x08):
        problems.append(f"mode now {s['mode']}")
    check_line_kept(r, problems)


def check_silent(r, problems):
    if r.status != 1:
        problems.append(f"status {r.status}, expected 1")
    # One reply wait, then the end: no retries that stretch a dead line.
    if not 0.5 * REPLY_TIMEOUT_S * 1000 <= r.ms <= REPLY_TIMEOUT_S * 1000 + 1500:
        problems.append(f"took {r.ms} ms for one unanswered command")
    messages = [ln for ln in r.err if not is_trace(ln)]
    if len(messages) != 1:
        problems.append(f"{len(messages)} messages, expected one")
    if r.report is not None and r.sent()[:1] != [axis_packet("S", "X", 0, 800)]:
        problems.append("the command did not reach the controller")
    check_line_kept(r, problems)


TOUCHES = [(183, 2047), (3911, 2101), (2050, 172), (1988, 3934), (777, 888)]


def check_stopped_dump(r, problems, signo):
    """A stop signal ends an endless dump cleanly: the controller's mode and the line go back,
    and the status tells which signal it was."""
    if r.status != 128 + signo:
        problems.append(f"status {r.status}, expected {128 + signo}")
    got = [tuple(int(v) for v in ln.split(", ")) for ln in r.out]
    if len(got) < 3 or got != TOUCHES[:len(got)]:
        problems.append(f"printed {got}, expected the first touches of {TOUCHES}")
    initial, final = r.report["initialState"]["mode"], r.report["state"]["mode"]
    if final != initial:
        problems.append(f"controller mode {final} after the dump, {initial} before")
    sent = r.sent()
    if not sent or sent[-1][1] != ord("M"):
        problems.append("the last packet sent was not the mode put back")
    if r.actms > 1000:
        problems.append(f"ended {r.actms} ms after the signal")
    check_line_kept(r, problems)


FULL = ["-w", "800", "-h", "600", "-x", "100", "-X", "3900", "-y", "100", "-Y", "3900",
        "-s", "4", "-u", "5", "-m", "default", "--dump"]


def check_full(r, problems):
    """Every packet the tool sent is one it built: the commands, and write-backs that are the
    controller's replies with only the named bytes changed (and the lead-in made 0x55). A query
    whose reply it could not be sure of is asked once more; the write-back answers the last."""
    sent = r.sent()
    steps = [(axis_packet("S", "X", 0, 800), None), (axis_packet("S", "Y", 0, 600), None),
             (axis_packet("C", "X", 100, 3900), None), (axis_packet("C", "Y", 100, 3900), None),
             (packet("f"), {3: 4}),  # slen
             (packet("b"), {2: 5}),  # untouch
             (packet("M", 0, *FACTORY_MODE), None)]

    def hexed(p):
        return p.hex(" ") if p is not None else "nothing"

    i = 0
    for n, (pkt, named) in enumerate(steps):
        got = sent[i] if i < len(sent) else None
        if got != pkt:
            problems.append(f"packet #{i} sent: {hexed(got)}, expected {hexed(pkt)}")
            break
        i += 1
        if named is None:
            continue
        if sent[i:i + 1] == [pkt]:
            i += 1
        got = sent[i] if i < len(sent) else None
        if got == steps[n + 1][0]:
            continue  # not sure of the reply even the second time: the group is left alone
        replies = r.replies(i - 1)
        want = bytearray(replies[0] if replies else b"")
        if want:
            want[0] = LEAD_IN
            for pos, value in named.items():
                want[pos] = value
        if not want:
            problems.append(f"write-back #{i}: {hexed(got)}, but the controller had not "
                            f"answered packet #{i - 1}")
            r.corrupt_writeback = True
            break
        if got != bytes(want):
            problems.append(f"write-back #{i}: {hexed(got)}, the reply it answers made "
                            f"{hexed(bytes(want))}")
            r.corrupt_writeback = True
            break
        i += 1
    else:
        if i != len(sent):
            problems.append(f"{len(sent) - i} packets sent after the last command")
    if r.status != 0:
        problems.append(f"status {r.status}, expected 0")
    s, initial = r.report["state"], r.report["initialState"]
    want_state = {
        "scaling": {"x": [0, 800], "y": [0, 600]},
        "calibration": {"x": [100, 3900], "y": [100, 3900]},
        "filter": dict(initial["filter"], slen=4),
        "report": dict(initial["report"], untouch=5),
        "mode": {"reportFlags": FACTORY_MODE[0], "processFlags": FACTORY_MODE[1]},
    }
    for k, v in want_state.items():
        if s[k] != v:
            problems.append(f"{k} now {s[k]}, expected {v}")
    # What it says it sent is what went out.
    traced = [ln for ln in r.err if ln.startswith("--> ")]
    if traced != [trace_line("-->", p) for p in sent]:
        problems.append("the packets traced as sent are not those the controller received")
    messages = [ln for ln in r.err if not is_trace(ln)]
    if messages:
        problems.append(f"messages: {messages}")
    check_line_kept(r, problems)


def check_unplugged(r, problems):
    if r.status != 1:
        problems.append(f"status {r.status}, expected 1")
    if r.actms < 0:
        problems.append("the adapter was never pulled")
    elif r.actms > 1000:
        problems.append(f"ended {r.actms} ms after the adapter was pulled")
    messages = [ln for ln in r.err if not is_trace(ln)]
    if len(messages) != 1:
        problems.append(f"{len(messages)} messages, expected one: {messages[:12]}")


def check_unplugged_configuring(r, problems):
    check_unplugged(r, problems)
    # Pulled while the third command waited for its reply: nothing may be sent after it.
    sent = [ln for ln in r.err if ln.startswith("--> ")]
    if len(sent) != 3:
        problems.append(f"{len(sent)} packets sent, expected 3 (none after the unplug)")


# The line as the tool finds it: 7 bits with parity, which a pty cannot hold and a UART can.
LINE = ["cs7", "parenb"]
# The same without echo, where the controller talks before the tool opens the port. QEMU keeps
# what the controller sent while the port was closed and hands it over in one burst at open (a
# closed UART loses it); a line that echoes would send that burst back to the controller before
# the tool has its own settings in place, and the controller would take it for a command.
QUIET_LINE = LINE + ["-echo"]


class Case:
    def __init__(self, name, where, args, check, emu=(), trigger="-", action="-", limit=20,
                 unplug=False, line=LINE):
        self.name, self.where, self.args, self.check = name, where, args, check
        self.emu, self.trigger, self.action, self.limit = emu, trigger, action, limit
        self.unplug, self.line = unplug, line

    @property
    def device(self):
        return UART if self.where == "uart" else USB


def cases(uart_runs, usb_runs):
    touches = [a for t in TOUCHES for a in ("--touch", f"{t[0]},{t[1]}")]
    typical = ["--width", "800", "--height", "600", "--mode", "touch,scale", "--dump"]
    hold = ["--hold", "2000,2000"]
    out = []
    for where in ("uart", "usb"):
        out.append(Case(f"{where}-typical", where, typical, check_typical))
        # No controller at all on the UART; on USB one that takes the command and says nothing.
        out.append(Case(f"{where}-silent", where, ["--width", "800", "--dump"], check_silent,
                        emu=None if where == "uart" else ["--fault", "0:no-reply"]))
        out.append(Case(f"{where}-ctrl-c-dump", where, ["--raw", "-1"],
                        lambda r, p: check_stopped_dump(r, p, signal.SIGINT),
                        emu=touches, trigger="out:3", action="sig:INT"))
        if where == "uart":
            out.append(Case("uart-ctrl-backslash-dump", where, ["--raw", "-1"],
                            lambda r, p: check_stopped_dump(r, p, signal.SIGQUIT),
                            emu=touches, trigger="out:3", action="sig:QUIT"))
        runs = uart_runs if where == "uart" else usb_runs
        for i in range(runs):
            out.append(Case(f"{where}-full-under-touch-{i + 1}", where, FULL, check_full,
                            emu=hold, line=QUIET_LINE))
    out.append(Case("usb-unplug-dump", "usb", ["--raw", "-1"], check_unplugged,
                    emu=touches[:6], trigger="out:2", action="unplug", unplug=True, limit=10))
    out.append(Case("usb-unplug-configuring", "usb", FULL, check_unplugged_configuring,
                    emu=["--fault", "2:no-reply"], trigger="err:5", action="unplug",
                    unplug=True, limit=10))
    return out


def run_case(guest, case, emu_path, workdir):
    emu = report = None
    guest.send(" ".join(["run", case.name, case.device, ",".join(case.line), case.trigger,
                         case.action, str(case.limit), *case.args]))
    out, err = [], []
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
                    emu = Emulator(emu_path, guest.pty[case.where], case.emu, workdir,
                                   case.name)
                guest.send("go")
            elif tag == "@@UNPLUG":
                guest.unplug()
                guest.send("unplugged")
            elif tag == "@@ENDED":
                if emu is not None:
                    report, emu = emu.stop(), None
                guest.quiet_line(case.where)
                guest.send("go")
            elif tag == "@@OUT":
                out.append(text)
            elif tag == "@@ERR":
                err.append(text)
            elif tag == "@@RESULT":
                result = Result(line, out, err)
                break
    finally:
        if emu is not None:
            emu.stop()
    if "status" not in result.fields:
        raise RuntimeError(f"the guest could not run the case: {line}")
    result.report = report
    if case.unplug:
        # The old ttyUSB0 must be gone before the new one can be told from it.
        guest.send(f"wait {USB} absent")
        guest.expect(f"@@WAIT {USB}", 30)
        guest.plug()
        guest.send(f"wait {USB} present")
        if not guest.expect(f"@@WAIT {USB}", 30).endswith("yes"):
            raise RuntimeError("the USB adapter did not come back")
    return result


def preflight(args):
    if os.geteuid() != 0:
        raise Skip("needs root (QEMU's ptys, apt-get for the guest kernel)")
    if shutil.which("qemu-system-x86_64") is None:
        raise Skip("qemu-system-x86_64 is not installed")
    for f in (args.tool, args.emu):
        if not os.access(f, os.X_OK):
            raise RuntimeError(f"{f} is not built")
    fetch(args.cache)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--tool", required=True, help="a statically linked tavrinset")
    ap.add_argument("--emu", required=True, help="tpanel-emu")
    ap.add_argument("--cache", default="/var/cache/tavrinset-qemu")
    ap.add_argument("--uart-runs", type=int, default=6,
                    help="full configurations under touch on the UART")
    ap.add_argument("--usb-runs", type=int, default=3,
                    help="full configurations under touch on the USB adapter")
    ap.add_argument("--only", help="comma-separated case names (prefixes) to run")
    ap.add_argument("--verbose", action="store_true", help="show the guest's console")
    args = ap.parse_args()
    start = time.monotonic()
    try:
        preflight(args)
    except Skip as e:
        log(f"SKIPPED: qemu tests: {e}")
        return SKIP

    todo = cases(args.uart_runs, args.usb_runs)
    if args.only:
        prefixes = args.only.split(",")
        todo = [c for c in todo if c.name.startswith(tuple(prefixes))]
    passed = failed = 0
    corrupt = {"uart": [0, 0], "usb": [0, 0]}
    with tempfile.TemporaryDirectory(prefix="tavrinset-qemu-") as work:
        initrd = os.path.join(work, "initrd.gz")
        build_initramfs(args.cache, args.tool, initrd)
        guest = Guest(work, os.path.join(args.cache, "vmlinuz"), initrd, args.verbose)
        try:
            try:
                booted = guest.expect("@@BOOTED", 120).split()
                log(f"guest up after {time.monotonic() - start:.1f} s: kernel {booted[1]}, "
                    + ", ".join(booted[2:]))
                # The point is the real drivers: the 8250 family on the UART, ftdi_sio on USB.
                if booted[2:] != ["uart=serial", "usb=ftdi_sio"]:
                    raise RuntimeError(f"unexpected drivers: {booted[2:]}")
            except RuntimeError as e:
                log(f"FAIL  the guest did not come up: {e}")
                todo, failed = [], len(todo)
            for n, case in enumerate(todo):
                try:
                    r = run_case(guest, case, args.emu, work)
                except RuntimeError as e:
                    # The guest or the line is in an unknown state: what follows would not say
                    # anything about the tool.
                    failed += len(todo) - n
                    log(f"FAIL  {case.name}: {e}; {len(todo) - n - 1} cases not run")
                    break
                problems = []
                try:
                    case.check(r, problems)
                except (KeyError, IndexError, ValueError, TypeError) as e:
                    problems.append(f"the result cannot be read: {e!r}")
                if case.check is check_full:
                    corrupt[case.where][1] += 1
                    corrupt[case.where][0] += r.corrupt_writeback
                if problems:
                    failed += 1
                    log(f"FAIL  {case.name} ({r.ms} ms)\n"
                        + "".join(f"    - {p}\n" for p in problems) + str(r))
                else:
                    passed += 1
                    log(f"ok    {case.name} ({r.ms} ms)")
        finally:
            guest.stop()
    for where, (bad, runs) in corrupt.items():
        if runs:
            log(f"{where}: corrupted write-backs in {bad} of {runs} full configurations "
                "under touch")
    log(f"qemu tests took {time.monotonic() - start:.1f} s")
    log(f"qemu: {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
