#!/usr/bin/env bash
# Renders every page of doc/man to HTML (mandoc -T html) with working cross-references, one
# small page per operation name that leads to its part of the header's page, and an index.
#   scripts/manual.sh [output folder]     (default: doc/html)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/doc/html}
command -v mandoc >/dev/null || { echo "manual.sh: mandoc is missing (scripts/setup.sh)" >&2; exit 1; }
mkdir -p "$out"
rm -f "$out"/*.html
cd "$root/doc/man"

pages=$(ls -- *.[137] | LC_ALL=C sort)
# mandoc links a reference to %N.%S.html when a file %N.%S is in its working folder, and to
# the system's pages (free(3), printf(3)) otherwise: a folder of one empty file per page and
# per operation name tells it which are ours.
names=$(mktemp -d)
trap 'rm -rf "$names"' EXIT
for page in $pages; do
    section=${page##*.}
    touch "$names/$page"
    for name in $(sed -n 's/^\.Nm \([A-Za-z_][A-Za-z0-9_]*\).*/\1/p' "$page"); do
        touch "$names/$name.$section"
    done
done
for page in $pages; do
    (cd "$names" && mandoc -T html \
        -O "man=%N.%S.html;https://manpages.debian.org/%N.%S,style=manual.css" \
        "$root/doc/man/$page") >"$out/$page.html"
done
cp "$root/doc/manual.css" "$out/manual.css"

# A cross-reference to an operation (.Xr ec_Value 3) leads to ec_Value.3.html: a page that
# sends the reader on to the operation's part of its header's page.
for page in $pages; do
    section=${page##*.}
    for name in $(sed -n 's/^\.Nm \([A-Za-z_][A-Za-z0-9_]*\).*/\1/p' "$page" | LC_ALL=C sort -u); do
        [ "$name.$section" = "$page" ] && continue
        cat >"$out/$name.$section.html" <<HTML
<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>$name($section)</title>
<meta http-equiv="refresh" content="0; url=$page.html#$name"></head>
<body><p><a href="$page.html#$name">$name($section)</a> is described in
<a href="$page.html">${page%.*}($section)</a>.</p></body></html>
HTML
    done
done

{
    echo '<!DOCTYPE html>'
    echo '<html><head><meta charset="utf-8"><title>nuvex manual</title>'
    echo '<link rel="stylesheet" href="manual.css"></head><body>'
    echo '<h1>nuvex manual</h1>'
    echo '<p>Start with <a href="nuvex.7.html">nuvex(7)</a>, the overview.</p>'
    for section in 1 3 7; do
        case $section in
            1) echo '<h2>Programs</h2>' ;;
            3) echo '<h2>Library pages</h2>' ;;
            7) echo '<h2>Overview</h2>' ;;
        esac
        echo '<ul>'
        for page in $pages; do
            [ "${page##*.}" = "$section" ] || continue
            description=$(sed -n 's/^\.Nd //p' "$page" | head -n 1 | sed 's/&/\&amp;/g; s/</\&lt;/g')
            echo "<li><a href=\"$page.html\">${page%.*}($section)</a> &mdash; $description</li>"
        done
        echo '</ul>'
    done
    echo '</body></html>'
} >"$out/index.html"
