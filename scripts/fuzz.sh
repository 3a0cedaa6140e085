#!/usr/bin/env bash
# Runs every fuzz target for a while (seconds per target: $1, default 30). A crash fails.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
seconds=${1:-30}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"
corpus=build/fuzz/corpus
targets="package_header_fuzz text_fuzz decoder_fuzz autolink_fuzz request_fuzz saved_template_fuzz marker_fuzz"
targets="$targets multipart_diff_fuzz"
for target in $targets; do mkdir -p "$corpus/$target"; done
# [boundary length][flags][block size][amount][seed length] seed, then the body template.
printf '\x03\x00\x03\x00\x02XyZ\x03\x06\x04f\x05a.txt"\x06\x07text/plain\x06\x06da\r\nta\x01\x04g"\x06\x06v\x02\x06tail' > "$corpus/multipart_diff_fuzz/upload"
printf '\x28\x02\x10\x05\x03-a\r\x06\x06\x03\x06\x04n"\x06\x06\x08\x20\x00\x01\x08\x07\x01\x01\x02' > "$corpus/multipart_diff_fuzz/periodic"
printf 'name = value\n# comment\n other=a=b\r\nlast' > "$corpus/decoder_fuzz/lines"
printf '\x01a=1&b=2\n--XB\r\nContent-Disposition: form-data; name="f"; filename="a.txt"\r\nContent-Type: text/plain\r\n\r\nbytes\r\n--XB--\r\n' > "$corpus/request_fuzz/multipart"
printf '\x00q=1\nname=Ann&note=a+b%%41' > "$corpus/request_fuzz/urlencoded"
printf '# saved\n_Q_SESSIONID = abc\nuser = b+o%%62\n$x <!--#include file="/dev/null"--> $x' > "$corpus/saved_template_fuzz/saved"
printf '\x02{{}}\x00[\x00]\x04a{{b[c]d}}e &a; f(x,y),z' > "$corpus/marker_fuzz/walk"
printf '\x0dsee http://x.test/a, <b>mail</b> abcd@ef.gh  "q"\r\n' > "$corpus/autolink_fuzz/text"
# Seeds: real packages in their restored form.
python3 - "$corpus/package_header_fuzz" <<'PY'
import sys
marker = "^" * 40
seeds = {
    "demo": "3\n1\n0\n1\nappname!--------@Demo+App\n$temp_dir$\\demo\\readme.txt!--------@0!--------@5\n"
            + marker + "\nhello",
    "lists": "4 2 1 1 0\nappname!--------@A\nv!--------@1\na%7Cb|c!--------@T\nx!--------@-2!--------@9\n"
             + marker + " \n data",
}
for name, text in seeds.items():
    open(f"{sys.argv[1]}/{name}", "w").write(text)
PY
for target in $targets; do
    echo "== $target ($seconds s) =="
    "build/fuzz/fuzz/$target" -max_total_time="$seconds" -max_len=4096 \
        -artifact_prefix="build/fuzz/$target-" "$corpus/$target" 2>&1 | tail -n 3
done
