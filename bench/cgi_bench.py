#!/usr/bin/env python3
"""Request decoding against a named peer, in the same run: a 100 MB multipart upload decoded by
the library and by GNU cgicc (time ratio, and peak memory against the body size; goals: faster
than cgicc, peak at most 2.5 times the body). The session page against PHP's under FastCGI is
bench/fcgi_bench.py.

usage: cgi_bench.py BUILD_DIR [--mb 100] [--rounds 3]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time


def decode(program, body_path, content_type, size):
    env = dict(os.environ, REQUEST_METHOD="POST", CONTENT_TYPE=content_type,
               CONTENT_LENGTH=str(size))
    report = body_path + ".time"
    start = time.perf_counter()
    with open(body_path, "rb") as body:
        out = subprocess.run(["/usr/bin/time", "-o", report, "-f", "%M", program], stdin=body,
                             env=env, capture_output=True, check=True).stdout
    elapsed = time.perf_counter() - start
    peak = int(open(report).read().split()[-1]) * 1024
    return elapsed, peak, out.decode().strip()


def multipart(build, work, mb, rounds):
    ours = os.path.join(build, "bench", "multipart_bench")
    peer = os.path.join(build, "bench", "multipart_cgicc")
    if not os.path.exists(peer):
        print("multipart: GNU cgicc is not installed (libcgicc-dev); no peer to measure")
        return
    body_path = os.path.join(work, "body")
    payload = (bytes(range(256)) * 4096 + b"\0" * 4096) * ((mb << 20) // (1 << 20 | 4096))
    with open(body_path, "wb") as f:
        f.write(b"--BENCHBOUNDARY\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\nbench\r\n"
                b"--BENCHBOUNDARY\r\nContent-Disposition: form-data; name=\"upload\"; "
                b"filename=\"big.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n")
        f.write(payload)
        f.write(b"\r\n--BENCHBOUNDARY--\r\n")
    size = os.path.getsize(body_path)
    content_type = "multipart/form-data; boundary=BENCHBOUNDARY"
    results = {}
    for name, program in (("library", ours), ("cgicc", peer)):
        runs = [decode(program, body_path, content_type, size) for _ in range(rounds)]
        results[name] = (statistics.median(r[0] for r in runs), max(r[1] for r in runs), runs[0][2])
    if results["library"][2] != str(len(payload)) or results["cgicc"][2] != str(len(payload)):
        raise SystemExit(f"decoded lengths differ: {results}")
    ratio = results["library"][0] / results["cgicc"][0]
    peak_ratio = results["library"][1] / size
    print(f"multipart {size / 1e6:.1f} MB body: library {results['library'][0]:.3f} s, "
          f"cgicc {results['cgicc'][0]:.3f} s, ratio {ratio:.2f} "
          f"(goal < 1: {'met' if ratio < 1 else 'NOT met'})")
    print(f"peak memory: library {results['library'][1] / 1e6:.1f} MB "
          f"({peak_ratio:.2f} times the body; goal <= 2.5: {'met' if peak_ratio <= 2.5 else 'NOT met'}), "
          f"cgicc {results['cgicc'][1] / 1e6:.1f} MB")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--mb", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    work = tempfile.mkdtemp(prefix="nuvex-cgi-bench-", dir=os.environ.get("BENCH_DIR"))
    try:
        multipart(build, work, args.mb, args.rounds)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
