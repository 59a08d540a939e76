#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Fault soak: the real tavrinset against tpanel-emu with random command lines,
lines (paced, 16550 FIFO, USB bursts, a held finger) and fault plans. After every run: each
settings group holds the values asked for or its old ones, never a mix; every packet sent is one
the tool built, in order; the status follows from what happened; the run took no longer than its
faults allow; the line is put back.

  tests/soak/soak.py --build build/default --runs 60   (CI: --seed 1)
  tests/soak/soak.py --runs 5000 --jobs 8   (release; repeat one: --seed N --runs 1)
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
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from types import SimpleNamespace

sys.dont_write_bytecode = True  # nothing of ours lands in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import tpanel as tp  # noqa: E402
from tpanel import LEAD_IN, REPLY_TIMEOUT_S, Step, classify, exchanges_of, le16, packet  # noqa

# What the protocol says each mode keyword sets: (report flags, process flags). Written down
# here on its own so that the soak does not take the tool's word for it.
MODE_WORDS = {
    "default": (0x07, 0x4E), "touch": (0x01, 0), "stream": (0x02, 0), "untouch": (0x04, 0),
    "calib": (0, 0x04), "trim": (0, 0x02), "scale": (0, 0x08), "tracking": (0, 0x40),
    "initial": (0x01, 0), "scaling": (0, 0x08),
}
STREAM_BIT = 0x02
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

# Faults that leave an exchange without a whole, timely answer, and those that only add to
# what is on the line.
DAMAGING = ["no-reply", "short", "drop", "drop"]
NOISE = ["touch-before", "extra", "delay"]


def number_text(rng, v):
    r = rng.random()
    return ("+" if r < 0.15 else "00" if r < 0.25 else "") * (v >= 0) + str(v)


def emit(rng, short, long_name, value=None):
    """The option in one of the ways it can be written."""
    r = rng.random()
    if value is None:
        return ["-" + short] if r < 0.5 else ["--" + long_name]
    return [["--%s=%s" % (long_name, value)], ["--" + long_name, value], ["-" + short, value],
            ["-" + short + value]][int(r * 4)]


def random_mode(rng):
    words = [rng.choice(list(MODE_WORDS)) for _ in range(rng.randint(1, 3))]
    if rng.random() < 0.2:
        words.insert(rng.randint(0, len(words)), "")
    rf = pf = 0
    for w in filter(None, words):
        rf, pf = rf | MODE_WORDS[w][0], pf | MODE_WORDS[w][1]
        if w == "default":
            break  # ends the list
    return ",".join(words), (rf, pf)


def random_state(rng, streaming):
    def pair():
        return "%d,%d" % tuple(rng.choice([rng.randint(0, 4095), rng.randint(1, 65535)])
                               for _ in range(2))

    report_flags = rng.randint(1, 255) | (STREAM_BIT if streaming else 0)
    out = [a for name in ("scaling-x", "scaling-y", "calibration-x", "calibration-y")
           for a in ("--" + name, pair())]
    return out + ["--filter", "%d,%d,%d" % tuple(rng.randint(1, 255) for _ in range(3)),
                  "--report", "%d,%d" % (rng.randint(1, 255), rng.randint(1, 255)),
                  "--mode", "%d,%d" % (report_flags, rng.randint(1, 255))]


def random_line(rng, p):
    r = rng.random()
    if r < 0.12:
        return []  # a bare pseudo-terminal
    p.paced = True
    if r < 0.25:
        line = ["--pace"]
    elif r < 0.6:
        line = ["--adapter", "uart"]
    else:
        p.usb_ms = rng.choice([16, 16, 16, 1, 4, 32])
        line = ["--adapter", "usb" if p.usb_ms == 16 and rng.random() < 0.5
                else "usb:%d" % p.usb_ms]
    if rng.random() < 0.8:
        p.hold = (rng.randint(0, 4095), rng.randint(0, 4095))
        rate = rng.choice(["", "", "", ":30", ":60", ":10"])
        line += ["--hold", "%d,%d%s" % (p.hold + (rate,))]
    return line


def random_fault(rng, exchange, allow_stop):
    kind = rng.choice(DAMAGING + NOISE + (["hangup", "signal"] if allow_stop else []))
    if kind in ("short", "drop"):
        return "%d:%s:%d" % (exchange, kind, rng.randint(0, 9))
    if kind == "delay":
        return "%d:delay:%d" % (exchange, rng.choice([0, 5, 50, 200, 400]))
    if kind == "signal":
        return "%d:signal:%s" % (exchange, rng.choice(list(SIGNALS)))
    return "%d:%s" % (exchange, kind)


def make_plan(seed):
    rng = random.Random(seed)
    # asked: field -> value; mode: (report, process) when --mode was given; touches: the touch
    # reports raw mode will see, in order; hold: (x, y) of the finger held on the panel; usb_ms:
    # the adapter's burst period, when it is one.
    p = SimpleNamespace(seed=seed, args=[], emu=[], diag=False, raw=0, paced=False, asked={},
                        mode=None, touches=[], hold=None, usb_ms=0)
    line = random_line(rng, p)
    # A finger on a panel that streams is the case that matters: mostly so from the start.
    p.emu = random_state(rng, p.hold is not None and rng.random() < 0.7) + line
    # Command lines the tool refuses never reach the line: the unit and end-to-end tests'.
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
        text, p.mode = random_mode(rng)
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
    p.args = [a for g in groups for a in g]
    if rng.random() < 0.2:
        p.emu += ["--pending", str(rng.randint(1, 25))]
    if p.raw:
        # Raw mode sees the held finger's press first, then the touches given. A counted dump
        # ends by itself: there are enough touches, and spare ones still arriving as the mode
        # is put back. An endless one ends as an operator ends it.
        if p.hold is not None:
            p.touches.append(p.hold)
        spare = rng.randint(0, 2)
        n = max(0, p.raw + spare - len(p.touches)) if p.raw > 0 else rng.randint(1, 4)
        for _ in range(n):
            if rng.random() < 0.3:
                p.emu += ["--foreign", rng.choice("QZEa")]
            xy = (rng.randint(0, 65535), rng.randint(0, 65535))
            p.touches.append(xy)
            p.emu += ["--touch", "%d,%d" % xy]
        if p.raw < 0:
            p.emu += ["--after-touches", rng.choice(["INT", "TERM", "HUP", "hangup"])]
    stops = p.raw == 0
    for _ in range(rng.choice([0, 0, 1, 1, 2, 3])):
        exchange = rng.randint(0, max(0, len(planned_steps(p))))
        f = random_fault(rng, exchange, stops)
        kind = f.split(":")[1]
        # A counted dump: only the mode query may go unanswered (then the dump does not start).
        if p.raw > 0 and exchange != int(p.diag) and kind in DAMAGING:
            continue
        # Behind a USB adapter emulated on a pseudo-terminal the tool cannot see the adapter,
        # and until it has seen the line run at its real speed it cannot tell a packet sent
        # right after a reply from the next reply (tavrinset(1), NOTES). Left out here.
        if p.usb_ms and kind == "extra":
            continue
        if kind in ("hangup", "signal"):
            stops = False  # one way of being stopped per run
        p.emu += ["--fault", f]
    return p


def state_of(s, field):
    parts = field.split(".")
    v = s[parts[0]][parts[1]]
    if len(parts) == 3:
        v = v[int(parts[2])]
    return v & 0xFFFF if parts[0] in ("scaling", "calibration") else v


GROUPS = {f"{name} {axis.upper()}": [f"{name}.{axis}.0", f"{name}.{axis}.1"]
          for name in ("scaling", "calibration") for axis in "xy"}
GROUPS.update(filter=["filter.slen", "filter.deviation", "filter.states"],
              report=["report.untouch", "report.repeat"],
              mode=["mode.report_flags", "mode.process_flags"])


def asked_values(p, group, before):
    """What the group holds once the tool did what it was asked; None: nothing was asked."""
    fields = GROUPS[group]
    if group == "mode":
        return None if p.mode is None else list(p.mode)
    if group.startswith("scaling"):
        fields = [None, fields[1].rsplit(".", 1)[0]]  # one value: the span from 0
    if not any(f in p.asked for f in fields):
        return None
    if group.startswith(("scaling", "calibration")):
        return [p.asked.get(f, 0) & 0xFFFF for f in fields]
    return [p.asked.get(f, before[i]) for i, f in enumerate(fields)]


# --- the packets the tool may send --------------------------------------------------------

def planned_steps(p):
    steps = []
    if p.diag:
        steps.append(Step("self-test", packet(LEAD_IN, "D", 0x0F), repeats=True))
    if p.raw:
        return steps + tp.raw_steps()
    for group, letter, axis in (("scaling X", "S", "X"), ("scaling Y", "S", "Y"),
                                ("calibration X", "C", "X"), ("calibration Y", "C", "Y")):
        want = asked_values(p, group, None)
        if want is not None:
            steps.append(Step(group, packet(LEAD_IN, letter, axis,
                                            *le16(want[0]), *le16(want[1]))))
    for group, letter in (("filter", "f"), ("report", "b")):
        if asked_values(p, group, [0, 0, 0]) is not None:
            steps.append(Step(group + " query", packet(LEAD_IN, letter), repeats=True))
            steps.append(Step(group + " write-back", from_query=group + " query",
                              make=tp.write_back({f: p.asked[f] for f in GROUPS[group]
                                                  if f in p.asked})))
    if p.mode is not None:
        steps.append(Step("mode", packet(LEAD_IN, "M", 0, *p.mode)))
    return steps


def check(p, report, status, stdout, elapsed, stopped_at=None):
    problems = []
    ex = exchanges_of(report)
    events = [e["what"] for e in report.get("events", [])]
    signalled = [SIGNALS[w.split("SIG")[1].split()[0]] for w in events
                 if w.startswith(("sent SIG", "passed SIG"))]
    hung_up = any(w == "hung up the line" for w in events)
    try:
        tp.line_checks(tp.Run(status, stdout, "", report, elapsed))
    except tp.Failure as failure:
        problems.append(str(failure).split("\n")[0])
    before, after = report["initial_state"], report["state"]

    steps = planned_steps(p)
    problems += classify(steps, ex)
    sent = {e.step.name for e in ex if e.step is not None}

    # Time: only the waits the faults call for, the delays asked for, and the line's own.
    # Each exchange may also wait a few character times, or an adapter latency, to see where a
    # reply ends.
    per_exchange = 0.1 + p.usb_ms / 1000.0 + (0.025 if p.paced else 0)
    waits = sum(2 if e.letter == ord("D") else 1 for e in ex if e.damaged() and e.taken)
    waits += max(0, len(ex) - len(sent))  # queries asked again
    # Each wait runs out at the reply time, then the line is watched a little for where the
    # next packet begins.
    bound = 1.5 + delays_ms(p) / 1000.0 + per_exchange * len(ex) + (REPLY_TIMEOUT_S + 0.25) * waits
    if stopped_at is not None:
        bound = stopped_at + REPLY_TIMEOUT_S + 0.5  # the mode is put back, then it ends
    if elapsed > bound:
        problems.append(SHORTFALL + "took %.2f s, bound %.2f s" % (elapsed, bound))

    # Settings groups: asked-for or previous, never a mix.
    failing_selftest = "--selftest-failures" in p.emu
    settings_may_run = not p.raw and not failing_selftest
    unasked = []  # groups not as asked
    for group, fields in GROUPS.items():
        old = [state_of(before, f) for f in fields]
        new = [state_of(after, f) for f in fields]
        asked = asked_values(p, group, old) if settings_may_run else None
        allowed = [old] + ([asked] if asked is not None else [])
        if group == "mode" and p.raw and hung_up:
            allowed.append([0x01, 0x00])  # left in raw reporting when the line went away
        if new not in allowed:
            problems.append("%s: %s, neither previous %s nor asked %s" % (group, new, old, asked))
        if asked is not None and new != asked:
            unasked.append(group + " not as asked")

    # Raw coordinates: the touches in order, nothing that was not touched.
    damaged = any(e.damaged() for e in ex)
    printed = [tuple(int(v) for v in line.split(", ")) for line in stdout.splitlines()
               if ", " in line]
    if p.raw and printed != p.touches[:len(printed)] and not damaged:
        problems.append("printed %s, not a prefix of %s" % (printed, p.touches))

    stopped = bool(signalled) or hung_up
    if signalled:
        expected = {128 + signalled[0]}
    elif hung_up:
        expected = {1}
    elif failing_selftest:
        expected = {255}
    elif not damaged:
        expected = {0}  # nothing went wrong on the line: everything must have been done
    else:
        expected = {0, 1, 255} if p.diag else {0, 1}
    if status not in expected:
        # Giving up on a clean line is safe but short of what was asked; anything else is wrong.
        short = expected == {0} and status in (1, 255) and not stopped
        problems.append((SHORTFALL if short else "")
                        + "status %d, expected %s" % (status, " or ".join(map(str, expected))))
    if status == 255 and any(e.step is not None and e.step.name != "self-test" for e in ex):
        problems.append("status 255, yet it went on after the self-test")
    if status == 0:
        undone = [s.name for s in steps if s.name not in sent] + unasked
        undone += [e.step.name + " (not taken)" for e in ex if e.step is not None and not e.taken]
        if p.raw > 0 and printed != p.touches[:p.raw]:
            undone.append("printed %s, not %s" % (printed, p.touches[:p.raw]))
        if undone:
            problems.append("status 0, yet not done: " + ", ".join(undone))
    elif not stopped and status != 255:
        # Short of a stop, the flow goes on after a failed exchange.
        missing = [s.name for s in steps if s.name not in sent and s.from_query is None]
        if missing:
            problems.append("status %d and never sent: %s" % (status, ", ".join(missing)))
    return problems


# Marks a problem of availability rather than safety: the tool gave up, or took longer, where
# nothing on the line called for it. Such runs are reported; they fail the soak only when they
# are more than --max-shortfall of the runs (5% by default).
SHORTFALL = "shortfall: "


def patience(p):
    """How long a dump may take before the operator presses Ctrl-C."""
    damaging = [f for f in faults(p) if f.split(":")[1] in DAMAGING]
    return 2.0 + 2 * REPLY_TIMEOUT_S * len(damaging) + delays_ms(p) / 1000.0


def run_one(seed, build, workdir):
    p = make_plan(seed)
    report_file = os.path.join(workdir, "run-%d.json" % seed)
    cmd = ([os.path.join(build, "emu", "tpanel-emu"), "--json=" + report_file] + p.emu
           + ["--", os.path.join(build, "tavrinset")] + p.args)
    start = time.monotonic()
    proc = tp.start(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                    errors="replace")
    stopped_at = None
    try:
        try:
            out, err = proc.communicate(timeout=patience(p) if p.raw else 60)
        except subprocess.TimeoutExpired:
            if not p.raw:
                raise
            # A shifted line can hide touches from the tool, or the last one from the
            # emulator's own stop; an operator ends such a dump with Ctrl-C, and so do we.
            stopped_at = time.monotonic() - start
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        return p, cmd, ["hung: no end within 60 s"], ""
    finally:
        tp.reap(proc)
    elapsed = time.monotonic() - start
    if proc.returncode == 77:
        return p, cmd, None, "no private mount namespace"
    try:
        with open(report_file) as f:
            report = json.load(f)
        os.unlink(report_file)
    except (OSError, ValueError) as error:
        return p, cmd, ["no emulator report (%s); stderr: %s" % (error, err[-500:])], ""
    elapsed = min(elapsed, report["duration_ms"] / 1000.0)
    problems = check(p, report, proc.returncode, out, elapsed, stopped_at)
    if p.raw > 0 and stopped_at is not None:
        problems.append(SHORTFALL + "the dump of %d touches had not ended after %.1f s"
                        % (p.raw, stopped_at))
    return p, cmd, problems, err


def faults(p):
    return [p.emu[i + 1] for i, a in enumerate(p.emu[:-1]) if a == "--fault"]


def delays_ms(p):
    return sum(int(f.split(":")[2]) for f in faults(p) if f.split(":")[1] == "delay")


def line_kind(p):
    adapter = ("usb" if p.usb_ms else "uart") if "--adapter" in p.emu else (
        "paced" if p.paced else "pty")
    return adapter + (" + held finger" if p.hold else "")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default="build/default", help="build directory")
    ap.add_argument("--runs", type=int, default=300)
    ap.add_argument("--jobs", type=int, default=8, help="runs at once (they mostly wait)")
    ap.add_argument("--seed", type=int, default=None, help="first run's seed (default random)")
    ap.add_argument("--max-shortfall", type=float, default=0.05,
                    help="share of runs that may fall short of what was asked, never unsafe")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    first = args.seed if args.seed is not None else random.randrange(1 << 30)
    print("soak: %d runs from seed %d, %d at once" % (args.runs, first, args.jobs), flush=True)
    count, runs = Counter(), Counter()
    with tempfile.TemporaryDirectory() as workdir, ThreadPoolExecutor(args.jobs) as pool:
        futures = [pool.submit(run_one, first + i, build, workdir) for i in range(args.runs)]
        for fut in futures:
            p, cmd, problems, stderr = fut.result()
            if problems is None:
                count["skipped"] += 1
                continue
            unsafe = any(not line.startswith(SHORTFALL) for line in problems)
            label = "FAIL" if unsafe else "SHORT" if problems else "passed"
            count[label] += 1
            runs[line_kind(p)] += 1
            if problems:
                print("%s seed %d: %s" % (label, p.seed, " ".join(cmd)))
                print("".join("    %s\n" % line for line in problems) + "    stderr: "
                      + stderr.strip().replace("\n", "\n            ")[:2000])
    if count["skipped"]:
        print("soak: %d runs skipped: no private mount namespace here" % count["skipped"])
    print("soak: runs by line: " + ", ".join("%s %d" % kv for kv in sorted(runs.items())))
    print("%d passed, %d failed, %d short of what was asked, %d skipped"
          % (count["passed"], count["FAIL"], count["SHORT"], count["skipped"]))
    if count["FAIL"] or count["SHORT"] > args.max_shortfall * (args.runs - count["skipped"]):
        return 1
    return 77 if count["skipped"] == args.runs else 0  # 77: nothing could run here

if __name__ == "__main__":
    sys.exit(main())
