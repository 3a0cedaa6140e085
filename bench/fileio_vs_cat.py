#!/usr/bin/env python3
"""FileLoad and FileAppend of a 256 MB file against cat of the same file, and DirCount of a
tree of 20,000 files against `find | wc -l`, all in the same run. Reports time ratios.

usage: fileio_vs_cat.py FILEIO_BENCH [--mb 256] [--files 20000] [--rounds 5]
Goal: each ratio at most 1.5.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time


def median_time(command, rounds, before=None):
    times = []
    for _ in range(rounds):
        if before:
            before()
        start = time.perf_counter()
        subprocess.run(command, shell=isinstance(command, str), check=True,
                       stdout=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bench")
    parser.add_argument("--mb", type=int, default=256)
    parser.add_argument("--files", type=int, default=20000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    bench = os.path.abspath(args.bench)
    work = tempfile.mkdtemp(prefix="nuvex-fileio-bench-", dir=os.environ.get("BENCH_DIR"))
    try:
        big = os.path.join(work, "big.bin")
        with open(big, "wb") as f:
            block = os.urandom(1 << 20)
            for _ in range(args.mb):
                f.write(block)
        dest = os.path.join(work, "dest.bin")

        def empty_dest():
            open(dest, "wb").close()

        tree = os.path.join(work, "tree")
        per_folder = 200
        for i in range(args.files):
            folder = os.path.join(tree, f"d{i // per_folder:03d}")
            if i % per_folder == 0:
                os.makedirs(folder)
            open(os.path.join(folder, f"f{i:05d}"), "wb").close()

        results = [
            ("FileLoad vs cat", median_time([bench, "load", big], args.rounds),
             median_time(f"cat '{big}' > /dev/null", args.rounds)),
            ("FileAppend vs cat >>", median_time([bench, "append", dest, big], args.rounds, empty_dest),
             median_time(f"cat '{big}' >> '{dest}'", args.rounds, empty_dest)),
            ("DirCount vs find | wc -l", median_time([bench, "count", tree], args.rounds),
             median_time(f"find '{tree}' | wc -l", args.rounds)),
        ]
        print(f"{args.mb} MB file, {args.files} files in the tree, median of {args.rounds} runs")
        for name, ours, peer in results:
            ratio = ours / peer
            print(f"{name:26s} {ours:7.3f} s vs {peer:7.3f} s  ratio {ratio:.2f} "
                  f"(goal <= 1.5: {'met' if ratio <= 1.5 else 'NOT met'})")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
