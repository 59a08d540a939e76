#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End-to-end cases: the real tavrinset against the controller emulator.

Usage: e2e.py GROUP TPANEL_EMU TAVRINSET"""
import os
import sys

sys.dont_write_bytecode = True  # nothing of ours lands in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import tpanel as tp
from tpanel import GONE, case, emu, expect, patched, raw_packets_ok, trace

ZEROS = "00 00 00 00 00"
TYPICAL = ["--width", "800", "--height", "600", "--mode", "touch,scale", "--dump"]
TOUCHES = ["--touch", "512,730", "--foreign", "Q", "--touch", "1,2", "--touch", "4095,0"]
PRINTED = "512, 730\n1, 2\n4095, 0\n"
FULL = tp.FULL

def write_back_ok(run, query, changes):
    """The write-back after exchange `query` is its reply with only `changes` made."""
    reply = run.reply(query)
    expect(run.sent()[query + 1] == patched(reply, changes),
           f"write-back of {reply} with {changes}", run)

def full_ok(run):
    """Everything sent is what the oracle allows, and the status says whether all of it took."""
    built, undone = tp.full_problems(run.report)
    expect(not built, "; ".join(built), run)
    expect(run.status == (1 if undone else 0), f"status {run.status}, not done: {undone}", run)
    return not undone

# --- the packets a run sends, for random command lines on every kind of line, are the soak's
# to check (tests/soak): here, what it cannot see.

@case("operations", "nonamespace")
def typical_run_exact_trace():
    run = emu([], TYPICAL)
    expect(run.status == 0 and run.out == "", "status and stdout", run)
    expect(run.sent() == ["55 53 58 00 00 20 03 00 00 00", "55 53 59 00 00 58 02 00 00 00",
                          "55 4d 00 01 08 " + ZEROS] and len(run.packets) == 6, "packets", run)
    expect(run.err == trace(run.packets), "trace", run)
    expect(run.err.startswith("--> 55 53 58 00 00 20 03 00 00 00 \tU S X . . . . . . . \n"),
           "trace line format", run)
    run = emu([], ["-p"])
    expect(run.status == 0 and run.sent() == [] and run.err == "", "-p alone", run)

@case("operations")
def self_test():
    # Cut short once, the reply is asked for again; twice, it is a line fault's case.
    for fault, sent in (([], "DS"), (["--fault", "0:short:2"], "DDS")):
        run = emu(fault, ["-D", "--width", "800"])
        expect(run.status == 0 and run.out == run.err == "" and run.letters() == sent, "", run)
        expect(run.sent()[0] == "55 44 0f 00 00 " + ZEROS, "the self-test packet", run)

@case("replies", "nonamespace")
def raw_count_and_foreign_packets():
    run = emu(["--mode", "0x05,0x0c", *TOUCHES, "--touch", "7,7"],
              ["--raw", "3", "--width", "800", "--dump"])
    expect(run.status == 0 and run.out == PRINTED, "three lines", run)
    expect(len(run.sent()) == 4, "no scaling packet", run)
    raw_packets_ok(run)
    expect(len(run.answers(0)) == 2 and "<-- 55 51 a2" in run.err, "foreign traced", run)

@case("replies")
def no_reply():
    run = emu(["--fault", "0:no-reply"], ["--width", "800", "--height", "600"])
    expect(run.status == 1 and "Timeout while reading packet\n" in run.err, "timeout", run)
    expect(1.9 < run.took() < 4, "about two seconds", run)
    expect(run.state["scaling"]["y"] == [0, 600], "the next operation still ran", run)

@case("replies")
def late_reply():
    run = emu(["--fault", "0:delay:400"], ["--width", "800", "--deviation", "12"])
    expect(run.status == 0 and run.took() >= 0.4, "waited", run)
    write_back_ok(run, 1, {4: 12})
    run = emu(["--fault", "0:delay:2600"], ["--deviation", "12"])
    expect(run.status == 1 and "Filter parameters not changed" in run.err, "too late", run)
    expect(run.letters() == "f" and run.took() < 2.6, "gave up at two seconds", run)

# --- the device goes away: one message, nothing sent after it, at once -----------------------
@case("gone")
def device_gone():
    calibrate = [a for xy in ("195,3905", "3885,3905") for a in ("--touch", xy)]
    for emu_args, args, sent in [
            (["--fault", "0:hangup"], FULL, "S"),
            (["--fault", "4:hangup"], FULL + ["--dump"], "SSCCf"),  # a query's reply
            (["--fault", "5:hangup"], FULL, "SSCCfF"),  # a write-back's
            (["--fault", "4:short:6", "--fault", "4:hangup"], FULL, "SSCCf"),  # half a reply
            (["--fault", "0:hangup"], ["-D", "-w", "800"], "D"),
            (["--after-touches", "hangup", *TOUCHES], ["--raw", "-1"], "mM"),
            (["--fault", "3:hangup"], ["-d", "12", "-m", "touch", "--verify", "--show",
                                       "--json"], "fFMf"),
            (["--after-touches", "hangup", *calibrate], ["--calibrate", "--samples", "1"],
             "mM")]:
        run = emu(emu_args, args)
        what = f"{emu_args} {args}"
        expect(run.status == 1 and run.letters() == sent, f"{what}: nothing sent after", run)
        said = [m for m in run.messages() if m.startswith(("tavrinset", "Error", "Timeout"))]
        expect(len(said) == 1 and said[0] in GONE, f"{what}: one message", run)
        expect(run.took() < 1.5, f"{what}: at once", run)
        expect(run.out == ("" if "--raw" not in args else PRINTED), f"{what}: output", run)

# --- a stop signal: the run ends where it is, with the line and the mode put back -------------
@case("stops", "nonamespace")
def stop_signals():
    scaling = ["-w", "800", "-h", "600", "--mode", "touch"]
    for ignored, emu_args, args, status, sent in [
            ("", ["--after-touches", "INT", *TOUCHES], ["--raw", "-1"], 130, "mMMm"),
            # a second one while the mode is put back is taken, not left to kill the process
            ("", ["--after-touches", "INT", "--fault", "2:signal:INT", *TOUCHES],
             ["--raw", "-1"], 130, "mMMm"),
            ("", ["--fault", "1:signal:TERM"], scaling, 143, "SS"),
            # while the reply is awaited: no message, the reply not waited for
            ("", ["--fault", "0:no-reply", "--fault", "0:signal:TERM"], scaling, 143, "S"),
            # a shell starts background jobs with these ignored; kill -INT must still work
            ("INT QUIT", ["--after-touches", "INT", *TOUCHES], ["--raw", "-1"], 130, "mMMm"),
            ("INT QUIT", ["--after-touches", "QUIT", *TOUCHES], ["--raw", "-1"], 131, "mMMm"),
            # a hang-up left ignored (nohup) stays ignored
            ("HUP", ["--fault", "0:signal:HUP"], scaling, 0, "SSM"),
            ("", ["--fault", "0:signal:HUP"], scaling, 129, "S")]:
        ignore = f'trap "" {ignored};' if ignored else ""
        command = ["sh", "-c", ignore + ' exec "$0" "$@"', tp.EMU.tool, *args]
        run = tp.EMU.run(emu_args, command=command)
        what = f"ignoring '{ignored}', {emu_args}"
        expect(run.status == status and run.letters() == sent, what, run)
        expect(run.err == "" and run.took() < 1.5, f"{what}: quietly, at once", run)
        expect(run.report["ended"] == f"exited with status {status}", f"{what}: no core", run)
        if "--raw" in args:
            expect(run.out == PRINTED, f"{what}: every touch printed", run)
            raw_packets_ok(run)

@case("replies")
def bytes_on_the_wire_before_the_first_command():
    # A UART's FIFO hands the rest of a packet over only after the first command went out.
    run = emu(["--adapter", "uart", "--pending", "20", *TOUCHES[:2]], FULL)
    expect(full_ok(run), "all done", run)
    run = emu(["--adapter", "uart", "--pending", "20", *TOUCHES[:2]], ["--raw", "1", "-p"])
    # What was passed over leaves the boundaries in doubt: the mode may be asked twice.
    expect(run.status == 0 and run.out == "512, 730\n", "dumped", run)
    first = run.letters().index("M") - 1
    expect(run.letters()[:first] in ("", "m"), "the mode asked at most twice", run)
    raw_packets_ok(run, first)

@case("operations")
def command_lines_that_open_nothing():
    for args, status in ((["-w", "80x"], 2), (["-D", "-w", "70000"], 2), ([], 0)):
        run = emu([], args)
        expect(run.status == status and run.sent() == [], f"{args}", run)
        expect(run.err.endswith("Try 'tavrinset --help' for more information.\n") if status else
               run.out.startswith("tavrinset - Tavrin touchscreen configuration utility\n"),
               "usage", run)

if __name__ == "__main__":
    sys.exit(tp.main(sys.argv))
