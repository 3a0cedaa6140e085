#!/usr/bin/env python3
"""_md5_file of a 256 MB text file against md5sum of the same file in the same run (speed
ratio; goal at least 0.9), and ec_Printf with mode 13 over 10 MB of text with links (bytes
per second).

usage: webreq_bench.py WEBREQ_BENCH [--mb 256] [--rounds 5]
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import tempfile
import time


def timed(command, rounds):
    times, output = [], None
    for _ in range(rounds):
        start = time.perf_counter()
        output = subprocess.run(command, check=True, stdout=subprocess.PIPE).stdout
        times.append(time.perf_counter() - start)
    return statistics.median(times), output


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bench")
    parser.add_argument("--mb", type=int, default=256)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    bench = os.path.abspath(args.bench)
    work = tempfile.mkdtemp(prefix="nuvex-webreq-bench-", dir=os.environ.get("BENCH_DIR"))
    try:
        # Text without zero bytes: the library digests a file as text, up to its first NUL.
        rng = random.Random(7)
        block = bytes(rng.randrange(32, 127) for _ in range(1 << 20))
        big = os.path.join(work, "big.txt")
        with open(big, "wb") as f:
            for _ in range(args.mb):
                f.write(block)
        ours, digest = timed([bench, "md5", big], args.rounds)
        peer, peer_out = timed(["md5sum", big], args.rounds)
        if digest.split()[0] != peer_out.split()[0]:
            raise SystemExit("digests differ: %r vs %r" % (digest, peer_out))
        speed = peer / ours
        print(f"_md5_file {args.mb} MB: {ours:.3f} s, md5sum {peer:.3f} s: "
              f"{speed:.2f} times md5sum's speed (goal >= 0.9: {'met' if speed >= 0.9 else 'NOT met'})")

        words = ["plain", "text", "with", "http://example.com/page?id=42", "mail",
                 "someone@example.org", "<b>bold</b>", "and", "ftp://files.example.net/a.zip",
                 "\"quoted\"", "  double  blanks"]
        text_path = os.path.join(work, "links.txt")
        with open(text_path, "w") as f:
            written = 0
            while written < 10 << 20:
                line = " ".join(rng.choice(words) for _ in range(12)) + "\r\n"
                f.write(line)
                written += len(line)
        size = os.path.getsize(text_path)
        elapsed, _ = timed([bench, "printf", text_path], args.rounds)
        print(f"ec_Printf mode 13 over {size / 1e6:.1f} MB: {elapsed:.3f} s, "
              f"{size / elapsed / 1e6:.1f} MB/s")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
