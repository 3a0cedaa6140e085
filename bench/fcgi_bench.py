#!/usr/bin/env python3
"""The session page behind lighttpd, requests per second with wrk (-t2 -c8), every subject in
the same run and the runs alternated:
  (a) PHP's file-session page under FastCGI: php-cgi spawned by mod_fastcgi
      (PHP_FCGI_CHILDREN=0, PHP_FCGI_MAX_REQUESTS high, so workers are not recycled);
  (b) a bare libfcgi worker writing a fixed page (bench/fcgi_bare.c): the limit of the path;
  (c) the library's session example under CGI (examples/cgi/session.cgi through mod_cgi);
  (d) the same example binary as a FastCGI worker spawned by mod_fastcgi (it serves through
      ec_Serve); skipped for a build without libfcgi;
  (e) PHP's session page with its Redis save handler (php-redis) under FastCGI, and
  (f) the library's session worker with its sessions in the same redis-server (started by the
      benchmark on a socket of its own); both skipped without redis-server, php-redis or a
      build with hiredis.
Goals: (d) at least 3 times (a), and at least half of (b); (f) at least 3 times (e), and at
least 0.8 times (d). The Redis subjects also report the round trips to the server per request
(the server's own count of commands, over the requests wrk made).
With --server nginx also:
  (e) the same example as FastCGI workers started by spawn-fcgi behind nginx (fastcgi_pass),
      as many as lighttpd runs for (d); its rate is reported next to (d)'s.

Every FastCGI subject gets the same number of worker processes: by default as many as lighttpd
starts when its configuration sets no max-procs (what a site gets that does not tune it; 4 in
lighttpd 1.4), or --procs N. The count that ran is printed.

Every request of a run carries the same session cookie by default, as one busy client would;
--sessions N spreads the requests over N sessions (a wrk script hands out N cookies in turn),
as many clients would. PHP holds its session file locked while its page runs, so requests of
one session wait for each other there, and not with this library.

usage: fcgi_bench.py BUILD_DIR [--seconds 5] [--rounds 3] [--procs N] [--sessions N]
                       [--server nginx]
"""
import argparse
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from cgi_server import CgiServer, fastcgi_app  # noqa: E402

PHP_PAGE = """<?php
session_save_path(getenv('NUVEX_SESSION_DIR'));
session_start();
$_SESSION['visits'] = ($_SESSION['visits'] ?? 0) + 1;
header('Content-Type: text/html');
echo "<html><body><p id=\\"visits\\">" . $_SESSION['visits'] . "</p><p id=\\"session\\">" .
     session_id() . "</p></body></html>\\n";
"""


PHP_REDIS_PAGE = PHP_PAGE.replace(
    "session_save_path(getenv('NUVEX_SESSION_DIR'));",
    "ini_set('session.save_handler', 'redis');\nsession_save_path(getenv('NUVEX_PHP_REDIS'));")


class RedisServer:
    """A redis-server of the benchmark's own, on a socket in a temporary folder."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="nuvex-bench-redis-", dir="/tmp")
        self.socket = os.path.join(self.folder, "redis.sock")
        self.process = subprocess.Popen(
            ["redis-server", "--port", "0", "--unixsocket", self.socket, "--save", "",
             "--appendonly", "no", "--dir", self.folder],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            if self.commands() is not None:
                return
            time.sleep(0.05)
        raise SystemExit("redis-server did not start")

    def commands(self):
        out = subprocess.run(["redis-cli", "-s", self.socket, "INFO", "stats"],
                             capture_output=True, text=True).stdout
        found = re.search(r"total_commands_processed:(\d+)", out)
        return int(found.group(1)) if found else None

    def round_trip_us(self, count=2000):
        """Mean time of one command's round trip (PING) on one connection, in microseconds."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as conn:
            conn.connect(self.socket)
            start = time.perf_counter()
            for _ in range(count):
                conn.sendall(b"PING\r\n")
                reply = b""
                while not reply.endswith(b"\r\n"):
                    reply += conn.recv(64)
            return (time.perf_counter() - start) / count * 1e6

    def stop(self):
        self.process.kill()
        self.process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)


def wrk_rate(url, cookie, seconds, script=None):
    command = ["wrk", "-t2", "-c8", f"-d{seconds}s"]
    if script:
        command += ["-s", script]
    elif cookie:
        command += ["-H", f"Cookie: {cookie}"]
    out = subprocess.run(command + [url], capture_output=True, text=True, check=True).stdout
    if re.search(r"Non-2xx or 3xx responses: (\d+)", out):
        raise SystemExit(f"wrk saw failing responses from {url}:\n{out}")
    errors = re.search(r"Socket errors: (.*)", out)
    if errors:
        print(f"note: {url}: socket errors {errors.group(1)}")
    global LAST_REQUESTS
    LAST_REQUESTS = int(re.search(r"(\d+) requests in", out).group(1))
    return float(re.search(r"Requests/sec:\s+([0-9.]+)", out).group(1))


def first_cookie(url, pattern):
    """The session cookie that the page hands to a new client, after checking the page."""
    out = subprocess.run(["curl", "-s", "-D", "-", url], capture_output=True, text=True).stdout
    if 'id="visits"' not in out:
        raise SystemExit(f"{url} did not give the session page:\n{out[:500]}")
    if not pattern:
        return None
    found = re.search(pattern, out)
    if not found:
        raise SystemExit(f"{url} set no session cookie:\n{out[:500]}")
    return found.group(0)


def serves_through_loop(program):
    """Whether the example is built as a FastCGI worker (it calls ec_Serve)."""
    nm = shutil.which("nm")
    if not nm:
        return True  # the probe through lighttpd decides
    symbols = subprocess.run([nm, program], capture_output=True, text=True).stdout
    return re.search(r"\bT ec_Serve\b", symbols) is not None


SESSIONS = 1  # --sessions
LAST_REQUESTS = 0  # requests of the last wrk run
REDIS = None  # the benchmark's redis-server, when the Redis subjects run


def cookie_script(cookies, folder):
    """A wrk script that sends the cookies in turn, each thread starting at its own place."""
    path = os.path.join(folder, "cookies.lua")
    listed = ",\n".join(f'  "{c}"' for c in cookies)
    with open(path, "w") as f:
        f.write(f"cookies = {{\n{listed}\n}}\n"
                "counter = math.random(#cookies)\n"
                "request = function()\n"
                "  counter = counter % #cookies + 1\n"
                '  return wrk.format(nil, nil, {["Cookie"] = cookies[counter]})\n'
                "end\n")
    return path


class Subject:
    def __init__(self, name, server, path, cookie_pattern, program=None, redis=None):
        self.name, self.server, self.program, self.redis = name, server, program, redis
        self.round_trips = []
        self.url = server.url + path
        self.script = None
        try:
            self.cookie = first_cookie(self.url, cookie_pattern)
            if cookie_pattern and SESSIONS > 1:
                cookies = [self.cookie] + [first_cookie(self.url, cookie_pattern)
                                           for _ in range(SESSIONS - 1)]
                self.script = cookie_script(cookies, server.work)
        except BaseException:
            server.stop()
            raise
        self.rates = []


def start_subjects(build, procs, subjects, skipped):
    cgi_dir = os.path.join(build, "examples", "cgi")
    bare = os.path.join(build, "bench", "fcgi_bare")
    session = os.path.join(cgi_dir, "session.cgi")
    php = shutil.which("php-cgi")
    if php:
        php_env = {"PHP_FCGI_CHILDREN": "0", "PHP_FCGI_MAX_REQUESTS": "1000000"}
        server = CgiServer(cgi_dir, extra_files={"session.php": PHP_PAGE}, probe="/session.php",
                           fastcgi={".php": fastcgi_app(php, php_env, procs, check_local=True)})
        subjects.append(Subject("PHP under FastCGI", server, "/session.php", r"PHPSESSID=[0-9a-z]+"))
    else:
        skipped.append("PHP under FastCGI: php-cgi is not installed")
    if os.path.exists(bare):
        server = CgiServer(cgi_dir, probe="/bare.fcgi",
                           fastcgi={"/bare.fcgi": fastcgi_app(bare, procs=procs)})
        subjects.append(Subject("bare libfcgi", server, "/bare.fcgi", None))
    else:
        skipped.append("bare libfcgi: not built (libfcgi-dev missing)")
    subjects.append(Subject("session.cgi under CGI", CgiServer(cgi_dir), "/session.cgi",
                            r"QSESSIONID=[0-9a-f]{32}"))
    if serves_through_loop(session):
        try:
            server = CgiServer(cgi_dir, probe="/session.fcgi",
                               fastcgi={"/session.fcgi": fastcgi_app(session, procs=procs)})
            subjects.append(Subject("session worker under FastCGI", server, "/session.fcgi",
                                    r"QSESSIONID=[0-9a-f]{32}", program=session))
        except RuntimeError as e:
            skipped.append(f"session worker under FastCGI: lighttpd could not use it ({e})")
    else:
        skipped.append("session worker under FastCGI: session.cgi is not a FastCGI worker yet")
    start_redis_subjects(build, procs, subjects, skipped, cgi_dir, php, session)


def redis_built(build):
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            return "NUVEX_REDIS_BUILT:INTERNAL=TRUE" in f.read()
    except OSError:
        return False


def start_redis_subjects(build, procs, subjects, skipped, cgi_dir, php, session):
    """PHP's Redis save handler and the library's Redis store, on one redis-server."""
    global REDIS
    if not shutil.which("redis-server"):
        skipped.append("Redis subjects: redis-server is not installed")
        return
    REDIS = RedisServer()
    php_redis = subprocess.run([php, "-m"], capture_output=True, text=True).stdout if php else ""
    if re.search(r"^redis$", php_redis, re.M):
        php_env = {"PHP_FCGI_CHILDREN": "0", "PHP_FCGI_MAX_REQUESTS": "1000000",
                   "NUVEX_PHP_REDIS": f"unix://{REDIS.socket}"}
        server = CgiServer(cgi_dir, extra_files={"session.php": PHP_REDIS_PAGE},
                           probe="/session.php",
                           fastcgi={".php": fastcgi_app(php, php_env, procs, check_local=True)})
        subjects.append(Subject("PHP, Redis save handler", server, "/session.php",
                                r"PHPSESSID=[0-9a-z]+", redis=REDIS))
    else:
        skipped.append("PHP, Redis save handler: php-redis is not installed")
    if redis_built(build) and serves_through_loop(session):
        server = CgiServer(cgi_dir, probe="/session.fcgi",
                           session_repository=f"redis+unix://{REDIS.socket}",
                           fastcgi={"/session.fcgi": fastcgi_app(session, procs=procs)})
        subjects.append(Subject("session worker, Redis store", server, "/session.fcgi",
                                r"QSESSIONID=[0-9a-f]{32}", program=session, redis=REDIS))
    else:
        skipped.append("session worker, Redis store: built without hiredis")


def start_nginx_subject(build, procs, subjects, skipped):
    """The session example behind nginx, with as many workers as lighttpd runs for it."""
    cgi_dir = os.path.join(build, "examples", "cgi")
    if not shutil.which("nginx") or not shutil.which("spawn-fcgi"):
        skipped.append("session worker behind nginx: nginx or spawn-fcgi is not installed")
        return
    running = running_workers(subjects) or procs or 4
    server = CgiServer(cgi_dir, mode="fastcgi", server="nginx", procs=running,
                       probe="/session.cgi")
    subjects.append(Subject("session worker behind nginx", server, "/session.cgi",
                            r"QSESSIONID=[0-9a-f]{32}"))


def running_workers(subjects):
    for s in subjects:
        if s.name == "session worker under FastCGI":
            out = subprocess.run(["pgrep", "-x", "-f", s.program], capture_output=True,
                                 text=True).stdout
            return len(out.split())
    return 0


def worker_count(subjects, procs):
    """The worker processes lighttpd started for the session worker, as it ran."""
    for s in subjects:
        if s.name == "session worker under FastCGI":
            out = subprocess.run(["pgrep", "-x", "-f", s.program], capture_output=True,
                                 text=True).stdout
            # Every subject that runs the example (folder and Redis store) has its own workers.
            sharing = sum(1 for other in subjects if other.program == s.program)
            running = len(out.split()) // max(1, sharing)
            asked = "lighttpd's default" if procs is None else f"--procs {procs}"
            return f"{running} ({asked})"
    return "none ran"


def report(subjects, skipped):
    rates = {s.name: statistics.median(s.rates) for s in subjects}
    for s in subjects:
        runs = ", ".join(f"{r:.0f}" for r in s.rates)
        print(f"{s.name:30s} {rates[s.name]:8.0f} requests/s (runs: {runs})")
    for s in subjects:
        if s.round_trips:
            print(f"{s.name}: {statistics.median(s.round_trips):.2f} commands to the Redis "
                  f"server per request")
    for line in skipped:
        print(f"skipped: {line}")

    def ratio(a, b, goal=None):
        if a not in rates or b not in rates:
            return
        value = rates[a] / rates[b]
        verdict = "" if goal is None else (
            f" (goal >= {goal}: {'met' if value >= goal else 'NOT met'})")
        print(f"ratio {a} / {b}: {value:.2f}{verdict}")

    ratio("session worker under FastCGI", "PHP under FastCGI", 3)
    ratio("session worker under FastCGI", "bare libfcgi", 0.5)
    ratio("session worker, Redis store", "PHP, Redis save handler", 3)
    ratio("session worker, Redis store", "session worker under FastCGI", 0.8)
    ratio("session worker behind nginx", "session worker under FastCGI")
    ratio("session.cgi under CGI", "PHP under FastCGI")
    ratio("PHP under FastCGI", "bare libfcgi")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--procs", type=int, default=None,
                        help="FastCGI worker processes (default: lighttpd's own default)")
    parser.add_argument("--sessions", type=int, default=1,
                        help="sessions the requests are spread over (default 1)")
    parser.add_argument("--server", choices=("lighttpd", "nginx"), default="lighttpd",
                        help="nginx: also the session example behind nginx")
    args = parser.parse_args()
    global SESSIONS
    SESSIONS = max(1, args.sessions)
    if not shutil.which("wrk") or not shutil.which("lighttpd"):
        raise SystemExit("fcgi_bench: wrk and lighttpd are needed")
    subjects, skipped = [], []
    try:
        start_subjects(os.path.abspath(args.build), args.procs, subjects, skipped)
        if args.server == "nginx":
            start_nginx_subject(os.path.abspath(args.build), args.procs, subjects, skipped)
        print(f"FastCGI workers per subject: {worker_count(subjects, args.procs)}; "
              f"sessions: {SESSIONS}")
        for _ in range(args.rounds):  # alternated, so a slow moment of the machine hits all
            for s in subjects:
                before = s.redis.commands() if s.redis else 0
                s.rates.append(wrk_rate(s.url, s.cookie, args.seconds, s.script))
                if s.redis:
                    s.round_trips.append((s.redis.commands() - before - 1) / LAST_REQUESTS)
        report(subjects, skipped)
        if REDIS:
            print(f"one command's round trip to the Redis server, the machine idle: "
                  f"{REDIS.round_trip_us():.0f} us")
    finally:
        for s in subjects:
            s.server.stop()
        if REDIS:
            REDIS.stop()


if __name__ == "__main__":
    main()
