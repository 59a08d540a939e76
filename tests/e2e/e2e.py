#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End-to-end cases: the real tavrinset against the controller emulator."""
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import time
import tty
import types

sys.dont_write_bytecode = True  # nothing of ours lands in the source tree
from harness import Run, case, emu, expect, line_checks, main, patched, trace
import harness

LETTER, AXIS = 1, 2
ZEROS = "00 00 00 00 00"


def letters(run):
    return [chr(int(h.split()[LETTER], 16)) for h in run.sent()]


def write_back_ok(run, query, changes):
    """The write-back after exchange `query` is its reply with only `changes` made."""
    reply = run.reply(query)
    expect(run.sent()[query + 1] == patched(reply, changes),
           f"write-back of {reply} with {changes}", run)


# --- every operation's exact packets ------------------------------------------------------

@case("operations")
def scaling_and_calibration():
    for args, packet, key, value in [
            (["--width", "800"], "55 53 58 00 00 20 03 00 00 00", "scaling", {"x": [0, 800]}),
            (["--height", "600"], "55 53 59 00 00 58 02 00 00 00", "scaling", {"y": [0, 600]}),
            (["--ylow", "150", "--yhigh", "900"], "55 43 59 96 00 84 03 00 00 00",
             "calibration", {"y": [150, 900]}),
            (["--xhigh", "950"], "55 43 58 00 00 b6 03 00 00 00", "calibration",
             {"x": [0, 950]}),
            (["-x", "-1", "-X", "65535"], "55 43 58 ff ff ff ff 00 00 00", "calibration",
             {"x": [-1, -1]})]:
        run = emu([], args)
        expect(run.status == 0 and run.sent() == [packet], f"{args}", run)
        expect(len(run.answers(0)) == 1, "one reply read", run)
        want = dict(run.initial[key], **value)
        expect(run.state[key] == want, f"{key} after {args}", run)


@case("operations")
def filter_parameters():
    run = emu(["--filter", "7,16,5"], ["--deviation", "12"])
    expect(run.status == 0 and run.sent()[0] == "55 66 " + ZEROS + " 00 00 00", "query", run)
    write_back_ok(run, 0, {4: 12})
    expect(run.state["filter"] == {"slen": 7, "deviation": 12, "states": 5}, "filter", run)
    run = emu([], ["--states", "3", "--slen", "4", "--deviation", "200"])
    write_back_ok(run, 0, {3: 4, 4: 200, 5: 3})
    expect(run.state["filter"] == {"slen": 4, "deviation": 200, "states": 3}, "filter", run)
    expect(len(run.sent()) == 2, "query and write-back only", run)


@case("operations")
def report_parameters():
    run = emu(["--report", "9,33"], ["--untouch", "5"])
    expect(run.status == 0 and run.sent()[0] == "55 62 " + ZEROS + " 00 00 00", "query", run)
    write_back_ok(run, 0, {2: 5})
    expect(run.state["report"] == {"untouch": 5, "repeat": 33}, "report", run)
    run = emu([], ["--repeat", "255"])
    write_back_ok(run, 0, {3: 255})
    expect(run.state["report"]["untouch"] == run.initial["report"]["untouch"], "kept", run)


@case("operations")
def mode():
    for words, packet, flags in [
            ("touch,scale", "55 4d 00 01 08 " + ZEROS, (1, 8)),
            ("default", "55 4d 00 07 4e " + ZEROS, (7, 0x4e)),
            ("stream,untouch,trim,calib,tracking", "55 4d 00 06 46 " + ZEROS, (6, 0x46)),
            ("initial,scaling", "55 4d 00 01 08 " + ZEROS, (1, 8))]:
        run = emu([], ["--mode", words])
        expect(run.status == 0 and run.sent() == [packet], words, run)
        got = run.state["mode"]
        expect((got["reportFlags"], got["processFlags"]) == flags, words, run)


@case("operations")
def dump_only_opens_and_closes():
    run = emu([], ["-p"])
    expect(run.status == 0 and run.sent() == [] and run.err == "", "-p alone", run)


# --- the typical run, and the fixed order -------------------------------------------------

TYPICAL = ["--width", "800", "--height", "600", "--mode", "touch,scale", "--dump"]


@case("order")
def typical_run_exact_trace():
    run = emu([], TYPICAL)
    expect(run.status == 0 and run.out == "", "status and stdout", run)
    expect(run.sent() == ["55 53 58 00 00 20 03 00 00 00", "55 53 59 00 00 58 02 00 00 00",
                          "55 4d 00 01 08 " + ZEROS], "packets", run)
    expect(len(run.packets) == 6, "three exchanges of one packet each way", run)
    expect(run.err == trace(run), "trace", run)
    expect(run.err.startswith("--> 55 53 58 00 00 20 03 00 00 00 \tU S X . . . . . . . \n"),
           "trace line format", run)
    expect(run.state["scaling"] == {"x": [0, 800], "y": [0, 600]}, "scaling", run)
    expect(run.state["mode"] == {"reportFlags": 1, "processFlags": 8}, "mode", run)


@case("order")
def order_of_options_does_not_matter():
    typical = emu([], TYPICAL)
    shuffled = emu([], ["--mode", "touch,scale", "--dump", "--height", "600", "-w", "800"])
    expect(shuffled.sent() == typical.sent(), "same packets", shuffled)
    run = emu([], ["--mode", "default", "-R", "9", "-u", "2", "-S", "3", "-d", "4", "-s", "5",
                   "-Y", "900", "-y", "100", "-X", "3900", "-x", "200", "-h", "600", "-w", "800"])
    expect(run.status == 0, "status", run)
    got = [(c, chr(int(h.split()[AXIS], 16)) if c in "SC" else "")
           for c, h in zip(letters(run), run.sent())]
    want = [("S", "X"), ("S", "Y"), ("C", "X"), ("C", "Y"), ("f", ""), ("F", ""), ("b", ""),
            ("B", ""), ("M", "")]
    expect(got == want, f"order {got}", run)


# --- line settings, pending input ---------------------------------------------------------

@case("line")
def line_put_back_on_every_path():
    # The checks of every run (harness.line_checks) do the work; these are the paths.
    paths = [([], TYPICAL, 0),
             (["--touch", "1,2"], ["--raw", "1"], 0),
             (["--selftest-failures", "1"], ["-D", "-w", "800"], 255),
             (["--fault", "0:no-reply"], ["-w", "800"], 1),
             (["--fault", "1:signal:TERM"], ["-w", "800", "-h", "600", "--mode", "touch"], 143),
             (["--fault", "0:signal:HUP"], ["-d", "4"], 129)]
    for emu_args, args, status in paths:
        run = emu(emu_args, args)
        expect(run.status == status, f"{emu_args} {args}", run)
        expect(run.report["lineAfter"] is not None, "line readable after", run)


@case("line")
def signal_lets_no_further_packet_out():
    run = emu(["--fault", "1:signal:TERM"], ["-w", "800", "-h", "600", "--mode", "touch"])
    expect(run.status == 143 and len(run.sent()) == 2, "stopped after the second packet", run)


@case("line")
def pending_input_discarded_at_open():
    for pending in (7, 13, 30):
        run = emu(["--pending", str(pending)], ["--width", "800", "--deviation", "12", "-p"])
        expect(run.status == 0 and run.err == trace(run), f"{pending} bytes pending", run)
        write_back_ok(run, 1, {4: 12})


@case("line")
def nine_thousand_six_hundred_baud():
    run = emu(["--pace"], ["-w", "800", "-d", "3"])
    expect(run.status == 0, "status", run)
    ins = [p for p in run.packets if p["dir"] == "in"]
    for p in ins:
        out = run.answers(p["exchange"])[0]
        expect(out["ms"] - p["ms"] >= 10.0, "a reply takes ten byte times", run)
    expect(run.elapsed >= 0.06, "six packets on the line", run)


# --- self-test ----------------------------------------------------------------------------

@case("selftest")
def passes():
    run = emu([], ["-D", "--width", "800"])
    expect(run.status == 0 and run.out == "", "status", run)
    expect(run.sent() == ["55 44 0f 00 00 " + ZEROS, "55 53 58 00 00 20 03 00 00 00"], "", run)
    expect(len(run.answers(0)) == 2, "two packets after the self-test", run)


@case("selftest")
def fails():
    run = emu(["--selftest-failures", "0x05"], ["-D", "--width", "800", "--mode", "touch"])
    expect(run.status == 255 and run.out == "dmask = 5", "status and mask", run)
    expect(run.err == "Selfdiagnostics failed!\n", "message", run)
    expect(run.sent() == ["55 44 0f 00 00 " + ZEROS], "nothing after the self-test", run)
    expect(run.state == run.initial, "controller untouched", run)


@case("selftest")
def unreadable_reply_fails():
    run = emu(["--fault", "0:short:2", "--fault", "1:short:2"], ["-D", "--width", "800"])
    expect(run.status == 255 and run.out == "dmask = f", "the request's mask stands", run)
    expect("Timeout while reading packet" in run.err and "Selfdiagnostics failed!" in run.err,
           "messages", run)
    expect(len(run.sent()) == 2 and run.elapsed < 6, "asked twice, bounded", run)


@case("selftest")
def a_reply_cut_short_once_is_asked_again():
    run = emu(["--fault", "0:short:2"], ["-D", "--width", "800"])
    expect(run.status == 0 and run.out == "" and run.err == "", "passed", run)
    expect(run.sent()[:2] == ["55 44 0f 00 00 " + ZEROS] * 2, "asked again", run)


# --- raw dump ---------------------------------------------------------------------------

TOUCHES = ["--touch", "512,730", "--foreign", "Q", "--touch", "1,2", "--foreign", "t",
           "--touch", "4095,0", "--touch", "7,7"]


def raw_packets_ok(run, mode_reply_from=0):
    query, switch, restore = run.sent()[0], run.sent()[1], run.sent()[-1]
    reply = run.reply(mode_reply_from)
    expect(query == "55 6d 00 00 00 " + ZEROS, "mode query", run)
    expect(len(run.answers(0)) == 2, "two packets after the query", run)
    expect(switch == patched(reply, {1: ord("M"), 3: 1, 4: 0}), "raw mode switch", run)
    expect(restore == patched(reply, {1: ord("M"), 5: 0, 6: 0, 7: 0, 8: 0, 9: 0}), "restore",
           run)
    expect(run.state["mode"] == run.initial["mode"], "mode put back", run)


@case("raw")
def count_and_foreign_packets():
    run = emu(["--mode", "0x05,0x0c", *TOUCHES], ["--raw", "3", "--width", "800", "--dump"])
    expect(run.status == 0 and run.out == "512, 730\n1, 2\n4095, 0\n", "three lines", run)
    expect(len(run.sent()) == 3, "no scaling packet", run)
    raw_packets_ok(run)
    expect("<-- 55 51 a2" in run.err, "the foreign packet is traced", run)


@case("raw")
def ctrl_c_puts_mode_back():
    for sig, status in (("INT", 130), ("TERM", 143)):
        run = emu(["--after-touches", sig, *TOUCHES], ["--raw", "-1"])
        expect(run.status == status, f"SIG{sig}", run)
        expect(run.out == "512, 730\n1, 2\n4095, 0\n7, 7\n", "every touch printed", run)
        raw_packets_ok(run)


@case("raw")
def signal_to_the_emulator_reaches_the_command():
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "report.json")
        start = time.monotonic()
        proc = subprocess.Popen(harness.emu_argv([f"--json={path}", "--touch", "5,6"],
                                                 [harness.TOOL, "--raw", "-1"], tmp),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                stdin=subprocess.DEVNULL)
        first = proc.stdout.readline()  # the dump is under way
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=30)
        with open(path) as f:
            run = Run(types.SimpleNamespace(returncode=proc.returncode, stdout=first + out,
                                            stderr=err), json.load(f), time.monotonic() - start)
    line_checks(run)
    expect(run.status == 143 and run.out == "5, 6\n", "ended by the signal", run)
    raw_packets_ok(run)


@case("raw")
def hang_up_ends_it():
    run = emu(["--after-touches", "hangup", *TOUCHES], ["--raw", "-1"])
    expect(run.status == 1 and run.out.count("\n") == 4 and run.elapsed < 2, "ended", run)
    expect(run.report["lineAfter"] is None, "line hung up", run)


@case("raw")
def unreadable_mode_query():
    run = emu(["--fault", "0:short:5", "--fault", "1:short:5", *TOUCHES], ["--raw", "2"])
    expect(run.status == 1 and run.out == "", "status", run)
    expect(run.err.endswith("Raw dump not started: mode unknown\n"), "message", run)
    expect(len(run.sent()) == 2, "asked twice, no mode switch", run)


# --- faults ---------------------------------------------------------------------------------

@case("faults")
def no_reply():
    run = emu(["--fault", "0:no-reply"], ["--width", "800", "--height", "600"])
    expect(run.status == 1 and "Timeout while reading packet\n" in run.err, "timeout", run)
    expect(1.9 < run.elapsed < 4, "about two seconds", run)
    expect(run.state["scaling"]["y"] == [0, 600], "the next operation still ran", run)


@case("faults")
def short_filter_reply():
    run = emu(["--fault", "0:short:4", "--fault", "1:short:4"], ["--deviation", "12", "--untouch", "5"])
    expect(run.status == 1 and "Filter parameters not changed\n" in run.err, "message", run)
    expect(letters(run) == ["f", "f", "b", "B"], "no filter write-back", run)
    expect(run.state["filter"] == run.initial["filter"], "filter untouched", run)
    expect(run.state["report"]["untouch"] == 5, "report still set", run)


@case("faults")
def short_report_reply():
    run = emu(["--fault", "0:short:9", "--fault", "1:short:9"], ["--untouch", "5"])
    expect(run.status == 1 and run.err.endswith("Report parameters not changed\n"), "", run)
    expect(letters(run) == ["b", "b"] and run.state == run.initial, "nothing written back", run)


@case("faults")
def late_reply():
    run = emu(["--fault", "0:delay:400"], ["--width", "800", "--deviation", "12"])
    expect(run.status == 0 and run.elapsed >= 0.4, "waited", run)
    write_back_ok(run, 1, {4: 12})
    run = emu(["--fault", "0:delay:2600"], ["--deviation", "12"])
    expect(run.status == 1 and "Filter parameters not changed" in run.err, "too late", run)
    expect(letters(run) == ["f"] and run.elapsed < 2.6, "gave up at two seconds", run)


@case("faults")
def unsolicited_packets_do_not_shift_replies():
    for fault in ("extra", "touch-before"):
        run = emu(["--fault", f"0:{fault}", "--fault", f"1:{fault}", "--fault", f"2:{fault}"],
                  ["--deviation", "12", "--untouch", "5", "--dump"])
        expect(run.status == 0, fault, run)
        write_back_ok(run, 0, {4: 12})
        write_back_ok(run, 2, {2: 5})
        if fault == "touch-before":
            expect(run.err == trace(run), "touch reports traced and passed over", run)


@case("faults")
def hang_up():
    run = emu(["--fault", "1:hangup"], ["-w", "800", "-h", "600", "--mode", "touch"])
    expect(run.status == 1 and run.elapsed < 2, "ends at once", run)


# --- bad command lines ----------------------------------------------------------------------

@case("usage")
def bad_command_lines_touch_nothing():
    for args in (["--widht", "800"], ["800"], ["-w", "80x"], ["-w", ""], ["--mode", "foo"],
                 ["--slen", "300"], ["-H"], ["--width"], ["--mode", ""],
                 ["-w", "800", "--raw", "abc"], ["-D", "-w", "70000"]):
        run = emu([], args)
        expect(run.status == 2 and run.sent() == [], f"{args}", run)
        expect(run.err.endswith("Try 'tavrinset --help' for more information.\n"), "hint", run)


@case("usage")
def help_and_no_arguments():
    for args in (["--help"], [], ["-w", "800", "--help"]):
        run = emu([], args)
        expect(run.status == 0 and run.sent() == [], f"{args}", run)
        expect(run.out.startswith("tavrinset - Tavrin touchscreen configuration utility\n"),
               "usage text", run)


# --- the emulator itself --------------------------------------------------------------------

def plain(*args):
    args = list(args)
    with tempfile.TemporaryDirectory() as tmp:
        # A command after "--" runs in whichever way this machine allows.
        argv = ([harness.EMU, *args] if "--" not in args else
                harness.emu_argv(args[:args.index("--")], args[args.index("--") + 1:], tmp))
        return subprocess.run(argv, capture_output=True, text=True, timeout=30,
                              stdin=subprocess.DEVNULL)


@case("emulator")
def version_and_help():
    tool = subprocess.run([harness.TOOL, "--version"], capture_output=True, text=True)
    got = plain("--version")
    expect(got.returncode == 0 and got.stdout == tool.stdout.replace("tavrinset", "tpanel-emu"),
           f"{got.stdout!r}")
    usage = plain("--help")
    expect(usage.returncode == 0 and "--fault N:short:K" in usage.stdout, usage.stdout)


@case("emulator")
def bad_options_run_nothing():
    with tempfile.TemporaryDirectory() as tmp:
        marker = os.path.join(tmp, "ran")
        for args, named in ((["--bogus"], "--bogus"), (["--fault", "1:short:10"], "--fault"),
                            (["--touch", "1"], "--touch"), (["--foreign", "T"], "--foreign"),
                            (["--mode", "1,2,3"], "--mode"), (["--pending", "-1"], "--pending"),
                            (["--after-touches", "NOPE"], "--after-touches"),
                            (["--json=" + tmp + "/no/such/dir"], tmp)):
            got = plain(*args, "--", "touch", marker)
            expect(got.returncode == 125 and named in got.stderr, f"{args}: {got.stderr}")
            expect(not os.path.exists(marker), "the command did not run")
        got = plain("--pace")
        expect(got.returncode == 125 and "no command" in got.stderr, got.stderr)


@case("emulator")
def statuses_of_the_command():
    for command, status in ((["sh", "-c", "exit 7"], 7), (["sh", "-c", "kill -TERM $$"], 143),
                            (["no-such-command-here"], 127), (["/dev/null"], 126)):
        got = plain("--quiet", "--", *command)
        expect(got.returncode == status, f"{command}: {got.returncode} {got.stderr}")


@case("emulator")
def starting_state_and_text_report():
    run = emu(["--scaling-x", "10,20", "--scaling-y", "0x10,-5", "--calibration-x", "1,2",
               "--calibration-y", "3,4", "--filter", "1,2,3", "--report", "4,5",
               "--mode", "6,7", "--selftest-failures", "8"], ["--slen", "9"])
    expect(run.initial == {"scaling": {"x": [10, 20], "y": [16, -5]},
                           "calibration": {"x": [1, 2], "y": [3, 4]},
                           "filter": {"slen": 1, "deviation": 2, "states": 3},
                           "report": {"untouch": 4, "repeat": 5},
                           "mode": {"reportFlags": 6, "processFlags": 7},
                           "selfTestFailures": 8}, "starting state", run)
    expect(run.state["filter"] == {"slen": 9, "deviation": 2, "states": 3}, "write-back", run)
    text = plain("--", harness.TOOL, "--width", "640")
    expect(text.returncode == 0 and "scaling      X 0..640" in text.stderr and
           "line after: exactly as before" in text.stderr, text.stderr)


@case("emulator", private_dev=True)
def link():
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "tpanel")
        got = plain("--quiet", "--link", path, "--", "sh", "-c",
                    f'test -L {path} && test -c {path} && test -c /dev/tpanel')
        expect(got.returncode == 0 and not os.path.lexists(path), f"link: {got.stderr}")
        open(path, "w").close()
        got = plain("--quiet", "--link", path, "--", "true")
        expect(got.returncode == 125 and os.path.isfile(path), "an existing file is kept")


@case("emulator")
def serves_a_link_until_stopped():
    with tempfile.TemporaryDirectory() as tmp:
        link, path = os.path.join(tmp, "tpanel"), os.path.join(tmp, "report.json")
        proc = subprocess.Popen([harness.EMU, f"--json={path}", "--link", link],
                                stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.lexists(link) and time.monotonic() < deadline:
            time.sleep(0.01)
        fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)
        os.write(fd, bytes.fromhex("55 6d 00 00 00 00 00 00 00 00"))
        got = b""
        while len(got) < 20 and select.select([fd], [], [], 5)[0]:
            got += os.read(fd, 20 - len(got))
        os.close(fd)
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=30)
        with open(path) as f:
            report = json.load(f)
    expect(proc.returncode == 0 and not os.path.lexists(link), "stopped, link removed")
    replies = [bytes.fromhex(p["hex"]) for p in report["packets"] if p["dir"] == "out"]
    expect(len(got) == 20 and replies == [got[:10], got[10:]], f"{got.hex()} {report}")


@case("emulator")
def no_namespace_is_status_77():
    # A user namespace of our own where no further one may be made, and no capabilities.
    wrap = ["unshare", "-U", "-r", "sh", "-c",
            'echo 0 >/proc/sys/user/max_user_namespaces && exec setpriv --bounding-set=-all '
            '"$0" --quiet -- true', harness.EMU]
    try:
        got = subprocess.run(wrap, capture_output=True, text=True, timeout=30)
    except FileNotFoundError:
        return
    if "unshare" in got.stderr and got.returncode != 77:
        return  # user namespaces are not available here at all
    expect(got.returncode == 77 and "needs root" in got.stderr, f"{got.returncode} {got.stderr}")


if __name__ == "__main__":
    sys.exit(main(sys.argv))
