#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The package under a real systemd, as doc/deployment.md tells an operator: a Debian 12 tree
# (debootstrap, kept in /var/tmp/sever-cache) booted with systemd-nspawn in this test's network
# namespace, the package installed with apt, each unit started, served from, stopped during a
# download, restarted; no server process ended by a filter. tests/systemd.sh BUILD_DIR
build=$(cd "$1" && pwd)
cache=/var/tmp/sever-cache/bookworm.tar
# Made while the network is still there: the test itself runs in a namespace without one.
if [ "$(id -u)" -eq 0 ] && [ -z "${SEVER_NETNS:-}" ] && [ ! -f $cache ]; then
    mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -v security |
        sed -n 's/^URIs: *//p; s/^deb \(\[[^]]*\] \)\{0,1\}//p' | awk '{ print $1; exit }')
    new=$(mktemp -d /var/tmp/sever-tree-XXXXXX) # the host's mirror, as apt has it
    debootstrap --variant=minbase --include=systemd,systemd-sysv bookworm "$new" "${mirror:-http://deb.debian.org/debian}" \
        >"$new.log" 2>&1 || { tail -n 3 "$new.log"; exit 1; }
    mkdir -p "$(dirname $cache)" && tar -C "$new" -cf $cache.$$ . && mv $cache.$$ $cache && rm -rf "$new" "$new.log"
fi
. "$(dirname "$0")/lib.sh"
root=$work/root
mkdir "$root" && tar -C "$root" -xf $cache && chmod 755 "$root"
ln -s /dev/null "$root/etc/systemd/system/systemd-logind.service" # it needs D-Bus, which serving does not
(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null) && cp "$work"/out/sever_*.deb "$root/root/sever.deb"
truncate -s 64M "$work/site/large.bin" # more than the buffers hold: under way at the stop
systemd-nspawn -q -b -D "$root" --register=no --keep-unit --console=pipe >"$work/boot.log" 2>&1 &
nspawn=$! && cleanup "kill -KILL $nspawn; wait $nspawn"
cannot() { echo "skipped: systemd-nspawn cannot boot a Debian tree here (a chroot?): $(tail -n 3 "$work/boot.log")"; exit 77; }
until_ok 30 pgrep -x systemd -P $nspawn || cannot # not nspawn's helper before it
leader=$(pgrep -x systemd -P $nspawn) && cleanup kill -KILL "$leader" # the container's first process: all of it ends
inside() { nsenter -t "$leader" -a "$@"; }
kills() { dmesg | grep 'type=1326' | grep -c 'comm="sever"' || true; } && before=$(kills)
booted() { timeout 60 nsenter -t "$leader" -a systemctl is-system-running --wait | grep -qxE 'running|degraded'; }
until_ok 60 booted || cannot
inside apt-get install -qq -y /root/sever.deb >/dev/null 2>&1 || fail "apt cannot install the package"
! inside systemctl enable --now sever.service 2>/dev/null || fail "sever.service started without its folder"
inside systemctl show -P AssertResult sever.service | grep -qx no &&
    inside journalctl -u sever.service | grep -q 'AssertPathIsDirectory=/var/www/html\|Assertion failed' ||
    fail "the failure does not name the folder: $(inside systemctl status sever.service)"
mkdir -p "$root/var/www" && cp -r "$work/site" "$root/var/www/html"
inside systemctl start sever.service || fail "sever.service does not start: $(inside journalctl -u sever.service | tail -n 5)"
same http://127.0.0.1:8080/noise.bin "$work/site/noise.bin"
inside journalctl -u sever.service | grep -q ' noise.bin$' || fail "no trace line in the journal"
curl -s --limit-rate 1M -o "$work/part" http://127.0.0.1:8080/large.bin &
until_ok 10 test -s "$work/part" || fail "no download under way"
start=$(date +%s%N) && inside systemctl stop sever.service && took=$((($(date +%s%N) - start) / 1000000))
[ "$(inside systemctl show -P ExecMainStatus sever.service)" = 0 ] || fail "stopped during a download, not with 0"
[ $took -lt 10000 ] || fail "the stop took $took ms"
inside systemctl restart sever.service || fail "sever.service does not restart"
same http://127.0.0.1:8080/index.html "$work/site/index.html"
inside systemctl disable -q --now sever.service || fail "sever.service does not stop"
inside systemctl enable -q --now sever.socket || fail "sever.socket does not start"
same http://127.0.0.1:8080/noise.bin "$work/site/noise.bin"
inside systemctl is-active -q sever-activated.service || fail "the socket did not start sever-activated.service"
[ "$(kills)" = "$before" ] || fail "a server process was ended by a filter: $(dmesg | grep 'type=1326' | tail -n 1)"
echo "systemd: sever.service served, stopped during a download in $took ms with 0, restarted; sever.socket activated it"
