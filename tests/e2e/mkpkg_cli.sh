#!/usr/bin/env bash
# mkpkg as a user runs it: build from a manifest and from options, list, refuse, report damage.
set -uo pipefail
mkpkg=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/nuvex-mkpkg.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
check() {
    local what=$1; shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
contains() { grep -qF -- "$2" "$1"; }

mkdir files
printf 'twelve bytes' > files/a.txt
printf '' > files/empty.txt
cat > manifest.txt <<'M'
# a comment
appname = Tool Box
info version = 3.1
list a|b = Two files
file $temp_dir$\toolbox\a.txt = files/a.txt
file docs/empty file.txt = files/empty.txt
M
"$mkpkg" build tool.rpm manifest.txt; status=$?
check "build from a manifest" test $status -eq 0
"$mkpkg" list tool.rpm > listing.txt; status=$?
check "list of a whole package exits 0" test $status -eq 0
check "list names the application" contains listing.txt "application: Tool Box"
check "list shows the info records" contains listing.txt "info 2: version!--------@3.1"
check "list shows the list records" contains listing.txt "list 1: a|b = Two files"
check "list shows each entry with its size" contains listing.txt 'file 1: $temp_dir$\toolbox\a.txt  12 bytes'
check "list shows decoded paths" contains listing.txt "file 2: docs/empty file.txt  0 bytes"

"$mkpkg" build bad.rpm --appname App --file '=files/a.txt' 2> error.txt; status=$?
check "an empty path is refused" test $status -ne 0
check "the refusal says why" contains error.txt "is empty"
check "nothing is written for a refused package" test ! -e bad.rpm
"$mkpkg" build long.rpm --appname App --file "$(printf 'p%.0s' {1..300})=files/a.txt" 2> error.txt
check "an over-long path is refused" contains error.txt "longer than 255"
"$mkpkg" build none.rpm --file 'a=files/a.txt' 2> error.txt
check "a package without a name is refused" contains error.txt "application name"

head -c 30 tool.rpm > cut.rpm
"$mkpkg" list cut.rpm > cut.txt; status=$?
check "a cut package is reported" test $status -eq 2
check "the report says it is damaged" contains cut.txt "damaged:"
"$mkpkg" list missing.rpm > missing.txt; status=$?
check "a missing package is reported" test $status -ne 0
"$mkpkg" > /dev/null 2>&1; status=$?
check "no command prints the usage and fails" test $status -eq 64

echo "$failures failure(s)"
exit $((failures > 0))
