#!/usr/bin/env bash
# Installs what the build and the tests need, when it is missing (Debian packages).
#   scripts/setup.sh native   compiler, CMake, GoogleTest sources
#   scripts/setup.sh all      also MinGW-w64, Wine, tmux, clang, Python
set -euo pipefail
level=${1:-all}

packages=(cmake g++ make googletest pkg-config mandoc man-db strace)
if [ "$level" = "all" ]; then
    packages+=(g++-mingw-w64-x86-64-posix wine64 tmux clang libclang-rt-14-dev python3 liblnk-utils lighttpd curl chromium libfcgi-dev php-cgi wrk strace util-linux libhiredis-dev redis-server php-redis nginx-light spawn-fcgi fcgiwrap apache2)
    # Node.js comes with the machine; Debian's is the fallback.
    command -v node >/dev/null || packages+=(nodejs)
    command -v npm >/dev/null || packages+=(npm)
fi

missing=()
for package in "${packages[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null
