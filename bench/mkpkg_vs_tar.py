#!/usr/bin/env python3
"""Packages the same files with `mkpkg build` and with `tar -cf`, in the same run, in two
cases: one large source file (300 MB) and a tree of many files of mixed sizes (200 MB in
2,000 files). Reports, for each case, the wall-time ratio mkpkg/tar and mkpkg's peak memory
against the goal of 16 MB plus the package header.

usage: mkpkg_vs_tar.py MKPKG [--large-mb 300] [--tree-mb 200] [--files 2000] [--rounds 3]
Goals: wall time at most 2 times tar's; peak memory at most 16 MB + the header.
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import tempfile
import time

from install_vs_tar import make_tree


def timed(command, cwd):
    """Wall time in seconds and peak resident memory in bytes of one run, as GNU time
    reports it for the command alone."""
    report = os.path.join(cwd, "time-report")
    start = time.perf_counter()
    subprocess.run(["/usr/bin/time", "-o", report, "-f", "%M"] + command, cwd=cwd,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True)
    elapsed = time.perf_counter() - start
    with open(report) as f:
        peak_kb = int(f.read().split()[-1])
    os.remove(report)
    return elapsed, peak_kb * 1024


def write_large(path, size):
    block = os.urandom(1 << 20)
    with open(path, "wb") as f:
        for _ in range(size >> 20):
            f.write(block)
        f.write(block[: size & ((1 << 20) - 1)])


def compare(mkpkg, source, entries, rounds, label):
    """Both tools on the same files; each round runs tar then mkpkg, from a warm cache."""
    manifest = os.path.join(source, "manifest.txt")
    with open(manifest, "w") as f:
        f.write("appname = Bench\n")
        for relative in entries:
            f.write(f"file {relative} = {relative}\n")
    package = os.path.join(source, "..", "bench.rpm")
    archive = os.path.join(source, "..", "bench.tar")
    payload = sum(os.path.getsize(os.path.join(source, e)) for e in entries)
    tars, builds = [], []
    for _ in range(rounds):
        tars.append(timed(["tar", "-cf", archive] + entries, source))
        builds.append(timed([mkpkg, "build", package, "manifest.txt"], source))
    listing = subprocess.run([mkpkg, "list", package], capture_output=True, text=True)
    if listing.returncode != 0:
        raise SystemExit(f"{label}: mkpkg list finds the package damaged:\n{listing.stdout}")
    header = os.path.getsize(package) - payload
    build_time = statistics.median(t for t, _ in builds)
    tar_time = statistics.median(t for t, _ in tars)
    build_peak = max(m for _, m in builds)
    tar_peak = max(m for _, m in tars)
    memory_goal = (16 << 20) + header
    ratio = build_time / tar_time
    print(f"{label}: {payload / 1e6:.1f} MB in {len(entries)} files, header {header} bytes, "
          f"{rounds} rounds (median wall time)")
    print(f"  mkpkg build: {build_time:.3f} s, peak {build_peak / 1e6:.1f} MB")
    print(f"  tar -cf:     {tar_time:.3f} s, peak {tar_peak / 1e6:.1f} MB")
    print(f"  wall time ratio mkpkg/tar: {ratio:.2f} "
          f"(goal <= 2: {'met' if ratio <= 2 else 'NOT met'})")
    print(f"  mkpkg peak memory / (16 MB + header): {build_peak / memory_goal:.2f} "
          f"(goal <= 1: {'met' if build_peak <= memory_goal else 'NOT met'})")
    os.remove(package)
    os.remove(archive)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mkpkg")
    parser.add_argument("--large-mb", type=int, default=300)
    parser.add_argument("--tree-mb", type=int, default=200)
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    mkpkg = os.path.abspath(args.mkpkg)

    work = tempfile.mkdtemp(prefix="nuvex-bench-", dir=os.environ.get("BENCH_DIR"))
    try:
        large = os.path.join(work, "large")
        os.makedirs(large)
        write_large(os.path.join(large, "large.bin"), args.large_mb << 20)
        compare(mkpkg, large, ["large.bin"], args.rounds, "one large file")
        shutil.rmtree(large)

        tree = os.path.join(work, "tree")
        entries = make_tree(tree, args.files, args.tree_mb << 20, random.Random(42))
        compare(mkpkg, tree, entries, args.rounds, "a tree of files")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
