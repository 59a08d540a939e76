#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End-to-end cases for operators and scripts: --show, --json and --device. How each setting
is worded, and what --verify compares, is the unit tests' to check; here, what is read, when,
and from where."""
import json
import os
import sys

sys.dont_write_bytecode = True  # nothing of ours lands in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import tpanel as tp
from tpanel import case, emu, expect

# A controller holding the settings of the documented example.
EXAMPLE = ["--filter", "8,20,3", "--report", "3,40", "--mode", "5,14"]
MODE = "mode touch,stream,untouch,trim,calib,scale,tracking (0x07 0x4e)\n"

@case("show")
def show_after_set_shows_the_new_settings():
    run = emu([], ["--show", "--deviation", "12", "--untouch", "5", "--mode", "touch,scale",
                   "--width", "800"])
    expect(run.status == 0 and run.err == "", "status", run)
    expect(run.letters() == "SfFbBMfbm", "the queries come after every setting", run)
    expect(run.out == "filter slen 8 deviation 12 states 4\nreport untouch 5 repeat 20\n"
           "mode touch,scale (0x01 0x08)\n", "what the controller holds afterwards", run)

@case("show")
def a_group_not_read_prints_nothing_and_fails_the_run():
    run = emu(["--fault", "1:no-reply"], ["--show"])
    expect(run.status == 1 and "Timeout while reading packet" in run.err, "status", run)
    expect(run.out == "filter slen 8 deviation 16 states 4\n" + MODE, "no report line", run)
    expect(run.letters() == "fbm", "the other groups are still asked for", run)

@case("show")
def raw_touches_as_json():
    run = emu(["--touch", "512,730", "--foreign", "Q", "--touch", "1,2"], ["--json", "--raw", "2"])
    expect(run.status == 0 and run.out.endswith("\n"), "status", run)
    expect([json.loads(line) for line in run.out.splitlines()] ==
           [{"touch": {"x": 512, "y": 730}}, {"touch": {"x": 1, "y": 2}}], "touches", run)

@case("device", "nonamespace")
def device_on_a_served_link():
    run = tp.EMU.served(EXAMPLE, ["--deviation", "12", "--verify", "--show"])
    expect(run.status == 0 and run.err == "", "status", run)
    expect(run.out == "filter slen 8 deviation 12 states 3\nreport untouch 3 repeat 40\n"
           "mode touch,untouch,trim,calib,scale (0x05 0x0e)\n", "set", run)
    expect(run.letters() == "fFffbm", "write, verify, show", run)

if __name__ == "__main__":
    sys.exit(tp.main(sys.argv))
