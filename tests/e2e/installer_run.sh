#!/usr/bin/env bash
# The installer run end to end on a package made with mkpkg: every file in place with its
# bytes, the application-list line, the restored copy kept and the header copy gone.
#   installer_run.sh INSTALLER MKPKG                 native Linux build
#   installer_run.sh --wine WINE INSTALLER MKPKG     Windows build under Wine
set -Eeuo pipefail
# A step that fails outside a check ends the run: say which one, where, and how.
on_error() {
    local status=$? command=$BASH_COMMAND
    echo "FAIL \"$command\" ended with status $status (at lines ${BASH_LINENO[*]:0:${#BASH_LINENO[@]}-1})"
}
trap on_error ERR

wine=""
if [ "${1:-}" = "--wine" ]; then wine=$2; shift 2; fi
installer=$1
mkpkg=$2
run() { if [ -n "$wine" ]; then "$wine" "$@"; else "$@"; fi; }

work=$(mktemp -d "${TMPDIR:-/tmp}/nuvex-e2e.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # check DESCRIPTION COMMAND...
    local what=$1; shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}

if [ -n "$wine" ]; then
    : "${WINEPREFIX:?the Wine run needs WINEPREFIX}"
    [ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot --init >/dev/null 2>&1 || true
    drive_c=$WINEPREFIX/drive_c
    windows_dir=$drive_c/windows
else
    export NUVEX_DRIVE_ROOT=$work/drives TMPDIR=$work/tmp windir=$work/windows
    mkdir -p "$TMPDIR" "$windir"
    drive_c=$NUVEX_DRIVE_ROOT/c
    windows_dir=$windir
fi
rm -rf "$drive_c/nuvex"
mkdir -p "$drive_c/nuvex/docroot/data" "$work/src" "$work/app"
app_list=$drive_c/nuvex/docroot/data/app-list
printf 'existing=line\n' > "$app_list"

cd "$work"
printf 'read me\r\n' > src/readme.txt
head -c 300000 /dev/urandom > src/data.bin
printf '\0\0\0binary with NUL bytes\0' > src/zeros.bin
printf '<html>e2e</html>\n' > src/index.html
printf 'notes' > src/notes.txt
printf '[e2e]\n' > src/e2e.ini
run "$mkpkg" build app/cab1.rpm --appname 'E2E App' --info 'version=2.0' \
    --list 'a|b=Listed files' \
    --file '$temp_dir$\nuvex-e2e\readme.txt=src/readme.txt' \
    --file 'bin/data.bin=src/data.bin' \
    --file 'bin\zeros.bin=src/zeros.bin' \
    --file 'c:\nuvex\tamble\apps\e2e\index.html=src/index.html' \
    --file 'docs/with space+plus%.txt=src/notes.txt' \
    --file '$win_dir$\e2e.ini=src/e2e.ini'

# One line of input: the installer must consume just its first character.
printf 'x\n' > input
status=0
(cd app && run "$installer" < ../input > ../stdout.txt) || status=$?
check "exit status 0" test "$status" -eq 0

if [ -n "$wine" ]; then
    temp_dir=$(dirname "$(find "$drive_c/users" -name xx1 -newer input | head -n 1)")
else
    temp_dir=$TMPDIR
fi
check "restored copy xx1 kept" test -f "$temp_dir/xx1"
check "header copy xx2 deleted" test ! -e "$temp_dir/xx2"
inverted_back() {
    python3 -c 'import sys; a = open(sys.argv[1], "rb").read(); b = open(sys.argv[2], "rb").read()
sys.exit(0 if b == bytes(255 - x for x in a) else 1)' "$1" "$2"
}
check "xx1 is the package with every byte inverted back" inverted_back app/cab1.rpm "$temp_dir/xx1"
check "temp macro entry" cmp -s src/readme.txt "$temp_dir/nuvex-e2e/readme.txt"
check "relative entry with slashes" cmp -s src/data.bin app/bin/data.bin
check "NUL bytes kept" cmp -s src/zeros.bin app/bin/zeros.bin
check "drive path entry" cmp -s src/index.html "$drive_c/nuvex/tamble/apps/e2e/index.html"
check "encoded name" cmp -s src/notes.txt "app/docs/with space+plus%.txt"
check "windows macro entry" cmp -s src/e2e.ini "$windows_dir/e2e.ini"
check "application list line" cmp -s "$app_list" <(printf 'existing=line\n\nE2E App=E2E App\n')
# Standard output is in text mode on Windows: the banner's line feed arrives as CR LF.
newline='\n'
[ -n "$wine" ] && newline='\r\n'
expected_screen="Nuvex  Belmora ${newline}Please wait...Your application was installed successfully..Press Enter to terminate!"
check "texts on a redirected output, no console sequences" \
    cmp -s stdout.txt <(printf "$expected_screen")

(cd app && run "$installer" < /dev/null > /dev/null)
check "a second run appends the same line again" cmp -s "$app_list" \
    <(printf 'existing=line\n\nE2E App=E2E App\n\nE2E App=E2E App\n')

rm -f "$app_list"
rmdir "$drive_c/nuvex/docroot/data"
status=0
(cd app && run "$installer" < /dev/null > stdout-nolist.txt) || status=$?
check "missing list folder: the run still ends with 0" test "$status" -eq 0
check "missing list folder: the list is not created" test ! -e "$app_list"

# A name with a line break would add a line of the package's choosing: not registered.
mkdir -p "$drive_c/nuvex/docroot/data" app-evil
printf 'existing=line\n' > "$app_list"
for name in $'Evil\nother=C:\\evil.exe' $'Evil\rother'; do
    run "$mkpkg" build app-evil/cab1.rpm --appname "$name" --file 'evil.txt=src/notes.txt'
    status=0
    (cd app-evil && run "$installer" < /dev/null > /dev/null) || status=$?
    check "line break in the name: exit status 0" test "$status" -eq 0
    check "line break in the name: files installed" cmp -s src/notes.txt app-evil/evil.txt
    check "line break in the name: not registered" cmp -s "$app_list" <(printf 'existing=line\n')
done

# Links planted at the installer's own temporary names are replaced, never written through.
printf 'precious' > victim
rm -f "$temp_dir/xx1" "$temp_dir/xx2"
ln -s "$work/victim" "$temp_dir/xx1"
ln -s "$work/victim" "$temp_dir/xx2"
(cd app && run "$installer" < /dev/null > /dev/null) || true
check "planted links: the file behind them is untouched" cmp -s victim <(printf 'precious')
check "planted links: xx1 is the restored copy" inverted_back app/cab1.rpm "$temp_dir/xx1"
check "planted links: xx2 is gone" test ! -e "$temp_dir/xx2" -a ! -L "$temp_dir/xx2"

if [ -z "$wine" ]; then
    # A new user's drive root holds no drive folder yet: it is made on first use; the
    # application list is still written only where its folder exists.
    fresh=$work/fresh-drives
    status=0
    (cd app && NUVEX_DRIVE_ROOT=$fresh "$installer" < /dev/null > /dev/null) || status=$?
    check "fresh drive root: exit status 0" test "$status" -eq 0
    check "fresh drive root: drive path entry installed" \
        cmp -s src/index.html "$fresh/c/nuvex/tamble/apps/e2e/index.html"
    check "fresh drive root: no list made" test ! -e "$fresh/c/nuvex/docroot/data/app-list"
fi

rm -rf "$drive_c/nuvex" "$windows_dir/e2e.ini" "$temp_dir/nuvex-e2e"
echo "$failures failure(s)"
exit $((failures > 0))
