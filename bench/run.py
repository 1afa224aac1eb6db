#!/usr/bin/env python3
"""Benchmarks upfirst and tallymill against reference programs.

Every figure is a ratio of medians over runs interleaved in this one
invocation, in alternating order, so that a busy or slow machine moves both
sides alike.  The
corpus is made afresh on tmpfs (/dev/shm), keeping disk write-back out of
the figures.  Usage: bench/run.py [--rounds N] [--only upfirst|tallymill]
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


def sh(*cmd, **kw):
    subprocess.run(cmd, check=True, **kw)


def build(work):
    """The portable Release build of both programs, and the references."""
    sh("cmake", "--preset", "release", cwd=ROOT, stdout=subprocess.DEVNULL)
    sh("cmake", "--build", "--preset", "release", "--target", "upfirst", "tallymill",
       cwd=ROOT, stdout=subprocess.DEVNULL)
    bins = {"upfirst": os.path.join(ROOT, "build/release/upfirst"),
            "tallymill": os.path.join(ROOT, "build/release/tallymill")}
    for name in ("baseline", "tally_ref", "tally_floor"):
        out = os.path.join(work, name)
        sh("cc", "-O2", "-pthread", "-o", out, os.path.join(HERE, name + ".c"))
        bins[name] = out
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


def timed(cmd, cwd, stdout=subprocess.DEVNULL):
    """Wall time in seconds and peak resident memory in KiB of one run."""
    t0 = time.perf_counter()
    r = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, cwd=cwd, stdout=stdout,
                       stderr=subprocess.PIPE, text=True)
    elapsed = time.perf_counter() - t0
    if r.returncode != 0:
        sys.exit(f"bench: {' '.join(cmd[:2])}: exit status {r.returncode}: {r.stderr}")
    return elapsed, int(r.stderr.strip().splitlines()[-1])


def remove_copies(d):
    for name in os.listdir(d):
        if name.endswith("_CAPIT.txt") or name.endswith(".dd"):
            os.remove(os.path.join(d, name))


def interleave(cases, rounds, warm_up):
    """Runs every (key, dir, command) case once per round, forwards in even
    rounds and backwards in odd ones, so that what one run leaves behind for
    the next falls on every command alike.  Returns the median seconds and
    the median peak resident memory in MiB of each case."""
    runs = {key: [] for key, _, _ in cases}
    mem = {key: [] for key, _, _ in cases}
    for r in range(rounds):
        for key, d, cmd in (cases if r % 2 == 0 else cases[::-1]):
            if warm_up:
                # The first run after other work pays for memory that the
                # machine (a virtual one, here) has to hand back to tmpfs;
                # an untimed run first makes every timed run start alike.
                remove_copies(d)
                timed(cmd, d)
            remove_copies(d)
            t, m = timed(cmd, d)
            runs[key].append(t)
            mem[key].append(m)
        print(f"  round {r + 1}/{rounds}: " + ", ".join(f"{k} {v[-1]:.3f}s" for k, v in runs.items()),
              file=sys.stderr)
    return ({k: statistics.median(v) for k, v in runs.items()},
            {k: statistics.median(v) / 1024 for k, v in mem.items()})


def bench_upfirst(bins, work, rounds):
    big_dir = os.path.join(work, "big")
    many_dir = os.path.join(work, "many")
    os.mkdir(big_dir)
    os.mkdir(many_dir)
    with open(os.path.join(big_dir, "big.txt"), "wb") as f:
        f.write(text(256 * MiB, 1))
    sed_size = 16 * MiB
    with open(os.path.join(big_dir, "small.txt"), "wb") as f:
        f.write(text(sed_size, 2))
    many = [f"f{i:03}.txt" for i in range(999)]
    for i, name in enumerate(many):
        with open(os.path.join(many_dir, name), "wb") as f:
            f.write(text(256 * 1024, 100 + i % 7))

    cases = [
        ("dd", big_dir, ["dd", "if=big.txt", "of=big.txt.dd", "bs=128K", "status=none"]),
        ("up_big", big_dir, [bins["upfirst"], "big.txt"]),
        ("base_big", big_dir, [bins["baseline"], "big.txt"]),
        ("sed", big_dir, ["sed", "-E", r"s/(^| )([a-z])/\1\u\2/g", "small.txt"]),
        ("up_many", many_dir, [bins["upfirst"]] + many),
        ("base_many", many_dir, [bins["baseline"]] + many),
    ]
    med, peak = interleave(cases, rounds, warm_up=True)
    sed_scaled = med["sed"] * (256 * MiB / sed_size)
    rows = [
        ("256 MiB file: upfirst / dd bs=128K", med["up_big"] / med["dd"], "<= 1.3"),
        ("256 MiB file: upfirst / line-at-a-time baseline", med["up_big"] / med["base_big"], "<= 0.25"),
        ("256 MiB file: upfirst / sed -E (scaled from 16 MiB)", med["up_big"] / sed_scaled, ""),
        ("999 files of 256 KiB: upfirst / baseline", med["up_many"] / med["base_many"], "<= 0.6"),
    ]
    print("\n| upfirst | median ratio | target |\n|---|---|---|")
    for name, ratio, target in rows:
        print(f"| {name} | {ratio:.3f} | {target} |")
    print("\n| peak resident memory | upfirst | baseline | target |\n|---|---|---|---|")
    print(f"| 256 MiB file | {peak['up_big']:.1f} MiB | {peak['base_big']:.1f} MiB | <= 8 MiB |")
    print(f"| 999 files | {peak['up_many']:.1f} MiB | {peak['base_many']:.1f} MiB | <= 4 x baseline "
          f"({peak['up_many'] / peak['base_many']:.2f} x) |")
    print(f"\nmedian seconds: dd {med['dd']:.3f}, upfirst {med['up_big']:.3f}, baseline "
          f"{med['base_big']:.3f}, sed {med['sed']:.3f} for 16 MiB; 999 files: upfirst "
          f"{med['up_many']:.3f}, baseline {med['base_many']:.3f}")


def bench_tallymill(bins, work, rounds):
    cases = [(key, work, [bins[key]]) for key in ("tallymill", "tally_ref", "tally_floor")]
    med, peak = interleave(cases, rounds, warm_up=False)
    print("\n| tallymill | median ratio | target |\n|---|---|---|")
    print(f"| tallymill / straightforward C rendering | {med['tallymill'] / med['tally_ref']:.3f} | <= 1.1 |")
    print(f"| tallymill / one uncontended thread (floor) | {med['tallymill'] / med['tally_floor']:.3f} | |")
    print(f"| peak memory: tallymill / rendering | {peak['tallymill'] / peak['tally_ref']:.3f} "
          f"({peak['tallymill']:.1f} / {peak['tally_ref']:.1f} MiB) | <= 1 |")
    print(f"\nmedian seconds: tallymill {med['tallymill']:.3f}, rendering {med['tally_ref']:.3f}, "
          f"floor {med['tally_floor']:.3f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--only", choices=("upfirst", "tallymill"))
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="upfirst-bench.", dir="/dev/shm")
    try:
        bins = build(work)
        print(f"machine: {os.cpu_count()} cores; {args.rounds} interleaved rounds")
        if args.only in (None, "upfirst"):
            bench_upfirst(bins, work, args.rounds)
        if args.only in (None, "tallymill"):
            bench_tallymill(bins, work, args.rounds)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
