#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End-to-end cases of the packet transport: the device going away, a stop signal, and full
configurations on a line like the hardware's, where a finger held on the panel keeps the
controller talking and a byte can be lost."""
import sys

sys.dont_write_bytecode = True  # nothing of ours lands in the source tree
from harness import GONE, case, emu, expect, main, patched

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
            expect(len(messages(run)) == 1 and messages(run)[0] in GONE,
                   f"{what}: exactly one message", run)
            expect(run.elapsed < 1.5, f"{what}: at once", run)


@case("gone")
def device_gone_during_the_self_test():
    run = emu(["--fault", "0:hangup"], ["-D", "-w", "800", "-m", "default"])
    expect(run.status == 1 and run.out == "", "status, and no mask printed", run)
    expect(letters(run) == ["D"], "nothing sent after it", run)
    expect(len(messages(run)) == 1 and messages(run)[0] in GONE, "one message", run)
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


# --- a finger held on the panel, on a line like the hardware's ------------------------------

# What the full configuration asks for, as the controller keeps it.
ASKED = {"scaling": {"x": [0, 800], "y": [0, 600]},
         "calibration": {"x": [100, 3900], "y": [100, 3900]},
         "filter": {"slen": 4}, "report": {"untouch": 5},
         "mode": {"reportFlags": 0x07, "processFlags": 0x4e}}
# The bytes a write-back changes in the reply it is built from.
WRITE_BACKS = {"f": {3: 4}, "b": {2: 5}}


def state_as_asked(run, group):
    return all(run.state[group][k] == v for k, v in ASKED[group].items())


def write_backs_ok(run):
    """Every write-back is the reply to the query just before it, with only the named bytes
    changed; only queries are asked again; nothing else is sent."""
    sent = run.sent()
    got = letters(run)
    i = 0
    for letter in FULL_LETTERS:
        if letter in "FB":
            continue
        expect(i < len(got), f"stopped before {letter}", run)
        if letter in WRITE_BACKS:
            asked = 0
            while i < len(got) and got[i] == letter:
                asked += 1
                i += 1
            expect(1 <= asked <= 2, f"'{letter}' asked {asked} times", run)
            group = "filter" if letter == "f" else "report"
            if i < len(got) and got[i] not in "bM":
                replies = [p for p in run.answers(i - 1) if p["kind"] == "reply"]
                expect(replies, f"write-back {sent[i]} after a query answered by no whole "
                       "reply", run)
                reply = replies[0]["hex"]
                expect(sent[i] == patched(reply, WRITE_BACKS[letter]),
                       f"write-back {sent[i]} is not the reply {reply} with "
                       f"{WRITE_BACKS[letter]}", run)
                i += 1
            else:
                expect(run.state[group] == run.initial[group], f"{group} half done", run)
                continue
        else:
            expect(got[i] == letter, f"sent {got[i]} for {letter}", run)
            i += 1
    expect(i == len(got), f"more sent than the configuration: {got[i:]}", run)


def held_configuration(adapter, hold):
    run = emu(["--hold", hold, "--adapter", adapter], FULL)
    write_backs_ok(run)
    done = all(state_as_asked(run, g) for g in ASKED)
    expect(run.status == (0 if done else 1), f"status {run.status}, all done: {done}", run)
    return run


# A finger at line rate: the line is never quiet, and the reports come back to back with the
# replies. X 341 reads 0x55 in its low byte, where a lead-in could be.
HOLDS = ["300,400", "341,400"]
RUNS = 6


def mostly_done(runs, least, what):
    """Every run has passed the checks that always hold. The emulator paces bytes from user
    space, and a stall under load longer than a pause, in the middle of a packet while the
    boundaries are being found, is a real gap on the line: it can cost a query (status 1,
    nothing written back), never a wrong write-back. So a run may fall short now and then."""
    done = sum(run.status == 0 for run in runs)
    expect(done >= least, f"{what}: {done} of {len(runs)} runs did everything asked",
           next((run for run in runs if run.status != 0), None))


@case("held")
def held_finger_on_a_uart():
    for hold in HOLDS:
        runs = [held_configuration("uart", hold) for _ in range(RUNS)]
        mostly_done(runs, RUNS - 1, f"uart, finger at {hold}")


@case("held")
def held_finger_behind_a_usb_adapter_in_low_latency():
    # What the tool asks of the driver at open: the adapter then hands bytes over every 1 ms.
    for hold in HOLDS:
        runs = [held_configuration("usb:1", hold) for _ in range(RUNS)]
        mostly_done(runs, RUNS - 1, f"usb:1, finger at {hold}")


@case("held")
def held_finger_behind_a_usb_adapter_at_16_ms():
    # The adapter's own latency timer, which a pseudo-terminal gives the tool no way to see or
    # lower: its bursts are further apart than a pause, and while the boundaries are being
    # found each one looks like a packet boundary. A query can then fail for good (how often
    # depends on the tool's own timing), but nothing is written back that is not the reply it
    # answers, and the status says so.
    for hold in HOLDS:
        for _ in range(RUNS):
            held_configuration("usb", hold)


# --- bytes on their way when the line was opened --------------------------------------------

@case("stale")
def bytes_on_the_wire_before_the_first_command():
    # The controller was halfway through sending when the tool opened the line. A UART's FIFO
    # hands the rest over only after the first command has gone out, yet it was on the wire
    # before that, and answers nothing.
    for args in (FULL, ["--raw", "1", "-p"]):
        for _ in range(3):
            run = emu(["--adapter", "uart", "--pending", "20", *TOUCHES[:2]], args)
            expect(run.status == 0, "all done", run)
            if args == FULL:
                write_backs_ok(run)
                expect(all(state_as_asked(run, g) for g in ASKED), "all as asked", run)
            else:
                # The mode query may be asked twice: what was passed over before its reply
                # leaves the boundaries in doubt until the line has shown its timing.
                switch = letters(run).index("M")
                expect(set(letters(run)[:switch]) == {"m"} and switch <= 2,
                       "the mode asked at most twice", run)
                reply, raw = run.reply(switch - 1).split(), run.sent()[switch].split()
                expect(raw[2] == reply[2] and raw[5:] == reply[5:],
                       "raw mode built from the reply to the mode query", run)
                expect(run.state["mode"] == run.initial["mode"], "mode put back", run)


# --- a byte lost on the line ---------------------------------------------------------------

def lost_byte(emu_args, exchange, query, k):
    """Byte k of the reply to a query goes missing: the query is asked again, and nothing is
    written back that is not the reply it answers."""
    run = emu(["--adapter", "uart", "--fault", f"{exchange}:drop:{k}", *emu_args], FULL)
    write_backs_ok(run)
    done = all(state_as_asked(run, g) for g in ASKED)
    expect(run.status == (0 if done else 1), f"status {run.status}, all done: {done}", run)
    expect(letters(run).count(query) == 2, f"'{query}' asked again", run)
    return run


# Not run by CTest: about one run in two hundred (more in a sanitizer build, or under load)
# still writes back a reply that lost a byte. The reply's nine bytes and the next report's
# lead-in are read in one go, and when the next read comes late, its gap passes for a pause
# that shows where the reply ends. Run it by hand: transport.py lost-busy TPANEL_EMU TAVRINSET
@case("lost-busy")
def byte_lost_from_a_reply_on_a_busy_line():
    # The held finger's next report follows at once: the chain shows the count slipped.
    runs = [lost_byte(["--hold", "300,400"], exchange, query, k)
            for _ in range(5) for query, exchange in (("f", 4), ("b", 6)) for k in range(10)]
    mostly_done(runs, len(runs) - 5, "byte lost under a held finger")


@case("lost")
def byte_lost_from_a_reply_on_a_quiet_line():
    # Nothing follows the nine bytes: the reply time runs out, then the query is asked again.
    for k in (0, 5, 9):
        run = lost_byte([], 4, "f", k)
        expect(run.status == 0, "all done", run)
        expect(run.elapsed < 2 + 1.5, "one reply time lost, no more", run)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
