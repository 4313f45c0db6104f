#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The container image as a user gets it: built from contrib/Containerfile with podman, run
# read-only with no capabilities, serving a host folder byte for byte, then stopped: its
# own exit code must be 0, long before podman's 10 s would end it with SIGKILL (137).
# Storage lives in the work folder, so nothing stays on the machine.
# tests/container.sh BUILD_DIR SOURCE_DIR
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
. "$(dirname "$0")/lib.sh"

# What these machines need, and a user's machine usually does not: vfs storage, cgroupfs,
# runc (crun refuses the hybrid cgroup setup here), and limits root may not raise here.
podman=(podman --root "$work/storage" --runroot "$work/run" --storage-driver vfs --cgroup-manager cgroupfs
    --runtime runc)
limits=(--ulimit nofile=1024:1024 --ulimit nproc=4096:4096)

# The build context holds only what the Containerfile copies, as .containerignore makes it.
mkdir -p "$work/context/build"
cp "$build/sever" "$work/context/build/sever"
"${podman[@]}" build -q -f "$source/contrib/Containerfile" -t localhost/sever:test "$work/context" >/dev/null
cleanup "${podman[@]}" rmi -f localhost/sever:test
echo "container image: $("${podman[@]}" image inspect --format '{{.Size}}' localhost/sever:test) bytes"

# The host's network here is this test's own namespace, with nothing but loopback.
"${podman[@]}" run -d --name sever-test --read-only --cap-drop all --network host "${limits[@]}" \
    -v "$work/site:/srv:ro" localhost/sever:test >/dev/null
cleanup "${podman[@]}" rm -f sever-test
until_ok 20 curl -s http://127.0.0.1:8080/ || fail "the container does not listen"
same http://127.0.0.1:8080/noise.bin "$work/site/noise.bin"

begun=$(date +%s%N)
"${podman[@]}" stop sever-test >/dev/null
took=$((($(date +%s%N) - begun) / 1000000))
code=$("${podman[@]}" inspect --format '{{.State.ExitCode}}' sever-test)
echo "container stop: ${took} ms, exit code $code"
# Killed after podman's timeout, it would be 137.
[ "$code" = 0 ] || fail "the container's exit code is $code, not 0"
[[ "$("${podman[@]}" logs sever-test 2>&1)" == Listen$'\n'GG$'\n'* ]] || fail "no trace lines in the log"
echo "container: built, served byte for byte read-only without capabilities, stopped with 0"
