#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End-to-end cases for lines that give back more than, or other than, the controller's
replies: every command echoed, only echoes, zero bytes, noise, bytes without the lead-in.
Nothing is written back, shown or switched that the controller did not send as a reply."""
import os
import sys

sys.dont_write_bytecode = True  # nothing of ours lands in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import tpanel as tp
from tpanel import case, emu, expect
from e2e import FULL, full_ok, raw_packets_ok

REPORT_MODE = ("report untouch 3 repeat 20\n"
               "mode touch,stream,untouch,trim,calib,scale,tracking (0x07 0x4e)\n")
NO_LEAD_IN = "Error while reading packet: no lead-in where the reply should begin"
ECHOES = " only echoes what is sent: no controller answers (a loopback or the wrong port?)"
MODE_UNKNOWN = "Raw dump not started: mode unknown"
RAW = ["--mode", "0x05,0x0c", "--touch", "5,6"]

def twice(kind):
    """The fault on a query and on the one time it is asked again."""
    return ["--fault", f"0:{kind}", "--fault", f"1:{kind}"]

def refused(run, letters, out, said):
    expect(run.status == 1 and run.letters() == letters and run.out == out, "status", run)
    expect(run.messages() == said, "the group left alone, and why", run)

@case("lines")
def an_echoing_line_gives_what_a_clean_one_gives():
    run = emu(["--fault", "echo"], FULL)
    expect(full_ok(run), "all set, write-backs exact", run)
    run = emu(["--fault", "echo", *RAW], ["--raw", "1"])
    expect(run.status == 0 and run.out == "5, 6\n" and run.letters() == "mMMm", "dump", run)
    raw_packets_ok(run)
    run = emu(["--fault", "echo"], ["-D", "--show", "--dump"])
    expect(run.status == 0 and run.out == "filter slen 8 deviation 16 states 4\n" + REPORT_MODE,
           "self-test passed, the settings shown", run)
    expect(run.err == tp.trace(run.packets) and "\n<-- 55 44 0f 00" in run.err,
           "echoes traced as they were read", run)

@case("lines")
def a_line_that_only_echoes_says_so_once():
    for args in (["--raw", "1"], FULL):
        run = emu(["--fault", "loopback"], args)
        said = run.messages()
        expect(run.status == 1 and len(said) == 1 and said[0].endswith(ECHOES), f"{args}", run)
        expect(said[0] == "tavrinset: /dev/tpanel" + ECHOES or tp.EMU.direct, "device", run)
        expect(len(run.sent()) == 1 and run.state == run.initial, f"{args}: no more", run)

@case("lines")
def zero_bytes_are_no_reply():
    run = emu(twice("zeros"), ["--slen", "4", "--untouch", "5"])
    refused(run, "ffbB", "", [NO_LEAD_IN, "Filter parameters not changed"])
    expect(run.state["filter"] == run.initial["filter"] and
           run.state["report"]["untouch"] == 5, "only the report group written", run)
    run = emu([*twice("zeros"), *RAW], ["--raw", "1"])
    refused(run, "mm", "", [NO_LEAD_IN, MODE_UNKNOWN])
    expect(run.state == run.initial, "no switch", run)

@case("lines")
def noise_is_no_reply():
    # The noise of exchange 1 reads as a touch's letter: still no reply, and said so.
    run = emu(twice("noise"), ["--show"])
    refused(run, "ffbm", REPORT_MODE, [NO_LEAD_IN])
    run = emu(twice("noise"), ["-D", "-w", "800"])
    expect(run.status == 255 and run.out == "" and run.letters() == "DD", "no mask", run)
    expect(run.messages() == [NO_LEAD_IN, "Selfdiagnostics failed!"], "messages", run)

@case("lines")
def packets_without_the_lead_in_are_no_reply():
    # A mode reply as the controller's, but for its first byte: taken, it would switch to
    # raw mode and "restore" 0x01 0x00.
    run = emu([*twice("reply:aa4fa20100a5a6a7a8a9"), *RAW], ["--raw", "1"])
    refused(run, "mm", "", [NO_LEAD_IN, MODE_UNKNOWN])
    expect(run.state == run.initial, "no switch", run)
    # After the switch's acknowledgement, a touch without the lead-in.
    ack = "55414da3a4a5a6a7a8a9"
    run = emu(["--fault", f"1:reply:{ack}aa54a20900090000a8a9", *RAW], ["--raw", "1"])
    expect(run.status == 0 and run.out == "5, 6\n", "only the controller's touch", run)

if __name__ == "__main__":
    sys.exit(tp.main(sys.argv))
