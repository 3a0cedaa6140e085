#!/usr/bin/env bash
# Builds the release binaries and runs every benchmark against its peer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/setup.sh native
command -v /usr/bin/time >/dev/null || { sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo; $sudo apt-get install -y -qq time >/dev/null; }
cmake --preset native >/dev/null
cmake --build build/native -j"$(nproc)" --target installer mkpkg fileio_bench webreq_bench >/dev/null
python3 bench/install_vs_tar.py build/native/installer build/native/mkpkg
python3 bench/fileio_vs_cat.py build/native/bench/fileio_bench
python3 bench/webreq_bench.py build/native/bench/webreq_bench
