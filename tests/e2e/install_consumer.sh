#!/usr/bin/env bash
# The installed library serves C programs: found with pkg-config and with find_package (from a
# project whose only language is C, and with a version request), installed as a static archive
# and, built again with BUILD_SHARED_LIBS, as a shared library with a versioned soname.
#   install_consumer.sh BUILD_DIR
set -euo pipefail
build=$1
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/nuvex-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
version=$(sed -n 's/^project(nuvex VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
major_minor=${version%.*}
fail() { echo "FAIL $*" >&2; exit 1; }

cat > "$work/use.c" <<'C'
#include <string.h>
#include "util/util.h"
#include "util/text.h"
#include "webreq/webreq.h"
int main(void) {
    char text[] = "  a+b  ";
    ec_entry *list = ec_sDecoder("k = v");
    int ok = strcmp(UrlDecode(StrTrim(text)), "a b") == 0 && strcmp(list->value, "v") == 0;
    _list_free(list);
    return ok ? 0 : 1;
}
C

# consumer PREFIX NAME LANGUAGES [VERSION]: configures and builds a CMake project around use.c;
# its configure output is left in $work/NAME.log.
consumer() {
    local prefix=$1 name=$2 languages=$3 request=${4:-}
    mkdir -p "$work/$name"
    cp "$work/use.c" "$work/$name/"
    cat > "$work/$name/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(use LANGUAGES $languages)
find_package(nuvex $request REQUIRED)
add_executable(use use.c)
target_link_libraries(use PRIVATE nuvex::nuvex)
CMAKE
    cmake -S "$work/$name" -B "$work/$name/build" -DCMAKE_PREFIX_PATH="$prefix" \
        > "$work/$name.log" 2>&1 &&
        cmake --build "$work/$name/build" >> "$work/$name.log" 2>&1
}

check_layout() {
    local prefix=$1
    [ -f "$prefix/include/nuvex/util/text.h" ] || fail "include/nuvex/util/text.h missing"
    [ -f "$prefix/include/nuvex/webreq/webreq.h" ] || fail "include/nuvex/webreq/webreq.h missing"
    [ ! -e "$prefix/include/util" ] && [ ! -e "$prefix/include/webreq" ] ||
        fail "headers installed into a generic include/util or include/webreq"
    # Internal C++ headers stay in the tree.
    [ ! -e "$prefix/include/nuvex/webreq/error_internal.h" ] || fail "internal header installed"
    [ ! -e "$prefix/include/nuvex/util/filepath_internal.h" ] || fail "internal header installed"
    echo "ok   headers below include/nuvex"
}

# The static archive, as the build directory has it.
static=$work/static
cmake --install "$build" --prefix "$static" >/dev/null
check_layout "$static"
export PKG_CONFIG_PATH=$static/lib/pkgconfig
[ "$(pkg-config --modversion nuvex)" = "$version" ] || fail "pkg-config version"
cc "$work/use.c" $(pkg-config --cflags --libs nuvex) -o "$work/use-pkg"
"$work/use-pkg"
cc "$work/use.c" $(pkg-config --static --cflags --libs nuvex) -o "$work/use-pkg-static"
"$work/use-pkg-static"
echo "ok   pkg-config nuvex, static archive"

consumer "$static" c-only C || { cat "$work/c-only.log"; fail "C-only find_package(nuvex)"; }
"$work/c-only/build/use"
echo "ok   find_package(nuvex) from a C-only project"
consumer "$static" mixed "C CXX" || { cat "$work/mixed.log"; fail "C and C++ project"; }
"$work/mixed/build/use"
echo "ok   find_package(nuvex) from a C and C++ project"

consumer "$static" version-ok C "$major_minor" ||
    { cat "$work/version-ok.log"; fail "find_package(nuvex $major_minor)"; }
"$work/version-ok/build/use"
echo "ok   find_package(nuvex $major_minor) accepted"
if consumer "$static" version-high C 9.0; then fail "find_package(nuvex 9.0) accepted"; fi
grep -q "requested version \"9.0\"" "$work/version-high.log" ||
    { cat "$work/version-high.log"; fail "9.0 refused for another reason than the version"; }
echo "ok   find_package(nuvex 9.0) refused"

# The shared library: the library target alone, built again, installed without the tools,
# into the library folder that Debian's packaging tools ask for.
shared_build=$work/shared-build
shared=$work/shared
libdir=lib/x86_64-linux-gnu
cmake -S "$source_dir" -B "$shared_build" -DBUILD_SHARED_LIBS=ON -DNUVEX_TESTS=OFF \
    -DNUVEX_BENCHMARKS=OFF -DNUVEX_EXAMPLES=OFF -DCMAKE_INSTALL_LIBDIR=$libdir \
    -DCMAKE_BUILD_TYPE=Release > "$work/shared-configure.log" 2>&1 ||
    { cat "$work/shared-configure.log"; fail "configure with BUILD_SHARED_LIBS=ON"; }
cmake --build "$shared_build" -j2 --target nuvex > "$work/shared-build.log" 2>&1 ||
    { tail -50 "$work/shared-build.log"; fail "build the shared library"; }
for component in Runtime Development; do
    cmake --install "$shared_build" --prefix "$shared" --component $component >/dev/null
done
check_layout "$shared"
[ ! -e "$shared/$libdir/libnuvex.a" ] || fail "static archive installed with the shared library"
real=$shared/$libdir/libnuvex.so.$version
[ -f "$real" ] && [ -L "$shared/$libdir/libnuvex.so.$major_minor" ] && [ -L "$shared/$libdir/libnuvex.so" ] ||
    { ls -l "$shared/$libdir"; fail "libnuvex.so, .so.$major_minor, .so.$version"; }
soname=$(readelf -d "$real" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libnuvex.so.$major_minor" ] || fail "soname '$soname'"
echo "ok   shared library, soname $soname"
# The C interface is exported, the C++ inside is not.
exported=$(nm -D --defined-only "$real" | awk '{print $3}')
for name in ec_Value ec_sDecoder _list_free ecError StrTrim UrlDecode; do
    grep -qx "$name" <<<"$exported" || fail "$name not exported"
done
if grep -q '^_Z' <<<"$exported"; then
    grep '^_Z' <<<"$exported" | head -5 >&2
    fail "C++ symbols exported"
fi
echo "ok   exports the C interface only ($(wc -l <<<"$exported") symbols)"

export PKG_CONFIG_PATH=$shared/$libdir/pkgconfig
if pkg-config --libs nuvex | grep -q 'lstdc++'; then fail "shared Libs carry the static dependencies"; fi
pkg-config --static --libs nuvex | grep -q 'lstdc++' || fail "Libs.private without the C++ runtime"
[ -f "$(pkg-config --variable=includedir nuvex)/nuvex/webreq/webreq.h" ] ||
    fail "pkg-config's includedir under $libdir: $(pkg-config --variable=includedir nuvex)"
cc "$work/use.c" $(pkg-config --cflags --libs nuvex) -o "$work/use-shared"
readelf -d "$work/use-shared" | grep -q "NEEDED.*\[libnuvex.so.$major_minor\]" ||
    fail "pkg-config consumer does not need libnuvex.so.$major_minor"
LD_LIBRARY_PATH=$shared/$libdir "$work/use-shared"
echo "ok   pkg-config nuvex, shared library"
consumer "$shared" c-only-shared C "$major_minor" ||
    { cat "$work/c-only-shared.log"; fail "C-only find_package(nuvex), shared"; }
readelf -d "$work/c-only-shared/build/use" | grep -q "NEEDED.*\[libnuvex.so.$major_minor\]" ||
    fail "find_package consumer does not need libnuvex.so.$major_minor"
"$work/c-only-shared/build/use"  # the build tree's run path finds the library
echo "ok   find_package(nuvex $major_minor) from a C-only project, shared library"
