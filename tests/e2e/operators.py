#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End-to-end cases for what operators and scripts get: results that cannot be delivered, and
the JSON records, --export and --timeout."""
import json
import os
import sys

sys.dont_write_bytecode = True  # nothing of ours lands in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import tpanel as tp
from tpanel import case, emu, expect

TOUCHES = ["--touch", "512,730", "--touch", "1,2"]
# One touch a corner: top left, top right, bottom right, bottom left.
CORNERS = ["--touch", "100,3900", "--touch", "3900,3900", "--touch", "3900,100",
           "--touch", "100,100"]
MEASURED = "--xlow 100 --xhigh 3900 --ylow 100 --yhigh 3900\n"

def shell(emu_args, script, args, timeout=30):
    """tavrinset ARGS as "$0" "$@" of a bash SCRIPT, under the emulator."""
    return emu(emu_args, command=["bash", "-c", script, tp.EMU.tool, *args], timeout=timeout)

@case("undelivered")
def a_lost_result_fails_the_run_after_everything_else():
    closed, full = 'exec "$0" "$@" >&-', 'exec "$0" "$@" >/dev/full'
    for script, args, sent, reason in [
            (closed, ["--show", "-w", "800"], "Sfbm", "Bad file descriptor"),
            (full, ["-D", "--json", "--untouch", "5"], "DbB", "No space left on device"),
            (full, ["--help"], "", "No space left on device"),
            # The dump stops at the first touch it cannot write.
            (closed, ["--raw", "2"], "mMMm", "Bad file descriptor"),
            (full, ["--calibrate", "--samples", "1"], "mMMmCC", "No space left on device")]:
        run = shell([*CORNERS], script, args)
        what = f"{script} {args}"
        expect(run.status == 1, what, run)
        # said once, and last
        expect(run.err.count("write error") == 1 and
               run.err.endswith(f"tavrinset: write error: {reason}\n"), what, run)
        expect(run.letters() == sent, f"{what}: everything else sent", run)
        expect(run.state["mode"] == run.initial["mode"], f"{what}: mode back", run)
    # Nothing to deliver, nothing lost.
    run = shell([], closed, ["-w", "800"])
    expect(run.status == 0 and run.err == "" and run.letters() == "S", "no result", run)

@case("undelivered", "nonamespace")
def a_reader_gone_ends_the_dump_at_once():
    # Two touches only: a dump that noticed the closed pipe at its next write would wait for a
    # third for ever. Gone before the dump began, the reader must not cut short the wait for
    # the mode (answered late here), nor leave a packet in flight; the mode put back is the one
    # the panel had, not a default.
    gone = ("import os, sys; r, w = os.pipe(); os.close(r); os.dup2(w, 1); "
            "os.execv(sys.argv[1], sys.argv[1:])")
    for late, command, out in [
            ([], ["bash", "-c", 'set -o pipefail; "$0" "$@" | head -n 2'], "512, 730\n1, 2\n"),
            (["--fault", "0:delay:50", "--mode", "0x05,0x0c"], [sys.executable, "-c", gone],
             "")]:
        run = emu([*late, *TOUCHES], command=[*command, tp.EMU.tool, "--raw", "-1"], timeout=15)
        expect(run.status == 141 and run.err == "", "status of SIGPIPE, nothing said", run)
        expect(run.out == out and run.elapsed < 5, "at once", run)
        expect(run.letters() == "mMMm", "mode put back and read back", run)
        expect(run.state["mode"] == run.initial["mode"], "mode back", run)

@case("undelivered")
def the_calibration_is_out_before_anything_is_sent():
    # The stop signal comes with the restore, the first packet after the measurement.
    for args in (["--calibrate", "--samples", "1"], ["--calibrate", "--samples=1", "--json"]):
        run = emu(["--fault", "2:signal:TERM", *CORNERS], args)
        expect(run.status == 143 and run.letters() == "mMMm", "stopped, mode put back", run)
        want = MEASURED if "--json" not in args else json.dumps(
            {"calibration": {"xlow": 100, "xhigh": 3900, "ylow": 100, "yhigh": 3900}}) + "\n"
        expect(run.out == want, "printed all the same", run)

def records(run):
    """Standard output as JSON Lines, every object with one key."""
    objects = [json.loads(line) for line in run.out.splitlines()]
    expect(run.out.endswith("\n") and all(len(o) == 1 for o in objects), "one key each", run)
    return objects

def settings(state):
    words = ["touch", "stream", "untouch", "trim", "calib", "scale", "tracking"]
    return {"filter": state["filter"], "report": state["report"],
            "mode": dict(state["mode"], keywords=words)}

@case("records")
def every_result_is_a_record():
    # Exchanges: 0 D, 1 f, 2 F (ignored), 3 M (ignored), 4 f, 5 m, then f b m for both reads.
    run = emu(["--fault", "2:ignore", "--fault", "3:ignore"],
              ["-D", "--json", "--deviation", "12", "--mode", "touch,stream,untouch,trim,calib,"
               "scale", "--verify", "--show", "--export"])
    options = ("--slen 8 --deviation 16 --states 4 --untouch 3 --repeat 20 "
               "--mode touch,stream,untouch,trim,calib,scale,tracking")
    expect(run.status == 1 and run.letters() == "DfFMfmfbm", "status, one read for both", run)
    expect(records(run) == [
        {"selftest": {"passed": True, "reply": True, "mask": 0}},
        {"difference": {"group": "filter", "field": "deviation", "wanted": 12, "read": 16}},
        {"difference": {"group": "mode", "field": "process_flags", "wanted": 14, "read": 78}},
        {"settings": settings(run.state)},
        {"export": {"options": options}}], "records", run)
    # Without a reply there is no mask; nor is the group read back, and --timeout says when.
    for args, record, status in [
            (["-D"], {"selftest": {"passed": False, "reply": False}}, 255),
            (["--verify", "--untouch", "5"], {"difference": {
                "group": "report", "field": "untouch", "wanted": 5, "read": None}}, 1)]:
        run = emu(["--fault", f"{len(args) - 1}:no-reply"], ["--json", "--timeout", "100", *args])
        expect(run.status == status and records(run) == [record], f"{args}", run)
        expect(run.took() < 1, "--timeout 100 waited", run)

@case("records")
def export_sets_the_same_again():
    for mode, bytes_ in [("5,14", None), ("1,0x10", "0x01 0x10"), ("0,0", "0x00 0x00")]:
        held = ["--filter", "9,21,5", "--report", "4,41", "--mode", mode]
        run = emu(held, ["--export", "--timeout", "60000"])
        if bytes_:
            expect(run.status == 1 and run.out == "", f"{mode} cannot be exported", run)
            expect(run.err == f"tavrinset: cannot export the mode {bytes_}: no --mode keyword "
                   "list sets it\n", "message", run)
            continue
        again = emu([], [*run.out.split(), "--verify"])
        expect(run.status == 0 and again.status == 0 and again.letters().endswith("fbm"),
               "exported, set and every group verified", again)
        kept = {k: run.state[k] for k in ("filter", "report", "mode")}
        expect(again.state == dict(again.initial, **kept), "the same settings", again)
    for value in ("99", "60001", "1e3"):
        run = emu([], ["--timeout", value, "-w", "800"])
        expect(run.status == 2 and run.letters() == "", value, run)
        expect(run.err.startswith(f"tavrinset: invalid value '{value}' for --timeout\n"),
               value, run)

if __name__ == "__main__":
    sys.exit(tp.main(sys.argv))
