#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End-to-end cases for operators and scripts: --show, --verify, --json and --device. How
each setting is worded is the unit tests' to check; here, what is read, when, and from where."""
import json
import os
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing of ours lands in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import tpanel as tp
from tpanel import case, emu, expect

TOUCHES = ["--touch", "512,730", "--foreign", "Q", "--touch", "1,2"]
# A controller holding the settings of the documented example, and what --show prints for it.
EXAMPLE = ["--filter", "8,20,3", "--report", "3,40", "--mode", "5,14"]
EXAMPLE_TEXT = ("filter slen 8 deviation 20 states 3\n"
                "report untouch 3 repeat 40\n"
                "mode touch,untouch,trim,calib,scale (0x05 0x0e)\n")
# The emulator's starting settings, as --show prints them.
FILTER = "filter slen 8 deviation 16 states 4\n"
MODE = "mode touch,stream,untouch,trim,calib,scale,tracking (0x07 0x4e)\n"


def json_lines(run):
    """Standard output as JSON Lines: every line one object, nothing else."""
    expect(run.out == "" or run.out.endswith("\n"), "the last line is whole", run)
    objects = [json.loads(line) for line in run.out.splitlines()]
    expect(all(isinstance(o, dict) for o in objects), "one object per line", run)
    return objects


@case("show")
def show_after_set_shows_the_new_settings():
    run = emu([], ["--show", "--deviation", "12", "--untouch", "5", "--mode", "touch,scale",
                   "--width", "800"])
    expect(run.status == 0 and run.err == "", "status", run)
    expect(run.letters() == "SfFbBMfbm", "the queries come after every setting", run)
    expect(run.out == "filter slen 8 deviation 12 states 4\nreport untouch 5 repeat 20\n"
           "mode touch,scale (0x01 0x08)\n", "what the controller holds afterwards", run)


@case("show")
def a_group_not_read_prints_nothing():
    run = emu(["--fault", "1:no-reply"], ["--show"])
    expect(run.status == 1 and "Timeout while reading packet" in run.err, "status", run)
    expect(run.out == FILTER + MODE, "no report line", run)
    expect(run.letters() == "fbm", "the other groups are still asked for", run)
    run = emu(["--fault", "2:no-reply"], ["--json", "--show", "--dump"])
    expect(run.status == 1 and run.err.startswith("--> 55 66 00"), "trace stays text", run)
    expect(json_lines(run)[0]["settings"]["mode"] is None, "mode null", run)


# --- --verify -----------------------------------------------------------------------------

@case("verify")
def verify_reads_back_each_group_written_once_all_is_set():
    for args, queries in ((["--slen", "4", "-d", "12", "-S", "3", "-u", "5", "-R", "9", "-m",
                            "default", "-w", "800"], "SfFbBMfbm"),
                          (["--untouch", "5"], "bBb"), (["-w", "800"], "S")):
        run = emu([], ["--verify", *args])
        expect(run.status == 0 and run.err == "" and run.out == "", f"{args}", run)
        expect(run.letters() == queries, f"{args}: read back", run)


@case("verify")
def failed_query_is_a_difference():
    # Exchanges: 0 f, 1 F, 2 M, then the readback: 3 f, 4 m.
    run = emu(["--fault", "3:no-reply"], ["--deviation", "12", "--mode", "touch", "--verify"])
    expect(run.status == 1, "status", run)
    expect(run.ours() == ["tavrinset: filter could not be read back"], "one line", run)
    expect(run.letters() == "fFMfm", "the mode is still verified", run)


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
        expect(run.status == 1 and run.ours() == [message], f"{args}", run)
        expect(run.state == run.initial, "the controller kept its settings", run)


# --- --json -------------------------------------------------------------------------------

@case("json")
def raw_touches_as_json():
    run = emu(TOUCHES, ["--json", "--raw", "2"])
    expect(run.status == 0, "status", run)
    expect(json_lines(run) == [{"touch": {"x": 512, "y": 730}}, {"touch": {"x": 1, "y": 2}}],
           "touches", run)


# --- --device -----------------------------------------------------------------------------

@case("device", "nonamespace")
def device_on_a_served_link():
    run = tp.EMU.served(EXAMPLE, ["--deviation", "12", "--verify", "--show"])
    expect(run.status == 0 and run.err == "", "status", run)
    expect(run.out == EXAMPLE_TEXT.replace("deviation 20", "deviation 12"), "set", run)
    expect(run.letters() == "fFffbm", "write, verify, show", run)


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
