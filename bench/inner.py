#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs inside tpanel-emu's namespace, where /dev/tpanel is the emulated line.
Usage: inner.py REPEAT sample|nosample CMD [ARG...] [; CMD [ARG...]]...
Runs each command REPEAT times, interleaved, and prints one JSON object per run with its wall
time, CPU time and (with sample) peak resident memory."""
import json
import resource
import subprocess
import sys
import time


def peak_rss(pid):
    """The process's own peak resident size so far (after exec), or None once it is gone.
    The children's figure from getrusage would count this interpreter's pages from the fork."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def main():
    repeat = int(sys.argv[1])
    sample = sys.argv[2] == "sample"
    commands, current = [], []
    for arg in sys.argv[3:]:
        if arg == ";":
            commands.append(current)
            current = []
        else:
            current.append(arg)
    commands.append(current)
    for _ in range(repeat):
        for index, cmd in enumerate(commands):
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            start = time.perf_counter()
            proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            peak = None
            if sample:
                # Sampling costs the run up to 20 ms of wall time: only for the long waits.
                while proc.poll() is None:
                    peak = peak_rss(proc.pid) or peak
                    time.sleep(0.02)
            proc.wait()
            wall = time.perf_counter() - start
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            print(json.dumps({
                "command": index, "status": proc.returncode, "wall": wall,
                "user": after.ru_utime - before.ru_utime, "sys": after.ru_stime - before.ru_stime,
                "peakRssKiB": peak,
            }), flush=True)


if __name__ == "__main__":
    main()
