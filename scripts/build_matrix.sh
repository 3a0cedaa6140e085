#!/usr/bin/env bash
# Builds the project the ways packagers do, each in a folder of its own below build/matrix:
# a plain Release build with gcc and with clang (tests on, then off, with benchmarks and
# examples left out), and the shared library. Warnings stop these builds here
# (NUVEX_WERROR=ON) so that a new one is seen before a packager sees it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=$(nproc)
root=build/matrix

build() {
    local name=$1
    shift
    echo "-- $name"
    cmake -S . -B "$root/$name" -DCMAKE_BUILD_TYPE=Release -DNUVEX_WERROR=ON "$@" \
        > "$root/$name.log" 2>&1 || { cat "$root/$name.log"; exit 1; }
    grep 'nuvex: ' "$root/$name.log" || true
    cmake --build "$root/$name" -j"$jobs" >> "$root/$name.log" 2>&1 ||
        { grep -B2 -A20 -m5 'error' "$root/$name.log"; exit 1; }
}

mkdir -p "$root"
build gcc-release -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++
build clang-release -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
build gcc-release-lean -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ -DNUVEX_TESTS=OFF \
    -DNUVEX_BENCHMARKS=OFF -DNUVEX_EXAMPLES=OFF
build shared -DBUILD_SHARED_LIBS=ON -DNUVEX_TESTS=OFF
echo "-- every build of the matrix passed"
