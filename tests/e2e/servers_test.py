#!/usr/bin/env python3
"""The examples behind every server form users deploy (lighttpd, nginx through fcgiwrap and
as FastCGI workers with request buffering on and off and kept connections, Apache mod_cgid and
mod_proxy_fcgi with and without connection reuse), each started with its own configuration:
what each server passes differently reaches the page as it should.

- A POST without a body (nginx passes an empty CONTENT_LENGTH) gets the page, and a chunked
  body that nginx streams to the worker without a length is read to its end.
- A page that ends without reading its body (here an error page sent after the first line of
  a broken multipart body) reaches the client whole, request after request: under CGI the
  server is not left writing to a program that has ended, and a kept FastCGI connection serves
  the next request.
- A FastCGI worker's printf, puts and fwrite to stdout reach its client as under CGI.

usage: servers_test.py CGI_DIR SERVE_PROBE [--only LABEL]
"""
import argparse
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cgi_server import SKIPPED, CgiServer, missing_tools, server_forms  # noqa: E402

failures = []
skipped = []
checked = []


def check(what, condition, detail=""):
    print(time.strftime("%H:%M:%S ") + ("ok   " if condition else "FAIL ") + what + ("" if condition else f": {detail}"))
    checked.append(what)
    if not condition:
        failures.append(what)


def curl(*args):
    """Status and body of one request (status 0 when the connection failed)."""
    out = subprocess.run(["curl", "-s", "--max-time", "30", "-H", "Expect:", "-o", "-", "-w",
                          "\n%{http_code}", *args], capture_output=True).stdout
    body, _, status = out.rpartition(b"\n")
    return int(status or 0), body.decode("latin-1")


def body_without_length(server, label):
    status, body = curl("-X", "POST", server.url + "/template.cgi")
    if server.server == "nginx":  # the one server that passes an empty CONTENT_LENGTH
        check(f"{label}: a POST without a body gets the page",
              status == 200 and "Hello, visitor." in body and "Error" not in body,
              (status, body[-300:]))
    else:
        print(f"     {label}: a POST without a body answered {status}")
    status, body = curl("-H", "Transfer-Encoding: chunked", "--data-binary", "name=Chunked",
                        server.url + "/template.cgi")
    if server.server == "nginx":
        check(f"{label}: a chunked body is read to its end",
              status == 200 and "Hello, Chunked." in body, (status, body[-300:]))
    else:
        print(f"     {label}: a chunked body answered {status}")


def unread_body(server, label, rounds):
    """The error page that form.cgi sends after reading one line of a 300 KB body."""
    broken = os.path.join(server.work, "unread.body")
    with open(broken, "wb") as f:
        f.write(b"not the boundary\r\n" + b"x" * 300000)
    pages = []
    for i in range(rounds):
        pages.append(curl(server.url + f"/form.cgi?round={i}"))
        pages.append(curl("-H", "Content-Type: multipart/form-data; boundary=B",
                          "--data-binary", f"@{broken}", server.url + "/form.cgi"))
        pages.append(curl(server.url + f"/probe.cgi?after={i}"))
    gets, errors, probes = pages[0::3], pages[1::3], pages[2::3]
    check(f"{label}: {rounds} error pages sent before the body was read arrive whole",
          all(status in (200, 500) and "String format invalid" in body and
              body.rstrip().endswith("</html>") for status, body in errors),
          [(s, len(b), b[-80:]) for s, b in errors if not b.rstrip().endswith("</html>")][:3])
    check(f"{label}: the requests around them are answered",
          all(s == 200 and "<form" in b for s, b in gets) and
          all(s == 200 and f"query=after={i} " in b for i, (s, b) in enumerate(probes)),
          [(s, b[-80:]) for s, b in gets + probes if s != 200][:3])


def standard_output(server, label):
    status, body = curl(server.url + "/probe.cgi?stdio")
    check(f"{label}: printf, puts and fwrite reach the client in order",
          status == 200 and body == "printf 1\nchannel\nputs\nfwrite\n", (status, body[-300:]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("cgi_dir")
    parser.add_argument("probe")
    parser.add_argument("--only", help="run the forms whose label holds this text")
    parser.add_argument("--rounds", type=int, default=20)
    args = parser.parse_args()
    cgi_dir, probe = os.path.abspath(args.cgi_dir), os.path.abspath(args.probe)
    for server_name, mode, options, label in server_forms():
        if args.only and args.only not in label:
            continue
        if missing_tools(server_name, mode):
            print(f"skip {label}: not installed: {missing_tools(server_name, mode)}")
            skipped.append(label)
            continue
        started = time.time()
        with CgiServer(cgi_dir, mode=mode, server=server_name, **options,
                       extra_programs={"probe.cgi": probe}) as server:
            workers = server.worker_pids("form.cgi")
            body_without_length(server, label)
            unread_body(server, label, args.rounds)
            standard_output(server, label)
            if mode == "fastcgi":
                check(f"{label}: the same workers throughout",
                      len(workers) == server.procs and server.worker_pids("form.cgi") == workers,
                      (workers, server.worker_pids("form.cgi")))
        print(f"     {label}: {time.time() - started:.1f} s")
    print("FAILED: " + ", ".join(failures) if failures else "all passed")
    if failures:
        return 1
    return SKIPPED if skipped and not checked else 0


if __name__ == "__main__":
    sys.exit(main())
