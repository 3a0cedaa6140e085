#!/usr/bin/env python3
"""Request decoding and the session example against named peers, in the same run:
- a 100 MB multipart upload decoded by the library and by GNU cgicc (time ratio, and peak
  memory against the body size; goals: faster than cgicc, peak at most 2.5 times the body);
- requests per second of the session example behind lighttpd against the same page written
  with PHP's file sessions under php-cgi, measured with wrk (goal: at least 3 times PHP's).

usage: cgi_bench.py BUILD_DIR [--mb 100] [--seconds 5]
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from cgi_server import CgiServer  # noqa: E402

PHP_PAGE = """<?php
session_save_path(getenv('NUVEX_SESSION_DIR'));
session_start();
$_SESSION['visits'] = ($_SESSION['visits'] ?? 0) + 1;
header('Content-Type: text/html');
echo "<html><body><p id=\\"visits\\">" . $_SESSION['visits'] . "</p><p id=\\"session\\">" .
     session_id() . "</p></body></html>\\n";
"""


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


def wrk_rate(url, cookie, seconds):
    out = subprocess.run(["wrk", "-t2", "-c8", f"-d{seconds}s", "-H", f"Cookie: {cookie}", url],
                         capture_output=True, text=True, check=True).stdout
    rate = float(re.search(r"Requests/sec:\s+([0-9.]+)", out).group(1))
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    if errors:
        raise SystemExit(f"wrk saw failing responses: {out}")
    return rate


def sessions(build, seconds):
    if not shutil.which("wrk") or not shutil.which("php-cgi"):
        print("sessions: wrk or php-cgi is not installed; no peer to measure")
        return
    with CgiServer(os.path.join(build, "examples", "cgi"), extra_files={"session.php": PHP_PAGE},
                   php_cgi=shutil.which("php-cgi")) as server:
        ours = subprocess.run(["curl", "-s", "-D", "-", server.url + "/session.cgi"],
                              capture_output=True, text=True).stdout
        our_id = re.search(r"QSESSIONID=([0-9a-f]{32})", ours).group(1)
        php = subprocess.run(["curl", "-s", "-D", "-", server.url + "/session.php"],
                             capture_output=True, text=True).stdout
        php_id = re.search(r"PHPSESSID=([0-9a-z]+)", php).group(1)
        ours_rate = wrk_rate(server.url + "/session.cgi", f"QSESSIONID={our_id}", seconds)
        php_rate = wrk_rate(server.url + "/session.php", f"PHPSESSID={php_id}", seconds)
        ratio = ours_rate / php_rate
        print(f"session page behind lighttpd: library {ours_rate:.0f} requests/s, "
              f"PHP file sessions {php_rate:.0f} requests/s, ratio {ratio:.2f} "
              f"(goal >= 3: {'met' if ratio >= 3 else 'NOT met'})")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--mb", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=5)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    work = tempfile.mkdtemp(prefix="nuvex-cgi-bench-", dir=os.environ.get("BENCH_DIR"))
    try:
        multipart(build, work, args.mb, args.rounds)
        sessions(build, args.seconds)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
