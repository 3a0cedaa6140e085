#!/usr/bin/env bash
# The installer when things go wrong, with faults that are real: a folder in the way, a full
# drive and a full temporary folder (small tmpfs mounts), a process killed at each of its
# writes, renames and links (strace), targets this user may not write (a non-root user), and
# two installers at once. Each run either installs every file or leaves every target as it
# was, says which on its screen and exit status, and leaves nothing of its own behind.
#   installer_faults.sh INSTALLER MKPKG
set -uo pipefail
installer=$1
mkpkg=$2

work=$(mktemp -d "${TMPDIR:-/tmp}/nuvex-faults.XXXXXX")
mounts=()
cleanup() {
    for m in "${mounts[@]}"; do umount "$m" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"
failures=0
check() {
    local what=$1; shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
skip() { echo "skip $1"; }
has() { grep -qF -- "$2" "$1"; }
same() { cmp -s "$1" "$2"; }

export NUVEX_DRIVE_ROOT=$work/drives TMPDIR=$work/tmp windir=$work/windows
mkdir -p "$TMPDIR" "$windir" "$NUVEX_DRIVE_ROOT/c/nuvex/docroot/data" "$work/src"
app_list=$NUVEX_DRIVE_ROOT/c/nuvex/docroot/data/app-list
cd "$work"
printf 'new one' > src/one.txt
printf 'new two' > src/two.txt
head -c 200000 /dev/urandom > src/big.bin
printf 'fresh' > src/fresh.txt

# What a run may leave in the temporary folder: the restored copy and the lock file.
temp_clean() { [ -z "$(find "$1" -mindepth 1 ! -name xx1 ! -name xx.lock)" ]; }
# No side file or kept old copy ("~" and 7 hex digits) anywhere below a folder.
no_side_files() { [ -z "$(find "$1" -name '~*')" ]; }
run_installer() {  # run_installer FOLDER: exit status in $status, screen text in FOLDER/screen
    status=0
    (cd "$1" && "$installer" < /dev/null > screen) || status=$?
}

# --- a folder where a file goes: every target back as it was, nothing registered
mkdir -p app1/data/blocked
printf 'old one' > app1/data/one.txt
"$mkpkg" build app1/cab1.rpm --appname 'Faulty' --file 'data\one.txt=src/one.txt' \
    --file 'data\new\deep\fresh.txt=src/fresh.txt' --file 'data\blocked=src/two.txt'
printf 'existing=line\n' > "$app_list"
run_installer app1
check "folder in the way: exit status 1" test "$status" -eq 1
check "folder in the way: the old file keeps its bytes" same app1/data/one.txt <(printf 'old one')
check "folder in the way: no folder of the run is left" test ! -e app1/data/new
check "folder in the way: no side file is left" no_side_files app1
check "folder in the way: the temporary folder holds only xx1 and the lock" temp_clean "$TMPDIR"
check "folder in the way: the application is not registered" same "$app_list" <(printf 'existing=line\n')
check "folder in the way: the screen names the file and the reason" has app1/screen \
    'Please wait...Installation failed: data\blocked: a folder is in the way'
check "folder in the way: the success message is not shown" \
    test -z "$(grep -F 'installed successfully' app1/screen)"
check "folder in the way: Press Enter stays" has app1/screen 'Press Enter to terminate!'
rmdir app1/data/blocked
run_installer app1
check "folder gone: the same package installs" test "$status" -eq 0
check "folder gone: every file in place" same app1/data/blocked src/two.txt
check "folder gone: registered" same "$app_list" <(printf 'existing=line\n\nFaulty=Faulty\n')

# --- a drive that fills midway, and a temporary folder that is full (tmpfs of 64 KB)
small_mount() {  # small_mount FOLDER: a 64 KB tmpfs there, or false
    mkdir -p "$1"
    mount -t tmpfs -o size=64k tmpfs "$1" 2>/dev/null || return 1
    mounts+=("$1")
}
if small_mount "$work/small-drives"; then
    mkdir -p "$work/small-drives/c/app"
    printf 'old one' > "$work/small-drives/c/app/one.txt"
    mkdir -p app2
    "$mkpkg" build app2/cab1.rpm --appname 'Full' --file 'c:\app\one.txt=src/one.txt' \
        --file 'c:\app\big.bin=src/big.bin' --file 'c:\app\more\two.txt=src/two.txt'
    status=0
    (cd app2 && NUVEX_DRIVE_ROOT=$work/small-drives "$installer" < /dev/null > screen) || status=$?
    check "drive full: exit status 1" test "$status" -eq 1
    check "drive full: the screen says disk full" has app2/screen 'c:\app\big.bin: disk full'
    check "drive full: the old file keeps its bytes" \
        same "$work/small-drives/c/app/one.txt" <(printf 'old one')
    check "drive full: nothing else is left on the drive" \
        test "$(cd "$work/small-drives" && find . | sort | tr '\n' ' ')" = ". ./c ./c/app ./c/app/one.txt "
else
    skip "drive full: a tmpfs cannot be mounted here (needs root)"
fi
if small_mount "$work/small-temp"; then
    printf 'old one' > app1/data/one.txt
    mkdir -p app3
    "$mkpkg" build app3/cab1.rpm --appname 'Temp' --file 'one.txt=src/one.txt' \
        --file 'big.bin=src/big.bin'
    printf 'old one' > app3/one.txt
    status=0
    (cd app3 && TMPDIR=$work/small-temp "$installer" < /dev/null > screen) || status=$?
    check "temporary folder full: exit status 1" test "$status" -eq 1
    check "temporary folder full: the screen says disk full" has app3/screen 'xx1: disk full'
    check "temporary folder full: the target is untouched" same app3/one.txt <(printf 'old one')
    check "temporary folder full: no half restored copy is left" \
        test -z "$(find "$work/small-temp" -name 'xx1*')"
else
    skip "temporary folder full: a tmpfs cannot be mounted here (needs root)"
fi

# --- killed at each write, rename and link: every target old or whole-new, and the next run
# puts right what was left and installs cleanly
if command -v strace > /dev/null && strace -f -qq -o /dev/null true 2>/dev/null; then
    mkdir -p app4
    "$mkpkg" build app4/cab1.rpm --appname 'Killed' --file 'data\one.txt=src/one.txt' \
        --file 'data\two.txt=src/two.txt' --file 'data\sub\fresh.txt=src/fresh.txt'
    reset_app4() {
        rm -rf app4/data "$TMPDIR"/xx.journal
        mkdir -p app4/data
        printf 'old one' > app4/data/one.txt
        printf 'old two' > app4/data/two.txt
    }
    old_or_new() {  # old_or_new FILE OLD NEW (OLD "" for a file that did not exist)
        if [ -e "$1" ]; then same "$1" <(printf '%s' "$3") || { [ -n "$2" ] && same "$1" <(printf '%s' "$2"); }
        else [ -z "$2" ]; fi
    }
    # How many calls of a kind a whole run makes: each one is a point to be killed at.
    calls_of() {
        reset_app4
        (cd app4 && strace -f -qq -c -o "$work/count" -e trace="$1" "$installer" \
            < /dev/null > /dev/null 2>&1)
        awk -v name="$1" '$NF == name {print $4}' "$work/count"
    }
    for syscall in write rename link unlink; do
        total=$(calls_of $syscall)
        torn=0 unclean=0
        for n in $(seq 1 "${total:-0}"); do
            reset_app4
            { (cd app4 && strace -f -qq -o /dev/null -e trace=$syscall \
                -e inject=$syscall:signal=KILL:when=$n "$installer" < /dev/null > /dev/null); } \
                2> /dev/null
            old_or_new app4/data/one.txt 'old one' 'new one' &&
                old_or_new app4/data/two.txt 'old two' 'new two' &&
                old_or_new app4/data/sub/fresh.txt '' 'fresh' || torn=$((torn + 1))
            run_installer app4
            { [ "$status" -eq 0 ] && same app4/data/one.txt src/one.txt &&
                same app4/data/two.txt src/two.txt && same app4/data/sub/fresh.txt src/fresh.txt &&
                no_side_files app4 && temp_clean "$TMPDIR"; } || {
                [ "$unclean" -gt 0 ] || echo "     after a kill at $syscall $n: status $status," \
                    "left: $(find app4 "$TMPDIR" -name '~*' -o -name 'xx[.2]*' | tr '\n' ' ')"
                unclean=$((unclean + 1))
            }
        done
        echo "     killed at each of ${total:-0} $syscall calls"
        check "killed at a $syscall: there were calls to kill at" test "${total:-0}" -gt 0
        check "killed at a $syscall: every target old or whole-new" test "$torn" -eq 0
        check "killed at a $syscall: the next run installs cleanly, nothing left behind" \
            test "$unclean" -eq 0
    done
else
    skip "kills at each write: strace cannot trace here"
fi

# --- targets this user may not write (a non-root user: root ignores permissions)
if [ "$(id -u)" -eq 0 ] && command -v setpriv > /dev/null; then
    mkdir -p app5/data/locked "$work/tmp-nobody"
    printf 'old one' > app5/data/one.txt
    printf 'theirs' > app5/data/locked/two.txt
    chmod 555 app5/data/locked
    chmod 666 app5/data/one.txt
    chmod 777 app5 app5/data
    chown 65534:65534 "$work/tmp-nobody"
    "$mkpkg" build app5/cab1.rpm --appname 'Locked' --file 'data\one.txt=src/one.txt' \
        --file 'data\locked\two.txt=src/two.txt'
    status=0
    (cd app5 && TMPDIR=$work/tmp-nobody setpriv --reuid=65534 --regid=65534 --clear-groups \
        "$installer" < /dev/null > "$work/screen5") || status=$?
    check "unwritable folder: exit status 1" test "$status" -eq 1
    check "unwritable folder: access denied on the screen" has "$work/screen5" \
        'data\locked\two.txt: access denied'
    check "unwritable folder: the writable target keeps its old bytes" \
        same app5/data/one.txt <(printf 'old one')
    check "unwritable folder: the other user's file is untouched" \
        same app5/data/locked/two.txt <(printf 'theirs')
    check "unwritable folder: no side file is left" no_side_files app5
    chmod 755 app5/data/locked
    chown root app5/data/locked/two.txt
    chmod 644 app5/data/locked/two.txt
    chmod 777 app5/data/locked
    status=0
    (cd app5 && TMPDIR=$work/tmp-nobody setpriv --reuid=65534 --regid=65534 --clear-groups \
        "$installer" < /dev/null > "$work/screen5") || status=$?
    check "someone else's file: exit status 1" test "$status" -eq 1
    check "someone else's file: access denied on the screen" has "$work/screen5" \
        'data\locked\two.txt: access denied'
    check "someone else's file: the writable target keeps its old bytes" \
        same app5/data/one.txt <(printf 'old one')
else
    skip "unwritable targets: needs root to become another user"
fi

# --- two installers at once, sharing the temporary folder: each installs its own package
# whole, one after the other. Each package writes a folder of its own and one they share.
mkdir -p appA appB
entries() {  # entries LETTER: the --file options of that package
    for i in $(seq 0 9); do
        printf -- '--file c:\\both\\f%s.bin=src/%s%s.bin ' "$i" "$1" "$i"
        printf -- '--file c:\\only%s\\f%s.bin=src/%s%s.bin ' "$1" "$i" "$1" "$i"
    done
}
for i in $(seq 0 9); do
    head -c 2000000 /dev/urandom > "src/a$i.bin"
    head -c 2000000 /dev/urandom > "src/b$i.bin"
done
"$mkpkg" build appA/cab1.rpm --appname A $(entries a)
"$mkpkg" build appB/cab1.rpm --appname B $(entries b)
drive=$NUVEX_DRIVE_ROOT/c
mixed=0 foreign=0 failed=0
for round in 1 2 3 4 5; do
    rm -rf "$drive/both" "$drive/onlya" "$drive/onlyb"
    (cd appA && "$installer" < /dev/null > /dev/null) & pa=$!
    (cd appB && "$installer" < /dev/null > /dev/null) & pb=$!
    wait $pa || failed=$((failed + 1))
    wait $pb || failed=$((failed + 1))
    from_a=0 from_b=0
    for i in $(seq 0 9); do
        if same "$drive/both/f$i.bin" src/a$i.bin; then from_a=$((from_a + 1));
        elif same "$drive/both/f$i.bin" src/b$i.bin; then from_b=$((from_b + 1)); fi
        same "$drive/onlya/f$i.bin" src/a$i.bin && same "$drive/onlyb/f$i.bin" src/b$i.bin ||
            foreign=$((foreign + 1))
    done
    [ "$from_a" -eq 10 ] || [ "$from_b" -eq 10 ] || mixed=$((mixed + 1))
done
check "two at once: both runs succeed" test "$failed" -eq 0
check "two at once: each package's own files hold its own bytes" test "$foreign" -eq 0
check "two at once: the shared files are one package's, never a mix" test "$mixed" -eq 0
check "two at once: nothing left behind" temp_clean "$TMPDIR"

echo "$failures failure(s)"
exit $((failures > 0))
