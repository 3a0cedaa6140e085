#!/usr/bin/env bash
# Shortcuts that the library writes are read back by a link reader (lnkinfo): target, working
# directory, description and icon as the product's shortcuts must have them.
#   shortcuts_lnkinfo.sh PRODUCT_SHORTCUTS                 native Linux build
#   shortcuts_lnkinfo.sh --wine WINE PRODUCT_SHORTCUTS     Windows build under Wine
set -uo pipefail
wine=""
if [ "${1:-}" = "--wine" ]; then wine=$2; shift 2; fi
tool=$1
command -v lnkinfo >/dev/null || { echo "lnkinfo is missing (Debian package liblnk-utils)"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/nuvex-lnk.XXXXXX")
trap 'rm -rf "$work"' EXIT
if [ -n "$wine" ]; then
    drive_c=$WINEPREFIX/drive_c
    rm -rf "$drive_c/nuvex-lnk" "$drive_c/nuvex"
    "$wine" "$tool" 'c:\nuvex-lnk' 'Desktop=ON Startup=ON SMenu=ON'
else
    export NUVEX_DRIVE_ROOT=$work/drives
    drive_c=$NUVEX_DRIVE_ROOT/c
    mkdir -p "$drive_c"
    "$tool" 'c:\nuvex-lnk' 'Desktop=ON Startup=ON SMenu=ON'
fi
status=$?
failures=0
check() {
    local what=$1; shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
check "the tool ran" test $status -eq 0

# field FILE NAME: the value lnkinfo shows for NAME, drive letter in lower case.
field() {
    lnkinfo "$1" 2>/dev/null | sed -n "s/^\t$2[[:space:]]*: //p" | head -n 1 |
        sed 's/^\([A-Za-z]\):/\L\1:/'
}
expect_link() {  # expect_link FILE TARGET WORKDIR ICON
    local file=$drive_c/nuvex-lnk/$1
    check "$1 exists" test -f "$file"
    [ -f "$file" ] || return
    check "$1 target" test "$(field "$file" 'Local path')" = "$2"
    check "$1 working directory" test "$(field "$file" 'Working directory')" = "$3"
    check "$1 description" test "$(field "$file" 'Description')" = "desc"
    check "$1 icon" test "$(field "$file" 'Icon location')" = "$4"
}
expect_link desktop/tamble.lnk 'c:\nuvex\tamble\bin\tamble.exe' 'c:\nuvex\tamble\bin' \
    'c:\nuvex\tamble\bin\tamble.ico'
expect_link startup/tamble.lnk 'c:\nuvex\tamble\bin\tamble.exe' 'c:\nuvex\tamble\bin' \
    'c:\nuvex\tamble\bin\tamble.ico'
expect_link programs/nuvex/tamble/tamble.lnk 'c:\nuvex\tamble\bin\tamble.exe' \
    'c:\nuvex\tamble\bin' 'c:\nuvex\tamble\bin\tamble.ico'
expect_link programs/nuvex/tamble/documents.lnk 'c:\nuvex\info\doc' 'c:\nuvex\info\doc' ''
expect_link programs/nuvex/tamble/uninstall.lnk 'c:\nuvex-lnk\windows\unTam.exe' \
    'c:\nuvex-lnk\windows' ''
rm -rf "$drive_c/nuvex-lnk" "$drive_c/nuvex"
echo "$failures failure(s)"
exit $((failures > 0))
