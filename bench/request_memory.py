#!/usr/bin/env python3
"""Peak memory of the request decoder against the size of the body, in the same run: multipart
bodies (one large upload, 300,000 tiny parts with and without headers, many tiny uploads) and
urlencoded bodies (8 MB of '&', the most fields allowed, a few long fields). Each case runs the
decoder once in a child process and reads its peak resident size (GNU time's %M).
Goals: multipart at most 3 x body + 16 MB, urlencoded at most 8 x body + 16 MB; a body the
library refuses (its limit message) counts with the memory it took until then.

usage: request_memory.py REQUEST_MEMORY_BENCH
"""
import os
import shutil
import subprocess
import sys
import tempfile

MB = 1 << 20


def run(bench, body_path, env):
    """Exit code, output and peak resident bytes of one decoding. GNU time starts the decoder:
    a child forked from this (large) Python process would count its pages as its own."""
    report = body_path + ".rss"
    with open(body_path, "rb") as body:
        result = subprocess.run(["/usr/bin/time", "-q", "-f", "%M", "-o", report, bench],
                                stdin=body, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                env=env)
    with open(report) as f:
        peak = int(f.read().split()[-1]) * 1024
    return result.returncode, result.stdout.decode("latin-1", "replace").strip(), peak


def multipart_cases(work):
    def write(name, chunks):
        path = os.path.join(work, name)
        with open(path, "wb") as f:
            for chunk in chunks:
                f.write(chunk)
        return path

    def upload(size):
        yield b'--b\r\nContent-Disposition: form-data; name="upload"; filename="f.bin"\r\n\r\n'
        block = bytes(range(256)) * 4096
        for _ in range(size // len(block)):
            yield block
        yield b"\r\n--b--\r\n"

    def tiny(count, part):
        yield b"--b\r\n"
        for _ in range(count):
            yield part + b"\r\n--b\r\n"
        yield b"\r\n\r\n--b--\r\n"

    named = b'Content-Disposition: form-data; name="f"\r\n\r\n'
    headerless = b"\r\n"
    small_file = b'Content-Disposition: form-data; name="u"; filename="a"\r\n\r\nx'
    return [
        ("one upload of 64 MB", write("upload64", upload(64 * MB))),
        ("one upload of 20 MB", write("upload20", upload(20 * MB))),
        ("300,000 tiny named parts", write("tiny-named", tiny(300000, named))),
        ("300,000 tiny parts without headers", write("tiny-bare", tiny(300000, headerless))),
        ("30,000 tiny uploads", write("some-files", tiny(30000, small_file))),
        ("100,000 tiny uploads", write("tiny-files", tiny(100000, small_file))),
    ]


def urlencoded_cases(work):
    def write(name, text):
        path = os.path.join(work, name)
        with open(path, "wb") as f:
            f.write(text)
        return path

    return [
        ("8 MB of '&'", write("ampersands", b"&" * (8 * MB))),
        ("100,000 fields (the limit)", write("fields", b"&".join(b"f=%d" % i for i in range(100000)))),
        ("60 MB in 60 fields", write("long", b"&".join(b"f=" + b"v" * (MB - 2) for _ in range(60)))),
    ]


def measure(bench, label, path, content_type, factor, baseline):
    size = os.path.getsize(path)
    env = {"REQUEST_METHOD": "POST", "CONTENT_LENGTH": str(size), "CONTENT_TYPE": content_type,
           "PATH": os.environ.get("PATH", "")}
    code, output, peak = run(bench, path, env)
    goal = factor * size + 16 * MB
    outcome = f"{output} entries" if code == 0 else f"refused: {output}"
    met = peak <= goal
    print(f"{label}: body {size / MB:.1f} MB, peak {peak / MB:.1f} MB "
          f"({peak / size:.2f} x body; {(peak - baseline) / size:.2f} x body above the "
          f"{baseline / MB:.1f} MB of an empty request), goal <= {factor} x body + 16 MB = "
          f"{goal / MB:.1f} MB: {'met' if met else 'NOT met'}; {outcome}")
    return met


def main():
    bench = os.path.abspath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="nuvex-memory-bench-", dir=os.environ.get("BENCH_DIR"))
    try:
        empty = os.path.join(work, "empty")
        open(empty, "wb").close()
        _, _, baseline = run(bench, empty, {"REQUEST_METHOD": "POST", "CONTENT_LENGTH": "0"})
        met = True
        for label, path in multipart_cases(work):
            met &= measure(bench, "multipart, " + label, path, "multipart/form-data; boundary=b",
                           3, baseline)
        for label, path in urlencoded_cases(work):
            met &= measure(bench, "urlencoded, " + label, path,
                           "application/x-www-form-urlencoded", 8, baseline)
        print("every memory goal met" if met else "some memory goal NOT met")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
