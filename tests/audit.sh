#!/bin/sh
# SPDX-License-Identifier: MIT
# The kernel logs every process its seccomp filter ends (audit type 1326). "start" marks
# the kernel log before the black-box tests; "check", after them all, fails if any process
# of the server under test (SEVER_BINARY, else the one built here: audit.sh check DIR
# BINARY) was ended by its own filter: a call that serving needs is missing from the list.
# Other servers on the same kernel are not this run's. Skipped (77) where the kernel log
# cannot be written and read.
set -u
mark="$2/audit-mark"
case "$1" in
start)
    [ -w /dev/kmsg ] && dmesg >/dev/null 2>&1 || { echo "the kernel log is out of reach: not checked"; exit 77; }
    echo "sever-audit-$$-$(date +%s%N)" >"$mark"
    cat "$mark" >/dev/kmsg
    ;;
check)
    [ -r "$mark" ] || { echo "no mark: not checked"; exit 77; }
    binary=$(realpath "${SEVER_BINARY:-$3}")
    killed=$(dmesg | sed -n "/$(cat "$mark")/,\$p" | grep 'type=1326' | grep -F "exe=\"$binary\"")
    [ -z "$killed" ] || { echo "server processes ended by the sandbox's filter:"; echo "$killed"; exit 1; }
    echo "no server process was ended by the sandbox's filter"
    ;;
esac
