#!/usr/bin/env python3
"""guestbook.cgi (the example in C) behind lighttpd, driven by curl: hostile texts come back
exactly as sent and never as markup, a post cannot add lines or posts to the file, the length
bounds refuse without storing, 8 clients posting at once lose no post, a full book takes no
more, the book cannot be fetched from the web, and a post that does not fit on the disk leaves
the book as it was.

usage: guestbook_test.py CGI_DIR
"""
import concurrent.futures
import html
import argparse
import os
import re
import resource
import signal
import subprocess
import sys
import tempfile
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cgi_server import (SKIPPED, CgiServer, add_server_arguments, missing_tools,  # noqa: E402
                        server_form)

from checks import check, failures  # noqa: E402


def curl(*args):
    """Status code and body of one request."""
    command = ["curl", "-s", "-S", "-D", "-", "--max-time", "60", "-H", "Expect:"]
    raw = subprocess.run(command + list(args), capture_output=True, check=True).stdout
    head, _, body = raw.partition(b"\r\n\r\n")
    return int(head.split(b" ", 2)[1]), body.decode("utf-8")


def sign(server, name, message):
    return curl("--data-urlencode", f"name={name}", "--data-urlencode", f"message={message}",
                f"{server.url}/guestbook.cgi")


def posts(body):
    """(name, message) of every post shown, as a browser reads them."""
    found = re.findall(r'<li><b class="name">(.*?)</b>: <span class="message">(.*?)</span></li>',
                       body, re.S)
    return [(html.unescape(n), html.unescape(m.replace("<br>\n", "\n"))) for n, m in found]


def count(body):
    found = re.search(r'<p id="count">(\d+) posts</p>', body)
    return int(found.group(1)) if found else -1


def book_lines(server):
    path = os.path.join(server.uploads, "guestbook.txt")
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        return f.read().splitlines()


def test_empty_and_plain(server):
    status, body = curl(f"{server.url}/guestbook.cgi")
    check("an empty book answers 200 with 0 posts", status == 200 and count(body) == 0, body)
    check("the form is shown", 'id="send"' in body, body)
    status, body = sign(server, "Ann", "Hello there")
    check("a plain post is signed", 'id="signed"' in body, body)
    check("the plain post is shown", posts(body) == [("Ann", "Hello there")], posts(body))


def test_hostile_text(server):
    name = '<img src=x onerror="alert(1)">&amp;'
    message = ("<script>alert('x')</script>\n&lt;b&gt; \"quoted\" 'single' a=b\r\n"
               "evil = line\n# comment\n%41%0A+plus")
    before = len(book_lines(server))
    _, body = sign(server, name, message)
    shown = posts(body)
    check("a hostile post is signed", 'id="signed"' in body, body)
    # CR is dropped where lines break; everything else comes back as it was sent.
    check("name and message come back exactly as sent",
          shown[-1:] == [(name, message.replace("\r", ""))], shown[-1:])
    check("no client markup reaches the page",
          "<script" not in body and "<img" not in body and "&lt;b&gt;" not in body, body)
    check("'&' of the client is escaped too", "&amp;amp;" in body and "&amp;lt;b&amp;gt;" in body,
          body)
    check("the post is one line of the book", len(book_lines(server)) == before + 1,
          book_lines(server))
    check("the post adds one post, not a post per line", count(body) == before + 1, count(body))


def test_bounds(server):
    before = len(book_lines(server))
    _, body = sign(server, "n" * 65, "hello")
    check("a name of 65 bytes is refused", "the name is too long" in body, body)
    _, body = sign(server, "Bo", "m" * 2001)
    check("a message of 2001 bytes is refused", "the message is too long" in body, body)
    _, body = sign(server, "Bo", "   \n  ")
    check("a message of blanks is refused", "the message is empty" in body, body)
    check("refused posts store nothing", len(book_lines(server)) == before, book_lines(server))
    _, body = sign(server, "n" * 64, "m" * 2000)
    check("a name of 64 and a message of 2000 bytes are signed",
          'id="signed"' in body and posts(body)[-1] == ("n" * 64, "m" * 2000), body[-300:])
    # Five bytes of output per '&': the longest message still fits one ec_Printf.
    _, body = sign(server, "Amp", "&" * 2000)
    check("a message of 2000 '&' is shown whole", posts(body)[-1] == ("Amp", "&" * 2000),
          body[-300:])
    _, body = sign(server, "", "no name")
    check("a post without a name is signed as anonymous", posts(body)[-1] == ("anonymous", "no name"),
          posts(body)[-1:])


def test_parallel(server):
    before = len(book_lines(server))

    def client(number):
        for i in range(10):
            sign(server, f"client{number}", f"post {i} of {number}\nsecond line")

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        list(pool.map(client, range(8)))
    lines = book_lines(server)
    check("8 clients x 10 posts: every post stored", len(lines) == before + 80, len(lines) - before)
    _, body = curl(f"{server.url}/guestbook.cgi")
    expected = {(f"client{n}", f"post {i} of {n}\nsecond line") for n in range(8) for i in range(10)}
    check("every parallel post reads back whole", expected <= set(posts(body)),
          len(expected - set(posts(body))))


def test_full_and_hidden(server):
    path = os.path.join(server.uploads, "guestbook.txt")
    with open(path, "ab") as f:
        f.write(b"filler = " + b"x" * 262144 + b"\n")
    before = len(book_lines(server))
    _, body = sign(server, "Late", "too late")
    check("a full book takes no more posts", "the guestbook is full" in body, body[:400])
    check("the full book is unchanged", len(book_lines(server)) == before, len(book_lines(server)))
    status, _ = curl(f"{server.url}/guestbook.txt")
    check("the book is not below the document root", status == 404, status)


def run_cgi(cgi_dir, book, name, message, file_size_limit=None):
    """The page of one POST to guestbook.cgi run directly as a CGI program; with a limit, its
    writes past that many bytes of a file fail as on a full disk."""
    body = urllib.parse.urlencode({"name": name, "message": message}).encode()
    env = {"REQUEST_METHOD": "POST", "CONTENT_TYPE": "application/x-www-form-urlencoded",
           "CONTENT_LENGTH": str(len(body)), "NUVEX_GUESTBOOK_FILE": book,
           "PATH": os.environ.get("PATH", "")}

    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))

    done = subprocess.run([os.path.join(cgi_dir, "guestbook.cgi")], input=body, env=env,
                          capture_output=True, timeout=60,
                          preexec_fn=limit if file_size_limit is not None else None)
    return done.stdout.decode("utf-8", "replace")


def test_full_disk(cgi_dir):
    with tempfile.TemporaryDirectory() as work:
        book = os.path.join(work, "guestbook.txt")
        run_cgi(cgi_dir, book, "Ann", "first post")
        with open(book, "rb") as f:
            before = f.read()
        body = run_cgi(cgi_dir, book, "Bo", "m" * 2000, file_size_limit=len(before) + 100)
        check("a post the disk cannot take is not claimed as signed",
              'id="signed"' not in body and "could not be written" in body, body[-400:])
        with open(book, "rb") as f:
            after = f.read()
        check("a post the disk cannot take leaves the book byte for byte", after == before,
              f"{len(before)} bytes before, {len(after)} after")
        body = run_cgi(cgi_dir, book, "Cy", "after the full disk")
        check("the next post lands whole on its own line",
              posts(body) == [("Ann", "first post"), ("Cy", "after the full disk")],
              posts(body))


def main():
    # --mode fastcgi: the same program as a worker, request after request; --server nginx or
    # apache: behind that server (cgi_server.py).
    parser = argparse.ArgumentParser()
    parser.add_argument("cgi_dir")
    add_server_arguments(parser)
    args = parser.parse_args()
    cgi_dir = os.path.abspath(args.cgi_dir)
    print(f"server: {server_form(args)}")
    if missing_tools(args.server, args.mode):
        print(f"skip: not installed: {missing_tools(args.server, args.mode)}")
        return SKIPPED
    if args.mode == "cgi" and args.server == "lighttpd":
        test_full_disk(cgi_dir)
    with CgiServer(cgi_dir, probe="/guestbook.cgi", **server_form(args)) as server:
        test_empty_and_plain(server)
        test_hostile_text(server)
        test_bounds(server)
        test_parallel(server)
        test_full_and_hidden(server)
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
