#!/bin/sh
# Trees with links for the directory-tree tests under Wine, which cannot make links itself
# but reports a Unix link to a folder as a reparse point with the directory bit. A Unix link
# to a file looks like the file itself there (and deleting it deletes the file behind it), so
# these trees hold folder links only.
#   link_trees.sh FOLDER      makes FOLDER/0 .. FOLDER/2, each a tree and an outside folder
set -eu
rm -rf "$1"
for n in 0 1 2; do
    mkdir -p "$1/$n/outside" "$1/$n/tree/real"
    printf 'kept' > "$1/$n/outside/keep.txt"
    printf 'x' > "$1/$n/tree/real/inside.txt"
    ln -s ../outside "$1/$n/tree/link"
done
