#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End-to-end cases for the guided calibration: tavrinset --calibrate against the emulator,
whose --touch list stands for the operator's fingers."""
import json
import math
from statistics import median
import os
import sys

sys.dont_write_bytecode = True  # nothing of ours lands in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import tpanel as tp
from tpanel import case, emu, expect, raw_packets_ok as raw_mode_kept_to

CORNERS = ["TOP LEFT", "TOP RIGHT", "BOTTOM RIGHT", "BOTTOM LEFT"]

# A panel that reads about 195..3885 left to right and 175..3905 bottom to top, three touches
# a corner, a few counts apart as real fingers land: top left, top right, bottom right,
# bottom left.
CLEAN = [[(195, 3905), (197, 3903), (196, 3904)],
         [(3885, 3905), (3887, 3900), (3884, 3903)],
         [(3885, 175), (3880, 177), (3883, 176)],
         [(195, 175), (199, 170), (197, 172)]]
# The same panel with the bottom left corner touched far inside the screen: the left corners
# disagree in x by much more than a tenth of the x span.
ASTRAY = CLEAN[:3] + [[(700, 175), (702, 170), (701, 172)]]
# X and Y wired the wrong way round: along the top edge only y changes.
SWAPPED = [[(y, x) for x, y in corner] for corner in CLEAN]

def touches(corners):
    """The emulator's options that send these touches, corner after corner."""
    return [arg for corner in corners for x, y in corner for arg in ("--touch", f"{x},{y}")]

def nearest(v):
    """The nearest whole count, halves away from zero."""
    return int(math.copysign(math.floor(abs(v) + 0.5), v))

def bounds(corners):
    """The calibration the touches of one round give, each corner the per-axis median of its
    own group: worked out here from the rules, not taken from the tool."""
    tl, tr, br, bl = [(median([x for x, _ in c]), median([y for _, y in c])) for c in corners]
    return {"xlow": nearest((tl[0] + bl[0]) / 2), "xhigh": nearest((tr[0] + br[0]) / 2),
            "ylow": nearest((bl[1] + br[1]) / 2), "yhigh": nearest((tl[1] + tr[1]) / 2)}

def options_line(b):
    return f"--xlow {b['xlow']} --xhigh {b['xhigh']} --ylow {b['ylow']} --yhigh {b['yhigh']}\n"

def calibration_packets(b):
    return [tp.axis("C", "X", b["xlow"], b["xhigh"]).hex(" "),
            tp.axis("C", "Y", b["ylow"], b["yhigh"]).hex(" ")]

def prompts(run):
    return [line for line in run.err.splitlines() if line.startswith("Touch the ")]

def prompt(i):
    return f"Touch the {CORNERS[i]} corner of the screen ({i + 1} of 4)"

def sent_calibration(run, b, at=4):
    expect(run.sent()[at:at + 2] == calibration_packets(b), "X, then Y", run)
    expect(run.state["calibration"] == {"x": [b["xlow"], b["xhigh"]],
                                        "y": [b["ylow"], b["yhigh"]]}, "held", run)

def nothing_sent(run, queries="mMMm"):
    expect(run.letters() == queries, "no calibration sent", run)
    expect(run.state == run.initial, "the controller as it was", run)

@case("clean", "nonamespace")
def touches_with_a_misclick():
    # The second touch at the first corner is far from the others: dropped, another asked for.
    stray = [CLEAN[0][0], (2000, 2000), *CLEAN[0][1:]]
    run = emu(touches([stray, *CLEAN[1:]]), ["--calibrate"])
    b = bounds(CLEAN)
    expect(run.status == 0 and run.out == options_line(b), "the options alone", run)
    expect(run.letters() == "mMMmCC", "query, raw, restore, read-back, X, Y", run)
    raw_mode_kept_to(run)
    sent_calibration(run, b)
    # One target at a time, in order, each touch acknowledged right after its prompt.
    want = ["Touch each corner of the screen 3 times, as close to the corner as you can."]
    for i, corner in enumerate(CLEAN):
        want.append(prompt(i))
        want += [f"  {n} of 3: {x}, {y}" for n, (x, y) in enumerate(corner, 1)]
    want.insert(3, "  dropped 2000, 2000: too far from the other touches, touch again")
    expect(run.err.splitlines() == want, "prompts and acknowledgements", run)

@case("clean")
def dry_run_sends_nothing():
    for extra, out in (([], options_line(bounds(CLEAN))),
                       (["--json"], json.dumps({"calibration": bounds(CLEAN)}) + "\n")):
        run = emu(touches(CLEAN), ["--calibrate", "--dry-run", *extra])
        expect(run.status == 0 and run.out == out, f"printed {extra}", run)
        raw_mode_kept_to(run)
        nothing_sent(run)

@case("clean")
def one_command_sets_a_panel_up_with_inverted_axes_as_measured():
    corners = [[(4080 - x, 4080 - y) for x, y in c] for c in CLEAN]
    run = emu(touches(corners), ["--show", "--mode", "touch,calib,trim,scale", "--verify",
                                 "--calibrate", "-w", "800", "-D"])
    b = bounds(corners)
    expect(b["xlow"] > b["xhigh"] and b["ylow"] > b["yhigh"], "both inverted", run)
    expect(run.status == 0 and run.letters() == "DmMMmCCSMmfbm",
           "self-test, calibration, settings, verify, show", run)
    sent_calibration(run, b, at=5)
    lines = run.out.splitlines(True)
    expect(lines[0] == options_line(b) and lines[3] == "mode touch,trim,calib,scale (0x01 0x0e)\n",
           "the calibration, then what the controller holds", run)
    expect([line for line in run.err.splitlines() if "inverted" in line] == [
        "The x axis is inverted: the right side reads lower than the left.",
        "The y axis is inverted: the top reads lower than the bottom."], "noted", run)

@case("checks")
def disagreeing_corners_repeat_the_round():
    run = emu(touches(ASTRAY + CLEAN), ["--calibrate"])
    b = bounds(CLEAN)
    expect(run.status == 0 and run.out == options_line(b), "the second round counts", run)
    sent_calibration(run, b)
    expect(prompts(run) == [prompt(i) for i in range(4)] * 2, "two rounds", run)
    lines = run.err.splitlines()
    said = lines.index("Round 2 of 3: touch the four corners again.")
    expect(lines[said - 1].startswith("The left corners disagree in x: 196 and 701 are more "
                                      "than "), "why", run)
@case("checks")
def measurements_that_stop_the_calibration():
    scattered = [(100, 100), (1000, 1000), (2000, 2000), (3000, 3000)]
    for corners, args, rounds, message in [
            # the fifth touch is not waited for
            ([scattered, *CLEAN], ["--samples", "2"], [prompt(0)],
             "no 2 of 4 touches at the TOP LEFT corner agree within 80 counts"),
            # the clean touches lie up to 3 counts from their corner's median: first the top
            # right corner's y (3905, 3900, 3903)
            (CLEAN, ["--misclick", "2"], [prompt(0), prompt(1)],
             "no 3 of 6 touches at the TOP RIGHT corner agree within 2 counts"),
            (ASTRAY * 4, [], [prompt(i) for i in range(4)] * 3,
             "the corners still disagree after 3 rounds"),
            (SWAPPED * 2, ["-w", "800"], [prompt(i) for i in range(4)], "X and Y swapped")]:
        run = emu(touches(corners), ["--calibrate", *args])
        expect(run.status == 1 and run.out == "" and prompts(run) == rounds, message, run)
        expect(run.ours() == [f"tavrinset: {message}: calibration stopped, nothing sent"],
               "message", run)
        raw_mode_kept_to(run)
        nothing_sent(run)
    expect("The controller cannot swap axes: swap the X and Y wires, or use the input stack's "
           "calibration matrix.\n" in run.err, "the hint", run)

@case("stops")
def the_touch_timeout_bounds_each_touch():
    # Two touches 0.6 s apart make the first corner: more than the 1 s limit in all, each
    # within it. Nothing comes at the second corner.
    strokes = ["--stroke", "195,3905:195,3905:1", "--stroke", "197,3903:197,3903:1"]
    run = emu([*strokes, "--stroke-gap", "600"], ["--calibrate", "--samples", "2",
                                                  "--touch-timeout", "1"])
    expect(run.status == 1 and run.out == "" and 1 <= run.took() < 4, "status", run)
    expect(prompts(run) == [prompt(0), prompt(1)] and "  2 of 2: 197, 3903" in run.err,
           "two touches, then waited at the second corner", run)
    expect(run.err.endswith("tavrinset: no touch within 1 s: calibration stopped, nothing "
                            "sent\n"), "message", run)
    raw_mode_kept_to(run)
    nothing_sent(run)

@case("stops")
def what_ends_a_calibration_early():
    measured = options_line(bounds(CLEAN))
    for emu_args, status, out, sent, ours in [
            (["--after-touches", "INT", *touches(CLEAN[:2])], 130, "", "mMMm", []),
            (["--fault", "0:short:5", "--fault", "1:short:5", *touches(CLEAN)], 1, "", "mm",
             ["tavrinset: calibration not started: mode unknown"]),
            (["--fault", "2:no-reply", *touches(CLEAN)], 1, measured, "mMM", [
                "tavrinset: the panel may still be in raw mode; restore it with: tavrinset "
                "--mode touch,stream,untouch,trim,calib,scale,tracking (0x07 0x4e)",
                "tavrinset: calibration not sent: the controller's mode could not be put back"]),
            # a failed send is said once, and the run goes on
            (["--fault", "4:no-reply", *touches(CLEAN)], 1, measured, "mMMmCCS", [])]:
        run = emu(emu_args, ["--calibrate", "-w", "800"])
        expect(run.status == status and run.out == out and run.ours() == ours, "said", run)
        expect(run.letters() == sent, "sent", run)
        expect(("Timeout while reading packet\n" in run.err) == (status == 1), "timeout", run)
        if "C" not in sent:
            expect(run.state == run.initial, "the controller as it was", run)

if __name__ == "__main__":
    sys.exit(tp.main(sys.argv))
