#!/usr/bin/env python3
"""The example CGI programs behind lighttpd, driven by curl: query strings, cookies, form
posts, uploads (a 50 MB file with NUL bytes arrives byte for byte), a broken multipart body,
sessions through their life, 8 clients in parallel on one session and one counter, and each
example under hostile input (traversal names, spoofed lengths, over-long fields and lines).
With --mode fastcgi the same programs run as FastCGI workers (one per program, spawned by
lighttpd), and the requests that follow each other on a worker show nothing of one another.
With --server nginx or apache the same suite runs behind that server (see cgi_server.py).

usage: cgi_curl_test.py CGI_DIR [--mode cgi|fastcgi] [--server lighttpd|nginx|apache]
                        [--keep] [--unbuffered]
"""
import argparse
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
from cgi_server import (SKIPPED, CgiServer, add_server_arguments, missing_tools,  # noqa: E402
                        server_form)

from checks import check, failures  # noqa: E402


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


def stored_file(server, body):
    """Path of the file that form.cgi says it stored, or None."""
    found = re.search(r'id="file">([0-9a-f]{32}-\d+\.upload)</p>', body)
    return os.path.join(server.uploads, found.group(1)) if found else None


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
    stored = stored_file(server, body)
    check("text upload stored as sent under a name of the program's",
          stored is not None and open(stored, "rb").read() == open(text, "rb").read(), body)

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
    stored = stored_file(server, body)
    same = stored is not None and hashlib.md5(open(stored, "rb").read()).digest() == \
        hashlib.md5(open(big, "rb").read()).digest()
    check("50 MB upload arrives byte for byte", same)


def multipart(server, work, parts, *extra, boundary="HostileBoundary"):
    """Posts a hand-made multipart body: parts are (header lines, value bytes)."""
    raw = b""
    for headers, value in parts:
        raw += b"--" + boundary.encode() + b"\r\n" + b"".join(h + b"\r\n" for h in headers) + \
            b"\r\n" + value + b"\r\n"
    raw += b"--" + boundary.encode() + b"--\r\n"
    path = os.path.join(work, "hostile.body")
    with open(path, "wb") as f:
        f.write(raw)
    return curl("-H", f"Content-Type: multipart/form-data; boundary={boundary}",
                "--data-binary", f"@{path}", *extra, f"{server.url}/form.cgi")


def field_part(name, value):
    return ([b'Content-Disposition: form-data; name="' + name + b'"'], value)


def file_part(name, filename, value):
    return ([b'Content-Disposition: form-data; name="' + name + b'"; filename="' + filename + b'"',
             b"Content-Type: application/octet-stream"], value)


def files_outside_uploads(server):
    """Every file under the server's folders but the upload folder, the sessions, the counter
    and the server's log: where a hostile upload name must never write."""
    found = set()
    for top, _, names in os.walk(server.work):
        if top.startswith(server.uploads) or top.startswith(server.sessions):
            continue
        found.update(os.path.join(top, n) for n in names)
    return found - {server.counter, os.path.join(server.work, "error.log")}


def test_form_hostile(server, work):
    page_whole = lambda body: body.rstrip().endswith("</body></html>")  # noqa: E731

    for label, name in (("traversal name", b"../www/x"),
                        ("999 characters of ../ and ./", (b"../" * 200 + b"./" * 200)[:999])):
        before, outside = set(os.listdir(server.uploads)), files_outside_uploads(server)
        status, _, body = multipart(server, work, [field_part(b"name", name),
                                                   file_part(b"upload", b"a.txt", b"DATA")])
        stored = stored_file(server, body)
        check(f"{label}: stored under a name of the program's",
              stored is not None and open(stored, "rb").read() == b"DATA", body[-300:])
        check(f"{label}: nothing written outside the upload folder",
              files_outside_uploads(server) == outside, files_outside_uploads(server) - outside)
        check(f"{label}: one new file in the upload folder",
              len(set(os.listdir(server.uploads)) - before) == 1, os.listdir(server.uploads))

    status, _, body = multipart(server, work,
                                [field_part(b"name", b"spoof"),
                                 field_part(b"upload.length", b"200000"),
                                 file_part(b"upload", b"four.bin", b"4byt")],
                                "-b", "upload.length=200000",
                                boundary="B")
    stored = stored_file(server, body)
    check("a cookie, a query field and a part named upload.length do not change the length",
          stored is not None and os.path.getsize(stored) == 4, body[-400:])
    status, _, body = curl("-b", "upload.length=200000", "--data",
                           "name=form&upload=abcd&upload.length=200000&upload.filename=x.txt",
                           f"{server.url}/form.cgi?upload.length=200000")
    check("urlencoded fields that look like an upload store nothing",
          stored_file(server, body) is None and "stored" not in body and page_whole(body),
          body[-300:])

    note = ("<b>&\"" * 2575)[:10300]
    status, _, body = curl("--data-urlencode", "name=Ann", "--data-urlencode", f"note={note}",
                           f"{server.url}/form.cgi")
    check("a 10,300-character note is shown whole and escaped",
          f"note = {note}" in items(body) and "<b>" not in body.split("<ul>")[1], body[-300:])
    check("the page with the long note ends as a page", page_whole(body), body[-300:])

    long_name = "<script>x</script>" * 600
    status, _, body = curl("--data-urlencode", f"name={long_name}", f"{server.url}/form.cgi")
    greeting = re.search(r'id="greeting">Hello, (.*?)</p>', body)
    check("a 10,800-character name is greeted escaped and whole",
          greeting is not None and html.unescape(greeting.group(1)) == long_name and
          "<script>" not in body and page_whole(body), body[-300:])

    smuggled = b"A" * 1000 + b'Content-Disposition: form-data; name="upload"; filename="evil.html"'
    status, _, body = multipart(server, work, [field_part(b"name", b"Ann"),
                                               file_part(b"note", smuggled, b"<p>x</p>")])
    check("an over-long header line smuggles no second Content-Disposition",
          not any(i.startswith("upload.") for i in items(body)) and
          stored_file(server, body) is None, items(body))
    status, _, body = multipart(server, work, [field_part(b"name", b"Ann"),
                                               file_part(b"upload", b"../../www/evil.html", b"x")])
    check("a file name loses everything up to its last '/'",
          "upload.filename = evil.html" in items(body), items(body))

    fields = os.path.join(work, "fields.body")
    with open(fields, "w") as f:
        f.write("name=a" + "&" * 200000)
    status, _, body = curl("--data-binary", f"@{fields}", f"{server.url}/form.cgi")
    check("a body of 200,000 fields is refused with its message",
          "The request holds more than 100000 fields." in html.unescape(body), body[-300:])


def test_session_hostile(server, work):
    _, _, body = curl(f"{server.url}/session.cgi?action=signin&name=" + "n" * 5000)
    check("an over-long sign-in name is refused with a message",
          "A name of at most 100 characters" in html.unescape(body), body[-300:])
    jar = os.path.join(work, "hostile.jar")
    curl(f"{server.url}/session.cgi", jar=jar)
    _, _, body = curl("--data", "action=signin&name="
                      "bob%0Avisits%20%3D%202147483647%0A_Q_INTERVAL%20%3D%2099",
                      f"{server.url}/session.cgi", jar=jar)
    check("a sign-in name with line breaks is refused",
          "without control characters" in html.unescape(body), body[-300:])
    saved = "".join(open(os.path.join(server.sessions, f)).read()
                    for f in session_files(server) if f.endswith(".properties"))
    check("and adds nothing to the session file",
          "2147483647" not in saved and "_Q_INTERVAL = 99" not in saved, saved)


def test_template_hostile(server):
    for label, name in (("an include directive", '<!--#include file="/etc/passwd"-->'),
                        ("an argument name", "$HITS"), ("markup", "<b>x</b>"),
                        ("an over-long name", "a" * 5000)):
        _, _, body = curl("--data-urlencode", f"name={name}", f"{server.url}/template.cgi")
        check(f"template: {label} in the name greets a visitor",
              "Hello, visitor." in body and "root:" not in body and
              body.rstrip().endswith("</html>"), body[-300:])
    with open(server.counter, "w") as f:
        f.write("2147483647\n")
    _, _, body = curl(f"{server.url}/template.cgi?name=Max")
    check("a counter at INT_MAX stays there",
          field(body, "hits") == "2147483647" and
          open(server.counter).read().split()[0] == "2147483647", body[-300:])


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


def test_session_expiry(cgi_dir, work, form):
    with CgiServer(cgi_dir, session_timeout=3, **form) as server:
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


def same_worker(server, name, before):
    """Under FastCGI: the program's one worker is still the one seen before."""
    if server.mode != "fastcgi":
        return
    check(f"{name}: the same workers served every request", server.worker_pids(name) == before,
          (before, server.worker_pids(name)))


def test_isolation(server, work):
    form_worker, session_worker = server.worker_pids("form.cgi"), server.worker_pids("session.cgi")
    if server.mode == "fastcgi":
        check("the workers of each program started",
              len(form_worker) == server.procs and len(session_worker) == server.procs,
              (form_worker, session_worker))
    # One client's values, then another client's request to the same program.
    curl("-b", "theme=secret-cookie", "--data", "name=SecretName&note=secret-note",
         f"{server.url}/form.cgi?q=secret-query")
    _, _, body = curl(f"{server.url}/form.cgi?q=other")
    check("the next request shows none of the last one's values",
          "secret" not in body.lower() and items(body) == [] and "<form" in body, body)
    _, _, body = curl("--data", "name=Ann", f"{server.url}/form.cgi")
    check("the next post shows only its own values", items(body) == ["name = Ann"], items(body))
    # A signed-in session, then a new client: a new session, no user.
    jar = os.path.join(work, "isolation.jar")
    curl(f"{server.url}/session.cgi", jar=jar)
    _, _, body = curl(f"{server.url}/session.cgi?action=signin&name=Mallory", jar=jar)
    signed = field(body, "session")
    check("signed in", field(body, "user") == "Mallory", body)
    _, head, body = curl(f"{server.url}/session.cgi")
    check("a new client gets a new session of its own",
          field(body, "state") == "new" and field(body, "user") == "" and
          field(body, "session") not in (None, signed) and "Mallory" not in body and
          f"QSESSIONID={signed}" not in head, body)
    # A failed request (the error page), then 50 good ones.
    status, _, body = curl("-H", "Content-Type: multipart/form-data; boundary=XYZ",
                           "--data-binary", "--XYZ\r\nContent-Disposition: form-data; "
                           "name=\"cut\"\r\n\r\nno end", f"{server.url}/form.cgi")
    check("the broken request gets the error page", "<title>Error: " in body, body)
    answers = [curl("--data", f"name=N{i}", f"{server.url}/form.cgi") for i in range(50)]
    check("after it 50 requests all answered 200 with their own values",
          all(a[0] == 200 and items(a[2]) == [f"name = N{i}"] and "Error" not in a[2]
              for i, a in enumerate(answers)),
          [(a[0], items(a[2])) for a in answers if a[0] != 200][:5])
    _, _, body = curl("-b", "QSESSIONID=" + "0" * 32, f"{server.url}/session.cgi?action=signin")
    check("a refused sign-in shows the error page", "<title>Error: " in body, body[-300:])
    _, _, body = curl(f"{server.url}/session.cgi")
    check("and the next visitor gets a fresh session",
          field(body, "state") == "new" and field(body, "visits") == "1", body)
    same_worker(server, "form.cgi", form_worker)
    same_worker(server, "session.cgi", session_worker)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("cgi_dir")
    add_server_arguments(parser)
    args = parser.parse_args()
    cgi_dir = os.path.abspath(args.cgi_dir)
    form = server_form(args)
    print(f"server: {form}")
    if missing_tools(args.server, args.mode):
        print(f"skip: not installed: {missing_tools(args.server, args.mode)}")
        return SKIPPED
    work = tempfile.mkdtemp(prefix="nuvex-curl-")
    try:
        with CgiServer(cgi_dir, **form) as server:
            test_fields_cookies_and_query(server)
            test_uploads(server, work)
            test_broken_multipart(server, work)
            test_form_hostile(server, work)
            test_session_life(server, work)
            test_parallel(server, work)
            test_template_hostile(server)
            test_session_hostile(server, work)
            test_isolation(server, work)
        test_session_expiry(cgi_dir, work, form)
    finally:
        subprocess.run(["rm", "-rf", work])
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
