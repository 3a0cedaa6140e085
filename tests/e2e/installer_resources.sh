#!/usr/bin/env bash
# installer.exe as shipped: manifest and version resource as Windows reads them (the probe runs
# under Wine), and, for a release build, no debug sections.
#   installer_resources.sh WINE OBJDUMP PROBE INSTALLER COMPANY PRODUCT VERSION [--stripped]
set -euo pipefail
wine=$1 objdump=$2 probe=$3 installer=$4 company=$5 product=$6 version=$7
stripped=${8:-}
"$wine" "$probe" "$installer" "$company" "$product" "$version" | tr -d '\r'
if [ "$stripped" = --stripped ]; then
    sections=$("$objdump" -h "$installer" | awk '$2 ~ /^\.debug/ {print $2}')
    if [ -n "$sections" ]; then
        echo "FAIL debug sections in a release build:" $sections
        exit 1
    fi
    "$objdump" -h "$installer" | grep -q ' \.rsrc ' || { echo "FAIL no .rsrc section"; exit 1; }
    echo "ok   no debug sections ($(stat -c %s "$installer") bytes)"
fi
