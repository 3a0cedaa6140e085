#!/usr/bin/env python3
"""Runs the browser test against the example CGI programs behind lighttpd (or another server
form, see cgi_server.py).

usage: cgi_browser_test.py CGI_DIR [--mode cgi|fastcgi] [--server lighttpd|nginx|apache]
                           [--keep] [--unbuffered]
"""
import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cgi_server import (SKIPPED, CgiServer, add_server_arguments, missing_tools,  # noqa: E402
                        server_form)

here = os.path.dirname(os.path.abspath(__file__))
browser_dir = os.path.join(here, "browser")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("cgi_dir")
    add_server_arguments(parser)
    args = parser.parse_args()
    print(f"server: {server_form(args)}")
    if missing_tools(args.server, args.mode):
        print(f"skip: not installed: {missing_tools(args.server, args.mode)}")
        return SKIPPED
    if not os.path.isdir(os.path.join(browser_dir, "node_modules", "playwright-core")):
        subprocess.run(["npm", "install", "--no-audit", "--no-fund"], cwd=browser_dir, check=True)
    with tempfile.NamedTemporaryFile(suffix=".bin") as upload:
        upload.write(bytes(range(256)) * 1000 + b"\0\0end")
        upload.flush()
        with CgiServer(os.path.abspath(args.cgi_dir), **server_form(args)) as server:
            return subprocess.run(["node", os.path.join(browser_dir, "browser_test.mjs"),
                                   server.url, upload.name]).returncode


if __name__ == "__main__":
    sys.exit(main())
