#!/usr/bin/env bash
# Runs every test: the native build, the sanitizer build, the Windows build under Wine, the
# packagers' builds, and each fuzz target for a short while.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/setup.sh all
jobs=$(nproc)

for preset in native sanitize mingw; do
    echo "== $preset =="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$jobs"
    ctest --preset "$preset" -j"$jobs"
done
echo "== builds: gcc and clang Release, tests off, shared =="
scripts/build_matrix.sh
echo "== fuzz =="
scripts/fuzz.sh "${NUVEX_FUZZ_SECONDS:-15}"
echo "== all tests passed =="
