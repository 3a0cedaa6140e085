#!/usr/bin/env python3
"""Runs the browser test against the example CGI programs behind lighttpd.

usage: cgi_browser_test.py CGI_DIR [--mode cgi|fastcgi]
"""
import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cgi_server import CgiServer  # noqa: E402

here = os.path.dirname(os.path.abspath(__file__))
browser_dir = os.path.join(here, "browser")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("cgi_dir")
    parser.add_argument("--mode", choices=("cgi", "fastcgi"), default="cgi")
    args = parser.parse_args()
    print(f"mode: {args.mode}")
    if not os.path.isdir(os.path.join(browser_dir, "node_modules", "playwright-core")):
        subprocess.run(["npm", "install", "--no-audit", "--no-fund"], cwd=browser_dir, check=True)
    with tempfile.NamedTemporaryFile(suffix=".bin") as upload:
        upload.write(bytes(range(256)) * 1000 + b"\0\0end")
        upload.flush()
        with CgiServer(os.path.abspath(args.cgi_dir), mode=args.mode) as server:
            return subprocess.run(["node", os.path.join(browser_dir, "browser_test.mjs"),
                                   server.url, upload.name]).returncode


if __name__ == "__main__":
    sys.exit(main())
