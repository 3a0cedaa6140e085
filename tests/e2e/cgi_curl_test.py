#!/usr/bin/env python3
"""The example CGI programs behind lighttpd, driven by curl: query strings, cookies, form
posts, uploads (a 50 MB file with NUL bytes arrives byte for byte), a broken multipart body,
sessions through their life, and 8 clients in parallel on one session and one counter.

usage: cgi_curl_test.py CGI_DIR
"""
import concurrent.futures
import glob
import hashlib
import html
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cgi_server import CgiServer  # noqa: E402

failures = []


def check(what, condition, detail=""):
    print(("ok   " if condition else "FAIL ") + what + ("" if condition else f": {detail}"))
    if not condition:
        failures.append(what)


def curl(*args, jar=None):
    """Status code, headers and body of one request."""
    command = ["curl", "-s", "-S", "-D", "-", "--max-time", "120", "-H", "Expect:"]
    if jar:
        command += ["-b", jar, "-c", jar]
    result = subprocess.run(command + list(args), capture_output=True, check=True)
    raw = result.stdout
    head, _, body = raw.partition(b"\r\n\r\n")
    status = int(head.split(b" ", 2)[1])
    return status, head.decode("latin-1"), body.decode("latin-1")


def items(body):
    return [html.unescape(x) for x in re.findall(r"<li>(.*?)</li>", body)]


def test_fields_cookies_and_query(server):
    status, _, body = curl("-b", "theme=dark; lang=en%20GB", "--data", "name=Ann&note=a+b%26c%3D",
                           f"{server.url}/form.cgi?q=1&q=two+words&empty")
    check("post answered with 200", status == 200, status)
    check("greeting escapes and shows the name", 'id="greeting">Hello, Ann</p>' in body, body)
    check("entries in the order cookie, query, body",
          items(body) == ["theme = dark", "lang = en GB", "q = 1", "q = two words", "empty = ",
                          "name = Ann", "note = a b&c="], items(body))


def test_uploads(server, work):
    text = os.path.join(work, "notes.txt")
    with open(text, "w") as f:
        f.write("line one\r\nline two\n")
    status, _, body = curl("-F", "name=text", "-F", f"upload=@{text};type=text/plain",
                           f"{server.url}/form.cgi")
    check("text upload: length", f"upload.length = {os.path.getsize(text)}" in items(body),
          items(body))
    check("text upload: file name", "upload.filename = notes.txt" in items(body), items(body))
    check("text upload: content type", "upload.contenttype = text/plain" in items(body), items(body))
    with open(os.path.join(server.uploads, "text.upload"), "rb") as f:
        check("text upload stored as sent", f.read() == open(text, "rb").read())

    big = os.path.join(work, "big.bin")
    with open(big, "wb") as f:
        chunk = bytes(range(256)) * 4096 + b"\0" * 65536 + b"\r\n--not-a-boundary\r\n"
        written = 0
        while written < 50 * 1024 * 1024:
            f.write(chunk)
            written += len(chunk)
    size = os.path.getsize(big)
    status, _, body = curl("-F", "name=big", "-F", f"upload=@{big};type=application/octet-stream",
                           f"{server.url}/form.cgi")
    check("50 MB upload answered", status == 200, status)
    check("50 MB upload: exact length", f"upload.length = {size}" in items(body), items(body))
    stored = os.path.join(server.uploads, "big.upload")
    same = os.path.exists(stored) and hashlib.md5(open(stored, "rb").read()).digest() == \
        hashlib.md5(open(big, "rb").read()).digest()
    check("50 MB upload arrives byte for byte", same)


def test_broken_multipart(server, work):
    broken = os.path.join(work, "broken.txt")
    with open(broken, "wb") as f:
        f.write(b"--XYZ\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\nAnn\r\n"
                b"--XYZ\r\nContent-Disposition: form-data; name=\"cut<off>\"\r\n\r\nno end")
    status, _, body = curl("-H", "Content-Type: multipart/form-data; boundary=XYZ",
                           "--data-binary", f"@{broken}", f"{server.url}/form.cgi")
    check("broken body: the error page", "<title>Error: _parse_multipart_data():" in body, body)
    check("broken body: the part's name escaped in the title", "'cut&lt;off>'" in body, body)
    check("broken body: the alert carries the message",
          "alert(\"_parse_multipart_data(): \\x09\\x09\\x09Broken stream at end of "
          "'cut\\x3coff>'.\");" in body, body)
    check("broken body: answered", status in (200, 500), status)


def session_files(server):
    return sorted(os.path.basename(p) for p in glob.glob(os.path.join(server.sessions, "*")))


def field(body, name):
    found = re.search(rf'id="{name}">(.*?)</p>', body)
    return found.group(1) if found else None


def test_session_life(server, work):
    jar = os.path.join(work, "session.jar")
    status, head, body = curl(f"{server.url}/session.cgi", jar=jar)
    cookie = re.search(r"Set-Cookie: QSESSIONID=([0-9a-f]{32}); path=/", head)
    check("new session sets its cookie", cookie is not None, head)
    check("new session", field(body, "state") == "new", body)
    sid = cookie.group(1) if cookie else ""
    check("a modified new session is saved",
          session_files(server) == [f"ec_session-{sid}.properties", f"ec_session-{sid}.timeout"],
          session_files(server))
    _, _, body = curl(f"{server.url}/session.cgi?action=signin&name=Bob+Smith", jar=jar)
    check("resumed with the same identifier", field(body, "session") == sid, body)
    check("signed in", field(body, "user") == "Bob Smith", body)
    check("visit counter", field(body, "visits") == "2", body)
    _, _, body = curl(f"{server.url}/session.cgi", jar=jar)
    check("third visit", field(body, "visits") == "3" and field(body, "state") == "resumed", body)
    _, head, body = curl(f"{server.url}/session.cgi?action=signout", jar=jar)
    check("sign out removes the cookie",
          re.search(r"Set-Cookie: QSESSIONID=; expires=\w{3}, \d{2}-\w{3}-\d{4} [0-9:]{8} GMT; "
                    r"path=/", head) is not None, head)
    check("sign out deletes the files", session_files(server) == [], session_files(server))
    status, _, body = curl("-b", "QSESSIONID=../../etc/passwd", f"{server.url}/session.cgi")
    check("a foreign identifier starts a new session", field(body, "state") == "new", body)
    check("and touches no outside path",
          all(re.fullmatch(r"ec_session-[0-9a-f]{32}\.(properties|timeout)", f)
              for f in session_files(server)), session_files(server))


def test_session_expiry(cgi_dir, work):
    with CgiServer(cgi_dir, session_timeout=3) as server:
        jar = os.path.join(work, "expiry.jar")
        _, _, body = curl(f"{server.url}/session.cgi", jar=jar)
        first = field(body, "session")
        _, _, body = curl(f"{server.url}/session.cgi", jar=jar)
        check("resumed within the timeout", field(body, "session") == first, body)
        time.sleep(5)
        _, head, body = curl(f"{server.url}/session.cgi", jar=jar)
        check("expired after the timeout", field(body, "state") == "new" and
              field(body, "session") != first, body)
        check("the expired files are gone",
              not any(first in f for f in session_files(server)), session_files(server))


def test_parallel(server, work):
    jar = os.path.join(work, "parallel.jar")
    curl(f"{server.url}/session.cgi", jar=jar)
    sid = open(jar).read().split("QSESSIONID")[1].split()[0]
    properties = os.path.join(server.sessions, f"ec_session-{sid}.properties")

    def session_request(_):
        status, _, body = curl("-b", f"QSESSIONID={sid}", f"{server.url}/session.cgi")
        return status == 200 and field(body, "session") == sid and \
            field(body, "visits") is not None

    def counter_request(_):
        status, _, body = curl(f"{server.url}/template.cgi?name=P")
        return status == 200 and field(body, "hits") is not None

    with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
        session_ok = list(pool.map(session_request, range(40)))
        counter_ok = list(pool.map(counter_request, range(80)))
    check("8 clients on one session: every response valid", all(session_ok), session_ok)
    check("8 clients on one counter: every response valid", all(counter_ok), counter_ok)
    text = open(properties).read()
    check("no torn session file", text.startswith("# automatically generated") and
          "_Q_INTERVAL = " in text and text.endswith("\n"), text)
    check("8 clients on one counter: no lost increment",
          open(server.counter).read().split()[0] == "80", open(server.counter).read())
    _, _, body = curl(f"{server.url}/template.cgi?name=Zed")
    check("template with include and counter",
          'id="title">Template example</h1>' in body and "Hello, Zed." in body and
          field(body, "hits") == "81", body)


def main():
    cgi_dir = os.path.abspath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="nuvex-curl-")
    try:
        with CgiServer(cgi_dir) as server:
            test_fields_cookies_and_query(server)
            test_uploads(server, work)
            test_broken_multipart(server, work)
            test_session_life(server, work)
            test_parallel(server, work)
        test_session_expiry(cgi_dir, work)
    finally:
        subprocess.run(["rm", "-rf", work])
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
