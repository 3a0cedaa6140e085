#!/usr/bin/env bash
# mkpkg as a user runs it: build from a manifest and from options, list, extract, refuse,
# warn, report damage, and write the same bytes for large sources in little memory.
set -uo pipefail
mkpkg=$1
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/nuvex-mkpkg.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
check() {
    local what=$1; shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
contains() { grep -qF -- "$2" "$1"; }
lacks() { ! grep -qF -- "$2" "$1"; }
empty() { [ ! -s "$1" ]; }
# The package file of a restored (unscrambled) layout, every byte inverted.
scramble() { perl -0777 -pe '$_ = ~$_' "$1" > "$2"; }
marker=$(printf '^%.0s' {1..40})
# Puts the digest into a restored layout's integrity record, computed here on its own: MD5 of
# every byte but the 32 digits of "md5!--------@" + 32 zeros.
with_digest() {
    python3 - "$1" <<'P'
import hashlib, sys
data = open(sys.argv[1], "rb").read()
at = data.index(b"md5!--------@" + b"0" * 32) + len(b"md5!--------@")
digest = hashlib.md5(data[:at] + data[at + 32:]).hexdigest().encode()
open(sys.argv[1], "wb").write(data[:at] + digest + data[at + 32:])
P
}
zeros=00000000000000000000000000000000
repeat() { printf "$1%.0s" $(seq "$2"); }

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
"$mkpkg" build tool.rpm manifest.txt 2> warnings.txt; status=$?
check "build from a manifest" test $status -eq 0
check "a clean package has no warnings" empty warnings.txt
"$mkpkg" list tool.rpm > listing.txt; status=$?
check "list of a whole package exits 0" test $status -eq 0
check "list names the application" contains listing.txt "application: Tool Box"
check "list shows the info records" contains listing.txt "info 2: version!--------@3.1"
check "list shows the list records" contains listing.txt "list 1: a|b = Two files"
check "list shows each entry with its size" contains listing.txt 'file 1: $temp_dir$\toolbox\a.txt  12 bytes'
check "list shows decoded paths" contains listing.txt "file 2: docs/empty file.txt  0 bytes"
check "list flags nothing in a clean package" lacks listing.txt "(warning"

# --- command-line conventions
"$mkpkg" --help > help.txt 2> help-err.txt; status=$?
check "--help exits 0" test $status -eq 0
check "--help goes to standard output" contains help.txt "usage: mkpkg build"
check "--help writes nothing to standard error" empty help-err.txt
check "the usage explains the manifest lines" contains help.txt "file TARGET = SOURCE"
check "the usage says that blanks around = are optional" contains help.txt "blanks around '=' are optional"
check "the usage states the assumed temporary folder" contains help.txt "assumed to have 64 characters"
check "the usage names extract" contains help.txt "mkpkg extract PACKAGE FOLDER"
"$mkpkg" build --help > help2.txt; status=$?
check "--help after a command is help too" test $status -eq 0 -a -s help2.txt
project_version=$(sed -n 's/^project(nuvex VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
"$mkpkg" --version > version.txt; status=$?
check "--version exits 0" test $status -eq 0
check "--version prints the project version" test "$(cat version.txt)" = "mkpkg $project_version"
"$mkpkg" > out.txt 2> err.txt; status=$?
check "no command prints the usage and fails" test $status -eq 64
check "a usage error goes to standard error only" test ! -s out.txt -a -s err.txt
"$mkpkg" frobnicate > /dev/null 2>&1; status=$?
check "an unknown command is a usage error" test $status -eq 64

# --- manifest: key=value with or without blanks, errors with file and line
cat > tight.txt <<'M'
appname=Tight
info version=2.0
info motto = a = b
list x|y=Items
file tight.txt=files/a.txt
M
"$mkpkg" build tight.rpm tight.txt; status=$?
check "a manifest without blanks around = builds" test $status -eq 0
"$mkpkg" list tight.rpm > tight-list.txt
check "key=value without blanks reads the name" contains tight-list.txt "application: Tight"
check "key=value without blanks reads an info record" contains tight-list.txt "info 2: version!--------@2.0"
check "the first ' = ' separates, the rest is the value" contains tight-list.txt "info 3: motto!--------@a%20=%20b"
check "key=value without blanks reads a file line" contains tight-list.txt "file 1: tight.txt  12 bytes"
printf 'appname = A\n\nfrobnicate = x\n' > bad-line.txt
"$mkpkg" build bad.rpm bad-line.txt 2> error.txt; status=$?
check "an unknown manifest line is refused" test $status -eq 1
check "a manifest error names the file and the line" contains error.txt "bad-line.txt:3: unknown line"
printf 'appname = A\nno equals sign here\n' > bad-line2.txt
"$mkpkg" build bad.rpm bad-line2.txt 2> error.txt
check "a line without = is refused with file and line" contains error.txt "bad-line2.txt:2: expected KEYWORD"
printf 'appname = A\ninfo version = 1\nfile x.txt = files/missing.txt\n' > bad-line3.txt
"$mkpkg" build bad.rpm bad-line3.txt 2> error.txt
check "a missing source names its manifest line" contains error.txt "bad-line3.txt:3: cannot read"
"$mkpkg" build bad.rpm no-such-manifest.txt 2> error.txt; status=$?
check "a missing manifest is refused" test $status -eq 1
check "a missing manifest is named" contains error.txt "no-such-manifest.txt"

# --- refusals: what the installer could not read back as meant
refused() {  # refused DESCRIPTION REASON mkpkg-build-arguments...
    local what=$1 reason=$2; shift 2
    rm -f bad.rpm
    "$mkpkg" build bad.rpm "$@" 2> error.txt; local status=$?
    check "$what is refused" test $status -eq 1
    check "$what: the reason is given" contains error.txt "$reason"
    check "$what: no package is written" test ! -e bad.rpm
}
refused "an empty path" "is empty" --appname App --file '=files/a.txt'
refused "an over-long path" "longer than 255" --appname App --file "$(repeat p 300)=files/a.txt"
refused "a package without a name" "application name" --file 'a=files/a.txt'
refused "a path with leading white space" 'file " a": the path begins with white space' \
    --appname App --file ' a=files/a.txt'
refused "a path with trailing white space" 'the path ends with white space' \
    --appname App --file 'a	=files/a.txt'
refused "a name with trailing white space" 'the value ends with white space' --appname 'App '
refused "an info value with leading white space" 'the value begins with white space' \
    --appname App --info 'version= 1'
refused "a list text with leading white space" 'the text begins with white space' \
    --appname App --list 'a|b= Text'
mkdir -p files/folder
refused "a folder as a source" 'is a folder' --appname App --file 'd=files/folder'
mkfifo files/pipe
refused "a pipe as a source" 'not a regular file' --appname App --file 'p=files/pipe'
refused "a device as a source" 'not a regular file' --appname App --file 'n=/dev/null'
# 202 characters after the macro: 11 + 202 = 213 as written, 64 + 202 = 266 installed.
refused "a path too long once the temporary folder is put in" \
    'has a path of 266 characters once "$temp_dir$\" is replaced by a temporary folder of 64 characters (assumed)' \
    --appname App --file "\$temp_dir\$\\$(repeat q 202)=files/a.txt"
"$mkpkg" build edge.rpm --appname App --file "\$temp_dir\$\\$(repeat q 191)=files/a.txt"; status=$?
check "a path of exactly 255 once the temporary folder is put in is accepted" test $status -eq 0
cp tool.rpm self.rpm
"$mkpkg" build self.rpm --appname App --file 'x=self.rpm' 2> error.txt; status=$?
check "the output as one of its sources is refused" test $status -eq 1
check "the output as one of its sources: the reason is given" contains error.txt "is also a source"
check "the output as one of its sources is left as it was" cmp -s self.rpm tool.rpm
printf 'appname = A\nfile docs = files/folder\n' > folder-manifest.txt
"$mkpkg" build bad.rpm folder-manifest.txt 2> error.txt
check "a refused entry names its manifest line" contains error.txt 'folder-manifest.txt:2: file "docs": the source'
"$mkpkg" build bad.rpm --appname App --file ' a=files/a.txt' 2> error.txt
check "a refused option is quoted as given" contains error.txt '--file " a=files/a.txt"'
cp tool.rpm before.rpm
"$mkpkg" build tool.rpm --appname App --file 'd=files/folder' 2> /dev/null
check "a refused build leaves an existing output as it was" cmp -s tool.rpm before.rpm

# --- warnings: still written, exit 0, one line each on standard error
"$mkpkg" build warned.rpm --appname App --file '$temp_dir$/fwd.txt=files/a.txt' \
    --file 'up/../../out.txt=files/a.txt' --file 'Dir\Same.txt=files/a.txt' \
    --file 'dir/same.txt=files/empty.txt' > warn-out.txt 2> warnings.txt; status=$?
check "a package with warnings is written" test $status -eq 0 -a -s warned.rpm
check "warnings go to standard error only" empty warn-out.txt
check "\$temp_dir\$/ is warned about" contains warnings.txt \
    'mkpkg: warning: --file "$temp_dir$/fwd.txt=files/a.txt": file "$temp_dir$/fwd.txt": "$temp_dir$/" is not replaced'
check "a .. component is warned about" contains warnings.txt 'file "up/../../out.txt": a ".." component'
check "the same target twice is warned about" contains warnings.txt \
    'file "dir/same.txt": installs to the same place as file "Dir\Same.txt"'
check "each warning is one line" test "$(wc -l < warnings.txt)" -eq 3
printf 'appname = A\nfile a.txt = files/a.txt\nfile A.TXT = files/empty.txt\n' > twice.txt
"$mkpkg" build twice.rpm twice.txt 2> warnings.txt
check "a warning names the manifest lines" contains warnings.txt 'twice.txt:3: file "A.TXT": installs to the same place as file "a.txt" (twice.txt:2)'
"$mkpkg" build distinct.rpm --appname App --file '$temp_dir$\x=files/a.txt' \
    --file '$temp_dir$/x=files/a.txt' 2> warnings.txt
check "a replaced and an unreplaced macro are different targets" lacks warnings.txt "same place"
"$mkpkg" list warned.rpm > warned-list.txt; status=$?
check "list of a package with warnings exits 0" test $status -eq 0
check "list flags \$temp_dir\$/" contains warned-list.txt 'file 1: $temp_dir$/fwd.txt  12 bytes  (warning: "$temp_dir$/" is not replaced'
check "list flags .." contains warned-list.txt 'file 2: up/../../out.txt  12 bytes  (warning: a ".." component'
check "list flags the same target twice" contains warned-list.txt 'file 4: dir/same.txt  0 bytes  (warning: installs to the same place as file 3'

# Packages that mkpkg would not write, made by hand: list flags them and exits 2.
{
    printf '3\n2\n0\n3\nappname!--------@App\nv!--------@%%20padded\n'
    printf '%%20lead.txt!--------@0!--------@1\n'
    printf '$temp_dir$\\%s!--------@0!--------@1\n' "$(repeat q 202)"
    printf 'tail.txt%%20!--------@0!--------@1\n%s\nx' "$marker"
} > hand.restored
scramble hand.restored hand.rpm
"$mkpkg" list hand.rpm > hand-list.txt; status=$?
check "list of a package with refusals exits 2" test $status -eq 2
check "list flags a path the reader trimmed" contains hand-list.txt "file 1: lead.txt  1 bytes  (refused by mkpkg build: the path began with white space"
check "list flags a path too long once the temporary folder is put in" contains hand-list.txt "(refused by mkpkg build: has a path of 266 characters"
check "list flags a path with trailing white space" contains hand-list.txt "file 3: tail.txt   1 bytes  (refused by mkpkg build: the path ends with white space"
check "list flags an info value with white space" contains hand-list.txt "info 2: v!--------@%20padded  (refused by mkpkg build: the value begins"

# --- extract: every entry below the folder, to diff -r against the sources
mkdir -p tree/sub "tree/with space"
printf 'one' > tree/one.txt
head -c 70000 /dev/urandom > tree/sub/two.bin
printf '' > "tree/with space/empty+%.txt"
"$mkpkg" build tree.rpm --appname Tree --file '$temp_dir$\pkg\one.txt=tree/one.txt' \
    --file '$temp_dir$\pkg\sub\two.bin=tree/sub/two.bin' \
    --file '$temp_dir$\pkg/with space/empty+%.txt=tree/with space/empty+%.txt' \
    --file 'c:\nuvex\app\one.txt=tree/one.txt' --file '$win_dir$\system32\one.txt=tree/one.txt' \
    --file 'rel/one.txt=tree/one.txt' --file '/abs/one.txt=tree/one.txt'
"$mkpkg" extract tree.rpm out > extract.txt; status=$?
check "extract of a whole package exits 0" test $status -eq 0
check "the extracted tree matches the sources" diff -r out/temp/pkg tree
check "a drive path goes below the drive letter" cmp -s out/c/nuvex/app/one.txt tree/one.txt
check "\$win_dir\$ goes below windows" cmp -s out/windows/system32/one.txt tree/one.txt
check "a relative path goes below current" cmp -s out/current/rel/one.txt tree/one.txt
check "a path from the root goes below root" cmp -s out/root/abs/one.txt tree/one.txt
check "extract reports each entry and where it went" contains extract.txt 'file 2: $temp_dir$\pkg\sub\two.bin -> temp/pkg/sub/two.bin  70000 bytes'
"$mkpkg" extract tree.rpm out > /dev/null 2> error.txt; status=$?
check "extract into a folder that is not empty is refused" test $status -eq 1
check "the refusal says why" contains error.txt "not empty"

# Hostile paths, made by hand: nothing lands outside the folder.
paths=('../../escape1.txt' '..\..\escape2.txt' 'c:..\..\escape3.txt' '\\server\share\unc.txt'
       '$temp_dir$\..\..\escape4.txt' 'a/../../../escape5.txt' '..' '$temp_dir$\'
       '/../../escape6.txt')
{
    printf '3\n1\n0\n%d\nappname!--------@H\n' "${#paths[@]}"
    for p in "${paths[@]}"; do printf '%s!--------@0!--------@4\n' "$p"; done
    printf '%s\nboom' "$marker"
} > hostile.restored
scramble hostile.restored hostile.rpm
mkdir -p jail/deep/er
( cd jail/deep/er && "$mkpkg" extract ../../../hostile.rpm box > ../../../hostile.txt ); status=$?
check "extract of hostile paths reports the ones naming no file" test $status -eq 2
outside=$(find . -name 'escape*' -o -name 'unc.txt' | grep -v '^./jail/deep/er/box/' || true)
check "no hostile entry lands outside the folder" test -z "$outside"
check "'..' above the top stays below the folder" cmp -s jail/deep/er/box/current/escape1.txt <(printf boom)
check "backslashed '..' stays below the folder" test -f jail/deep/er/box/current/escape2.txt
check "a drive-relative '..' stays below the drive" test -f jail/deep/er/box/c/escape3.txt
check "a UNC path goes below root" test -f jail/deep/er/box/root/server/share/unc.txt
check "'..' after the macro stays below temp" test -f jail/deep/er/box/temp/escape4.txt
check "the mapping says when '..' was dropped" contains hostile.txt 'file 1: ../../escape1.txt -> current/escape1.txt  4 bytes  ("..'
check "a path naming no file is not written" contains hostile.txt "file 7: .. -> (nothing)  (not written: the path names no file)"

head -c 30 tool.rpm > cut.rpm
"$mkpkg" list cut.rpm > cut.txt; status=$?
check "a cut package is reported" test $status -eq 2
check "the report says it is damaged" contains cut.txt "damaged:"
"$mkpkg" build big.rpm --appname Big --file 'a=tree/sub/two.bin' --file 'b=tree/one.txt'
head -c 40000 big.rpm > big-cut.rpm
"$mkpkg" extract big-cut.rpm cut-out > cut-extract.txt; status=$?
check "extract of a cut package exits 2" test $status -eq 2
check "extract says which entry it could not write" contains cut-extract.txt "file 2: b -> current/b  (not written"
"$mkpkg" list missing.rpm > missing.txt; status=$?
check "a missing package is reported" test $status -ne 0
"$mkpkg" extract missing.rpm none > /dev/null 2>&1; status=$?
check "extract of a missing package exits 1" test $status -eq 1

# --- the bytes written: the layout as the installer reads it, unchanged by streaming
printf 'hello' > files/readme.txt
"$mkpkg" build demo.rpm --appname 'Demo App' --file '$temp_dir$\demo\readme.txt=files/readme.txt'
printf '3\n3\n0\n1\nappname!--------@Demo%%20App\npacker!--------@mkpkg\nmd5!--------@%s\n$temp_dir$\\demo\\readme.txt!--------@0!--------@5\n%s\nhello' \
    "$zeros" "$marker" > demo.restored
with_digest demo.restored
scramble demo.restored demo.expected
check "the demo package is byte for byte the documented layout" cmp demo.rpm demo.expected

# --- the integrity record: a changed byte anywhere but in the digest itself is found
"$mkpkg" list demo.rpm > demo-list.txt; status=$?
check "list of an unchanged package exits 0" test $status -eq 0
check "list says the integrity record matches" contains demo-list.txt "integrity: the md5 record matches the bytes"
changed_byte() {  # changed_byte IN OUT OFFSET: one byte of IN flipped, into OUT
    python3 -c 'import sys; d = bytearray(open(sys.argv[1], "rb").read()); d[int(sys.argv[3])] ^= 0x01
open(sys.argv[2], "wb").write(d)' "$@"
}
size=$(stat -c %s demo.rpm)
changed_byte demo.rpm payload-changed.rpm $((size - 3))
"$mkpkg" list payload-changed.rpm > payload-changed.txt; status=$?
check "list of a package with a changed payload byte exits 2" test $status -eq 2
check "list says the bytes changed" contains payload-changed.txt "damaged: the bytes are not those the md5 integrity record was made for"
check "the listing still shows the entry" contains payload-changed.txt 'file 1: $temp_dir$\demo\readme.txt  5 bytes'
changed_byte demo.rpm name-changed.rpm 30
"$mkpkg" list name-changed.rpm > name-changed.txt; status=$?
check "a changed header byte is found too" test $status -eq 2
mkdir -p changed-out
"$mkpkg" extract payload-changed.rpm changed-out/x > changed-extract.txt; status=$?
check "extract of a changed package exits 2" test $status -eq 2
check "extract says the bytes changed" contains changed-extract.txt "damaged: the bytes are not those"
"$mkpkg" list tight.rpm > /dev/null; status=$?
check "a package whose records fill the first two places lists whole" test $status -eq 0
"$mkpkg" build reserved.rpm --appname R --info 'md5=0123' > reserved.txt 2>&1; status=$?
check "an info key md5 of the packager's own is refused" test $status -eq 1
check "the refusal names the integrity record" contains reserved.txt 'is kept for the integrity record'
printf ' \n' > files/blank.txt
printf 'xy' > files/xy.txt
"$mkpkg" build blank.rpm --appname B --file 'a=files/blank.txt' --file 'b=files/xy.txt'
printf '3\n3\n0\n2\nappname!--------@B\npacker!--------@mkpkg\nmd5!--------@%s\na!--------@-2!--------@0\nb!--------@0!--------@2\n%s\n \nxy' \
    "$zeros" "$marker" > blank.restored
with_digest blank.restored
scramble blank.restored blank.expected
check "offsets count from the first payload byte that is not white space" cmp blank.rpm blank.expected

# A source larger than the copy block, after one that is not a whole block either.
head -c 3000001 /dev/urandom > files/large.bin
"$mkpkg" build large.rpm --appname L --file 'a=files/a.txt' --file 'large=files/large.bin' \
    --file 'c=files/a.txt'
{
    printf '3\n3\n0\n3\nappname!--------@L\npacker!--------@mkpkg\nmd5!--------@%s\n' "$zeros"
    printf 'a!--------@0!--------@12\n'
    printf 'large!--------@12!--------@3000013\nc!--------@3000013!--------@3000025\n%s\n' "$marker"
    cat files/a.txt files/large.bin files/a.txt
} > large.restored
with_digest large.restored
scramble large.restored large.expected
check "a source over several blocks is written byte for byte" cmp large.rpm large.expected

# Memory: a 200 MB source passes through a fixed block, not through memory whole. The peak
# is taken against the same program doing nothing, so that a sanitizer's runtime is left out.
head -c 200000000 /dev/zero > files/huge.bin
peak_kb() {
    python3 - "$@" <<'P'
import resource, subprocess, sys
subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
P
}
idle_kb=$(peak_kb "$mkpkg" --version)
huge_kb=$(peak_kb "$mkpkg" build huge.rpm --appname H --file h=files/huge.bin)
echo "     peak memory: ${huge_kb:-?} KB for a 200 MB source, ${idle_kb:-?} KB for --version"
check "a 200 MB source is packaged in at most 16 MB more than the idle program" \
    test "${huge_kb:-999999999}" -le $((${idle_kb:-0} + 16 * 1024))
check "the 200 MB package has every byte" test "$(stat -c %s huge.rpm)" -gt 200000000
rm -f files/huge.bin huge.rpm

echo "$failures failure(s)"
exit $((failures > 0))
