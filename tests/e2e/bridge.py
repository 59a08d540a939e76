#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End-to-end cases of the bridge: the emulator's strokes into the events --print-events shows,
a release on every ending, and no bridge where it cannot work."""
import os
import sys

sys.dont_write_bytecode = True  # nothing of ours lands in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import tpanel as tp
from tpanel import GONE, Skip, case, emu, expect

SCALED = ["-w", "800", "-h", "600"]
# Raw reports mapped by a calibration range; a release only on an ending, not on a silence.
HELD = ["--mode", "stream", "-x", "0", "-X", "4095", "-y", "0", "-Y", "4095",
        "--release-after", "10000"]

def frame(*events):
    return [*events, "EV_SYN SYN_REPORT 0"]

PRESS, RELEASE = "EV_KEY BTN_TOUCH 1", frame("EV_KEY BTN_TOUCH 0")

@case("bridge")
def strokes_become_press_move_and_release():
    # Scaled y grows upwards (--ylow is the bottom edge): 200 of 600 is 400 down from the top.
    # The gap between the strokes outlasts --release-after: two touches. Reports 50 ms apart
    # and wide margins, so that a loaded machine neither skips a report nor splits a stroke.
    run = emu(["--stroke", "100,200:400,800:4@20", "--stroke", "50,50:50,50:2@20",
               "--stroke-gap", "600", "--after-touches", "TERM"],
              ["--print-events", "--release-after", "250", *SCALED])
    want = [*frame(PRESS, "EV_ABS ABS_X 100", "EV_ABS ABS_Y 400"),
            *frame("EV_ABS ABS_X 200", "EV_ABS ABS_Y 200"),
            *frame("EV_ABS ABS_X 300", "EV_ABS ABS_Y 0"),
            *frame("EV_ABS ABS_X 400"),  # 800 is beyond the screen: held at its edge
            *RELEASE,
            *frame(PRESS, "EV_ABS ABS_X 50", "EV_ABS ABS_Y 550"),
            *RELEASE]
    expect(run.out.splitlines() == want, "events", run)
    expect(run.status == 0, "SIGTERM is the normal end", run)
    expect(run.letters() == "SSm", "the settings, then the mode read once", run)
    expect(run.err.count("\n") == 1 and run.err.endswith(
        " follow on standard output: ABS_X 0..800, ABS_Y 0..600\n"), "one line saying where", run)

@case("bridge")
def every_ending_releases_a_held_touch():
    endings = [("TERM", 0), ("INT", 0), ("QUIT", 131), ("hangup", 1)]
    for ending, status in endings:
        # Two strokes, one touch: the gap between them is shorter than --release-after (and
        # twice what would be learnt from the reports 50 ms apart).
        run = emu(["--stroke", "10,20:30,20:2@20", "--stroke", "30,30:30,30:1", "--stroke-gap",
                   "400", "--after-touches", ending],
                  ["--print-events", "--invert-x", "--json", *HELD])
        what = f"{ending}:"
        lines = run.out.splitlines()
        expect(lines[:4] == [
            '{"event": {"type": "EV_KEY", "code": "BTN_TOUCH", "value": 1}}',
            '{"event": {"type": "EV_ABS", "code": "ABS_X", "value": 4085}}',
            '{"event": {"type": "EV_ABS", "code": "ABS_Y", "value": 4075}}',
            '{"event": {"type": "EV_SYN", "code": "SYN_REPORT", "value": 0}}'],
            f"{what} press, mirrored x", run)
        expect(lines[-2:] == [
            '{"event": {"type": "EV_KEY", "code": "BTN_TOUCH", "value": 0}}',
            '{"event": {"type": "EV_SYN", "code": "SYN_REPORT", "value": 0}}'],
            f"{what} released at the end", run)
        expect(len(lines) == 10, f"{what} press, two moves, release", run)
        expect(run.status == status and run.elapsed < 5, f"{what} status, at once", run)
        said = run.err.splitlines()[1:]
        expect(said == [] if ending != "hangup" else len(said) == 1 and said[0] in GONE,
               f"{what} messages after the first line", run)

@case("bridge")
def no_bridge_without_what_it_needs():
    cases = [
        # The controller's own mode reports presses only.
        (["--mode", "0x01,0x08"], SCALED,
         "tavrinset: the bridge needs reports while the finger is down: add stream to --mode\n"),
        # A setting that did not go through: the bridge would point wrong.
        (["--fault", "0:no-reply"], SCALED,
         "Timeout while reading packet\ntavrinset: the run did not go through: the bridge was "
         "not started\n"),
        # No answer to the mode query: nothing shows up as a touchscreen.
        (["--fault", "2:no-reply"], SCALED,
         "Timeout while reading packet\ntavrinset: the controller's mode could not be read: "
         "the bridge was not started\n"),
    ]
    for emu_args, tool_args, said in cases:
        run = emu(emu_args, ["--print-events", *tool_args])
        expect(run.status == 1 and run.out == "" and run.err == said, "refused", run)

@case("bridge")
def missing_uinput_is_found_before_the_panel_is_touched():
    if tp.EMU.direct:
        raise Skip("it checks the private /dev")
    run = emu([], ["--bridge", *SCALED])
    expect(run.status == 1, "status", run)
    expect(run.err == "tavrinset: /dev/uinput: No such file or directory: load the uinput "
           "module: modprobe uinput\n", "one message naming the fix", run)
    expect(run.sent() == [], "nothing sent", run)

if __name__ == "__main__":
    sys.exit(tp.main(sys.argv))
