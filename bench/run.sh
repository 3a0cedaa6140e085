#!/usr/bin/env bash
# Builds the release binaries and runs every benchmark against its peer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/setup.sh native
sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
for package in time libcgicc-dev libfcgi-dev php-cgi wrk lighttpd curl binutils; do
    dpkg -s "$package" >/dev/null 2>&1 || $sudo apt-get install -y -qq "$package" >/dev/null
done
cmake --preset native >/dev/null
cmake --build build/native -j"$(nproc)" --target installer mkpkg fileio_bench webreq_bench multipart_bench request_memory_bench session_cgi \
    form_cgi template_cgi cgi_templates $(grep -q NUVEX_FASTCGI_BUILT:INTERNAL=TRUE build/native/CMakeCache.txt && echo fcgi_bare) $(grep -q NUVEX_CGICC:FILEPATH=/ build/native/CMakeCache.txt && echo multipart_cgicc) >/dev/null
python3 bench/install_vs_tar.py build/native/installer build/native/mkpkg
python3 bench/mkpkg_vs_tar.py build/native/mkpkg
python3 bench/fileio_vs_cat.py build/native/bench/fileio_bench
python3 bench/webreq_bench.py build/native/bench/webreq_bench
python3 bench/cgi_bench.py build/native
python3 bench/fcgi_bench.py build/native --server nginx
python3 bench/fcgi_bench.py build/native --sessions 64 --server nginx
python3 bench/fcgi_bench.py build/native --procs 2 --sessions 64
python3 bench/request_memory.py build/native/bench/request_memory_bench
python3 bench/multipart_vs_cat.py build/native
