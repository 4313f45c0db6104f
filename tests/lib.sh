# SPDX-License-Identifier: MIT
# Shared by the delivery tests (package, container, proxies): each runs as root in a
# network namespace of its own, in a fresh work folder that is removed at the end, and
# serves a small site with a binary file that must arrive byte for byte.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: needs root for a network namespace of its own"
    exit 77 # the skip code CTest is told about
fi
if [ -z "${SEVER_NETNS:-}" ]; then
    SEVER_NETNS=1 exec unshare --net -- "$0" "$@"
fi
ip link set lo up
work=$(mktemp -d /tmp/sever-delivery-XXXXXX)
chmod 755 "$work"
cleanups=()
# cleanup COMMAND...: run at the end, last registered first, whatever happened before.
cleanup() { cleanups=("$*" "${cleanups[@]}"); }
finish() {
    local status=$?
    for command in "${cleanups[@]}"; do eval "$command" >/dev/null 2>&1 || true; done
    rm -rf "$work"
    exit "$status"
}
trap finish EXIT
mkdir "$work/site"
printf '<!doctype html><title>sever</title><h1>hello</h1>\n' >"$work/site/index.html"
head -c 200000 /dev/urandom >"$work/site/noise.bin"
chmod -R a+rX "$work/site"

fail() { echo "FAILED: $*" >&2; exit 1; }
# same URL FILE [CURL OPTION...]: what the URL answers is FILE's bytes exactly.
same() {
    local url=$1 file=$2
    shift 2
    curl -sS --fail --max-time 20 "$@" -o "$work/got" "$url" && cmp -s "$work/got" "$file" || fail "$url is not $file"
}
# until SECONDS COMMAND...: waits for the command to succeed.
until_ok() {
    local end=$((SECONDS + $1)); shift
    until "$@" >/dev/null 2>&1; do [ $SECONDS -lt $end ] || return 1; sleep 0.1; done
}
