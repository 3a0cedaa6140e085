#!/usr/bin/env python3
"""Multipart decoding of a 100 MB upload against `cat body > /dev/null` of the same file and
against GNU cgicc decoding the same request, in one run with the rounds alternated:
- time: goal at most 3 times cat's, and less than cgicc's;
- peak memory (resident, GNU time's %M): goal at most 1.2 times the body.
The decoded bytes are checked against the uploaded file first.

usage: multipart_vs_cat.py BUILD_DIR [--mb 100] [--rounds 5]
"""
import argparse
import hashlib
import os
import random
import shutil
import statistics
import subprocess
import tempfile
import time

BOUNDARY = b"----BenchBoundary7MA4YWxkTrZu0gW"


def write_body(path, mb):
    """A file field of mb MiB: pseudo-random bytes (CR, LF and '-' among them) with a cut
    delimiter now and then, after a short text field. Returns the upload's MD5 and size."""
    rng = random.Random(12)
    block = bytearray(rng.getrandbits(8) for _ in range(1 << 20))
    near = b"\r\n--" + BOUNDARY[:-1] + b"\r\n"
    for at in range(0, len(block) - len(near), 65536):
        block[at:at + len(near)] = near
    digest = hashlib.md5()
    with open(path, "wb") as f:
        f.write(b"--" + BOUNDARY + b"\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\n"
                b"bench\r\n--" + BOUNDARY + b"\r\nContent-Disposition: form-data; "
                b"name=\"upload\"; filename=\"big.bin\"\r\nContent-Type: "
                b"application/octet-stream\r\n\r\n")
        for _ in range(mb):
            f.write(block)
            digest.update(block)
        f.write(b"\r\n--" + BOUNDARY + b"--\r\n")
    return digest.hexdigest(), mb * len(block)


def run(command, body_path, env, stdout=subprocess.DEVNULL, cpu=None):
    """Wall time and output of one run; its CPU seconds (user + system) appended to cpu."""
    with open(body_path, "rb") as body:
        start = time.perf_counter()
        child = subprocess.Popen(command, stdin=body, stdout=stdout, env=env)
        out = child.stdout.read() if stdout == subprocess.PIPE else None
        _, status, usage = os.wait4(child.pid, 0)
        elapsed = time.perf_counter() - start
        child.returncode = os.waitstatus_to_exitcode(status)
        if child.stdout:
            child.stdout.close()
        if child.returncode != 0:
            raise subprocess.CalledProcessError(child.returncode, command)
        if cpu is not None:
            cpu.append(usage.ru_utime + usage.ru_stime)
        return elapsed, out


def peak(command, body_path, env):
    """Peak resident bytes, user and system CPU seconds and minor page faults of one run."""
    report = body_path + ".rss"
    run(["/usr/bin/time", "-q", "-f", "%M %U %S %R", "-o", report] + command, body_path, env)
    with open(report) as f:
        rss, user, system, faults = f.read().split()[-4:]
    return int(rss) * 1024, float(user), float(system), int(faults)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--mb", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    ours = os.path.join(build, "bench", "multipart_bench")
    peer = os.path.join(build, "bench", "multipart_cgicc")
    work = tempfile.mkdtemp(prefix="nuvex-multipart-bench-", dir=os.environ.get("BENCH_DIR"))
    try:
        body_path = os.path.join(work, "body")
        digest, upload_size = write_body(body_path, args.mb)
        size = os.path.getsize(body_path)
        env = {"REQUEST_METHOD": "POST", "CONTENT_LENGTH": str(size),
               "CONTENT_TYPE": "multipart/form-data; boundary=" + BOUNDARY.decode(),
               "PATH": os.environ.get("PATH", "")}
        _, dumped = run([ours, "dump"], body_path, env, stdout=subprocess.PIPE)
        if hashlib.md5(dumped).hexdigest() != digest:
            raise SystemExit("the decoded upload differs from the file sent")
        del dumped
        # The body read into one fresh buffer and nothing decoded: the floor of a decoder that
        # keeps the upload in memory, since the system must clear every new page it hands out.
        programs = {"cat": ["cat", body_path], "library": [ours], "fresh memory": [ours, "fresh"]}
        if os.path.exists(peer):
            programs["cgicc"] = [peer]
        else:
            print("GNU cgicc is not installed (libcgicc-dev): no peer to measure")
        # The same decoder with glibc's malloc asking for transparent huge pages everywhere:
        # the decoder already asks for them behind a large value, so this should change little.
        programs["library, huge pages"] = [ours]
        huge_env = dict(env, GLIBC_TUNABLES="glibc.malloc.hugetlb=1")
        times = {name: [] for name in programs}
        cpus = {name: [] for name in programs}
        run(["cat", body_path], body_path, env)  # the file in the page cache for every round
        for _ in range(args.rounds):
            for name, command in programs.items():
                elapsed, out = run(command, body_path, huge_env if "huge" in name else env,
                                   stdout=subprocess.DEVNULL if name == "cat" else subprocess.PIPE,
                                   cpu=cpus[name])
                expected = size if name == "fresh memory" else upload_size
                if name != "cat" and out.strip() != str(expected).encode():
                    raise SystemExit(f"{name} decoded {out!r}, not {upload_size} bytes")
                times[name].append(elapsed)
        median = {name: statistics.median(t) for name, t in times.items()}
        ratio = median["library"] / median["cat"]
        print(f"multipart {size / 1e6:.1f} MB body ({args.rounds} rounds, medians): library "
              f"{median['library']:.3f} s, cat {median['cat']:.3f} s: {ratio:.2f} x cat's time "
              f"(goal <= 3: {'met' if ratio <= 3 else 'NOT met'}); "
              f"{size / median['library'] / 1e6:.0f} MB/s")
        fresh = median["fresh memory"]
        print(f"reading the body into fresh memory only: {fresh:.3f} s: "
              f"{fresh / median['cat']:.2f} x cat's time; the library takes "
              f"{median['library'] / fresh:.2f} x that")
        # CPU time, which other load on the machine disturbs less than the wall time.
        cpu = {name: statistics.median(t) for name, t in cpus.items()}
        print(f"CPU (user + system, medians): library {cpu['library'] * 1e3:.1f} ms, fresh "
              f"memory {cpu['fresh memory'] * 1e3:.1f} ms, cat {cpu['cat'] * 1e3:.1f} ms: "
              f"library {cpu['library'] / cpu['cat']:.2f} x cat's")
        huge = median["library, huge pages"]
        print(f"library with huge pages (GLIBC_TUNABLES=glibc.malloc.hugetlb=1): {huge:.3f} s: "
              f"{huge / median['cat']:.2f} x cat's time")
        if "cgicc" in median:
            peer_ratio = median["library"] / median["cgicc"]
            print(f"GNU cgicc {median['cgicc']:.3f} s: library takes {peer_ratio:.2f} x cgicc's "
                  f"time (goal < 1: {'met' if peer_ratio < 1 else 'NOT met'})")
        memory, user, system, faults = peak([ours], body_path, env)
        memory_ratio = memory / size
        line = (f"peak memory: library {memory / 1e6:.1f} MB = {memory_ratio:.3f} x body "
                f"(goal <= 1.2: {'met' if memory_ratio <= 1.2 else 'NOT met'})")
        if "cgicc" in programs:
            line += f", GNU cgicc {peak([peer], body_path, env)[0] / 1e6:.1f} MB"
        print(line)
        # cat holds nothing; the decoder fills fresh pages with the upload, which the system
        # time shows.
        print(f"library CPU: user {user:.2f} s, system {system:.2f} s, {faults} page faults")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    raise SystemExit(main())
