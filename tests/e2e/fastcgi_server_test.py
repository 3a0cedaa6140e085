#!/usr/bin/env python3
"""The test web server with mod_fastcgi: lighttpd spawns a bare libfcgi worker (one process,
socket in the server's temporary folder) and answers through it, request after request, while
the CGI programs on the same server still run under mod_cgi. Then one program built on the loop
entry (serve_probe) runs unchanged under mod_cgi and as a FastCGI worker: nothing of a request
shows in the next one to the same worker, a failed request is followed by 50 answered ones, and
the worker's memory stays flat over many requests (with wrk, when it is installed), also for
the session example, whose every request loads, counts and saves one session.

usage: fastcgi_server_test.py CGI_DIR FCGI_BARE SERVE_PROBE [--requests 100000]
"""
import concurrent.futures
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cgi_server import CgiServer, fastcgi_app  # noqa: E402

from checks import check, failures  # noqa: E402


def get(url, *curl_args):
    """Status and body of one request."""
    out = subprocess.run(["curl", "-s", "-S", "--max-time", "30", "-o", "-", "-w", "\n%{http_code}",
                          *curl_args, url], capture_output=True, text=True, check=True).stdout
    body, _, status = out.rpartition("\n")
    return int(status), body


def field(body, name):
    found = re.search(name + r"=(\S*)", body)
    return found.group(1) if found else None


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


def worker_pids(program):
    out = subprocess.run(["pgrep", "-f", "-x", program], capture_output=True, text=True).stdout
    return sorted(out.split())


def probe_both_ways(cgi_dir, probe, requests):
    with CgiServer(cgi_dir, fastcgi={"/probe.fcgi": fastcgi_app(probe)},
                   probe="/form.cgi") as server:
        shutil.copy(probe, os.path.join(server.root, "probe.cgi"))
        status, body = get(server.url + "/probe.cgi?a=1", "-b", "c=2", "--data-binary", "posted")
        check("under mod_cgi: one request, CGI form", status == 200 and
              body == f"query=a=1 cookie=c=2 fastcgi=0 pid={field(body, 'pid')} served=1\nposted",
              (status, body))
        fcgi = server.url + "/probe.fcgi"
        status, body = get(fcgi + "?v=secret", "-b", "session=theirs", "--data-binary", "mine")
        check("under mod_fastcgi: the request reaches the worker",
              status == 200 and field(body, "fastcgi") == "1" and body.endswith("\nmine"),
              (status, body))
        pid = field(body, "pid")
        status, body = get(fcgi)
        check("nothing of the first request shows in the next",
              status == 200 and field(body, "query") == "" and field(body, "cookie") == "-" and
              "secret" not in body and "mine" not in body and body.endswith("\n"), body)
        check("the same worker served both", field(body, "pid") == pid, (field(body, "pid"), pid))
        print(f"the failed request was answered with status {get(fcgi + '?fail')[0]}")
        answers = [get(fcgi + f"?n={i}") for i in range(50)]
        check("after a failed request 50 requests to the worker all answered 200",
              all(a[0] == 200 and field(a[1], "query") == f"n={i}" for i, a in enumerate(answers)),
              [a[0] for a in answers])
        check("by the same worker", {field(a[1], "pid") for a in answers} == {pid},
              {field(a[1], "pid") for a in answers})
        if requests == 0:  # instrumented builds keep freed memory in quarantine
            print("skip memory over many requests: asked for none")
            return
        if not shutil.which("wrk"):
            print("skip memory over many requests: wrk is not installed")
            return
        # Memory after a warm-up against memory after many more requests.
        subprocess.run(["wrk", "-t2", "-c8", "-d2s", fcgi + "?warm"], capture_output=True)
        before = rss_kb(int(pid))
        served_before = int(field(get(fcgi)[1], "served"))
        deadline = time.time() + 300
        served = served_before
        while served - served_before < requests and time.time() < deadline:
            subprocess.run(["wrk", "-t2", "-c8", "-d10s", fcgi + "?load"], capture_output=True)
            served = int(field(get(fcgi)[1], "served"))
        after = rss_kb(int(pid))
        check(f"{served - served_before} requests served", served - served_before >= requests,
              served - served_before)
        check("the worker's memory grew by at most 1 MB", after - before <= 1024,
              f"{before} kB -> {after} kB")
        print(f"worker memory: {before} kB -> {after} kB over {served - served_before} requests")


def session_example_memory(cgi_dir, requests):
    """The session example as a FastCGI worker, one client's session visited many times."""
    if requests == 0 or not shutil.which("wrk"):
        print("skip session example memory: no requests asked for, or no wrk")
        return
    with CgiServer(cgi_dir, mode="fastcgi", probe="/session.cgi") as server:
        out = subprocess.run(["curl", "-s", "-D", "-", server.url + "/session.cgi"],
                             capture_output=True, text=True, check=True).stdout
        cookie = re.search(r"QSESSIONID=[0-9a-f]{32}", out).group(0)
        pids = server.worker_pids("session.cgi")
        check("session example: one worker", len(pids) == 1, pids)

        def visits():
            status, body = get(server.url + "/session.cgi", "-b", cookie)
            found = re.search(r'id="visits">(\d+)<', body)
            return int(found.group(1)) if status == 200 and found else -1

        load = ["wrk", "-t2", "-c8", "-H", f"Cookie: {cookie}", server.url + "/session.cgi"]
        subprocess.run(load[:1] + ["-d2s"] + load[1:], capture_output=True)
        before, start = rss_kb(pids[0]), visits()
        deadline, now = time.time() + 240, start
        while now - start < requests and time.time() < deadline:
            out = subprocess.run(load[:1] + ["-d10s"] + load[1:], capture_output=True,
                                 text=True).stdout
            check("session example under load: no failing response",
                  "Non-2xx" not in out and "Socket errors" not in out, out)
            now = visits()
        after = rss_kb(pids[0])
        check(f"session example: {now - start} visits counted", now - start >= requests,
              now - start)
        check("session example: the worker's memory grew by at most 1 MB",
              after - before <= 1024, f"{before} kB -> {after} kB")
        check("session example: the same worker throughout", server.worker_pids("session.cgi") == pids,
              (pids, server.worker_pids("session.cgi")))
        print(f"session worker memory: {before} kB -> {after} kB over {now - start} requests")


def main():
    cgi_dir, bare = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    probe = os.path.abspath(sys.argv[3])
    requests = int(sys.argv[5]) if len(sys.argv) > 5 and sys.argv[4] == "--requests" else 100000
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
    probe_both_ways(cgi_dir, probe, requests)
    session_example_memory(cgi_dir, requests)
    print("FAILED: " + ", ".join(failures) if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
