# SPDX-License-Identifier: MIT
"""The tests' panel protocol (packets, the oracle of what the tool may send) and the runner of
tpanel-emu; every process it starts is reaped with its whole group. `import tpanel`."""
import atexit
import concurrent.futures
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
import traceback
import types

sys.dont_write_bytecode = True  # nothing of ours lands in the source tree

LEAD_IN = 0x55
REPLY_TIMEOUT_S = 2.0
# The transport's one message when the line is hung up: closing a pseudo-terminal's far end
# shows at this end as end of file or as EIO, depending on where the read was.
GONE = ("Error while reading packet: end of file",
        "Error while reading packet: Input/output error")

def packet(*head):
    data = bytearray(10)
    data[:len(head)] = bytes(ord(b) if isinstance(b, str) else b for b in head)
    return bytes(data)

def le16(v):
    return (v & 0xFF, (v >> 8) & 0xFF)

def patched(hexstr, changes):
    data = bytearray.fromhex(hexstr)
    for pos, value in changes.items():
        data[pos] = value
    return data.hex(" ")

def trace(packets):
    lines = []
    for p in packets:
        data = bytes.fromhex(p["hex"])
        if len(data) != 10:
            continue
        shown = "".join((chr(b) if chr(b).isascii() and chr(b).isalpha() else ".") + " "
                        for b in data)
        lines.append(("--> " if p["dir"] == "in" else "<-- ") +
                     "".join(f"{b:02x} " for b in data) + "\t" + shown + "\n")
    return "".join(lines)

# Where a named value goes in the write-back of its group's reply.
WRITE_BACK_BYTE = {"filter.slen": 3, "filter.deviation": 4, "filter.states": 5,
                   "report.untouch": 2, "report.repeat": 3}

class Step:
    """One packet of the tool's fixed sequence: built, the exact packet; or from_query, the
    step whose whole reply make(reply) turns into this packet. A query whose reply is used
    may be asked again, once (repeats)."""

    def __init__(self, name, built=None, from_query=None, make=None, repeats=False):
        self.name, self.built, self.from_query = name, built, from_query
        self.make, self.repeats = make, repeats

    def matches(self, data, replies):
        if self.built is not None:
            return data == self.built
        return any(data == self.make(r) for r in replies.get(self.from_query, []))

def write_back(asked):
    def make(reply):
        data = bytearray(reply)
        for field, value in asked.items():
            data[WRITE_BACK_BYTE[field]] = value
        return bytes(data)
    return make

def raw_switch(reply):
    data = bytearray(reply)
    data[1], data[3], data[4] = ord("M"), 0x01, 0x00
    return bytes(data)

def raw_restore(reply):
    return packet(LEAD_IN, "M", *reply[2:5])

def raw_steps():
    return [Step("mode query", packet(LEAD_IN, "m"), repeats=True),
            Step("raw mode", from_query="mode query", make=raw_switch),
            Step("mode restore", from_query="mode query", make=raw_restore),
            # Read back to be sure; asked only once the mode was known.
            Step("mode read-back", from_query="mode query", repeats=True,
                 make=lambda reply: packet(LEAD_IN, "m"))]

def axis(letter, which, low, high):
    return packet(LEAD_IN, letter, which, *le16(low), *le16(high))

# Every setting there is, in the order of the tool's exchanges, and what it may send for them.
FULL = ["-w", "800", "-h", "600", "-x", "100", "-X", "3900", "-y", "100", "-Y", "3900",
        "-s", "4", "-u", "5", "-m", "default"]
FULL_STEPS = [Step("scaling x", axis("S", "X", 0, 800)), Step("scaling y", axis("S", "Y", 0, 600)),
              Step("calibration x", axis("C", "X", 100, 3900)),
              Step("calibration y", axis("C", "Y", 100, 3900)),
              Step("filter query", packet(LEAD_IN, "f"), repeats=True),
              Step("filter", from_query="filter query", make=write_back({"filter.slen": 4})),
              Step("report query", packet(LEAD_IN, "b"), repeats=True),
              Step("report", from_query="report query", make=write_back({"report.untouch": 5})),
              Step("mode", packet(LEAD_IN, "M", 0, 0x07, 0x4E))]

def full_problems(report):
    """A run of FULL: the packets sent that the tool did not build, and the groups not as
    asked."""
    s, i = report["state"], report["initial_state"]
    want = {"scaling": {"x": [0, 800], "y": [0, 600]},
            "calibration": {"x": [100, 3900], "y": [100, 3900]},
            "filter": dict(i["filter"], slen=4), "report": dict(i["report"], untouch=5),
            "mode": {"report_flags": 7, "process_flags": 0x4E}}
    return (classify(FULL_STEPS, exchanges_of(report)),
            [f"{k} now {s[k]}, expected {v}" for k, v in want.items() if s[k] != v])

class Exchange:
    def __init__(self, command):
        self.command = command
        self.data = bytes.fromhex(command["hex"])
        self.letter = self.data[1]
        self.replies = []  # whole ones, as the controller sent them
        self.first = None  # the first answer, whole or not
        self.partial = False
        self.taken = not command.get("effect", "").startswith("not taken")
        self.step = None

    def damaged(self):
        want = 2 if self.letter in (ord("D"), ord("m")) else 1
        late = any(r["ms"] - self.command["ms"] > REPLY_TIMEOUT_S * 900 for r in self.replies)
        return not self.taken or self.partial or len(self.replies) < want or late

def exchanges_of(report):
    out = {}
    for pkt in report["packets"]:
        n = pkt.get("exchange", -1)
        if pkt["dir"] == "in" and pkt["kind"] == "command":
            out[n] = Exchange(pkt)
        elif n in out and pkt["kind"] in ("reply", "short", "dropped"):
            e = out[n]
            e.first = e.first or pkt
            if pkt["kind"] == "reply":
                e.replies.append(pkt)
            else:
                e.partial = True
    return [out[k] for k in sorted(out)]

def classify(steps, ex):
    """Matches each packet sent to a step, in order; a packet built from a reply only from
    the whole first answer to its query. Returns the problems found."""
    problems, replies, pos = [], {}, 0
    for n, e in enumerate(ex):
        found = next((i for i in range(pos, len(steps)) if steps[i].matches(e.data, replies)),
                     None)
        if found is None:
            problems.append("exchange %d: sent %s, which the tool did not build (next: %s)"
                            % (n, e.command["hex"],
                               ", ".join(s.name for s in steps[pos:]) or "nothing"))
            continue
        e.step, pos = steps[found], found
        if e.first is not None and e.first["kind"] == "reply":
            replies.setdefault(e.step.name, []).append(bytes.fromhex(e.first["hex"]))
    for s in steps:
        count = sum(e.step is s for e in ex)
        if count > (2 if s.repeats else 1):
            problems.append("%s sent %d times" % (s.name, count))
    return problems

def raw_packets_ok(run, first=0):
    """Raw reporting switched on from the mode the controller replied, and that mode put
    back. first: the exchange of the mode query."""
    sent, reply = run.sent(), run.reply(first)
    expect(sent[first] == "55 6d" + " 00" * 8, "mode query", run)
    expect(sent[first + 1] == patched(reply, {1: ord("M"), 3: 1, 4: 0}), "raw mode", run)
    expect(sent[first + 2] == patched(reply, {1: ord("M"), 5: 0, 6: 0, 7: 0, 8: 0, 9: 0}),
           "restore", run)
    expect(run.state["mode"] == run.initial["mode"], "mode put back", run)

class Failure(Exception):
    pass

class Skip(Exception):
    pass

def expect(cond, what, run=None):
    if not cond:
        raise Failure(what + (f"\n{run}" if run is not None else ""))

STARTED = []

def start(argv, **kw):
    """Popen in a process group of its own: reap() ends all of it, and whatever a case left
    running is reaped when the process exits, whichever way."""
    kw.setdefault("stdin", subprocess.DEVNULL)
    proc = subprocess.Popen(argv, start_new_session=True, **kw)
    STARTED.append(proc)
    return proc

@atexit.register
def reap_all():
    for proc in STARTED:
        with contextlib.suppress(ProcessLookupError, PermissionError):
            os.killpg(proc.pid, signal.SIGKILL)

def reap(proc):
    with contextlib.suppress(ProcessLookupError, PermissionError):
        os.killpg(proc.pid, signal.SIGKILL)
    with contextlib.suppress(subprocess.TimeoutExpired, ValueError, OSError):
        proc.communicate(timeout=10)

def finish(proc, timeout, what="the run"):
    try:
        return proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        raise Failure(f"{what}: no end within {timeout} s")
    finally:
        reap(proc)

def call(argv, timeout=30, env=None):
    proc = start(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    out, err = finish(proc, timeout, f"{argv}")
    return subprocess.CompletedProcess(argv, proc.returncode, out.decode(errors="replace"),
                                       err.decode(errors="replace"))

class Run:
    def __init__(self, status, out, err, report, elapsed):
        self.status, self.report, self.elapsed = status, report, elapsed
        # The end-to-end groups hand over bytes; the soak and the QEMU test, text.
        self.out, self.err = [t.decode(errors="replace") if isinstance(t, bytes) else t
                              for t in (out, err)]
        self.packets = report["packets"]
        self.state, self.initial = report["state"], report["initial_state"]

    def took(self):
        """Seconds from the first packet the command sent to the end of the run: what the
        tool's own waits cost, without the start-up of two processes on a busy machine."""
        first = next((p["first_ms"] for p in self.packets if p["dir"] == "in"), 0)
        return (self.report["duration_ms"] - first) / 1000

    def sent(self):
        return [p["hex"] for p in self.packets if p["dir"] == "in"]

    def letters(self):
        return "".join(chr(int(h.split()[1], 16)) for h in self.sent())

    def answers(self, exchange):
        return [p for p in self.packets if p["dir"] == "out" and p["exchange"] == exchange]

    def reply(self, exchange):
        return [p for p in self.answers(exchange) if p["kind"] == "reply"][0]["hex"]

    def ours(self):
        return [s for s in self.err.splitlines() if s.startswith("tavrinset: ")]

    def messages(self):
        return [s for s in self.err.splitlines() if not s.startswith(("--> ", "<-- "))]

    def __str__(self):
        packets = "".join(f"  {p['dir']:3} {p['exchange']:2} {p['kind']:8} {p['first_ms']:9.1f}"
                          f" {p['last_ms']:9.1f}  {p['hex']}  {p.get('effect', '')}\n"
                          for p in self.packets)
        report = {k: v for k, v in self.report.items() if k != "packets"}
        return (f"status {self.status} after {self.elapsed:.2f} s\nstdout: {self.out!r}\n"
                f"stderr: {self.err}\npackets (dir, exchange, kind, first and last ms):\n"
                f"{packets}report: {json.dumps(report)[:3000]}")

def is_panel_line(t):
    # Every flag but the speed bits: a hang-up on close (HUPCL) would drop a modem line.
    cflag = t["cflag"] & ~(termios.CBAUD | termios.CBAUDEX | termios.CIBAUD)
    return (t["ispeed"] == 9600 and t["ospeed"] == 9600
            and cflag == termios.CS8 | termios.CLOCAL | termios.CREAD
            and t["iflag"] == termios.IGNPAR and t["oflag"] == 0 and t["lflag"] == 0 and t["vmin"] == 1 and t["vtime"] == 0)

def line_checks(run):
    """While the tool talks, the panel's line; once it is done, exactly the line it found."""
    before, after = run.report["line_before"], run.report["line_after"]
    expect(not is_panel_line(before), "the emulator's starting line is already the panel's", run)
    for p in run.packets:
        if p["dir"] == "in":
            expect(is_panel_line(p["line"]), f"line during the run: {p['line']['text']}", run)
    if not any("hung up" in e["what"] for e in run.report["events"]):
        expect(after == before, f"line after: {after and after['text']}", run)

@contextlib.contextmanager
def serve(emu, line, *emu_args):
    """tpanel-emu serving LINE (["--link", PATH] or ["--attach", PTY]) with EMU_ARGS until the
    block ends; yields its process and a holder whose report is there once it has stopped."""
    served = types.SimpleNamespace(report=None)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "report.json")
        proc = start([emu, f"--json={path}", *line, *emu_args], stderr=subprocess.PIPE)
        try:
            # A link appears before the emulator has noted the line's starting settings; it
            # says "until stopped" when it is ready for a command.
            said, deadline = b"", time.monotonic() + 20
            while b"until stopped" not in said:
                left = deadline - time.monotonic()
                ready = left > 0 and select.select([proc.stderr], [], [], left)[0]
                more = os.read(proc.stderr.fileno(), 4096) if ready else b""
                expect(more != b"", f"the emulator did not serve {line[-1]}: {said.decode()}")
                said += more
            yield proc, served
            proc.send_signal(signal.SIGINT)
            proc.communicate(timeout=30)
            with open(path) as f:
                served.report = json.load(f)
        finally:
            reap(proc)

class Emu:
    """tpanel-emu and tavrinset. direct: no private /dev can be made here, so the command runs
    as it is and tavrinset is pointed at the emulated line, served at a link, with --device."""

    def __init__(self, emu, tool):
        self.emu, self.tool = os.path.abspath(emu), os.path.abspath(tool)
        probe = subprocess.run([self.emu, "--quiet", "--", "true"], capture_output=True,
                               stdin=subprocess.DEVNULL, timeout=30)
        self.direct = probe.returncode == 77

    def argv(self, emu_args, command, tmp):
        """The emulator's command line running command, and the line's path for it."""
        if not self.direct:
            return [self.emu, *emu_args, "--", *command], "/dev/tpanel"
        link = os.path.join(tmp, "tpanel")
        # --device goes right after the tool's name (also as "$0" of a shell wrapper), so
        # that a --device of the case's own still wins; with no argument at all tavrinset
        # opens nothing, and an added one would change that.
        out = []
        for i, word in enumerate(command):
            out.append(word)
            if word == self.tool and (i + 1 < len(command) or i > 0):
                out += ["--device", link]
        return [self.emu, "--no-private-dev", "--link", link, *emu_args, "--", *out], link

    def run(self, emu_args, tool_args=(), command=None, env=None, timeout=30, check_line=True):
        """tpanel-emu EMU_ARGS -- COMMAND (tavrinset TOOL_ARGS), with the checks every run
        must pass. COMMAND finds the line's path in $TPANEL."""
        command = command or [self.tool, *tool_args]
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "report.json")
            argv, line = self.argv([f"--json={path}", *emu_args], command, tmp)
            env = dict(env or os.environ, TPANEL=line, TPSHIM_PANEL=line)
            began = time.monotonic()
            proc = start(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
            out, err = finish(proc, timeout, f"{emu_args} -- {command}")
            elapsed = time.monotonic() - began
            if proc.returncode == 77:
                raise Skip(err.decode())
            with open(path) as f:
                run = Run(proc.returncode, out, err, json.load(f), elapsed)
        expect(run.report["status"] == run.status, "report and exit status differ", run)
        if check_line:
            line_checks(run)
        return run

    @contextlib.contextmanager
    def serving(self, *emu_args):
        """tpanel-emu EMU_ARGS --link PATH, until the block ends; yields (path, served), whose
        report is there once the emulator has stopped."""
        with tempfile.TemporaryDirectory() as tmp:
            link = os.path.join(tmp, "tpanel")
            with serve(self.emu, ["--link", link], *emu_args) as (_, served):
                yield link, served

    def served(self, emu_args, tool_args, timeout=30):
        """tavrinset --device LINK TOOL_ARGS against tpanel-emu serving LINK, as an operator
        runs the two."""
        with self.serving(*emu_args) as (link, served):
            args = ["--device", link, *tool_args]
            began = time.monotonic()
            proc = start([self.tool, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            out, err = finish(proc, timeout)
            elapsed = time.monotonic() - began
        served.report["status"] = proc.returncode  # the emulator's own otherwise
        run = Run(proc.returncode, out, err, served.report, elapsed)
        line_checks(run)
        return run

CASES = {}

def case(*groups):
    def register(fn):
        for group in groups:
            CASES.setdefault(group, []).append(fn)
        return fn
    return register

def run_cases(cases):
    """Runs the cases side by side (the ones that wait for a reply time pay it once) and
    reports each. A case may skip alone; the group skips (77) only when every case did."""
    failed = skipped = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=len(cases)) as pool:
        futures = {pool.submit(fn): fn.__name__ for fn in cases}
        for future in concurrent.futures.as_completed(futures):
            name = futures[future]
            try:
                future.result()
                print(f"ok    {name}")
            except Skip as skip:
                print(f"SKIP  {name}: {skip}")
                skipped += 1
            except Exception:
                failed += 1
                print(f"FAIL  {name}\n{traceback.format_exc()}")
    print(f"{len(cases) - failed - skipped} of {len(cases)} cases passed, {skipped} skipped")
    return 1 if failed else 77 if skipped == len(cases) else 0

EMU = None  # this process's Emu, made by main()

def emu(emu_args, tool_args=(), **kw):
    """tavrinset TOOL_ARGS against this process's emulator with EMU_ARGS."""
    return EMU.run(emu_args, tool_args, **kw)

def main(argv):
    """SCRIPT GROUP TPANEL_EMU TAVRINSET: runs one group of the cases registered."""
    global EMU
    EMU = Emu(argv[2], argv[3])
    EMU.line_shim, EMU.signal_audit = [os.path.abspath(a) for a in argv[4:6]] or [None, None]
    if EMU.direct:
        print("no private /dev here: tavrinset gets the emulated line with --device")
    return run_cases(CASES[argv[1]])
