#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The filter's table against what an arm64 server really calls. qemu-user applies no
# filter, so the server runs under qemu's call trace, on its own socket and on a handed-over
# one, serves each kind of answer and is stopped with a download under way. Every call made
# once the sandbox is set (after the server's PR_SET_SECCOMP) must be allowed by a row of
# the build's own table, with the arguments that row checks. tests/trace.sh ARM64_BUILD_DIR
build=$(cd "$1" && pwd)
. "$(dirname "$0")/lib.sh"
cmake --build "$build" --target sever filtertable >/dev/null
"$build/filtertable" >"$work/table"
printf '#include <sys/syscall.h>\n#include <fcntl.h>\n' |
    aarch64-linux-gnu-gcc -specs=/usr/lib/aarch64-linux-musl/musl-gcc.specs -dM -E - >"$work/macros"
mkdir "$work/site/folder" && mkfifo -m 644 "$work/site/fifo"
# Larger than a send buffer grows to, so that a rate-limited download takes its time.
head -c 8000000 /dev/zero >"$work/site/large.bin" && chmod a+r "$work/site/large.bin"

serve() { # serve COMMAND...: the server as COMMAND starts it, on port 8080, traced to trace.N
    (cd "$work/site" && QEMU_STRACE=1 exec "$@" >/dev/null 2>"$work/trace.$#") &
    local server=$!
    cleanup kill -KILL $server
    until_ok 30 curl -s http://127.0.0.1:8080/ || fail "no server under $*"
    for name in index.html missing folder fifo large.bin; do curl -s -o /dev/null "http://127.0.0.1:8080/$name"; done
    curl -s --limit-rate 1M -o /dev/null http://127.0.0.1:8080/large.bin &
    until_ok 10 pgrep -P $server || fail "no download under way"
    kill -TERM $server
    wait $server || fail "the server under $* did not stop with 0"
}
serve "$build/sever"
serve systemd-socket-activate -l 127.0.0.1:8080 -E QEMU_STRACE=1 "$build/sever"

python3 - "$work/table" "$work/macros" "$work"/trace.* <<'CHECK'
import re, sys
table, macros = (open(name).read() for name in sys.argv[1:3])
macro = dict(re.findall(r"#define (\w+) (\w+)", macros))
def number(text):  # an argument as qemu prints it: decimal, 0x hex, or flags such as O_RDONLY|0x20000
    literal = lambda t: int(t, 8) if re.fullmatch(r"0[0-7]+", t) else int(t, 0)
    return sum(literal(macro.get(t, t)) for t in text.split("|")) & 0xFFFFFFFF
tests = {0: lambda a, v: True, 1: lambda a, v: a == v, 2: lambda a, v: a & v == 0, 3: lambda a, v: a >= v}
rows = {}
for line in table.splitlines():
    call, *checks = map(int, line.split())
    rows.setdefault(call, []).append([checks[0:3], checks[3:6]])
def allowed(call, args):
    return any(all(how == 0 or tests[how](number(args[arg]), v) for arg, how, v in row) for row in rows.get(call, []))
refused, runs = set(), 0
for trace in sys.argv[3:]:
    sealed = False
    for name, args in re.findall(r"(?:^|\s)\d+ (\w+)\(([^()]*)", open(trace).read()):
        # A name no call has is a line that another process's output tore.
        if sealed and "SYS_" + name in macro and not allowed(int(macro["SYS_" + name]), args.split(",")):
            refused.add(f"{name}({args})")
        sealed = sealed or name == "prctl" and args.startswith("22,")
    runs += sealed
print("\n".join(sorted(refused)) or "trace: every call the arm64 server made is in its table")
sys.exit(1 if refused or runs < len(sys.argv[3:]) else 0)
CHECK
