#!/usr/bin/env python3
"""The Windows installer under Wine in a real terminal (tmux, 80 by 25). Started from a tty,
Wine's console host draws the program's console screen buffer into the terminal with escape
sequences, so the console calls of the Windows backend (clear, cursor moves, colour
attributes) can be read back from the pane: check where each text stands and in which
colours, press Enter and see the exit status.

usage: installer_terminal_wine.py WINE INSTALLER_EXE MKPKG_EXE
       (WINEPREFIX names the build's prefix; it is made when missing)
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from installer_terminal import BLACK, BRIGHT_BLUE, BRIGHT_RED, BRIGHT_WHITE, Terminal, parse_cells  # noqa: E402

# Wine is slow to start on a loaded machine, more so on the first run in a prefix.
START_SECONDS = 180


def main():
    wine, installer, mkpkg = (os.path.abspath(p) for p in sys.argv[1:4])
    prefix = os.environ.get("WINEPREFIX")
    if not prefix:
        print("FAIL the Wine run needs WINEPREFIX")
        return 1
    env = dict(os.environ, TERM="xterm-256color")
    env.setdefault("WINEDEBUG", "-all")
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        subprocess.run([wine, "wineboot", "--init"], env=env, capture_output=True, timeout=600)
    failures = []

    def check(what, condition, detail=""):
        print(("ok   " if condition else "FAIL ") + what + ("" if condition else f": {detail}"))
        if not condition:
            failures.append(what)

    work = tempfile.mkdtemp(prefix="nuvex-terminal-wine-")
    socket = f"nuvex-wine-test-{os.getpid()}"
    terminal = Terminal(socket)
    app_list = os.path.join(prefix, "drive_c/nuvex/docroot/data/app-list")
    try:
        os.makedirs(os.path.dirname(app_list), exist_ok=True)
        with open(app_list, "w") as f:
            f.write("existing=line\n")
        os.makedirs(f"{work}/app")
        with open(f"{work}/readme.txt", "w") as f:
            f.write("terminal run under Wine\n")
        subprocess.run([wine, mkpkg, "build", "app/cab1.rpm", "--appname", "Screen Test",
                        "--file", "screen\\readme.txt=readme.txt"],
                       check=True, cwd=work, env=env, capture_output=True, timeout=600)
        # Wine's own messages go to a file: only the console host may draw on the pane.
        script = f"{work}/run.sh"
        with open(script, "w") as f:
            f.write(f"cd '{work}/app'\n'{wine}' '{installer}' 2>'{work}/wine.err'\n"
                    f"echo $? > '{work}/status'\nsleep 600\n")

        passed = {k: v for k, v in env.items()
                  if k in ("WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES", "WINESERVER")}
        terminal.tmux("-f", "/dev/null", "new-session", "-d", "-s", "run", "-x", "80", "-y",
                      "25", *[f"-e{k}={v}" for k, v in passed.items()],
                      "bash", "--noprofile", "--norc", script)
        check("the run reaches its last message",
              terminal.wait_for("Press Enter to terminate!", START_SECONDS),
              "\n".join(terminal.screen()))
        time.sleep(0.5)  # the console host draws the cursor move after the text
        plain = terminal.screen()
        coloured = terminal.screen(colours=True)
        row12 = parse_cells(coloured[12])

        def colours(cells, foreground):
            # Wine draws the black background as the terminal's default background.
            return len(cells) > 0 and all(c[1] == foreground and c[2] in (BLACK, None)
                                          for c in cells)

        check("banner at column 25, row 12", plain[12][25:].rstrip() == "Nuvex  Belmora",
              repr(plain[12]))
        check("nothing before the banner on its row", plain[12][:25].strip() == "",
              repr(plain[12]))
        check("'N' bright red on black", colours(row12[25:26], BRIGHT_RED), row12[25:26])
        check("'uvex ' bright blue on black", colours(row12[26:31], BRIGHT_BLUE), row12[26:31])
        check("' Belmora' bright white on black",
              len(row12) >= 39 and colours(row12[31:39], BRIGHT_WHITE), row12[31:39])
        check("success text at column 20, row 14",
              plain[14][20:].rstrip() == "Your application was installed successfully..",
              repr(plain[14]))
        check("'Please wait...' is covered", not any("Please wait" in l for l in plain),
              "\n".join(plain))
        check("'Press Enter to terminate!' at column 28, row 16",
              plain[16][28:].rstrip() == "Press Enter to terminate!", repr(plain[16]))
        check("no other text on the screen",
              sum(1 for l in plain if l.strip()) == 3, "\n".join(plain))
        cursor = terminal.tmux("display-message", "-p", "-t", "run",
                               "#{cursor_x},#{cursor_y}").strip()
        check("cursor right after the last message", cursor == "53,16", cursor)
        check("no exit before Enter", not os.path.exists(f"{work}/status"))

        terminal.tmux("send-keys", "-t", "run", "Enter")
        deadline = time.time() + 60
        while not os.path.exists(f"{work}/status") and time.time() < deadline:
            time.sleep(0.1)
        time.sleep(0.2)
        status = open(f"{work}/status").read().strip() if os.path.exists(f"{work}/status") else None
        check("exit status 0 after Enter", status == "0", status)
        installed = f"{work}/app/screen/readme.txt"
        check("file installed from the terminal run", os.path.exists(installed) and
              open(installed).read() == "terminal run under Wine\n")
        listed = open(app_list, newline="").read() if os.path.exists(app_list) else ""
        check("application list line appended",
              listed.replace("\r\n", "\n") == "existing=line\n\nScreen Test=Screen Test\n",
              repr(listed))
        subprocess.run(terminal.base + ["kill-server"], capture_output=True)

        # Failing runs: the failure takes the success message's place, nothing is
        # registered, every target keeps its old bytes, exit status 1.
        def failing_run(name, blocker, message):
            folder = f"{work}/{name}"
            os.makedirs(f"{folder}/data")
            with open(f"{folder}/data/old.txt", "w") as f:
                f.write("old")
            blocker(f"{folder}/data/blocked")
            subprocess.run([wine, mkpkg, "build", f"{name}/cab1.rpm", "--appname", name,
                            "--file", "data\\old.txt=readme.txt",
                            "--file", "data\\new\\fresh.txt=readme.txt",
                            "--file", "data\\blocked=readme.txt"],
                           check=True, cwd=work, env=env, capture_output=True, timeout=600)
            listed_before = open(app_list, "rb").read()
            status_file = f"{work}/{name}-status"
            with open(script, "w") as f:
                f.write(f"cd '{folder}'\n'{wine}' '{installer}' 2>'{work}/wine.err'\n"
                        f"echo $? > '{status_file}'\nsleep 600\n")
            terminal.tmux("-f", "/dev/null", "new-session", "-d", "-s", "run", "-x", "80", "-y",
                          "25", *[f"-e{k}={v}" for k, v in passed.items()],
                          "bash", "--noprofile", "--norc", script)
            check(f"{name}: the run reaches its last message",
                  terminal.wait_for("Press Enter to terminate!", START_SECONDS),
                  "\n".join(terminal.screen()))
            time.sleep(0.5)
            plain = terminal.screen()
            check(f"{name}: failure text at column 20, row 14",
                  plain[14][20:].rstrip() == message, repr(plain[14]))
            check(f"{name}: no success text", not any("successfully" in l for l in plain),
                  "\n".join(plain))
            check(f"{name}: 'Press Enter to terminate!' at column 28, row 16",
                  plain[16][28:].rstrip() == "Press Enter to terminate!", repr(plain[16]))
            check(f"{name}: no exit before Enter", not os.path.exists(status_file))
            terminal.tmux("send-keys", "-t", "run", "Enter")
            deadline = time.time() + 60
            while not os.path.exists(status_file) and time.time() < deadline:
                time.sleep(0.1)
            time.sleep(0.2)
            status = open(status_file).read().strip() if os.path.exists(status_file) else None
            check(f"{name}: exit status 1 after Enter", status == "1", status)
            check(f"{name}: the old file keeps its bytes",
                  open(f"{folder}/data/old.txt").read() == "old")
            check(f"{name}: no folder of the run is left", not os.path.exists(f"{folder}/data/new"))
            leftovers = [n for n in os.listdir(f"{folder}/data") if n.startswith("~")]
            check(f"{name}: no side file is left", not leftovers, leftovers)
            check(f"{name}: the application is not registered",
                  open(app_list, "rb").read() == listed_before)
            subprocess.run(terminal.base + ["kill-server"], capture_output=True)

        def read_only_file(path):
            with open(path, "w") as f:
                f.write("read-only")
            os.chmod(path, 0o444)  # Wine shows it with the read-only attribute

        failing_run("folder", os.makedirs, "Installation failed: data\\blocked: a folder is in the way")
        failing_run("readonly", read_only_file, "Installation failed: data\\blocked: access denied")
    finally:
        subprocess.run(terminal.base + ["kill-server"], capture_output=True)
        shutil.rmtree(work, ignore_errors=True)
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
