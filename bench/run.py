#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Benchmarks upfirst and tallymill against reference programs.

Every figure is a ratio of medians over runs interleaved in this one
invocation, in alternating order, so that a busy or slow machine moves both
sides alike.  upfirst is timed in memory (tmpfs, /dev/shm) and on a disk
directory (the default temporary directory, or --disk); every timed run
follows an untimed one of the same command, so that each finds the machine
in the same state, and on disk it starts after a sync and only the command
is timed.

Usage: bench/run.py [--rounds N] [--only upfirst|scale|tallymill]
                    [--disk DIR] [--upfirst PATH] [--before PATH]
"""
import argparse
import functools
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
MiB = 1 << 20
MANY = [f"f{i:03}.txt" for i in range(999)]
# Short names, so that 100 000 of them fit on one command line.
SCALE = [f"{i:05}" for i in range(100000)]


def sh(*cmd, **kw):
    subprocess.run(cmd, check=True, **kw)


def build(work):
    """The portable Release build of both programs, and the references."""
    sh("cmake", "--preset", "release", cwd=ROOT, stdout=subprocess.DEVNULL)
    sh("cmake", "--build", "--preset", "release", "--target", "upfirst", "tallymill",
       cwd=ROOT, stdout=subprocess.DEVNULL)
    bins = {"upfirst": os.path.join(ROOT, "build/release/upfirst"),
            "tallymill": os.path.join(ROOT, "build/release/tallymill")}
    for name in ("baseline", "copy", "threads", "tally_ref", "tally_floor"):
        out = os.path.join(work, name)
        sh("cc", "-O2", "-pthread", "-o", out, os.path.join(HERE, name + ".c"))
        bins[name] = out
    bins["threads64"] = os.path.join(work, "threads64")
    sh("cc", "-O2", "-pthread", "-DSTACK=65536", "-o", bins["threads64"],
       os.path.join(HERE, "threads.c"))
    return bins


@functools.lru_cache(maxsize=None)
def chunk(seed):
    """1 MiB of English-like text: words of 1 to 12 letters, lines of about
    70 bytes."""
    rng = random.Random(seed)
    words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(1, 12)))
             for _ in range(5000)]
    parts, line, total = [], 0, 0
    while total < MiB:
        w = rng.choice(words)
        line += len(w) + 1
        sep = "\n" if line > 70 else " "
        if sep == "\n":
            line = 0
        parts.append(w + sep)
        total += len(w) + 1
    return "".join(parts).encode()[:MiB]


def text(size, seed):
    """size bytes of the chunk of this seed, repeated."""
    c = chunk(seed)
    return (c * -(-size // len(c)))[:size]


def make_corpus(place):
    """place/big: one 256 MiB file and a 16 MiB one for sed; place/many: 999
    files of 256 KiB."""
    big, many = os.path.join(place, "big"), os.path.join(place, "many")
    os.mkdir(big)
    os.mkdir(many)
    with open(os.path.join(big, "big.txt"), "wb") as f:
        f.write(text(256 * MiB, 1))
    with open(os.path.join(big, "small.txt"), "wb") as f:
        f.write(text(16 * MiB, 2))
    for i, name in enumerate(MANY):
        with open(os.path.join(many, name), "wb") as f:
            f.write(text(256 * 1024, 100 + i % 7))
    return big, many


def make_scale(work):
    """work/scale: 100 000 files of 1 KiB, and the list of their names for
    xargs; work/scale999: 999 files of the same kind."""
    dirs = os.path.join(work, "scale"), os.path.join(work, "scale999")
    small = text(1024, 3)
    for d, names in zip(dirs, (SCALE, SCALE[:999])):
        os.mkdir(d)
        for name in names:
            with open(os.path.join(d, name), "wb") as f:
                f.write(small)
    with open(os.path.join(work, "scale.names"), "w") as f:
        f.write("\0".join(SCALE) + "\0")
    return dirs


def clean(d):
    """Removes every output of the commands, and leaves cp an empty target."""
    for name in os.listdir(d):
        p = os.path.join(d, name)
        if name == "cp.out":
            shutil.rmtree(p)
        elif name.endswith(("_CAPIT.txt", ".dd", ".cp")):
            os.remove(p)
    os.mkdir(os.path.join(d, "cp.out"))


def timed(cmd, cwd):
    """Wall time in seconds and peak resident memory in KiB of one run."""
    t0 = time.perf_counter()
    r = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, cwd=cwd, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, text=True)
    elapsed = time.perf_counter() - t0
    if r.returncode != 0:
        sys.exit(f"bench: {' '.join(cmd[:2])}: exit status {r.returncode}: {r.stderr}")
    return elapsed, int(r.stderr.strip().splitlines()[-1])


def interleave(cases, rounds, warm_up):
    """Runs every (key, dir, command, sync) case once per round, forwards in
    even rounds and backwards in odd ones, so that what one run leaves
    behind for the next falls on every command alike.  Returns the median
    seconds and the median peak resident memory in MiB of each case, and
    the seconds of every run."""
    runs = {key: [] for key, *_ in cases}
    mem = {key: [] for key, *_ in cases}
    for r in range(rounds):
        for key, d, cmd, sync in (cases if r % 2 == 0 else cases[::-1]):
            if warm_up:
                # The first run after other work pays for memory that the
                # machine (a virtual one, here) has to hand back; an
                # untimed run first makes every timed run start alike.
                clean(d)
                timed(cmd, d)
            clean(d)
            if sync:
                os.sync()
            t, m = timed(cmd, d)
            runs[key].append(t)
            mem[key].append(m)
        print(f"  round {r + 1}/{rounds}: " + ", ".join(f"{k} {v[-1]:.3f}" for k, v in runs.items()),
              file=sys.stderr)
    return ({k: statistics.median(v) for k, v in runs.items()},
            {k: statistics.median(v) / 1024 for k, v in mem.items()}, runs)


def cpu():
    """The CPU's name, and the transformation that upfirst picks on it."""
    name, flags = "unknown CPU", set()
    with open("/proc/cpuinfo") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key.strip() == "model name":
                name = value.strip()
            elif key.strip() == "flags":
                flags = set(value.split())
    return name, "AVX2" if "avx2" in flags else "generic (SSE2)"


def fs_type(d):
    return subprocess.run(["df", "--output=fstype", d], capture_output=True,
                          text=True).stdout.split()[-1]


def bench_upfirst(bins, places, rounds):
    med, peak = {}, {}
    for place, (big, many), sync in places:
        cases = []

        def add(name, d, cmd):
            cases.append((f"{place} {name}", d, cmd, sync))
        add("dd", big, ["dd", "if=big.txt", "of=big.txt.dd", "bs=128K", "status=none"])
        add("cp", big, ["cp", "big.txt", "big.txt.cp"])
        add("copy", big, [bins["copy"], "big.txt"])
        add("upfirst", big, [bins["upfirst"], "big.txt"])
        if "before" in bins:
            add("before", big, [bins["before"], "big.txt"])
        add("baseline", big, [bins["baseline"], "big.txt"])
        if place == "tmpfs":
            add("sed", big, ["sed", "-E", r"s/(^| )([a-z])/\1\u\2/g", "small.txt"])
        add("many copy", many, [bins["copy"]] + MANY)
        add("many cp", many, ["cp", "-t", "cp.out"] + MANY)
        add("many threads", many, [bins["threads"]] + MANY)
        add("many threads64", many, [bins["threads64"]] + MANY)
        add("many upfirst", many, [bins["upfirst"]] + MANY)
        if "before" in bins:
            add("many before", many, [bins["before"]] + MANY)
        add("many baseline", many, [bins["baseline"]] + MANY)
        # Each place is interleaved on its own: the disk's write-back must
        # not fall into a run in memory.
        m, p, _ = interleave(cases, rounds, warm_up=True)
        med.update(m)
        peak.update(p)

    names = [p for p, _, _ in places]
    print("\n| upfirst: median ratio | " + " | ".join(names) + " | target |")
    print("|---|" + "---|" * len(names) + "---|")

    def row(label, num, den, target=""):
        cells = [f"{med[f'{p} {num}'] / med[f'{p} {den}']:.3f}" for p in names]
        print(f"| {label} | " + " | ".join(cells) + f" | {target} |")
    row("256 MiB file: upfirst / dd bs=128K", "upfirst", "dd", "<= 1.12 (tmpfs), <= 1.2 (disk)")
    row("256 MiB file: upfirst / serial read/write copy", "upfirst", "copy")
    row("256 MiB file: upfirst / cp", "upfirst", "cp")
    row("256 MiB file: upfirst / line-at-a-time baseline", "upfirst", "baseline", "<= 0.25")
    row("999 files of 256 KiB: upfirst / serial copy", "many upfirst", "many copy",
        "<= 2.3 (tmpfs), <= 1.4 (disk)")
    row("999 files: upfirst / cp", "many upfirst", "many cp")
    row("999 files: threads and log alone / serial copy", "many threads", "many copy")
    cells = [f"{med[f'{p} many upfirst'] / (med[f'{p} many threads64'] + med[f'{p} many copy']):.3f}"
             for p in names]
    print("| 999 files: upfirst / (threads with 64 KiB stacks and log + serial copy) | "
          + " | ".join(cells) + " | <= 1.1 |")
    row("999 files: upfirst / baseline", "many upfirst", "many baseline", "<= 0.6")
    if "before" in bins:
        row("256 MiB file: upfirst / previous release", "upfirst", "before", "<= 1.02")
        row("999 files: upfirst / previous release", "many upfirst", "many before", "<= 0.9")
    if "tmpfs" in names:
        sed = med["tmpfs sed"] * 16
        print(f"\nsed -E on tmpfs, scaled from 16 MiB: {sed:.2f} s for 256 MiB, "
              f"upfirst / sed {med['tmpfs upfirst'] / sed:.4f}")

    before = "before" in bins
    print("\n| median peak resident memory | upfirst | baseline |" + (" previous release |" if before else "")
          + "\n|---|---|---|" + ("---|" if before else ""))
    for p in names:
        for label, key in ((f"256 MiB file, {p}", ""), (f"999 files, {p}", "many ")):
            print(f"| {label} | {peak[f'{p} {key}upfirst']:.1f} MiB | {peak[f'{p} {key}baseline']:.1f} MiB |"
                  + (f" {peak[f'{p} {key}before']:.1f} MiB |" if before else ""))

    print("\nmedian seconds:")
    for p in names:
        print(f"  {p}: " + ", ".join(f"{k[len(p) + 1:]} {v:.3f}" for k, v in med.items()
                                     if k.startswith(p + " ")))


def bench_scale(bins, work, rounds):
    """upfirst over 100 000 paths in one run, against 999-path runs."""
    big, small = make_scale(work)
    up = bins["upfirst"]
    cases = [("one run", big, [up] + SCALE, False),
             ("xargs -n 999", big, ["xargs", "-0", "-n", "999", "-a",
                                    os.path.join(work, "scale.names"), up], False),
             ("999 paths", small, [up] + SCALE[:999], False)]
    if "before" in bins:
        cases.append(("one run before", big, [bins["before"]] + SCALE, False))
    med, peak, _ = interleave(cases, rounds, warm_up=False)
    per_path = (med["one run"] / len(SCALE)) / (med["999 paths"] / 999)
    print("\n| 100 000 files of 1 KiB, tmpfs | median ratio | target |\n|---|---|---|")
    print(f"| time per path: one run / a 999-path run | {per_path:.3f} | <= 1.15 |")
    print(f"| one run / xargs -n 999 upfirst | {med['one run'] / med['xargs -n 999']:.3f} | <= 1 |")
    if "before" in bins:
        print(f"| one run / the previous release's | {med['one run'] / med['one run before']:.3f} | <= 1 |")
        print(f"\nmedian peak resident memory of the previous release's run: {peak['one run before']:.1f} MiB")
    print(f"\nmedian seconds: one run {med['one run']:.3f}, xargs -n 999 {med['xargs -n 999']:.3f}, "
          f"999 paths {med['999 paths']:.3f}; median peak resident memory of one run "
          f"{peak['one run']:.1f} MiB (aim: < 64 MiB), of a 999-path run {peak['999 paths']:.1f} MiB")


def bench_tallymill(bins, work, rounds):
    cases = [(key, work, [bins[key]], False) for key in ("tallymill", "tally_ref", "tally_floor")]
    med, peak, runs = interleave(cases, rounds, warm_up=False)
    # Runs of one round are neighbours in time: their ratio is the steadier.
    pairs = statistics.median(a / b for a, b in zip(runs["tallymill"], runs["tally_ref"]))
    print("\n| tallymill | median ratio | target |\n|---|---|---|")
    print(f"| tallymill / straightforward C rendering, pair by pair | {pairs:.3f} | <= 1.02 |")
    print(f"| tallymill / straightforward C rendering | {med['tallymill'] / med['tally_ref']:.3f} | |")
    print(f"| tallymill / one uncontended thread (floor) | {med['tallymill'] / med['tally_floor']:.3f} | |")
    print(f"| peak memory: tallymill / rendering | {peak['tallymill'] / peak['tally_ref']:.3f} "
          f"({peak['tallymill']:.1f} / {peak['tally_ref']:.1f} MiB) | <= 1 |")
    print(f"\nmedian seconds: tallymill {med['tallymill']:.3f}, rendering {med['tally_ref']:.3f}, "
          f"floor {med['tally_floor']:.3f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=9)
    ap.add_argument("--only", choices=("upfirst", "scale", "tallymill"))
    ap.add_argument("--disk", default=tempfile.gettempdir(),
                    help="directory on a disk (default: %(default)s)")
    ap.add_argument("--upfirst", help="time this upfirst instead of the one built here")
    ap.add_argument("--before", help="time this upfirst too (the previous release, say), "
                    "interleaved with the one timed, and compare the two")
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="upfirst-bench.", dir="/dev/shm")
    disk = tempfile.mkdtemp(prefix="upfirst-bench.", dir=args.disk)
    try:
        bins = build(work)
        if args.upfirst:
            bins["upfirst"] = os.path.abspath(args.upfirst)
        if args.before:
            bins["before"] = os.path.abspath(args.before)
        name, simd = cpu()
        print(f"machine: {name}, {os.cpu_count()} cores; upfirst's transformation: {simd}; "
              f"disk: {args.disk} ({fs_type(disk)}); {args.rounds} interleaved rounds")
        if args.only in (None, "upfirst"):
            places = [("tmpfs", make_corpus(work), False), ("disk", make_corpus(disk), True)]
            bench_upfirst(bins, places, args.rounds)
        if args.only in (None, "scale"):
            bench_scale(bins, work, args.rounds)
        if args.only in (None, "tallymill"):
            bench_tallymill(bins, work, args.rounds)
    finally:
        shutil.rmtree(work, ignore_errors=True)
        shutil.rmtree(disk, ignore_errors=True)


if __name__ == "__main__":
    main()
