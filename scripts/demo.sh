#!/usr/bin/env bash
# Builds the installer and the sample package, then runs the installer in demo/ with a drive
# root of its own, and shows what was installed and the application list.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/setup.sh native
cmake --preset native >/dev/null
cmake --build build/native -j"$(nproc)" --target installer mkpkg sample_package >/dev/null

demo=$top/demo
rm -rf "$demo"
mkdir -p "$demo/drives/c/nuvex/docroot/data" "$demo/tmp" "$demo/windows" "$demo/app"
cp build/native/examples/sample/cab1.rpm "$demo/app/"
export NUVEX_DRIVE_ROOT=$demo/drives TMPDIR=$demo/tmp windir=$demo/windows

echo "The sample package:"
build/native/mkpkg list "$demo/app/cab1.rpm" | sed 's/^/  /'
if [ -t 0 ] && [ -t 1 ]; then
    echo "Press Enter to start the installer; it waits for Enter when it is done."
    read -r _
    (cd "$demo/app" && "$top/build/native/installer")
else
    (cd "$demo/app" && "$top/build/native/installer" < /dev/null)
fi
echo
echo
echo "Installed files (drive c: is $demo/drives/c, the temporary folder $demo/tmp):"
(cd "$demo" && find drives tmp app windows -type f ! -name cab1.rpm | sort | sed 's/^/  /')
echo "Application list (c:\\nuvex\\docroot\\data\\app-list):"
sed 's/^/  | /' "$demo/drives/c/nuvex/docroot/data/app-list"
