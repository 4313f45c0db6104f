#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# haproxy with contrib/haproxy/haproxy.cfg exactly as shipped, in front of three servers,
# each on a host of its own: a network namespace joined to the proxy's by a veth pair, at
# the address the configuration names. A bounded load goes through haproxy while one host
# dies (SIGKILL to its whole process group): no request may fail.
# tests/haproxy.sh BUILD_DIR SOURCE_DIR
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
. "$(dirname "$0")/lib.sh"
config=$source/contrib/haproxy/haproxy.cfg
mapfile -t hosts < <(awk '$1 == "server" { split($3, address, ":"); print address[1] }' "$config")
[ ${#hosts[@]} -eq 3 ] || fail "expected three servers in $config"
head -c 1024 /dev/urandom >"$work/site/small.bin"
chmod a+r "$work/site/small.bin"

# The proxy's side: a bridge on the hosts' network, in this test's own namespace.
ip link add sever-br type bridge
ip addr add "${hosts[0]%.*}.1/24" dev sever-br
ip link set sever-br up
pids=()
for i in 0 1 2; do
    ns=sever-$$-$i
    ip netns add "$ns"
    cleanup ip netns del "$ns"
    ip link add "sever-h$i" type veth peer name eth0 netns "$ns"
    ip link set "sever-h$i" master sever-br up
    ip -n "$ns" addr add "${hosts[$i]}/24" dev eth0
    ip -n "$ns" link set eth0 up
    ip -n "$ns" link set lo up
    # A process group of its own, as a host's server has.
    ip netns exec "$ns" setsid sh -c 'cd "$1" && exec "$2"' sh "$work/site" "$build/sever" >"$work/host$i.log" &
    pids+=($!)
    cleanup kill -KILL -- -$!
done
haproxy -f "$config" -db >"$work/haproxy.log" 2>&1 &
cleanup "kill -TERM $!; wait $!"
until_ok 20 curl -s --fail http://127.0.0.1/index.html || fail "haproxy does not answer: $(cat "$work/haproxy.log")"
for i in 0 1 2; do
    until_ok 20 grep -q AW "$work/host$i.log" || fail "host ${hosts[$i]} gets no requests: $(cat "$work/haproxy.log")"
done

requests=20000
ab -q -n $requests -c 32 http://127.0.0.1/small.bin >"$work/ab.log" 2>&1 &
load=$!
# served HOST N: host HOST has served the file at least N times.
served() { [ "$(grep -c '^small.bin$' "$work/host$1.log")" -ge "$2" ]; }
# Host 2 dies in the middle of the load, when it has served about a third of its share.
until_ok 60 served 1 $((requests / 9)) || fail "the load did not reach host 2: $(cat "$work/ab.log")"
kill -KILL -- -"${pids[1]}"
wait $load || fail "ab failed: $(cat "$work/ab.log")"
grep -q "^Complete requests: *$requests$" "$work/ab.log" || fail "not every request completed: $(cat "$work/ab.log")"
grep -q "^Failed requests: *0$" "$work/ab.log" || fail "requests failed: $(cat "$work/ab.log")"
grep -q "^Non-2xx responses" "$work/ab.log" && fail "answers other than 200: $(cat "$work/ab.log")"
served=$(for i in 0 1 2; do grep -c '^small.bin$' "$work/host$i.log" || true; done | paste -sd' ')
echo "haproxy: $requests requests through three hosts, one killed mid-way, none failed (served per host: $served)"
grep -h "$(basename "$0" .sh)\|Server sever" "$work/haproxy.log" | head -n 3 || true
