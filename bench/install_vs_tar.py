#!/usr/bin/env python3
"""Installs a package of about 200 MB in 2,000 files of mixed sizes and, in the same run,
extracts a tar archive of the same files with `tar -xf`. Reports the ratio of wall times and
the peak memory of each.

Then installs hostile packages (millions of tiny records of each kind) and reports each peak
as a ratio to the package size and to the package size + 16 MB.

usage: install_vs_tar.py INSTALLER MKPKG [--total-mb 200] [--files 2000] [--rounds 5]
                         [--hostile-only]
Goals: wall time at most 1.5 times tar's; peak memory at most the package size + 16 MB, for
every package, hostile ones included.
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import tempfile
import time


def make_tree(root, files, total_bytes, rng):
    # Mostly small files, some medium, a few large: weights then scaled to the total.
    weights = []
    for _ in range(files):
        pick = rng.random()
        if pick < 0.80:
            weights.append(rng.uniform(1, 64))
        elif pick < 0.97:
            weights.append(rng.uniform(64, 1024))
        else:
            weights.append(rng.uniform(4096, 16384))
    scale = total_bytes / sum(weights)
    block = os.urandom(1 << 20)
    entries = []
    for i, weight in enumerate(weights):
        size = max(1, int(weight * scale))
        relative = f"out/d{i % 40:02d}/f{i:04d}.bin"
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            remaining, offset = size, i * 7919 % len(block)
            while remaining:
                chunk = block[offset:offset + remaining] or block[:remaining]
                f.write(chunk)
                remaining -= len(chunk)
                offset = 0
        entries.append(relative)
    return entries


def timed(command, cwd, check=True):
    """Wall time in seconds and peak resident memory in bytes of one run. GNU time reports the
    peak of the command alone (a child forked from Python would start from Python's own).
    check=False: the run may end with a failure status (a damaged package is refused)."""
    report = os.path.join(cwd, "..", "time-report")
    os.sync()  # the previous run's writing-out does not fall into this one's time
    start = time.perf_counter()
    subprocess.run(["/usr/bin/time", "-q", "-o", report, "-f", "%M"] + command, cwd=cwd,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=check)
    elapsed = time.perf_counter() - start
    with open(report) as f:
        peak_kb = int(f.read().split()[-1])
    return elapsed, peak_kb * 1024


MARKER = b"^" * 40


def hostile_packages():
    """Restored forms of packages built to cost memory: (description, bytes)."""
    yield ("4,000,000 two-byte info records",
           b"3 4000000 0 0\n" + b"ab " * 4000000 + MARKER + b"\n")
    yield ("2,000,000 file entries without an end offset",
           b"3 0 0 2000000\n" + b"x!--------@1 " * 2000000 + MARKER + b"\n")
    yield ("3,000,000 section counts",
           b"3000000 0 0 0" + b" 7" * 2999997 + b"\n" + MARKER + b"\n")
    yield ("1,000,000 list records of ten items",
           b"3 0 1000000 0\n" + b"a|b|c|d|e|f|g|h|i|j!--------@t " * 1000000 + MARKER + b"\n")


def hostile_runs(installer, work):
    """Peak memory of the installer on each hostile package; True when every one met the goal."""
    folder = os.path.join(work, "hostile")
    os.makedirs(folder, exist_ok=True)
    met = True
    for what, restored in hostile_packages():
        package = os.path.join(folder, "cab1.rpm")
        with open(package, "wb") as f:
            f.write(restored.translate(bytes(range(255, -1, -1))))  # every byte inverted
        size = os.path.getsize(package)
        _, peak = timed([installer], folder, check=False)
        goal = size + (16 << 20)
        met = met and peak <= goal
        print(f"hostile: {what}: package {size / 1e6:.1f} MB, peak {peak / 1e6:.1f} MB, "
              f"peak/package {peak / size:.2f}, peak/(package + 16 MB) {peak / goal:.2f} "
              f"({'met' if peak <= goal else 'NOT met'})")
    return met


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("installer")
    parser.add_argument("mkpkg")
    parser.add_argument("--total-mb", type=int, default=200)
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--hostile-only", action="store_true")
    args = parser.parse_args()
    installer, mkpkg = os.path.abspath(args.installer), os.path.abspath(args.mkpkg)

    work = tempfile.mkdtemp(prefix="nuvex-bench-", dir=os.environ.get("BENCH_DIR"))
    try:
        env_root = os.path.join(work, "drives")
        os.makedirs(os.path.join(env_root, "c/nuvex/docroot/data"))
        os.makedirs(os.path.join(work, "tmp"))
        os.environ.update(NUVEX_DRIVE_ROOT=env_root, TMPDIR=os.path.join(work, "tmp"))
        if args.hostile_only:
            hostile_runs(installer, work)
            return
        source = os.path.join(work, "source")
        entries = make_tree(source, args.files, args.total_mb << 20, random.Random(42))
        with open(os.path.join(source, "manifest.txt"), "w") as manifest:
            manifest.write("appname = Bench\n")
            for relative in entries:
                manifest.write(f"file {relative} = {relative}\n")
        install_dir, tar_dir = os.path.join(work, "install"), os.path.join(work, "tar")
        package = os.path.join(work, "cab1.rpm")
        subprocess.run([mkpkg, "build", package, os.path.join(source, "manifest.txt")], check=True)
        archive = os.path.join(work, "files.tar")
        subprocess.run(["tar", "-cf", archive, "-C", source, "out"], check=True)
        package_size = os.path.getsize(package)

        installs, tars = [], []
        for _ in range(args.rounds):
            # Each subject writes into a folder made afresh, its previous tree just removed:
            # the file system's state before a run is the same for both.
            shutil.rmtree(install_dir, ignore_errors=True)
            os.makedirs(install_dir)
            os.link(package, os.path.join(install_dir, "cab1.rpm"))
            installs.append(timed([installer], install_dir))
            shutil.rmtree(tar_dir, ignore_errors=True)
            os.makedirs(tar_dir)
            tars.append(timed(["tar", "-xf", archive], tar_dir))
        for relative in entries[:: max(1, len(entries) // 50)]:
            a = open(os.path.join(source, relative), "rb").read()
            b = open(os.path.join(install_dir, relative), "rb").read()
            if a != b:
                raise SystemExit(f"installed {relative} differs from its source")

        install_time = statistics.median(t for t, _ in installs)
        tar_time = statistics.median(t for t, _ in tars)
        install_peak = max(m for _, m in installs)
        tar_peak = max(m for _, m in tars)
        memory_goal = package_size + (16 << 20)
        print(f"package: {package_size / 1e6:.1f} MB in {len(entries)} files, "
              f"{args.rounds} rounds (median wall time)")
        print(f"installer: {install_time:.3f} s, peak {install_peak / 1e6:.1f} MB")
        print(f"tar -xf:   {tar_time:.3f} s, peak {tar_peak / 1e6:.1f} MB")
        ratio = install_time / tar_time
        print(f"wall time ratio installer/tar: {ratio:.2f} (goal <= 1.5: "
              f"{'met' if ratio <= 1.5 else 'NOT met'})")
        print(f"installer peak memory / (package + 16 MB): {install_peak / memory_goal:.2f} "
              f"(goal <= 1: {'met' if install_peak <= memory_goal else 'NOT met'})")
        hostile_runs(installer, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
