#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End-to-end cases for operators and scripts: --show, --verify, --json and --device."""
import json
import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import tpanel as tp
from tpanel import case, expect


def emu(emu_args, tool_args, **kw):
    return tp.EMU.run(emu_args, tool_args, **kw)


TOUCHES = ["--touch", "512,730", "--foreign", "Q", "--touch", "1,2"]

# The keywords --show names for the mode bits, in its order. Written down here from what the
# controller's bits mean, not taken from the tool.
KEYWORDS = [("touch", "report_flags", 0x01), ("stream", "report_flags", 0x02),
            ("untouch", "report_flags", 0x04), ("trim", "process_flags", 0x02),
            ("calib", "process_flags", 0x04), ("scale", "process_flags", 0x08),
            ("tracking", "process_flags", 0x40)]

# A controller holding the settings of the documented example, and what --show prints for it.
EXAMPLE = ["--filter", "8,20,3", "--report", "3,40", "--mode", "5,14"]
EXAMPLE_TEXT = ("filter slen 8 deviation 20 states 3\n"
                "report untouch 3 repeat 40\n"
                "mode touch,untouch,trim,calib,scale (0x05 0x0e)\n")
EXAMPLE_JSON = {"filter": {"slen": 8, "deviation": 20, "states": 3},
                "report": {"untouch": 3, "repeat": 40},
                "mode": {"reportFlags": 5, "processFlags": 14,
                         "keywords": ["touch", "untouch", "trim", "calib", "scale"]}}


def letters(run):
    return run.letters()


def words(mode):
    return [w for w, byte, bit in KEYWORDS if mode[byte] & bit]


def shown(state):
    """What --show must print for a controller state of the emulator's report."""
    f, r, m = state["filter"], state["report"], state["mode"]
    return (f"filter slen {f['slen']} deviation {f['deviation']} states {f['states']}\n"
            f"report untouch {r['untouch']} repeat {r['repeat']}\n"
            f"mode {','.join(words(m)) or 'none'} "
            f"(0x{m['report_flags']:02x} 0x{m['process_flags']:02x})\n")


def shown_json(state):
    m = state["mode"]
    return {"filter": state["filter"], "report": state["report"],
            "mode": {"reportFlags": m["report_flags"], "processFlags": m["process_flags"],
                     "keywords": words(m)}}


def json_lines(run):
    """Standard output as JSON Lines: every line one object, nothing else."""
    expect(run.out == "" or run.out.endswith("\n"), "the last line is whole", run)
    objects = [json.loads(line) for line in run.out.splitlines()]
    expect(all(isinstance(o, dict) for o in objects), "one object per line", run)
    return objects


def ours(run):
    """The lines of standard error that are tavrinset's own messages."""
    return [line for line in run.err.splitlines() if line.startswith("tavrinset: ")]


# --- --show -------------------------------------------------------------------------------

@case("show")
def show_alone_prints_the_three_lines():
    run = emu(EXAMPLE, ["--show"])
    expect(run.status == 0 and run.out == EXAMPLE_TEXT and run.err == "", "output", run)
    expect(letters(run) == "fbm" and run.state == run.initial, "three queries, nothing set", run)
    expect(len(run.answers(2)) == 2, "both packets after the mode query", run)


@case("show")
def show_after_set_shows_the_new_settings():
    run = emu([], ["--show", "--deviation", "12", "--untouch", "5", "--mode", "touch,scale",
                   "--width", "800"])
    expect(run.status == 0 and run.err == "", "status", run)
    expect(letters(run) == "SfFbBMfbm", "the queries come after every setting", run)
    expect(run.state["filter"]["deviation"] == 12 and run.state["report"]["untouch"] == 5,
           "set", run)
    expect(run.out == shown(run.state), "what the controller holds afterwards", run)
    expect(run.out.endswith("mode touch,scale (0x01 0x08)\n"), "mode line", run)


@case("show")
def a_group_not_read_prints_nothing():
    for fault, missing in ((1, "report"),):
        run = emu(["--fault", f"{fault}:no-reply"], ["--show"])
        expect(run.status == 1 and "Timeout while reading packet" in run.err, missing, run)
        lines = run.out.splitlines(True)
        want = [line for line in shown(run.state).splitlines(True)
                if not line.startswith(missing + " ")]
        expect(lines == want, f"no {missing} line", run)
        expect(letters(run) == "fbm", "the other groups are still asked for", run)


@case("show")
def raw_dump_runs_alone():
    run = emu(TOUCHES, ["--raw", "2", "--show", "--verify", "--deviation", "12"])
    expect(run.status == 0 and run.out == "512, 730\n1, 2\n", "the dump", run)
    expect(letters(run) == "mMM", "no query but the dump's own", run)


@case("show")
def nothing_after_a_failed_self_test():
    run = emu(["--selftest-failures", "0x05"], ["-D", "--show", "--verify", "-d", "3"])
    expect(run.status == 255 and run.out == "dmask = 5", "status", run)
    expect(letters(run) == "D", "stopped", run)


# --- --verify -----------------------------------------------------------------------------

@case("verify")
def verify_clean():
    run = emu([], ["--verify", "--slen", "4", "--deviation", "12", "--states", "3",
                   "--untouch", "5", "--repeat", "9", "--mode", "default", "-w", "800"])
    expect(run.status == 0 and run.err == "" and run.out == "", "nothing to say", run)
    expect(letters(run) == "SfFbBMfbm", "each group written is read back", run)


@case("verify")
def verify_reads_back_only_the_groups_written():
    for args, queries in ((["--untouch", "5"], "bBb"), (["-w", "800"], "S")):
        run = emu([], ["--verify", *args])
        expect(run.status == 0 and run.err == "" and letters(run) == queries, f"{args}", run)


@case("verify")
def verify_before_show():
    run = emu([], ["--show", "--untouch", "5", "--verify"])
    expect(run.status == 0 and letters(run) == "bBbfbm", "verify, then show", run)
    expect(run.out == shown(run.state), "show", run)


@case("verify")
def failed_query_is_a_difference():
    # Exchanges: 0 f, 1 F, 2 M, then the readback: 3 f, 4 m.
    run = emu(["--fault", "3:no-reply"], ["--deviation", "12", "--mode", "touch", "--verify"])
    expect(run.status == 1, "status", run)
    expect(ours(run) == ["tavrinset: filter could not be read back"], "one line", run)
    expect(letters(run) == "fFMfm", "the mode is still verified", run)


@case("verify")
def verify_catches_ignore():
    for emu_args, args, message in (
            (["--fault", "1:ignore"], ["--deviation", "12"],
             "tavrinset: filter deviation reads back 16, not 12"),
            (["--fault", "1:ignore", "--report", "3,40"], ["--untouch", "5", "--repeat", "40"],
             "tavrinset: report untouch reads back 3, not 5"),
            (["--fault", "0:ignore", *EXAMPLE], ["--mode", "default"],
             "tavrinset: mode reads back 0x05 0x0e, not 0x07 0x4e")):
        run = emu(emu_args, ["--verify", *args])
        expect(run.status == 1 and ours(run) == [message], f"{args}", run)
        expect(run.state == run.initial, "the controller kept its settings", run)


# --- --json -------------------------------------------------------------------------------

@case("json")
def show_and_self_test_as_json():
    run = emu(EXAMPLE, ["--json", "--show", "--diagnostics"])
    expect(run.status == 0, "status", run)
    expect(json_lines(run) == [{"selftest": {"passed": True, "mask": 0}}, EXAMPLE_JSON],
           "the documented objects", run)
    run = emu([], ["--json", "--show", "--mode", "stream,calib", "--slen", "200"])
    expect(json_lines(run) == [shown_json(run.state)], "after a change", run)


@case("json")
def failed_self_test_as_json():
    run = emu(["--selftest-failures", "5"], ["--json", "-D", "--show"])
    expect(run.status == 255 and run.err == "Selfdiagnostics failed!\n", "status", run)
    expect(json_lines(run) == [{"selftest": {"passed": False, "mask": 5}}], "verdict", run)


@case("json")
def raw_touches_as_json():
    run = emu(TOUCHES, ["--json", "--raw", "2"])
    expect(run.status == 0, "status", run)
    expect(json_lines(run) == [{"x": 512, "y": 730}, {"x": 1, "y": 2}], "touches", run)


@case("json")
def trace_and_messages_stay_text():
    run = emu(["--fault", "2:no-reply"], ["--json", "--show", "--dump"])
    expect(run.status == 1, "status", run)
    expect(run.err.startswith("--> 55 66 00") and "Timeout while reading packet" in run.err,
           "text on standard error", run)
    expect(json_lines(run)[0]["mode"] is None, "mode null", run)


# --- --device -----------------------------------------------------------------------------

@case("device", "nonamespace")
def device_on_a_served_link():
    run = tp.EMU.served(EXAMPLE, ["--deviation", "12", "--verify", "--show"])
    expect(run.status == 0 and run.err == "", "status", run)
    expect(run.state["filter"]["deviation"] == 12 and run.out == shown(run.state), "set", run)
    expect(letters(run) == "fFffbm", "write, verify, show", run)


@case("device")
def paths_that_are_no_panel():
    with tempfile.TemporaryDirectory() as tmp:
        plain = os.path.join(tmp, "plain")
        with open(plain, "w") as f:
            f.write("not a terminal\n")
        env = dict(os.environ, LC_ALL="C")
        for path, message in (("", "No such file or directory"), (tmp, "Is a directory"),
                              (plain, "Inappropriate ioctl for device"),
                              (os.path.join(tmp, "missing"), "No such file or directory")):
            got = tp.call([tp.EMU.tool, "--device", path, "--show", "-w", "800"], env=env)
            expect(got.returncode == 255 and got.stdout == "" and
                   got.stderr == f"openPanel: {message}\n", f"{path!r}: {got}")
        with open(plain) as f:
            expect(f.read() == "not a terminal\n", "the file is left as it was")


if __name__ == "__main__":
    sys.exit(tp.main(sys.argv))
