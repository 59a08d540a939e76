#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End-to-end cases of the packet transport: the device going away, a stop signal, and
configurations on a line where the controller talks on its own."""
import sys

sys.dont_write_bytecode = True  # nothing of ours lands in the source tree
from harness import case, emu, expect, main

LETTER = 1
# Every setting there is, in the order the tool makes its exchanges.
FULL = ["-w", "800", "-h", "600", "-x", "100", "-X", "3900", "-y", "100", "-Y", "3900",
        "-s", "4", "-u", "5", "-m", "default"]
FULL_LETTERS = ["S", "S", "C", "C", "f", "F", "b", "B", "M"]
TOUCHES = ["--touch", "512,730", "--touch", "1,2", "--touch", "4095,0"]


def letters(run):
    return [chr(int(h.split()[LETTER], 16)) for h in run.sent()]


def messages(run):
    """What the tool said on standard error, packet traces left out."""
    return [line for line in run.err.splitlines() if not line.startswith(("--> ", "<-- "))]


# --- the device goes away -----------------------------------------------------------------

@case("gone")
def device_gone_during_a_configuration():
    # The line closes instead of each answer in turn: queries, write-backs and commands alike.
    for n, letter in enumerate(FULL_LETTERS):
        for dump in ([], ["--dump"]):
            run = emu(["--fault", f"{n}:hangup"], FULL + dump)
            what = f"hang-up at exchange {n} ({letter}) {dump}"
            expect(run.status == 1, what, run)
            expect(letters(run) == FULL_LETTERS[:n + 1], f"{what}: nothing sent after it", run)
            expect(messages(run) == ["Error while reading packet: end of file"],
                   f"{what}: exactly one message", run)
            expect(run.elapsed < 1.5, f"{what}: at once", run)


@case("gone")
def device_gone_during_the_self_test():
    run = emu(["--fault", "0:hangup"], ["-D", "-w", "800", "-m", "default"])
    expect(run.status == 1 and run.out == "", "status, and no mask printed", run)
    expect(letters(run) == ["D"], "nothing sent after it", run)
    expect(messages(run) == ["Error while reading packet: end of file"], "one message", run)
    expect(run.elapsed < 1.5, "at once", run)


@case("gone")
def device_gone_halfway_through_a_reply():
    # Part of the filter reply came, then the line closed: still the one message.
    run = emu(["--fault", "4:short:6", "--fault", "4:hangup"], FULL)
    expect(run.status == 1 and letters(run) == FULL_LETTERS[:5], "stopped at the query", run)
    expect(len(messages(run)) == 1, "one message", run)


# --- SIGQUIT is a stop signal ---------------------------------------------------------------

@case("quit")
def quit_during_the_raw_dump():
    run = emu(["--after-touches", "QUIT", *TOUCHES], ["--raw", "-1"])
    expect(run.status == 131, "status 128+SIGQUIT", run)
    expect(run.report["ended"] == "exited with status 131", "ended cleanly, no core", run)
    expect(run.out == "512, 730\n1, 2\n4095, 0\n", "every touch printed", run)
    expect(letters(run) == ["m", "M", "M"], "query, raw mode, restore", run)
    expect(run.state["mode"] == run.initial["mode"], "mode put back", run)
    # The harness has checked that the line is as it was found.


@case("quit")
def quit_during_a_configuration():
    run = emu(["--fault", "1:signal:QUIT"], ["-w", "800", "-h", "600", "--mode", "touch"])
    expect(run.status == 131, "status 128+SIGQUIT", run)
    expect(run.report["ended"] == "exited with status 131", "ended cleanly, no core", run)
    expect(letters(run) == ["S", "S"], "stopped after the packet it was in", run)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
