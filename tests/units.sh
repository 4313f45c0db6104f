#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The server's calls against its units' SystemCallFilter=, traced as they start it: a user
# with no capability, no namespaces (RestrictNamespaces= answers unshare with EPERM), its own
# socket (sever.service) or a handed-over one (sever-activated.service), serving each kind of
# answer, stopped during a download. tests/units.sh BUILD_DIR
build=$(cd "$1" && pwd)
. "$(dirname "$0")/lib.sh"
cmake --install "$build" --prefix "$work/prefix" >/dev/null # and its server, where any user may run it
mkdir -m 777 "$work/traces" && truncate -s 64M "$work/site/large.bin" && chmod a+r "$work/site/large.bin"

serve() { # serve UNIT COMMAND...: the server as COMMAND starts it, its calls traced to traces/UNIT
    (cd "$work/site" && exec setpriv --reuid=61234 --regid=61234 --clear-groups --inh-caps=-all \
        strace -f -qq -e inject=unshare:error=EPERM -o "$work/traces/$1" "${@:2}" >/dev/null 2>&1) &
    local tracer=$! server && cleanup kill -KILL $tracer
    until_ok 30 curl -s http://127.0.0.1:8080/ || fail "no server for $1"
    server=$(pgrep -P $tracer) && cleanup kill -KILL "$server"
    for name in index.html missing site large.bin; do curl -s -o /dev/null "http://127.0.0.1:8080/$name"; done
    curl -s --limit-rate 1M -o /dev/null http://127.0.0.1:8080/large.bin &
    until_ok 10 pgrep -P "$server" || fail "no download under way"
    kill -TERM "$server" && wait $tracer || fail "the server for $1 did not stop with 0"
}
serve sever.service "$work/prefix/bin/sever"
serve sever-activated.service systemd-socket-activate -l 127.0.0.1:8080 "$work/prefix/bin/sever"
python3 - "$work/prefix/lib/systemd/system" "$work/traces" <<'CHECK'
import os, re, subprocess, sys
groups, name = {}, None
for line in subprocess.run(["systemd-analyze", "syscall-filter"], capture_output=True, text=True).stdout.splitlines():
    if line.startswith("@"): name = line.split()[0]; groups[name] = []
    elif name and line.strip() and not line.strip().startswith("#"): groups[name].append(line.strip())
expand = lambda word: set().union(*map(expand, groups[word])) if word in groups else {word}
refused = set()
for unit in os.listdir(sys.argv[2]):
    allowed = set()
    for line in open(f"{sys.argv[1]}/{unit}").read().splitlines():
        if line.startswith("SystemCallFilter="):
            words = line.split("=", 1)[1]
            calls = set().union(*map(expand, words.lstrip("~").split()))
            allowed = allowed - calls if words.startswith("~") else allowed | calls
    trace = open(f"{sys.argv[2]}/{unit}").read()
    server = re.search(r"^(\d+) +execve\(\"[^\"]*/sever\".* = 0$", trace, re.M)  # from here on, the server's
    for call in re.findall(r"^\d+ +(\w+)\(", trace[server.start():], re.M):
        if call not in allowed: refused.add(f"{unit}: {call}")
print("\n".join(sorted(refused)) or "units: every call the server made is one its unit allows")
sys.exit(1 if refused else 0)
CHECK
