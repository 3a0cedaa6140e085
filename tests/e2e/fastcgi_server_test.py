#!/usr/bin/env python3
"""The test web server with mod_fastcgi: lighttpd spawns a bare libfcgi worker (one process,
socket in the server's temporary folder) and answers through it, request after request, while
the CGI programs on the same server still run under mod_cgi.

usage: fastcgi_server_test.py CGI_DIR FCGI_BARE
"""
import concurrent.futures
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cgi_server import CgiServer, fastcgi_app  # noqa: E402

failures = []


def check(what, condition, detail=""):
    print(("ok   " if condition else "FAIL ") + what + ("" if condition else f": {detail}"))
    if not condition:
        failures.append(what)


def get(url):
    """Status and body of one request."""
    out = subprocess.run(["curl", "-s", "-S", "--max-time", "30", "-o", "-", "-w", "\n%{http_code}",
                          url], capture_output=True, text=True, check=True).stdout
    body, _, status = out.rpartition("\n")
    return int(status), body


def worker_pids(program):
    out = subprocess.run(["pgrep", "-f", "-x", program], capture_output=True, text=True).stdout
    return sorted(out.split())


def main():
    cgi_dir, bare = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    with CgiServer(cgi_dir, fastcgi={"/bare.fcgi": fastcgi_app(bare)},
                   probe="/bare.fcgi") as server:
        status, body = get(server.url + "/bare.fcgi")
        check("the worker answers", status == 200 and 'id="visits">1<' in body, (status, body))
        sockets = [n for n in os.listdir(server.work) if n.startswith("fastcgi-")]
        check("its socket lies in the server's folder", len(sockets) == 1, sockets)
        pids = worker_pids(bare)
        check("lighttpd spawned one worker", len(pids) == 1, pids)
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            answers = list(pool.map(lambda _: get(server.url + "/bare.fcgi")[0], range(200)))
        check("200 requests from 8 clients all answered 200", answers == [200] * 200,
              sorted(set(answers)))
        check("by the same worker", worker_pids(bare) == pids, (worker_pids(bare), pids))
        status, body = get(server.url + "/form.cgi")
        check("CGI programs still run under mod_cgi", status == 200 and "<form" in body,
              (status, body[:200]))
    print("FAILED: " + ", ".join(failures) if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
