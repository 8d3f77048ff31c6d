#!/usr/bin/env python3
"""Measures what a Kestrin update costs beyond its fixed two seconds of pauses.

Usage: bench/bench.py [--rounds N] [--big-mib N] [--dir DIR] PATH-TO-KESTRIN

Side by side, the commands in a new random order every round, medians over
the rounds:
  - the copy phase of a successful update of a large launcher (the run's wall
    time less its 2000 ms of pauses) against a careful shell replacement
    (cp, sync, mv, rm) and against a plain one (cp, rm);
  - the overhead of a successful update of a 1 MiB launcher over `sleep 2`;
  - the program's peak memory (maximum resident set) at both sizes;
  - how far each fixed pause overshoots (strace -T on the sleeps);
  - how much of the copy phase the flush to the disk takes (strace -T on fsync).
It builds nothing; it prints one table with the goal beside each figure.
"""

import argparse
import datetime
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20
PAUSES_MS = (500, 500, 1000)
CAREFUL = "cp launcher.new launcher.tmp && sync launcher.tmp && mv -f launcher.tmp launcher && rm launcher.new"
PLAIN = "cp launcher.new launcher && rm launcher.new"


def make_content(path, size):
    # A launcher that starts and ends at once, padded with random bytes, so
    # that starting it costs every run the same and leaves nothing running.
    with open(path, "wb") as out:
        out.write(b"#!/bin/true\n")
        left = size - 12
        while left > 0:
            chunk = min(left, 8 * MIB)
            out.write(os.urandom(chunk))
            left -= chunk


def prepare(folder, old_master, new_master):
    for name in os.listdir(folder):
        os.unlink(os.path.join(folder, name))
    for master, name, mode in ((old_master, "launcher", 0o755), (new_master, "launcher.new", 0o644)):
        target = os.path.join(folder, name)
        shutil.copyfile(master, target)
        os.chmod(target, mode)
    # Nothing of the preparation may still be on its way to the disk while a
    # command is timed, and every command starts from the same page cache:
    # the update in memory, as one just downloaded would be, and neither the
    # masters nor the old launcher (on a machine with a small page cache,
    # whatever else it holds slows every copy down several times).
    os.sync()
    for path in (old_master, new_master, os.path.join(folder, "launcher")):
        with open(path, "rb") as cached:
            os.posix_fadvise(cached.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)
    with open(os.path.join(folder, "launcher.new"), "rb") as update:
        while update.read(8 * MIB):
            pass


def timed(command, folder):
    """Wall time in seconds of one command."""
    start = time.perf_counter()
    status = subprocess.run(command, cwd=folder, stdout=subprocess.DEVNULL).returncode
    elapsed = time.perf_counter() - start
    if status != 0:
        sys.exit(f"bench: {command} failed with status {status}")
    return elapsed


def peak_memory_kib(command, folder):
    """Maximum resident set of one command, in KiB. A child of this Python
    process would count the interpreter's pages copied at the fork, so a
    small program in between starts it and reports it."""
    report = os.path.join(os.path.dirname(folder), "time.txt")
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + command, cwd=folder,
                   stdout=subprocess.DEVNULL, check=True)
    with open(report) as lines:
        return int(lines.read().split()[-1])


def traced(kestrin, folder, calls):
    """Runs one update under strace -T; returns [(call, arguments, result, seconds)]."""
    log = os.path.join(os.path.dirname(folder), "strace.log")
    subprocess.run(["strace", "-T", "-e", "trace=" + ",".join(calls), "-o", log, kestrin, "launcher", "launcher.new"],
                   cwd=folder, stdout=subprocess.DEVNULL, check=True)
    found = []
    pattern = re.compile(r"^(\w+)\((.*)\)\s+= (-?\d+).*<([0-9.]+)>$")
    with open(log) as lines:
        for line in lines:
            match = pattern.match(line.strip())
            if match:
                found.append((match.group(1), match.group(2), int(match.group(3)), float(match.group(4))))
    os.unlink(log)
    return found


def machine():
    cpu = platform.processor()
    try:
        with open("/proc/cpuinfo") as info:
            cpu = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{platform.system()} {platform.release()} {platform.machine()}, {cpu}, {os.cpu_count()} cores"


def file_system(folder):
    found = subprocess.run(["df", "--output=fstype", folder], capture_output=True, text=True).stdout.split()
    return found[-1] if found else "?"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("kestrin", help="path to the built program")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--big-mib", type=int, default=256, help="size of the large launcher")
    parser.add_argument("--dir", default=".", help="where the scratch folder goes (its file system is measured)")
    options = parser.parse_args()
    kestrin = os.path.abspath(options.kestrin)
    big = options.big_mib * MIB
    small = 1 * MIB

    scratch = os.path.abspath(tempfile.mkdtemp(prefix="kestrin-bench.", dir=options.dir))
    try:
        folder = os.path.join(scratch, "run")
        os.mkdir(folder)
        masters = {}
        for size in sorted({small, big}):
            masters[size] = (os.path.join(scratch, f"old-{size}"), os.path.join(scratch, f"new-{size}"))
            for path in masters[size]:
                make_content(path, size)

        # Let the writing of the masters settle, and warm up every command
        # once, before anything is counted.
        os.sync()
        times = {name: [] for name in ("kestrin-big", "careful", "plain", "kestrin-small", "sleep")}
        commands = (
            ("kestrin-big", [kestrin, "launcher", "launcher.new"], big),
            ("careful", ["sh", "-c", CAREFUL], big),
            ("plain", ["sh", "-c", PLAIN], big),
            ("kestrin-small", [kestrin, "launcher", "launcher.new"], small),
            ("sleep", ["sleep", "2"], small),
        )
        for round_number in range(options.rounds + 1):
            # A new order every round, so that no command always follows the same one.
            for name, command, size in random.sample(commands, len(commands)):
                prepare(folder, *masters[size])
                elapsed = timed(command, folder)
                if round_number > 0:
                    times[name].append(elapsed)

        peak = {}
        for size in (small, big):
            prepare(folder, *masters[size])
            peak[size] = peak_memory_kib([kestrin, "launcher", "launcher.new"], folder) / 1024

        prepare(folder, *masters[small])
        sleeps = [seconds for _, _, _, seconds in traced(kestrin, folder, ["clock_nanosleep", "nanosleep"])]
        prepare(folder, *masters[big])
        calls = traced(kestrin, folder, ["fsync", "copy_file_range", "sendfile", "ioctl", "read", "write"])
        fsync_seconds = sum(seconds for call, _, _, seconds in calls if call == "fsync")
        clone_used = any(call == "ioctl" and "FICLONE" in arguments and result == 0
                         for call, arguments, result, _ in calls)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    median = {name: statistics.median(values) for name, values in times.items()}
    copy_phase = median["kestrin-big"] - sum(PAUSES_MS) / 1000
    careful = median["careful"]
    plain = median["plain"]
    overhead_ms = (median["kestrin-small"] - median["sleep"]) * 1000
    overshoots = [round((seconds * 1000) - nominal, 3) for seconds, nominal in zip(sleeps, PAUSES_MS)]

    rows = [
        (f"copy phase, {options.big_mib} MiB: Kestrin / careful cp+sync+mv+rm",
         f"{copy_phase / careful:.2f} ({copy_phase * 1000:.0f} ms / {careful * 1000:.0f} ms)", "<= 1.00"),
        (f"copy phase, {options.big_mib} MiB: Kestrin / plain cp+rm",
         f"{copy_phase / plain:.2f} ({copy_phase * 1000:.0f} ms / {plain * 1000:.0f} ms)", "none (the price of safety)"),
        (f"flush (fsync) within the copy phase, {options.big_mib} MiB",
         f"{fsync_seconds * 1000:.0f} ms ({100 * fsync_seconds / copy_phase:.0f}%)", "for the record"),
        ("overhead over `sleep 2`, 1 MiB", f"{overhead_ms:.1f} ms", "<= 3 ms"),
        ("peak memory, 1 MiB", f"{peak[small]:.1f} MiB", "<= 4 MiB"),
        (f"peak memory, {options.big_mib} MiB", f"{peak[big]:.1f} MiB", "<= 4 MiB, as at 1 MiB"),
        ("pause overshoot, 500 / 500 / 1000 ms", " / ".join(f"{value:.2f} ms" for value in overshoots), "< 2 ms each"),
    ]
    print(f"Kestrin benchmark, {datetime.date.today()}, {machine()}, {file_system(options.dir)}; "
          f"medians of {options.rounds} rounds{', data shared by a clone' if clone_used else ''}")
    print()
    print("| figure | measured | goal |")
    print("|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()
