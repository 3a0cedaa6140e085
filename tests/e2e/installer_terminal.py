#!/usr/bin/env python3
"""The installer in a real terminal (tmux, 80 by 25): read the screen with its colours,
check where each text stands, press Enter and see the exit status and the unread input.

usage: installer_terminal.py INSTALLER MKPKG
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

SGR = re.compile(r"\x1b\[([0-9;]*)m")
BRIGHT_RED, BRIGHT_BLUE, BRIGHT_WHITE, BLACK = 91, 94, 97, 40


def parse_cells(line):
    """Characters of one captured line with the (foreground, background) of each."""
    cells, fg, bg, at = [], None, None, 0
    while at < len(line):
        match = SGR.match(line, at)
        if match:
            codes = [int(c) for c in match.group(1).split(";") if c] or [0]
            i = 0
            while i < len(codes):
                code = codes[i]
                if code == 0:
                    fg = bg = None
                elif 30 <= code <= 37 or 90 <= code <= 97:
                    fg = code
                elif 40 <= code <= 47 or 100 <= code <= 107:
                    bg = code
                elif code == 39:
                    fg = None
                elif code == 49:
                    bg = None
                elif code in (38, 48) and i + 2 < len(codes) and codes[i + 1] == 5:
                    n = codes[i + 2]
                    value = (30 + n if n < 8 else 90 + n - 8) if n < 16 else None
                    if code == 38:
                        fg = value
                    else:
                        bg = value if value is None else value + 10
                    i += 2
                i += 1
            at = match.end()
            continue
        if line[at] == "\x1b":  # another sequence: skip it
            end = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]").match(line, at)
            at = end.end() if end else at + 1
            continue
        cells.append((line[at], fg, bg))
        at += 1
    return cells


class Terminal:
    def __init__(self, socket):
        self.base = ["tmux", "-L", socket]

    def tmux(self, *args):
        return subprocess.run(self.base + list(args), check=True, capture_output=True,
                              text=True).stdout

    def screen(self, colours=False):
        args = ["capture-pane", "-p", "-t", "run"] + (["-e"] if colours else [])
        return self.tmux(*args).split("\n")

    def wait_for(self, text, seconds=20):
        deadline = time.time() + seconds
        while time.time() < deadline:
            if any(text in line for line in self.screen()):
                return True
            time.sleep(0.1)
        return False


def main():
    os.environ.setdefault("TERM", "xterm-256color")  # tmux needs one, CI may have none
    installer, mkpkg = (os.path.abspath(p) for p in sys.argv[1:3])
    failures = []

    def check(what, condition, detail=""):
        print(("ok   " if condition else "FAIL ") + what + ("" if condition else f": {detail}"))
        if not condition:
            failures.append(what)

    work = tempfile.mkdtemp(prefix="nuvex-terminal-")
    socket = f"nuvex-test-{os.getpid()}"
    terminal = Terminal(socket)
    try:
        env = dict(os.environ, NUVEX_DRIVE_ROOT=f"{work}/drives", TMPDIR=f"{work}/tmp",
                   windir=f"{work}/windows", TERM="xterm-256color")
        for folder in ("drives/c/nuvex/docroot/data", "tmp", "windows", "app"):
            os.makedirs(f"{work}/{folder}", exist_ok=True)
        app_list = f"{work}/drives/c/nuvex/docroot/data/app-list"
        with open(f"{work}/readme.txt", "w") as f:
            f.write("terminal run\n")
        subprocess.run([mkpkg, "build", f"{work}/app/cab1.rpm", "--appname", "Screen Test",
                        "--file", f"$temp_dir$\\screen\\readme.txt={work}/readme.txt"],
                       check=True, env=env)
        script = f"{work}/run.sh"
        with open(script, "w") as f:
            f.write(f"cd '{work}/app'\n'{installer}'\necho $? > '{work}/status'\n"
                    f"IFS= read -r rest\nprintf '%s' \"$rest\" > '{work}/rest'\n")

        terminal.tmux("-f", "/dev/null", "new-session", "-d", "-s", "run", "-x", "80", "-y",
                      "25", *[f"-e{k}={v}" for k, v in env.items()
                              if k in ("NUVEX_DRIVE_ROOT", "TMPDIR", "windir")],
                      "bash", "--noprofile", "--norc", script)
        check("the run reaches its last message", terminal.wait_for("Press Enter to terminate!"),
              "\n".join(terminal.screen()))
        time.sleep(0.3)
        plain = terminal.screen()
        coloured = terminal.screen(colours=True)
        row12 = parse_cells(coloured[12])
        # tmux leaves out trailing blanks of a line.
        banner = "".join(c for c, _, _ in row12[25:40]).rstrip()
        check("banner at column 25, row 12", plain[12][25:].rstrip() == "Nuvex  Belmora",
              repr(plain[12]))
        check("nothing before the banner on its row", plain[12][:25].strip() == "",
              repr(plain[12]))
        check("banner text in the coloured capture", banner == "Nuvex  Belmora", repr(banner))
        check("'N' bright red on black", row12[25][1:] == (BRIGHT_RED, BLACK), row12[25])
        check("'uvex ' bright blue on black",
              all(cell[1:] == (BRIGHT_BLUE, BLACK) for cell in row12[26:31]), row12[26:31])
        check("' Belmora' bright white on black", len(row12) >= 39 and
              all(cell[1:] == (BRIGHT_WHITE, BLACK) for cell in row12[31:39]), row12[31:39])
        check("success text at column 20, row 14",
              plain[14][20:].rstrip() == "Your application was installed successfully..",
              repr(plain[14]))
        check("'Please wait...' is covered", not any("Please wait" in l for l in plain),
              "\n".join(plain))
        check("'Press Enter to terminate!' at column 28, row 16",
              plain[16][28:].rstrip() == "Press Enter to terminate!", repr(plain[16]))
        cursor = terminal.tmux("display-message", "-p", "-t", "run",
                               "#{cursor_x},#{cursor_y}").strip()
        check("cursor right after the last message", cursor == "53,16", cursor)
        check("no other text on the screen",
              sum(1 for l in plain if l.strip()) == 3, "\n".join(plain))

        terminal.tmux("send-keys", "-t", "run", "abc", "Enter")
        deadline = time.time() + 20
        while not os.path.exists(f"{work}/rest") and time.time() < deadline:
            time.sleep(0.1)
        status = open(f"{work}/status").read().strip() if os.path.exists(f"{work}/status") else None
        rest = open(f"{work}/rest").read() if os.path.exists(f"{work}/rest") else None
        check("exit status 0 after Enter", status == "0", status)
        check("only one character consumed", rest == "bc", repr(rest))
        check("file installed from the terminal run",
              os.path.exists(f"{work}/tmp/screen/readme.txt"))
        subprocess.run(terminal.base + ["kill-server"], capture_output=True)

        # A run that fails: a folder where the package puts a file. The failure message
        # takes the success message's place; nothing is registered; exit status 1.
        listed_before = open(app_list, "rb").read() if os.path.exists(app_list) else b""
        os.makedirs(f"{work}/fail/data/blocked")
        with open(f"{work}/fail/data/old.txt", "w") as f:
            f.write("old")
        subprocess.run([mkpkg, "build", f"{work}/fail/cab1.rpm", "--appname", "Failing",
                        "--file", f"data\\old.txt={work}/readme.txt",
                        "--file", f"data\\blocked={work}/readme.txt"], check=True, env=env)
        failing = f"{work}/run-fail.sh"
        with open(failing, "w") as f:
            f.write(f"cd '{work}/fail'\n'{installer}'\necho $? > '{work}/fail-status'\n"
                    f"sleep 600\n")
        terminal.tmux("-f", "/dev/null", "new-session", "-d", "-s", "run", "-x", "80", "-y",
                      "25", *[f"-e{k}={v}" for k, v in env.items()
                              if k in ("NUVEX_DRIVE_ROOT", "TMPDIR", "windir")],
                      "bash", "--noprofile", "--norc", failing)
        check("failing run reaches its last message",
              terminal.wait_for("Press Enter to terminate!"), "\n".join(terminal.screen()))
        time.sleep(0.3)
        plain = terminal.screen()
        message = "Installation failed: data\\blocked: a folder is in the way"
        check("failure text at column 20, row 14", plain[14][20:].rstrip() == message,
              repr(plain[14]))
        check("failing run: banner at column 25, row 12",
              plain[12][25:].rstrip() == "Nuvex  Belmora", repr(plain[12]))
        check("failing run: no success text", not any("successfully" in l for l in plain),
              "\n".join(plain))
        check("failing run: 'Please wait...' is covered",
              not any("Please wait" in l for l in plain), "\n".join(plain))
        check("failing run: 'Press Enter to terminate!' at column 28, row 16",
              plain[16][28:].rstrip() == "Press Enter to terminate!", repr(plain[16]))
        check("failing run: no exit before Enter", not os.path.exists(f"{work}/fail-status"))
        terminal.tmux("send-keys", "-t", "run", "Enter")
        deadline = time.time() + 20
        while not os.path.exists(f"{work}/fail-status") and time.time() < deadline:
            time.sleep(0.1)
        time.sleep(0.1)
        status = (open(f"{work}/fail-status").read().strip()
                  if os.path.exists(f"{work}/fail-status") else None)
        check("exit status 1 after Enter", status == "1", status)
        check("failing run: the old file keeps its bytes",
              open(f"{work}/fail/data/old.txt").read() == "old")
        listed_after = open(app_list, "rb").read() if os.path.exists(app_list) else b""
        check("failing run: the application is not registered", listed_after == listed_before,
              repr(listed_after))
    finally:
        subprocess.run(terminal.base + ["kill-server"], capture_output=True)
        shutil.rmtree(work, ignore_errors=True)
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
