#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Guards: promises to users that only a misbehaving line, stream or process puts to the test.

Usage: guards.py GROUP TPANEL_EMU TAVRINSET LINE_SHIM SIGNAL_AUDIT

LINE_SHIM is preloaded into tavrinset to make its serial device misbehave as real ones do
(tests/shim/line_shim.cpp); SIGNAL_AUDIT into tpanel-emu to log every signal it sends
(tests/shim/signal_audit.cpp).
"""
import fcntl
import os
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing of ours lands in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import tpanel as tp
from tpanel import case, expect

TOUCHES = ["--touch", "512,730", "--touch", "1,2", "--touch", "4095,0"]
SCALING_X = "55 53 58 00 00 20 03 00 00 00"

def run_emu(emu_args, command, **kw):
    return tp.EMU.run(emu_args, command=command, **kw)

def asan_options():
    # An instrumented tool wants its sanitizer runtime first; the shim does not mind.
    given = os.environ.get("ASAN_OPTIONS", "")
    return (given + ":" if given else "") + "verify_asan_link_order=0"

def shimmed(emu_args, args, faults, **kw):
    """tavrinset ARGS on a device with the line shim's FAULTS: the run and the shim's log."""
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, "shim.log")
        run = run_emu(emu_args, ["env", f"LD_PRELOAD={tp.EMU.line_shim}",
                                 f"ASAN_OPTIONS={asan_options()}",
                                 f"TPSHIM_FAULTS={','.join(faults)}", f"TPSHIM_LOG={log}",
                                 tp.EMU.tool, *args], **kw)
        return run, read_log(log)

def read_log(path):
    return open(path).read() if os.path.exists(path) else ""

@case("streams")
def closed_standard_descriptors_never_reach_the_line():
    # Started with some of 0, 1, 2 closed, the port would take the lowest free number, and
    # whatever goes to that stream (trace, coordinates) into the controller's line.
    for closed, args, want, status in [
            ("<&-", ["-D", "-w", "800"], "DS", 0),
            # the touches had nowhere to go: a write error, said where nobody reads it
            (">&- 2>&-", ["--raw", "2", "--dump"], "mMMm", 1),
            ("<&- >&- 2>&-", ["--deviation", "12", "--dump"], "fF", 0)]:
        command = ["sh", "-c", f'exec "$0" "$@" {closed}', tp.EMU.tool, *args]
        run = run_emu(TOUCHES, command)
        what = f"{closed} {args}"
        expect(run.status == status, what, run)
        expect(run.letters() == want, f"{what}: only packets on the line", run)
        expect(all(p["kind"] == "command" for p in run.packets if p["dir"] == "in"),
               f"{what}: whole packets", run)

@case("gone")
def eio_from_a_read_means_the_device_is_gone():
    # USB serial adapters report an unplug as end of file or as EIO; either ends the run at
    # once, with one message, rather than a retry for every failed read.
    run, shim = shimmed(["--fault", "1:hangup"], ["-w", "800", "-h", "600", "--mode", "touch"],
                        ["eio-at-hangup"], timeout=10)
    expect("end of file given as EIO" in shim, f"the line gave EIO\n{shim}", run)
    expect(run.status == 1 and run.took() < 3, "ended at once", run)
    expect(run.err.count("Error while") == 1 and
           "Error while reading packet: Input/output error\n" in run.err, "one message", run)

@case("gone")
def a_failed_mode_restore_fails_the_dump():
    for fault, restored in (("2:no-reply", True), ("2:hangup", False)):
        run = run_emu(["--mode", "0x05,0x0c", "--fault", fault, *TOUCHES],
                      [tp.EMU.tool, "--raw", "2"])
        expect(run.status == 1 and run.out == "512, 730\n1, 2\n", fault, run)
        expect(run.letters() == "mMM", f"{fault}: restore sent", run)
        expect((run.state["mode"] == run.initial["mode"]) == restored, f"{fault}: mode", run)

def one_packet(exchanges, hexstr):
    return [a for n in exchanges for a in ("--fault", f"{n}:reply:{hexstr}")]

@case("replies")
def a_reply_without_the_packet_that_follows_it():
    # The self-test and the mode query are answered with two packets: the first alone is
    # asked for once more; what a reply alone said still counts.
    for reply, args, status, out, sent in [
            ("555200a3a4a5a6a7a8a9", ["-D", "-w", "800"], 1, "", "DDS"),
            ("555205a3a4a5a6a7a8a9", ["-D", "-w", "800"], 255, "dmask = 5", "DD"),
            ("554fa2050ca5a6a7a8a9", ["--raw", "2"], 1, "512, 730\n1, 2\n", "mmMMm")]:
        run = run_emu([*one_packet((0, 1), reply), *TOUCHES[:4]], [tp.EMU.tool, *args])
        expect(run.status == status and run.out == out and run.letters() == sent, "", run)
        expect("Timeout while reading packet\n" in run.err, "", run)
    expect(run.sent()[3].startswith("55 4d a2 05 0c"), "the mode that was read is put back", run)

@case("open")
def line_that_refuses_the_settings_is_put_back():
    for fault, message, sign in [
            ("keeps-speed", "openPanel: device does not accept 9600 baud 8N1 raw mode\n",
             "speed kept"),
            ("readback-fails", "openPanel: Input/output error\n", "tcgetattr: EIO"),
            ("flush-fails", "openPanel: Input/output error\n", "tcflush: EIO")]:
        # line_checks: the line afterwards is exactly the line before.
        run, shim = shimmed([], ["-w", "800"], [fault])
        expect(sign in shim, f"{fault}: the device misbehaved\n{shim}", run)
        expect(run.status == 255 and run.err == message, fault, run)
        expect(run.sent() == [], f"{fault}: nothing sent", run)

@case("open")
def line_is_put_back_after_the_last_command_has_gone_out():
    # Stopped while waiting for a reply, the command may still be in the transmit queue; a
    # change of speed then would garble its end.
    run, shim = shimmed(["--fault", "1:no-reply", "--fault", "1:signal:INT"],
                        ["-w", "800", "-d", "9"], ["hold-output"])
    expect(run.status == 130 and run.sent() == [SCALING_X, "55 66" + " 00" * 8], "", run)
    expect("changed under" not in shim, f"line changed too early\n{shim}", run)
    expect("drained 10 by" in shim, f"nothing was going out at the end\n{shim}", run)

# The command writes a hundred packets and is gone; paced, the last comes in a second later,
# long after the command was reaped.
WRITE_AND_GO = ('import os; os.write(os.open(os.environ["TPANEL"], os.O_WRONLY | os.O_NOCTTY), '
                'bytes.fromhex("5566" + "00" * 8) * 100)')

@case("signals")
def emulator_signals_only_its_own_live_command():
    # A signal to a pid that has been reaped reaches whatever process has the number now: on a
    # shared machine, another run's tavrinset.
    for emu_args, command, check_line in [
            (["--pace", "--fault", "99:signal:TERM"], [sys.executable, "-c", WRITE_AND_GO],
             False),
            (["--after-touches", "INT", *TOUCHES], [tp.EMU.tool, "--raw", "-1"], True),
            (["--fault", "1:signal:TERM"], [tp.EMU.tool, "-w", "800", "-h", "600"], True)]:
        with tempfile.TemporaryDirectory() as tmp:
            log = os.path.join(tmp, "signals.log")
            env = dict(os.environ, LD_PRELOAD=tp.EMU.signal_audit, SIGNAL_AUDIT_LOG=log,
                       ASAN_OPTIONS=asan_options())
            run = run_emu(emu_args, command, env=env, check_line=check_line)
            sent = read_log(log).splitlines()
        what = f"{emu_args} {command[0]}: signals sent\n" + "\n".join(sent)
        # The command that is gone gets nothing; the others are signalled as asked.
        expect(bool(sent) == check_line, f"{what}: signals audited", run)
        for line in sent:
            if line.startswith("tpanel-emu "):
                expect(line.endswith(" child"), what, run)

@case("open")
def one_run_at_a_time_on_a_port():
    # Another run holds the port: even a shared hold keeps this one out, since two runs at
    # once would read each other's replies.
    with tp.EMU.serving() as (link, served):
        fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
        try:
            fcntl.flock(fd, fcntl.LOCK_SH)
            got = tp.call([tp.EMU.tool, "--device", link, "-w", "800"])
        finally:
            os.close(fd)
    expect(got.returncode == 255 and got.stderr == "openPanel: device is busy\n", f"{got}")
    expect(not [p for p in served.report["packets"] if p["dir"] == "in"], "nothing sent")

@case("open", "nonamespace")
def a_line_not_put_back_fails_the_run():
    run, shim = shimmed([], ["-w", "800"], ["restore-fails"], check_line=False)
    expect("restore: EIO" in shim, f"the restore failed\n{shim}", run)
    expect(run.status == 1 and run.err == "closePanel: Input/output error\n", "said", run)

@case("open")
def serial_driver_flags_put_back():
    # On a serial driver the tool asks for low latency (0x2000) and must put the flags back.
    run, shim = shimmed([], ["-w", "800"], ["serial"])
    expect(run.status == 0 and "serial flags 0x2040\n" in shim, f"asked\n{shim}", run)
    expect(shim.endswith("closed with serial flags 0x40\n"), f"put back\n{shim}", run)

if __name__ == "__main__":
    sys.exit(tp.main(sys.argv))
