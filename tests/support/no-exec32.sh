#!/usr/bin/env bash
# no-exec32.sh on|off|status: makes this machine refuse 32-bit x86 programs the way a kernel
# without 32-bit execution does ("Exec format error"), or lets it run them again, so that the
# suite's other case can be tried on a machine that has 32-bit execution. Root only; it changes
# the whole machine until "off" (or a reboot).
#
# How: a binfmt_misc entry for i386 ELF programs whose interpreter is a file that is no program,
# so that execve() of any 32-bit program fails with ENOEXEC, as it does there.
set -euo pipefail
binfmt=/proc/sys/fs/binfmt_misc
entry=$binfmt/tovrin-no-i386
interpreter=/run/tovrin-no-i386

mounted() {
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
}

case "${1:-}" in
on)
    mounted
    if [ ! -e "$entry" ]; then
        printf 'not a program\n' >"$interpreter"
        chmod 755 "$interpreter"
        # ELF, 32-bit, little-endian, executable or shared object, machine 3 (i386).
        printf '%s' ':tovrin-no-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$interpreter"':' \
            >"$binfmt/register"
    fi
    echo 1 >"$entry"
    ;;
off)
    if [ -e "$entry" ]; then
        echo -1 >"$entry"
    fi
    rm -f "$interpreter"
    ;;
status)
    if [ -e "$entry" ] && grep -qx enabled "$entry"; then
        echo "32-bit programs are refused (tovrin-no-i386)"
    else
        echo "32-bit programs are not refused by this script"
    fi
    ;;
*)
    echo "usage: $0 on|off|status" >&2
    exit 2
    ;;
esac
