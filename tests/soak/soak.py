#!/usr/bin/env python3
"""Fault soak: the real tavrinset against tpanel-emu, many times over, with random command lines
(valid and not) and random fault plans. After every run it checks that

  - the run ended within the time its faults allow;
  - the line settings afterwards are exactly those before, and the packet line during it;
  - every group of settings (scaling X, scaling Y, calibration X, calibration Y, filter, report,
    mode) holds either the values asked for or its previous values, never a mix;
  - the exit status and the packets sent are those that follow from what the controller did.

Short run (CI):       tests/soak/soak.py --build build/default --runs 300
Release testing:      tests/soak/soak.py --build build/default --runs 5000 --jobs 8
Repeat a failure:     the report prints the run's seed; pass it with --seed and --runs 1.
"""

import argparse
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

REPLY_TIMEOUT_S = 2.0
PANEL_LINE = "9600 baud cs8 cread clocal ignpar vmin 1 vtime 0"

# What the protocol says each mode keyword sets: (report flags, process flags). Written down
# here on its own so that the soak does not take the tool's word for it.
MODE_WORDS = {
    "default": (0x07, 0x4E), "touch": (0x01, 0), "stream": (0x02, 0), "untouch": (0x04, 0),
    "calib": (0, 0x04), "trim": (0, 0x02), "scale": (0, 0x08), "tracking": (0, 0x40),
    "initial": (0x01, 0), "scaling": (0, 0x08),
}
SIGNALS = {"INT": signal.SIGINT, "TERM": signal.SIGTERM, "HUP": signal.SIGHUP}

# (short, long, field): field names the setting the value goes to.
VALUE_OPTIONS = [
    ("w", "width", "scaling.x"), ("h", "height", "scaling.y"),
    ("x", "xlow", "calibration.x.0"), ("X", "xhigh", "calibration.x.1"),
    ("y", "ylow", "calibration.y.0"), ("Y", "yhigh", "calibration.y.1"),
    ("s", "slen", "filter.slen"), ("d", "deviation", "filter.deviation"),
    ("S", "states", "filter.states"), ("u", "untouch", "report.untouch"),
    ("R", "repeat", "report.repeat"),
]

INVALID_ITEMS = [
    ["--widht", "10"], ["-Q"], ["800"], ["--width", "80x"], ["-s", "256"], ["-h", "65536"],
    ["-x", "-32769"], ["--raw", "2147483648"], ["-u", "abc"], ["-R", ""], ["-d", "-1"],
    ["--mode", "nothing"], ["--mode", ""], ["--mode", ",,"], ["--slen", "+"], ["--", "-w"],
]


class Plan:
    """One run: the command line, what it asks for, and the emulator's setup."""

    def __init__(self, seed):
        self.seed = seed
        self.args = []
        self.kind = "run"  # run, info (help/version/usage) or invalid
        self.asked = {}  # field -> value
        self.mode = None  # (report, process) when --mode was given
        self.diag = False
        self.raw = 0
        self.touches = []
        self.emu = []


def number_text(rng, v):
    r = rng.random()
    if v >= 0 and r < 0.15:
        return "+%d" % v
    if v >= 0 and r < 0.25:
        return "00%d" % v
    return str(v)


def emit(rng, short, long_name, value=None):
    r = rng.random()
    if value is None:
        return ["-" + short] if r < 0.5 else ["--" + long_name]
    if r < 0.25:
        return ["--%s=%s" % (long_name, value)]
    if r < 0.5:
        return ["--" + long_name, value]
    if r < 0.75:
        return ["-" + short, value]
    return ["-" + short + value]


def random_mode(rng):
    words = [rng.choice(list(MODE_WORDS)) for _ in range(rng.randint(1, 3))]
    if rng.random() < 0.2:
        words.insert(rng.randint(0, len(words)), "")
    rf = pf = 0
    for w in words:
        if not w:
            continue
        rf |= MODE_WORDS[w][0]
        pf |= MODE_WORDS[w][1]
        if w == "default":
            break  # ends the list
    return ",".join(words), (rf, pf)


def random_state(rng):
    def r16():
        return rng.choice([rng.randint(0, 4095), rng.randint(1, 65535)])

    return [
        "--scaling-x", "%d,%d" % (r16(), r16()), "--scaling-y", "%d,%d" % (r16(), r16()),
        "--calibration-x", "%d,%d" % (r16(), r16()), "--calibration-y", "%d,%d" % (r16(), r16()),
        "--filter", "%d,%d,%d" % tuple(rng.randint(1, 255) for _ in range(3)),
        "--report", "%d,%d" % (rng.randint(1, 255), rng.randint(1, 255)),
        "--mode", "%d,%d" % (rng.randint(1, 255), rng.randint(1, 255)),
    ]


def exchange_count(p):
    n = 1 if p.diag else 0
    if p.raw:
        return n + 3
    for group in GROUPS:
        if asked_values(p, group, [0, 0, 0]) is not None:
            n += 2 if group in ("filter", "report") else 1
    return n


def random_fault(rng, exchange, allow_stop, line_noise):
    kinds = ["no-reply", "short", "touch-before", "delay"] + (["extra"] if line_noise else [])
    if allow_stop:
        kinds += ["hangup", "signal"]
    kind = rng.choice(kinds)
    if kind == "short":
        return "%d:short:%d" % (exchange, rng.randint(0, 9))
    if kind == "delay":
        return "%d:delay:%d" % (exchange, rng.choice([0, 5, 50, 200, 400]))
    if kind == "signal":
        return "%d:signal:%s" % (exchange, rng.choice(list(SIGNALS)))
    return "%d:%s" % (exchange, kind)


def make_plan(seed, line_noise=False):
    rng = random.Random(seed)
    p = Plan(seed)
    p.emu = random_state(rng)
    roll = rng.random()
    if roll < 0.04:
        p.kind = "info"
        p.args = rng.choice([[], ["--help"], ["--version"], ["-w", "5", "--help", "-Q"]])
        return p

    groups = []
    for short, long_name, field in VALUE_OPTIONS:
        if rng.random() < 0.3:
            if field.startswith(("scaling", "calibration")):
                v = rng.choice([rng.randint(0, 4096), rng.randint(-32768, 65535), -1, 65535])
            else:
                v = rng.randint(0, 255)
            p.asked[field] = v
            groups.append(emit(rng, short, long_name, number_text(rng, v)))
    if rng.random() < 0.4 or not groups:
        text, flags = random_mode(rng)
        p.mode = flags
        groups.append(emit(rng, "m", "mode", text))
    if rng.random() < 0.15:
        p.diag = True
        groups.append(emit(rng, "D", "diagnostics"))
        if rng.random() < 0.3:
            p.emu += ["--selftest-failures", str(rng.randint(1, 15))]
    if rng.random() < 0.3:
        groups.append(emit(rng, "p", "dump"))
    if rng.random() < 0.15:
        p.raw = rng.choice([1, 2, 3, -1, -1])
        groups.append(emit(rng, "r", "raw", str(p.raw)))
    rng.shuffle(groups)

    if roll < 0.2:
        p.kind = "invalid"
        bad = list(rng.choice(INVALID_ITEMS))
        if rng.random() < 0.15:
            bad = [rng.choice(["--width", "-w", "--mode", "-r"])]  # value missing at the end
            groups.append(bad)
        else:
            groups.insert(rng.randint(0, len(groups)), bad)
    p.args = [a for g in groups for a in g]

    # Bytes still on their way when a command flushes the input are taken for its reply: stale
    # input trickling in at open on a paced line, an unsolicited packet right after a reply,
    # packets streaming in while the raw dump puts the mode back. A partial one shifts every
    # later reply. Left out unless asked for (--line-noise) until the transport resyncs.
    paced = rng.random() < 0.2
    if paced:
        p.emu.append("--pace")
    if rng.random() < 0.2 and (not paced or line_noise):
        p.emu += ["--pending", str(rng.randint(1, 25))]

    if p.raw:
        # A counted dump ends by itself: enough touches, no fault that could make it miss one.
        # An endless one ends as an operator ends it, and may meet any fault.
        # Paced, touches beyond the count would still be arriving when the mode is put back;
        # unpaced they are all in by then and discarded.
        spare = 0 if paced and not line_noise else rng.randint(0, 2)
        n = p.raw + spare if p.raw > 0 else rng.randint(1, 4)
        for k in range(n):
            if rng.random() < 0.3 and (p.raw < 0 or k < p.raw or line_noise):
                p.emu += ["--foreign", rng.choice("QZEa")]
            xy = (rng.randint(0, 65535), rng.randint(0, 65535))
            p.touches.append(xy)
            p.emu += ["--touch", "%d,%d" % xy]
        if p.raw < 0:
            p.emu += ["--after-touches", rng.choice(["INT", "TERM", "HUP", "hangup"])]
    stops = p.raw == 0
    for _ in range(rng.choice([0, 0, 1, 1, 2, 3])):
        exchange = rng.randint(0, max(0, exchange_count(p)))
        if p.raw > 0:
            first = 1 if p.diag else 0
            # only the mode query may go unanswered: then the dump does not start
            f = random_fault(rng, exchange, False, line_noise)
            if exchange != first and ("no-reply" in f or "short" in f):
                continue
        else:
            f = random_fault(rng, exchange, stops, line_noise)
        if "hangup" in f or "signal" in f:
            stops = False  # one way of being stopped per run
        p.emu += ["--fault", f]
    return p


def state_of(s, field):
    """A settings field from the emulator's JSON state, 16-bit values as bit patterns."""
    parts = field.split(".")
    v = s[parts[0]][parts[1]]
    if len(parts) == 3:
        v = v[int(parts[2])]
    return v & 0xFFFF if parts[0] in ("scaling", "calibration") else v


GROUPS = {
    "scaling X": ["scaling.x.0", "scaling.x.1"],
    "scaling Y": ["scaling.y.0", "scaling.y.1"],
    "calibration X": ["calibration.x.0", "calibration.x.1"],
    "calibration Y": ["calibration.y.0", "calibration.y.1"],
    "filter": ["filter.slen", "filter.deviation", "filter.states"],
    "report": ["report.untouch", "report.repeat"],
    "mode": ["mode.reportFlags", "mode.processFlags"],
}


def asked_values(p, group, before):
    """The values the command line asks this group to take, or None when it asks nothing."""
    fields = GROUPS[group]
    if group == "mode":
        return list(p.mode) if p.mode is not None else None
    if group.startswith("scaling"):
        key = fields[1].rsplit(".", 1)[0]
        return [0, p.asked[key] & 0xFFFF] if key in p.asked else None
    if group.startswith("calibration"):
        if not any(f in p.asked for f in fields):
            return None
        return [p.asked.get(f, 0) & 0xFFFF for f in fields]
    if not any(f in p.asked for f in fields):
        return None
    return [p.asked.get(f, before[i]) for i, f in enumerate(fields)]


class Exchange:
    def __init__(self, command):
        self.command = command
        self.letter = int(command["hex"].split()[1], 16)
        self.replies = []
        self.partial = False
        self.taken = not command.get("effect", "").startswith("not taken")

    def damaged(self):
        want = 2 if self.letter in (ord("D"), ord("m")) else 1
        late = any(r["ms"] - self.command["ms"] > REPLY_TIMEOUT_S * 1000 * 0.9
                   for r in self.replies)
        return not self.taken or self.partial or len(self.replies) < want or late

    def timeouts(self):
        """Reply waits that run out when this exchange is damaged."""
        if not self.damaged() or not self.taken:
            return 0
        return 2 if self.letter == ord("D") else 1


def exchanges_of(report):
    out = {}
    for pkt in report["packets"]:
        n = pkt.get("exchange", -1)
        if pkt["dir"] == "in" and pkt["kind"] == "command":
            out[n] = Exchange(pkt)
        elif n in out and pkt["kind"] == "reply":
            out[n].replies.append(pkt)
        elif n in out and pkt["kind"] == "short":
            out[n].partial = True
    return [out[k] for k in sorted(out)]


def expected_letters(p, ex):
    """The command letters the run must have sent, given how each exchange went, and whether
    some step failed for good. A query whose reply came cut short is asked once more."""
    want = []
    failed = []
    i = 0

    def take(letter, query=False):
        nonlocal i
        want.append(letter)
        e = ex[i] if i < len(ex) else None
        i += 1
        whole = e is not None and not e.damaged()
        if query and e is not None and e.taken and e.partial:
            return take(letter)
        if not whole:
            failed.append(letter)
        return whole

    def result():
        return want, failed

    if p.diag:
        if not take(ord("D"), True) or "--selftest-failures" in p.emu:
            return result()
    if p.raw:
        if take(ord("m"), True):
            take(ord("M"))
            take(ord("M"))
        return result()
    for group, letter in (("scaling X", "S"), ("scaling Y", "S"), ("calibration X", "C"),
                          ("calibration Y", "C"), ("filter", "f"), ("report", "b"),
                          ("mode", "M")):
        if asked_values(p, group, [0, 0, 0]) is None:
            continue
        whole = take(ord(letter), letter in "fb")
        if letter in "fb" and whole:
            # the write-back carries the letter of the controller's reply
            reply = ex[i - 1].replies[0]["hex"].split()[1]
            take(int(reply, 16))
    return result()


def check(p, report, status, stdout, elapsed, stopped_at=None):
    """Returns a list of what is wrong with this run."""
    problems = []
    ex = exchanges_of(report)
    events = [e["what"] for e in report.get("events", [])]
    signalled = [SIGNALS[w.split("SIG")[1].split()[0]] for w in events
                 if w.startswith(("sent SIG", "passed SIG"))]
    hung_up = any(w == "hung up the line" for w in events)

    # Time: only the waits the faults call for, and the delays asked for.
    delays = sum(int(f.split(":")[2]) for f in p.emu if ":delay:" in f)
    bound = 1.5 + REPLY_TIMEOUT_S * sum(e.timeouts() for e in ex) + delays / 1000.0
    if "--pace" in p.emu:
        bound += 0.025 * len(report["packets"])
    if stopped_at is not None:
        bound = stopped_at + REPLY_TIMEOUT_S + 0.5  # the mode is put back, then it ends
    if elapsed > bound:
        problems.append("took %.2f s, bound %.2f s" % (elapsed, bound))

    # The line: the packet line while talking, exactly the old settings afterwards.
    if report.get("lineAfter") is None:
        if not hung_up:
            problems.append("line settings after the run unknown without a hang-up")
    elif report["lineAfter"] != report["lineBefore"]:
        problems.append("line settings not restored: %s -> %s"
                        % (report["lineBefore"]["text"], report["lineAfter"]["text"]))
    for e in ex:
        line = e.command.get("line")
        if line is not None and line["text"] != PANEL_LINE:
            problems.append("exchange %s on line '%s'" % (e.command["exchange"], line["text"]))

    before, after = report["initialState"], report["state"]
    if p.kind != "run":
        expected = 2 if p.kind == "invalid" else 0
        if status != expected:
            problems.append("status %d, expected %d" % (status, expected))
        if any(pkt["dir"] == "in" for pkt in report["packets"]) or after != before:
            problems.append("the controller was touched")
        return problems

    want, failed = expected_letters(p, ex)
    diag_failed = p.diag and (ord("D") in failed or "--selftest-failures" in p.emu)

    # Settings groups: asked-for or previous, never a mix.
    settings_ran = not p.raw and not diag_failed
    for group, fields in GROUPS.items():
        old = [state_of(before, f) for f in fields]
        new = [state_of(after, f) for f in fields]
        asked = asked_values(p, group, old) if settings_ran else None
        allowed = [old] + ([asked] if asked is not None else [])
        if group == "mode" and p.raw and hung_up:
            allowed.append([0x01, 0x00])  # left in raw reporting when the line went away
        if new not in allowed:
            problems.append("%s: %s, neither previous %s nor asked %s" % (group, new, old, asked))

    # Exit status from what happened on the line.
    damaged = bool(failed)
    if signalled:
        expected = 128 + signalled[0]
    elif hung_up:
        expected = 1  # a device gone ends the run, the self-test included
    elif diag_failed:
        expected = 255
    elif damaged:
        expected = 1
    else:
        expected = 0
    if status != expected:
        problems.append("status %d, expected %d" % (status, expected))

    # Packets: the fixed order, write-backs only after whole replies. A stop cuts it short.
    sent = [e.letter for e in ex]
    if signalled or hung_up:
        restore = p.raw and sent[-1:] == [ord("M")] and want[:len(sent) - 1] == sent[:-1]
        if sent != want[:len(sent)] and not restore:
            problems.append("sent %s, expected a prefix of %s" % (bytes(sent), bytes(want)))
    elif sent != want:
        problems.append("sent %s, expected %s" % (bytes(sent), bytes(want)))

    # Raw coordinates: the touches in order, as many as asked for.
    if p.raw:
        got = [tuple(int(v) for v in line.split(", ")) for line in stdout.splitlines()
               if ", " in line]
        if p.raw > 0 and expected == 0 and got != p.touches[:p.raw]:
            problems.append("printed %s, expected %s" % (got, p.touches[:p.raw]))
        if got != p.touches[:len(got)] and not damaged:
            problems.append("printed %s, not a prefix of %s" % (got, p.touches))
    return problems


def patience(p):
    """How long an endless dump may take before the operator presses Ctrl-C."""
    faults = [f for f in p.emu if ":no-reply" in f or ":short:" in f]
    delays = sum(int(f.split(":")[2]) for f in p.emu if ":delay:" in f)
    return 2.0 + 2 * REPLY_TIMEOUT_S * len(faults) + delays / 1000.0


def run_one(seed, build, workdir, line_noise):
    p = make_plan(seed, line_noise)
    report_file = os.path.join(workdir, "run-%d.json" % seed)
    cmd = ([os.path.join(build, "emu", "tpanel-emu"), "--json=" + report_file] + p.emu
           + ["--", os.path.join(build, "tavrinset")] + p.args)
    start = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            errors="replace")
    stopped_at = None
    try:
        if p.raw < 0:
            # A shifted line can hide the last touch from the emulator's own stop; an operator
            # ends such a dump with Ctrl-C, and so do we.
            try:
                out, err = proc.communicate(timeout=patience(p))
            except subprocess.TimeoutExpired:
                stopped_at = time.monotonic() - start
                proc.send_signal(signal.SIGINT)
                out, err = proc.communicate(timeout=60)
        else:
            out, err = proc.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        return seed, cmd, ["hung: no end within 60 s"], ""
    elapsed = time.monotonic() - start
    if proc.returncode == 77:
        return seed, cmd, None, "no private mount namespace"
    try:
        with open(report_file) as f:
            report = json.load(f)
        os.unlink(report_file)
    except (OSError, ValueError) as error:
        return seed, cmd, ["no emulator report (%s); stderr: %s" % (error, err[-500:])], ""
    elapsed = min(elapsed, report["durationMs"] / 1000.0)
    problems = check(p, report, proc.returncode, out, elapsed, stopped_at)
    return seed, cmd, problems, err


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default="build/default", help="build directory")
    ap.add_argument("--runs", type=int, default=300)
    ap.add_argument("--jobs", type=int, default=8, help="runs at once (they mostly wait)")
    ap.add_argument("--seed", type=int, default=None, help="first run's seed (default random)")
    ap.add_argument("--line-noise", action="store_true",
                    help="also stale input and unsolicited packets arriving on a paced line")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    first = args.seed if args.seed is not None else random.randrange(1 << 30)
    print("soak: %d runs from seed %d, %d at once" % (args.runs, first, args.jobs), flush=True)

    failed = passed = skipped = 0
    started = time.monotonic()
    with tempfile.TemporaryDirectory() as workdir, ThreadPoolExecutor(args.jobs) as pool:
        futures = [pool.submit(run_one, first + i, build, workdir, args.line_noise) for i in range(args.runs)]
        for n, fut in enumerate(futures, 1):
            seed, cmd, problems, stderr = fut.result()
            if problems is None:
                skipped += 1
            elif problems:
                failed += 1
                print("FAIL seed %d: %s" % (seed, " ".join(cmd)))
                for line in problems:
                    print("    " + line)
                print("    stderr: " + stderr.strip().replace("\n", "\n            ")[:2000])
            else:
                passed += 1
            if n % 100 == 0:
                print("soak: %d runs, %.0f s" % (n, time.monotonic() - started), flush=True)
    if skipped:
        print("soak: %d runs skipped: no private mount namespace here" % skipped)
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    if failed:
        return 1
    return 77 if skipped == args.runs else 0  # 77: nothing could run here


if __name__ == "__main__":
    sys.exit(main())
