#!/usr/bin/env python3
"""The manual as installed: every function of the installed public headers has a part of a
page that "man NAME" finds, every page names only functions that exist, the overview lists
them all, every installed program has its page, the pages pass mandoc's lint, and the
committed HTML is what scripts/manual.sh renders now (so it cannot go stale), its links
leading to pages that exist.

The table of ec_Printf's modes, in webreq/output.h and in its page, is held to what
ec_Printf writes: each cell is checked by running it.

usage: manual_test.py SOURCE_DIR BUILD_DIR MODES_PROGRAM
"""
import filecmp
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

from checks import check, failures  # noqa: E402


def declared_functions(header):
    """Names of the functions a C header declares (comments and preprocessor lines removed)."""
    with open(header) as f:
        text = f.read()
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    text = re.sub(r"^\s*#.*$", "", text, flags=re.M)
    names = []
    for declaration in text.split(";"):
        flat = " ".join(declaration.split())
        if "typedef" in flat or "(" not in flat:
            continue
        found = re.search(r"([A-Za-z_]\w*)\s*\(", flat)
        if found and found.group(1) != "extern":
            names.append(found.group(1))
    return names


def page_source(mandir, path):
    """The page text, following a ".so" link page to the page it names."""
    with open(path) as f:
        text = f.read()
    link = re.match(r"\.so (\S+)\s*$", text)
    if link:
        with open(os.path.join(mandir, link.group(1))) as f:
            text = f.read()
    return text


def man(mandir, *args):
    env = dict(os.environ, MANPAGER="cat", PAGER="cat", MANWIDTH="100", LC_ALL="C.UTF-8")
    return subprocess.run(["man", "-M", mandir, *args], capture_output=True, text=True, env=env)


def test_installed(source, build, prefix):
    subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True,
                   stdout=subprocess.DEVNULL)
    mandir = os.path.join(prefix, "share", "man")
    headers = sorted(glob.glob(os.path.join(prefix, "include", "**", "*.h"), recursive=True))
    functions = sorted({name for h in headers for name in declared_functions(h)})
    check("the installed headers declare the functions (more than 150)", len(functions) > 150,
          len(functions))
    check("no internal header is installed",
          not [h for h in headers if h.endswith("_internal.h") or "request_state" in h], headers)

    unresolved, without_part, unrendered = [], [], []
    for name in functions:
        found = man(mandir, "-w", "3", name)
        path = found.stdout.strip()
        if found.returncode != 0 or not os.path.isfile(path):
            unresolved.append(name)
            continue
        if not re.search(rf"^\.Ss (.*\s)?{re.escape(name)}(\s.*)?$", page_source(mandir, path),
                         re.M):
            without_part.append(name)
        shown = man(mandir, "3", name)
        if shown.returncode != 0 or name not in shown.stdout:
            unrendered.append(name)
    check("man -M finds a page for every public function", not unresolved, unresolved)
    check("every public function has a part of its own", not without_part, without_part)
    check("man renders every function's page", not unrendered, unrendered)

    named = set()
    for page in glob.glob(os.path.join(source, "doc", "man", "*.3")):
        with open(page) as f:
            named |= set(re.findall(r"^\.Nm (\w+)", f.read(), re.M))
    check("the pages name no function the headers lack", named <= set(functions),
          sorted(named - set(functions)))
    with open(os.path.join(source, "doc", "man", "nuvex.7")) as f:
        overview = set(re.findall(r"^\.Xr (\w+) 3", f.read(), re.M))
    check("the overview lists every function", set(functions) <= overview,
          sorted(set(functions) - overview))

    programs = sorted(os.listdir(os.path.join(prefix, "bin")))
    missing = [p for p in programs if man(mandir, "-w", "1", p).returncode != 0]
    check("every installed program has a page in section 1", programs and not missing,
          (programs, missing))
    check("the overview page is installed", man(mandir, "-w", "7", "nuvex").returncode == 0)


def test_lint(source):
    pages = sorted(glob.glob(os.path.join(source, "doc", "man", "*.[137]")))
    result = subprocess.run(["mandoc", "-T", "lint", "-W", "warning", *pages],
                            capture_output=True, text=True)
    check("mandoc -T lint: no warning or error in any page", result.returncode == 0 and
          not result.stdout.strip() and not result.stderr.strip(), result.stdout + result.stderr)


def test_html(source, work):
    fresh = os.path.join(work, "html")
    subprocess.run([os.path.join(source, "scripts", "manual.sh"), fresh], check=True)
    committed = os.path.join(source, "doc", "html")
    names = sorted(os.listdir(fresh))
    compared = filecmp.cmpfiles(committed, fresh, names, shallow=False)
    extra = sorted(set(os.listdir(committed)) - set(names))
    check("the committed HTML is a fresh render (run scripts/manual.sh)",
          not compared[1] and not compared[2] and not extra,
          {"differ": compared[1], "missing": compared[2], "stale": extra})
    broken = []
    for name in names:
        if not name.endswith(".html"):
            continue
        with open(os.path.join(fresh, name)) as f:
            text = f.read()
            for target in re.findall(r'href="([^"#]*)', text) + re.findall(r"url=([^\"#]*)", text):
                if target and "://" not in target and not os.path.exists(os.path.join(fresh, target)):
                    broken.append((name, target))
    check("every link of the HTML leads to a page that exists", not broken, broken[:10])
    check("index.html leads to every page",
          all(f'href="{os.path.basename(p)}.html"' in open(os.path.join(fresh, "index.html")).read()
              for p in glob.glob(os.path.join(source, "doc", "man", "*.[137]"))))


def header_table(source):
    """The rows of the mode table in the comment of webreq/output.h: mode -> four cells."""
    rows = {}
    with open(os.path.join(source, "webreq", "output.h")) as f:
        for line in f:
            found = re.match(r"^ \*   (\d+)\s+(.+?)\s{2,}(.+?)\s{2,}(.+?)\s{2,}(yes|no)\s*$", line)
            if found:
                rows[int(found.group(1))] = tuple(found.group(i) for i in range(2, 6))
    return rows


def page_table(source):
    """The same table as the page ec_output(3) has it."""
    rows = {}
    with open(os.path.join(source, "doc", "man", "ec_output.3")) as f:
        for line in f:
            found = re.match(r"^\.It (\d+) Ta (.*)$", line.rstrip("\n"))
            if found:
                cells = [c.strip().replace("\\(dq", '"') for c in found.group(2).split(" Ta ")]
                rows[int(found.group(1))] = tuple(cells)
    return rows


def test_mode_table(source, program):
    header, page = header_table(source), page_table(source)
    check("the header's mode table has the 18 modes", sorted(header) ==
          [0, 1, 2, 3, 4, 5, 6, 10, 11, 12, 13, 14, 15, 16, 23, 26, 33, 36], sorted(header))
    check("the page's mode table is the header's", page == header, (page, header))

    def run(mode, text):
        return subprocess.run([program, str(mode), text], capture_output=True, check=True).stdout

    wrong = []
    for mode, (escapes, strips, links, breaks) in sorted(header.items()):
        markup = run(mode, 'a<b>c "q"')
        if escapes == '< > "':
            expected = b"a&lt;b&gt;c &quot;q&quot;"
        elif escapes == '"':
            expected = b"ac &quot;q&quot;" if "tags" in strips else b'a<b>c &quot;q&quot;'
        else:
            expected = b'a<b>c "q"'
        if markup != expected:
            wrong.append((mode, "escapes/strips tags", markup))
        if run(mode, "x & y &amp; &lt;") != b"x & y &amp; &lt;":
            wrong.append((mode, "'&' is never escaped", run(mode, "x & y &amp; &lt;")))
        lines = run(mode, "l1\r\nl2  l3")
        expected = b"l1<br>\nl2 &nbsp;l3" if breaks == "yes" else b"l1\r\nl2  l3"
        if lines != expected or (("CR" in strips) != (breaks == "yes")):
            wrong.append((mode, "line breaks and CR", lines))
        linked = run(mode, "see http://h.example/p?a=1 me@mail.example")
        if links == "no":
            expected = b"see http://h.example/p?a=1 me@mail.example"
        else:
            target = re.match(r'yes, target "(.*)"$', links).group(1).encode()
            expected = (b'see <a href="http://h.example/p?a=1" target="' + target +
                        b'">http://h.example/p?a=1</a> <a href="mailto:me@mail.example">'
                        b"me@mail.example</a>")
        if linked != expected:
            wrong.append((mode, "links", linked))
    check("every cell of the mode table is what ec_Printf does", not wrong, wrong)
    refused = subprocess.run([program, "7", "x"], capture_output=True)
    check("a mode outside the table ends the process with the documented message",
          refused.returncode == 1 and b"_autolink(): Invalid Mode (7)." in refused.stdout,
          refused)


def main():
    source, build = (os.path.abspath(a) for a in sys.argv[1:3])
    program = os.path.abspath(sys.argv[3])
    work = tempfile.mkdtemp(prefix="nuvex-manual-")
    try:
        test_installed(source, build, os.path.join(work, "prefix"))
        test_lint(source)
        test_html(source, work)
        test_mode_table(source, program)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
