#!/usr/bin/env bash
# Runs every fuzz target for a while (seconds per target: $1, default 30). A crash fails, after
# all targets have run; the crashing input stays as build/fuzz/<target>-crash-*.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
seconds=${1:-30}
# Undefined behaviour fails like a crash.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"
corpus="$top/build/fuzz/corpus"
# The targets' scratch folders (a crash leaves its own behind) go in one folder removed at the end.
scratch_base=/dev/shm
[ -w "$scratch_base" ] || scratch_base=${TMPDIR:-/tmp}
NUVEX_FUZZ_SCRATCH=$(mktemp -d "$scratch_base/nuvex-fuzz.XXXXXX")
export NUVEX_FUZZ_SCRATCH
trap 'rm -rf "$NUVEX_FUZZ_SCRATCH"' EXIT
targets="package_header_fuzz text_fuzz decoder_fuzz autolink_fuzz request_fuzz saved_template_fuzz marker_fuzz
         session_fuzz cookie_fuzz awk_fuzz keyword_fuzz package_fuzz multipart_diff_fuzz"
for target in $targets; do mkdir -p "$corpus/$target"; done
# [boundary length][flags][block size][amount][seed length] seed, then the body template.
printf '\x03\x00\x03\x00\x02XyZ\x03\x06\x04f\x05a.txt"\x06\x07text/plain\x06\x06da\r\nta\x01\x04g"\x06\x06v\x02\x06tail' > "$corpus/multipart_diff_fuzz/upload"
printf '\x28\x02\x10\x05\x03-a\r\x06\x06\x03\x06\x04n"\x06\x06\x08\x20\x00\x01\x08\x07\x01\x01\x02' > "$corpus/multipart_diff_fuzz/periodic"
printf 'name = value\n# comment\n other=a=b\r\nlast' > "$corpus/decoder_fuzz/lines"
# Request: method, content type and length picks, then query, cookies, boundary, length text
# (each ended by a zero byte), then the body.
printf '\x00\x02\x00q=1\x00c=2\x00XB\x00\x00--XB\r\nContent-Disposition: form-data; name="f"; filename="a.txt"\r\nContent-Type: text/plain\r\n\r\nbytes\r\n--XB--\r\n' > "$corpus/request_fuzz/multipart"
printf '\x00\x00\x01q=1\x00c=2\x00\x00\x00name=Ann&note=a+b%%41' > "$corpus/request_fuzz/urlencoded"
printf '\x00\x00\x03\x00\x00\x00 +12\x00a=1' > "$corpus/request_fuzz/malformed-length"
printf '# saved\n_Q_SESSIONID = abc\nuser = b+o%%62\n$x <!--#include file="/dev/null"--> $x' > "$corpus/saved_template_fuzz/saved"
printf '\x02{{}}\x00[\x00]\x04a{{b[c]d}}e &a; f(x,y),z' > "$corpus/marker_fuzz/walk"
printf '\x0dsee http://x.test/a, <b>mail</b> abcd@ef.gh  "q"\r\n' > "$corpus/autolink_fuzz/text"
# Session: flags, then cookie identifier, more cookies, properties file, timeout file, then
# operations (add, remove, value, increase, timeout, save, print, destroy).
printf '\x07\x00# s\n# p\n_Q_SESSIONID = 0123456789abcdef0123456789abcdef\n_Q_CONNECTIONS = 3\n_Q_INTERVAL = 1800\nuser = bob\x00\x00\x00note\x00a+b%%41\x00\x04count\x00\x01\x02\x06\x00' > "$corpus/session_fuzz/resume"
printf '\x07\x00# s\n# p\n_Q_SESSIONID = 0123456789abcdef0123456789abcdef\n_Q_CONNECTIONS = 2147483647\n_Q_INTERVAL = 1800\x00\x00\x00n\x00\x04n\x00\xff\xff\x06\x00' > "$corpus/session_fuzz/connections-at-the-limit"
printf '\x00../x\x00a=1\x00\x00\x00\x00user\x00bob\x00\x02user\x00\x05\x00\x00\x10' > "$corpus/session_fuzz/new"
printf '\x00user id\x00a&b\x00\x00\x01\x00\x00\x03QSESSIONID\x00\x01\x00\x00\x04/next\x00\x05text/html\x00' > "$corpus/cookie_fuzz/basic"
printf '\x01a,b,,c\n  x , y \r\n\n   \nlast' > "$corpus/awk_fuzz/csv"
printf '\x00  12\n' > "$corpus/awk_fuzz/counter"
printf '\xff2147483647\n' > "$corpus/awk_fuzz/counter-at-the-limit"
printf '\x01red "big apple" "" pie \x00Apple pie <b>red</b> "x" http://a.b/red' > "$corpus/keyword_fuzz/words"
# Seeds: real packages in their restored form (package_fuzz takes a leading byte that picks
# the Windows directory).
python3 - "$corpus" <<'PY'
import sys
marker = "^" * 40
seeds = {
    "demo": "3\n1\n0\n2\nappname!--------@Demo+App\n$temp_dir$\\demo\\readme.txt!--------@0!--------@5\n"
            "c:\\nuvex\\docroot\\a%20b.txt!--------@2!--------@9\n" + marker + "\nhello world",
    "lists": "4 2 1 1 0\nappname!--------@A\nv!--------@1\na%7Cb|c!--------@T\n$win_dir$\\x.dll!--------@-2!--------@9\n"
             + marker + " \n data",
}
for name, text in seeds.items():
    open(f"{sys.argv[1]}/package_header_fuzz/{name}", "w").write(text)
    open(f"{sys.argv[1]}/package_fuzz/{name}", "w").write("\x00" + text)
PY
failed=""
for target in $targets; do
    echo "== $target ($seconds s) =="
    if ! "build/fuzz/fuzz/$target" -max_total_time="$seconds" -max_len=4096 \
        -artifact_prefix="$top/build/fuzz/$target-" "$corpus/$target" >"build/fuzz/$target.log" 2>&1; then
        failed="$failed $target"
    fi
    grep -a -E '^property failed|^SUMMARY|^Done' "build/fuzz/$target.log" | tail -n 3 || true
done
if [ -n "$failed" ]; then
    echo "fuzz targets failed:$failed (logs: build/fuzz/<target>.log)"
    exit 1
fi
