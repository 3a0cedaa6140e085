#!/usr/bin/env python3
"""Sessions shared through a Redis server by two pools of FastCGI workers, each started in a
working folder of its own (standing for two hosts), behind one lighttpd: /a/session.cgi is
served by one pool, /b/session.cgi by the other. A sign-in on one pool is seen on the other,
concurrent clients going back and forth lose no session, and a store that fails (stopped,
not answering, restarted, holding something else under the key) gives the error page while
the workers go on serving once it is back.

usage: redis_sessions_test.py CGI_DIR
"""
import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cgi_server import CgiServer, fastcgi_app  # noqa: E402

from checks import check, failures  # noqa: E402


class Redis:
    """A redis-server of the test's own on a socket in a short temporary folder; its data is
    kept in an append-only file, so a restart keeps the sessions."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="nuvex-rs-", dir="/tmp")
        self.socket = os.path.join(self.folder, "redis.sock")
        self.process = None
        self.start()

    def start(self):
        self.process = subprocess.Popen(
            ["redis-server", "--port", "0", "--unixsocket", self.socket, "--save", "",
             "--appendonly", "yes", "--appendfsync", "always", "--dir", self.folder],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while time.time() < deadline:
            if self.cli("PING") == "PONG":
                return
            time.sleep(0.05)
        raise RuntimeError("redis-server did not start")

    def stop(self):
        self.process.send_signal(signal.SIGCONT)
        self.process.kill()
        self.process.wait()

    def cli(self, *args):
        result = subprocess.run(["redis-cli", "-s", self.socket] + list(args),
                                capture_output=True, text=True)
        return result.stdout.strip()

    def close(self):
        self.stop()
        shutil.rmtree(self.folder, ignore_errors=True)


def request(port, path, cookie=None):
    """Status, the session cookie it sets (or None) and the body."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    headers = {"Cookie": f"QSESSIONID={cookie}"} if cookie else {}
    connection.request("GET", path, headers=headers)
    response = connection.getresponse()
    body = response.read().decode(errors="replace")
    set_cookie = re.search(r"QSESSIONID=([0-9a-f]{32})", response.getheader("Set-Cookie") or "")
    connection.close()
    return response.status, set_cookie.group(1) if set_cookie else None, body


def field(body, name):
    found = re.search(rf'id="{name}">(.*?)</p>', body)
    return found.group(1) if found else None


def pool_program(work, name, program):
    """A worker started in a working folder of its own, as on another host."""
    folder = os.path.join(work, name)
    os.makedirs(folder)
    wrapper = os.path.join(folder, "session-worker")
    with open(wrapper, "w") as f:
        f.write(f"#!/bin/sh\ncd '{folder}' && exec '{program}'\n")
    os.chmod(wrapper, 0o755)
    return wrapper


def test_sign_in_is_seen_on_the_other_pool(port):
    status, cookie, body = request(port, "/a/session.cgi?action=signin&name=Ann")
    check("pool a signs in", status == 200 and cookie and field(body, "user") == "Ann", body)
    status, _, body = request(port, "/b/session.cgi", cookie)
    check("pool b sees the sign-in of pool a",
          status == 200 and field(body, "state") == "resumed" and field(body, "user") == "Ann"
          and field(body, "visits") == "2", body)
    return cookie


def test_clients_going_back_and_forth_lose_nothing(port):
    errors = []

    def client(number):
        status, cookie, body = request(port, f"/a/session.cgi?action=signin&name=C{number}")
        if status != 200 or not cookie:
            errors.append(f"client {number}: sign-in {status}")
            return
        for visit in range(2, 101):
            pool = "ab"[(visit + number) % 2]
            status, _, body = request(port, f"/{pool}/session.cgi", cookie)
            if (status != 200 or field(body, "visits") != str(visit) or
                    field(body, "user") != f"C{number}" or field(body, "session") != cookie):
                errors.append(f"client {number} visit {visit} on {pool}: {status} "
                              f"visits={field(body, 'visits')} user={field(body, 'user')}")
                return

    threads = [threading.Thread(target=client, args=(n,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    check("8 clients x 100 requests across both pools lose no session and no visit",
          not errors, errors[:3])


def expect_error_page(port, cookie, what):
    start = time.time()
    status, set_cookie, body = request(port, "/a/session.cgi", cookie)
    check(f"{what}: the error page with status 500, before any cookie",
          status == 500 and "ec_Session(): Can not access session repository(" in body and
          set_cookie is None, f"{status} {body[:300]}")
    check(f"{what}: answered within the time-outs", time.time() - start < 10)


def expect_served(port, cookie, what, visits_before):
    status, _, body = request(port, "/b/session.cgi", cookie)
    check(f"{what}: the next request is served with its session",
          status == 200 and field(body, "user") == "Ann" and
          int(field(body, "visits") or 0) > visits_before, f"{status} {body[:300]}")
    return int(field(body, "visits") or 0)


def test_a_failing_store_is_an_error_and_the_workers_go_on(port, redis, cookie):
    _, _, body = request(port, "/b/session.cgi", cookie)
    visits = int(field(body, "visits") or 0)

    redis.process.send_signal(signal.SIGSTOP)
    expect_error_page(port, cookie, "a server that stops answering")
    redis.process.send_signal(signal.SIGCONT)
    visits = expect_served(port, cookie, "the server answers again", visits)

    redis.stop()
    expect_error_page(port, cookie, "a stopped server")
    redis.start()
    visits = expect_served(port, cookie, "the server restarted", visits)

    redis.stop()
    redis.start()
    visits = expect_served(port, cookie, "a restart between two requests", visits)

    other = "f" * 32
    redis.cli("HSET", f"ec_session:{other}", "field", "value")
    expect_error_page(port, other, "a key that holds something else")
    expect_served(port, cookie, "after a reply that was not what was asked", visits)


def main():
    cgi_dir = sys.argv[1]
    if not shutil.which("redis-server"):
        print("redis-server is not installed")
        sys.exit(1)
    work = tempfile.mkdtemp(prefix="nuvex-pools-")
    redis = Redis()
    address = f"redis+unix://{redis.socket}?timeout=0.5&connect_timeout=0.5"
    program = os.path.join(os.path.abspath(cgi_dir), "session.cgi")
    apps = {f"/{pool}/session.cgi": fastcgi_app(pool_program(work, pool, program), procs=2)
            for pool in "ab"}
    try:
        with CgiServer(cgi_dir, fastcgi=apps, probe="/a/session.cgi",
                       session_repository=address) as server:
            check("no session file is written", os.listdir(server.sessions) == [])
            redis.cli("FLUSHALL")
            cookie = test_sign_in_is_seen_on_the_other_pool(server.port)
            test_clients_going_back_and_forth_lose_nothing(server.port)
            test_a_failing_store_is_an_error_and_the_workers_go_on(server.port, redis, cookie)
            check("still no session file", os.listdir(server.sessions) == [])
    finally:
        redis.close()
        shutil.rmtree(work, ignore_errors=True)
    print(f"{len(failures)} failure(s)")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
