#!/usr/bin/env bash
# The installed library serves a C program, found with pkg-config and with find_package.
#   install_consumer.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/nuvex-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cat > "$work/use.c" <<'C'
#include <string.h>
#include "util/util.h"
#include "webreq/webreq.h"
int main(void) {
    char text[] = "  a+b  ";
    ec_entry *list = ec_sDecoder("k = v");
    int ok = strcmp(UrlDecode(StrTrim(text)), "a b") == 0 && strcmp(list->value, "v") == 0;
    _list_free(list);
    return ok ? 0 : 1;
}
C
export PKG_CONFIG_PATH=$work/prefix/lib/pkgconfig
cc "$work/use.c" $(pkg-config --cflags --libs nuvex) -o "$work/use-pkg"
"$work/use-pkg"
echo "ok   pkg-config nuvex"
cat > "$work/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(use C CXX)
find_package(nuvex REQUIRED)
add_executable(use use.c)
target_link_libraries(use PRIVATE nuvex::nuvex)
set_target_properties(use PROPERTIES LINKER_LANGUAGE CXX)
CMAKE
cmake -S "$work" -B "$work/build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/build" >/dev/null
"$work/build/use"
echo "ok   find_package(nuvex)"
