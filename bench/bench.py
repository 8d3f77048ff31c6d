#!/usr/bin/env python3
"""Measures what a Kestrin update costs beyond its fixed two seconds of pauses.

Usage: bench/bench.py [--rounds N] [--big-mib N] [--mid-mib N] [--long-mib N] [--dir DIR] PATH-TO-KESTRIN

What the user waits for is the new launcher's start, so every command is
timed from its own start to the launcher's: the launcher is a script run by
`touch`, which stamps the launcher file with the time it reads from the clock
once started (a fixed time after the launcher's execve, the same in every
command), and the time before the command's start is read here. Side by side, the commands in a new random order
every round, medians over the rounds:
  - the copy phase of a successful update of a large launcher (the time to the
    launcher's start less the run's 2000 ms of pauses) against a careful shell
    replacement (cp, chmod, sync, mv, rm) and against a plain one (cp, rm), each
    starting the launcher after it;
  - the overhead of a successful update of a 1 MiB launcher, and of a 64 MiB
    one (a copy that fits in the first pause), over `sleep 2 && ./launcher`;
  - how long the program runs on after the launcher's start: it watches the
    launcher for a second at most, until it ends, and this one ends at once;
  - the program's peak memory (maximum resident set) at both sizes, with a
    launcher smaller than the program (the launcher's end is waited for and
    counts);
  - how long the launcher's path is empty: from the start of the rename that
    moves the old launcher aside to the end of the one that puts the new one
    in place (strace -ttt -T), at both sizes; never, where one exchange of
    names does both;
  - how far each fixed pause overshoots: from the line that starts it to the
    next line, or to the start of the launcher (strace -ttt -T);
  - whether the staged copy is flushed before the swap, and the folder
    between the last rename and the success line;
  - whether the download's name is gone before the success line (renamed
    beside the launcher, the folder flushed after that) and its blocks freed
    only after that line, in the pause that follows;
  - whether the backup's remover is made ready in the pause after the
    "Starting" line, and asked for the removal only after the launcher's
    start;
  - what the program check costs (the reads of the staged copy's and the old
    launcher's first 64 KiB, under strace), at the large size;
  - what a copy that outlasts the first pause costs (1 GiB): how much longer
    that pause lasts than the copy and its flush.
It builds nothing; it prints one table with the goal beside each figure.
"""

import argparse
import datetime
import fcntl
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
# Each replacement starts the launcher after it, as the program does; a copy
# made by cp has the download's mode, which does not let it run.
CAREFUL = ("cp launcher.new launcher.tmp && chmod 755 launcher.tmp && sync launcher.tmp && mv -f launcher.tmp launcher"
           " && rm launcher.new && ./launcher")
PLAIN = "cp launcher.new launcher && rm launcher.new && ./launcher"
BASELINE = "sleep 2 && ./launcher"
# The launcher's first line: the system runs `touch -d"1000 seconds ago" PATH`
# for it, which stamps the file with the clock as touch read it, less 1000 s.
# A stamp of "now" touch would leave to the system, which keeps the time only
# to the last timer tick (4 ms here); 1000 s back, the stamp of a launcher
# that did not run lies far from the command's time and is told apart.
STAMP_BACK_NS = 1000 * 10**9
STARTS_AND_STAMPS = f"#!{shutil.which('touch') or '/usr/bin/touch'} -d1000 seconds ago\n".encode()
# Of the same length, for the peak memory: a launcher that starts, ends at
# once and is smaller than the program, whose end is waited for and counts.
STARTS_ONLY = b"#!/bin/true".ljust(len(STARTS_AND_STAMPS) - 1) + b"\n"


def make_content(path, size):
    # A launcher that stamps its start and ends at once, padded with random
    # bytes, so that starting it costs every run the same and leaves nothing
    # running.
    with open(path, "wb") as out:
        out.write(STARTS_AND_STAMPS)
        left = size - len(STARTS_AND_STAMPS)
        while left > 0:
            chunk = min(left, 8 * MIB)
            out.write(os.urandom(chunk))
            left -= chunk


def prepare(folder, old_master, new_master):
    # The last run's files are settled once it lets other updaters in: the
    # backup goes after the run, in a process of its own that holds the lock.
    lock = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    fcntl.flock(lock, fcntl.LOCK_EX)
    os.close(lock)
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


def cache_launcher(folder):
    """Reads the old launcher into memory, where the program's new one is, just
    written, and the one a replacement by cp is: run by the baseline, it must
    not be read from the disk first."""
    with open(os.path.join(folder, "launcher"), "rb") as launcher:
        while launcher.read(8 * MIB):
            pass


def timed(command, folder):
    """Seconds from one command's start to the launcher's, and from there to
    the command's end. The launcher's stamp is of the same clock."""
    launcher = os.path.join(folder, "launcher")
    start = time.clock_gettime_ns(time.CLOCK_REALTIME)
    status = subprocess.run(command, cwd=folder, stdout=subprocess.DEVNULL).returncode
    end = time.clock_gettime_ns(time.CLOCK_REALTIME)
    if status != 0:
        sys.exit(f"bench: {command} failed with status {status}")
    started = os.stat(launcher).st_mtime_ns + STAMP_BACK_NS
    if not start <= started <= end:
        sys.exit(f"bench: {command} did not start the launcher")
    return (started - start) / 1e9, (end - started) / 1e9


def peak_memory_kib(command, folder):
    """Maximum resident set of one command, in KiB. A child of this Python
    process would count the interpreter's pages copied at the fork, so a
    small program in between starts it and reports it. The children that the
    command waits for count too: the launchers are made ones that take less
    memory than the program."""
    for name in ("launcher", "launcher.new"):
        with open(os.path.join(folder, name), "r+b") as launcher:
            launcher.write(STARTS_ONLY)
    report = os.path.join(os.path.dirname(folder), "time.txt")
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + command, cwd=folder,
                   stdout=subprocess.DEVNULL, check=True)
    with open(report) as lines:
        return int(lines.read().split()[-1])


TRACED = ["write", "openat", "renameat2", "rename", "fsync", "unlink", "unlinkat", "pread64", "clone", "clone3",
          "vfork"]


def traced(kestrin, folder):
    """Runs one update under strace; returns [(start, call, arguments, result, seconds)]."""
    log = os.path.join(os.path.dirname(folder), "strace.log")
    subprocess.run(["strace", "-ttt", "-T", "-s", "400", "-e", "trace=" + ",".join(TRACED), "-o", log,
                    kestrin, "launcher", "launcher.new"], cwd=folder, stdout=subprocess.DEVNULL, check=True)
    found = []
    pattern = re.compile(r"^([0-9.]+) (\w+)\((.*)\)\s+= (-?\d+).*<([0-9.]+)>$")
    with open(log) as lines:
        for line in lines:
            match = pattern.match(line.strip())
            if match:
                found.append((float(match.group(1)), match.group(2), match.group(3), int(match.group(4)),
                              float(match.group(5))))
    os.unlink(log)
    return found


def timeline(calls):
    """What one traced run shows: how long the launcher's path was empty, how
    far each pause overshot, whether the staged copy was flushed before the
    swap and the folder before the success line, whether the download's name
    went before that line and its blocks after it, how long the program check
    took, and how much longer the first pause lasted than the copy."""
    def first(call, text=""):
        return next(c for c in calls if c[1] == call and text in c[2])

    def end(c):
        return c[0] + c[4]

    aside = next(c for c in calls if c[1].startswith("rename") and "~kestrin-backup" in c[2])
    into_place = next(c for c in calls if c[1].startswith("rename") and "~kestrin-staging" in c[2])
    waiting, trying = first("write", "Waiting for launcher"), first("write", "Trying to remove")
    done, run = first("write", "Update finished"), first("write", "Starting ")
    # The launcher is started by vfork; the process that removes the backup,
    # made ready in the pause before that, by fork.
    def starts_launcher(c):
        return c[1] == "vfork" or (c[1] in ("clone", "clone3") and "CLONE_VFORK" in c[2])

    start = next(c for c in calls if starts_launcher(c) and c[0] > run[0])
    success = first("write", "renamed successfully")
    staging = next(c for c in calls if c[1] == "openat" and "~kestrin-staging" in c[2] and "O_CREAT" in c[2])
    staged_flush = next(c for c in calls if c[1] == "fsync" and c[2] == str(staging[3]) and staging[0] < c[0])
    staged_flushed = staged_flush[0] < into_place[0]
    flushed = any(c[1] == "fsync" and end(into_place) <= c[0] < success[0] for c in calls)
    # The download's name goes in one rename, made to last, before the
    # success line; its blocks are freed after it, before the "Starting" line.
    renamed = [c for c in calls if c[1].startswith("rename") and '"launcher.new"' in c[2]]
    download_gone = (len(renamed) == 1 and end(into_place) <= renamed[0][0] and end(renamed[0]) <= success[0] and
                     any(c[1] == "fsync" and end(renamed[0]) <= c[0] < success[0] for c in calls))
    freed = [c for c in calls if c[1].startswith("unlink") and ("~kestrin-staging" in c[2] or "launcher.new" in c[2])]
    freed_later = len(freed) == 1 and end(success) <= freed[0][0] and end(freed[0]) <= run[0]
    # The backup's remover is made ready in the pause after the "Starting"
    # line and asked, in one byte, only once the launcher has started.
    clones = ("clone", "clone3", "vfork")
    remover_ready = any(c[1] in clones and not starts_launcher(c) and end(run) <= c[0] < start[0] for c in calls)
    remover_told = any(c[1] == "write" and c[2].endswith('"r", 1') and end(start) <= c[0] for c in calls)
    reads = [c for c in calls if c[1] == "pread64"]
    check = end(reads[-1]) - reads[0][0] if reads else 0.0
    beyond_copy = trying[0] - max(end(waiting) + 0.5, end(staged_flush))
    overshoots = (trying[0] - end(waiting) - 0.5, run[0] - end(done) - 0.5, start[0] - end(run) - 1.0)
    # Swapped in one step, the launcher's path was never empty.
    empty = 0.0 if "RENAME_EXCHANGE" in into_place[2] else end(into_place) - aside[0]
    return (empty, [value * 1000 for value in overshoots], staged_flushed and flushed, download_gone and freed_later,
            remover_ready and remover_told, check * 1000, (end(staged_flush) - end(waiting)) * 1000,
            beyond_copy * 1000)


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
    parser.add_argument("--mid-mib", type=int, default=64, help="size of a launcher whose copy fits in the first pause")
    parser.add_argument("--long-mib", type=int, default=1024, help="size of a launcher whose copy outlasts it")
    parser.add_argument("--dir", default=".", help="where the scratch folder goes (its file system is measured)")
    options = parser.parse_args()
    kestrin = os.path.abspath(options.kestrin)
    big = options.big_mib * MIB
    mid = options.mid_mib * MIB
    long = options.long_mib * MIB
    small = 1 * MIB

    scratch = os.path.abspath(tempfile.mkdtemp(prefix="kestrin-bench.", dir=options.dir))
    try:
        folder = os.path.join(scratch, "run")
        os.mkdir(folder)
        masters = {}
        for size in sorted({small, mid, big, long}):
            masters[size] = (os.path.join(scratch, f"old-{size}"), os.path.join(scratch, f"new-{size}"))
            for path in masters[size]:
                make_content(path, size)

        # Let the writing of the masters settle, and warm up every command
        # once, before anything is counted.
        os.sync()
        times = {name: [] for name in ("kestrin-big", "careful", "plain", "kestrin-mid", "kestrin-small", "sleep")}
        ends = {name: [] for name in times}
        commands = (
            ("kestrin-big", [kestrin, "launcher", "launcher.new"], big),
            ("careful", ["sh", "-c", CAREFUL], big),
            ("plain", ["sh", "-c", PLAIN], big),
            ("kestrin-mid", [kestrin, "launcher", "launcher.new"], mid),
            ("kestrin-small", [kestrin, "launcher", "launcher.new"], small),
            ("sleep", ["sh", "-c", BASELINE], small),
        )
        for round_number in range(options.rounds + 1):
            # A new order every round, so that no command always follows the same one.
            for name, command, size in random.sample(commands, len(commands)):
                prepare(folder, *masters[size])
                if name == "sleep":
                    cache_launcher(folder)
                to_start, to_end = timed(command, folder)
                if round_number > 0:
                    times[name].append(to_start)
                    ends[name].append(to_end)

        peak = {}
        for size in (small, big):
            prepare(folder, *masters[size])
            peak[size] = peak_memory_kib([kestrin, "launcher", "launcher.new"], folder) / 1024

        windows, overshoots, flushed, download_gone, checks, copies, beyond = [], [], [], [], [], [], []
        backup_later = []
        for _ in range(max(1, options.rounds // 2)):
            for kind, size in (("small", small), ("big", big), ("long", long)):
                prepare(folder, *masters[size])
                window, overshoot, flush, gone, later, check, copy, beyond_copy = timeline(traced(kestrin, folder))
                flushed.append(flush)
                download_gone.append(gone)
                backup_later.append(later)
                if kind == "long":
                    copies.append(copy)
                    beyond.append(beyond_copy)
                    continue
                windows.append(window)
                overshoots.append(overshoot)
                if kind == "big":
                    checks.append(check)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    median = {name: statistics.median(values) for name, values in times.items()}
    end_median = {name: statistics.median(values) * 1000 for name, values in ends.items()}
    copy_phase = median["kestrin-big"] - sum(PAUSES_MS) / 1000
    careful = median["careful"]
    plain = median["plain"]
    overhead_ms = (median["kestrin-small"] - median["sleep"]) * 1000
    mid_overhead_ms = (median["kestrin-mid"] - median["sleep"]) * 1000
    worst_overshoots = [max(run[i] for run in overshoots) for i in range(3)]
    # How a copy that outlasts the first pause costs: that pause ends when
    # the copy and its flush do, no later.
    outlasts = statistics.median(copies) > PAUSES_MS[0]

    rows = [
        (f"copy phase to the launcher's start, {options.big_mib} MiB: Kestrin / careful cp+chmod+sync+mv+rm, then "
         "the launcher",
         f"{copy_phase / careful:.2f} ({copy_phase * 1000:.0f} ms / {careful * 1000:.0f} ms)", "<= 0.10"),
        (f"copy phase to the launcher's start, {options.big_mib} MiB: Kestrin / plain cp+rm, then the launcher",
         f"{copy_phase / plain:.2f} ({copy_phase * 1000:.0f} ms / {plain * 1000:.0f} ms)", "for the record"),
        ("overhead over `sleep 2 && ./launcher`, to the launcher's start, 1 MiB",
         f"{overhead_ms:.1f} ms ({median['kestrin-small'] * 1000:.1f} ms / {median['sleep'] * 1000:.1f} ms)",
         "<= 1.5 ms"),
        (f"overhead over `sleep 2 && ./launcher`, to the launcher's start, {options.mid_mib} MiB",
         f"{mid_overhead_ms:.1f} ms ({median['kestrin-mid'] * 1000:.1f} ms / {median['sleep'] * 1000:.1f} ms)",
         "<= 3 ms"),
        ("Kestrin's own end after the launcher's start, 1 MiB (the watch, up to 1 s, ends when the launcher "
         "ends; this one ends at once)",
         f"{end_median['kestrin-small']:.1f} ms (`sleep 2 && ./launcher`: {end_median['sleep']:.1f} ms)",
         "for the record"),
        (f"launcher's path empty (strace, first rename to end of second), 1 and {options.big_mib} MiB",
         f"{max(windows) * 1000:.3f} ms at most" if max(windows) > 0 else "never: the names are swapped in one step",
         "< 1 ms"),
        ("peak memory, 1 MiB", f"{peak[small]:.1f} MiB", "<= 4 MiB"),
        (f"peak memory, {options.big_mib} MiB", f"{peak[big]:.1f} MiB", "<= 4 MiB, as at 1 MiB"),
        ("pause overshoot, 500 / 500 / 1000 ms", " / ".join(f"{value:.2f} ms" for value in worst_overshoots)
         + " at most", "< 2 ms each"),
        (f"first pause beyond the copy and its flush, {options.long_mib} MiB (copy ends "
         f"{statistics.median(copies):.0f} ms after the line)",
         f"{max(beyond):.2f} ms at most" if outlasts else "the copy fit in the pause", "< 2 ms"),
        (f"program check (first 64 KiB of the staged copy and of the old launcher, strace), {options.big_mib} MiB",
         f"{max(checks):.2f} ms at most", "inside the first pause"),
        ("staged copy flushed before the swap, folder before the success line", "yes" if all(flushed) else "no",
         "yes"),
        ("download's name gone before the success line (one rename, folder flushed), its blocks freed after it",
         "yes" if all(download_gone) else "no", "yes"),
        ("backup's removal made ready in the pause before the start, asked for after it",
         "yes" if all(backup_later) else "no", "yes"),
    ]
    print(f"Kestrin benchmark, {datetime.date.today()}, {machine()}, {file_system(options.dir)}; "
          f"medians of {options.rounds} rounds")
    print()
    print("| figure | measured | goal |")
    print("|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()
