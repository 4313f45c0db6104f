#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The container image as a user gets it: built from contrib/Containerfile with podman for
# amd64 and arm64, run read-only with no capabilities, serving a host folder byte for byte,
# then stopped: its own exit code must be 0, long before podman's 10 s would end it with
# SIGKILL (137). The arm64 image then serves too, under qemu-user.
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

# The build context holds the server of each architecture, as contrib/Containerfile takes
# it by TARGETARCH; the arm64 one is cross-built here. Built twice, the image must be the
# same: the same digest for each architecture (no intermediate images, whose ids would
# stand in its history).
cmake -S "$source" -B "$work/arm64" -DCMAKE_TOOLCHAIN_FILE="$source/cmake/aarch64.cmake" -DSEVER_TESTS=OFF >/dev/null
cmake --build "$work/arm64" --target sever >/dev/null
mkdir -p "$work/context/amd64" "$work/context/arm64"
cp "$build/sever" "$work/context/amd64/sever"
cp "$work/arm64/sever" "$work/context/arm64/sever"
image() { # image NAME: builds the manifest list NAME, prints the digests of its images
    "${podman[@]}" build -q --layers=false --platform linux/amd64,linux/arm64 --manifest "$1" \
        --timestamp "$(cat "$build/source-date-epoch")" -f "$source/contrib/Containerfile" "$work/context" >/dev/null
    "${podman[@]}" manifest inspect "$1" | grep '"digest"' | sort
}
first=$(image localhost/sever:test)
[ "$(image localhost/sever:again)" = "$first" ] || fail "a second build made another image"
echo "container image: $("${podman[@]}" image inspect --format '{{.Size}}' localhost/sever:test) bytes," \
    "built twice the same for amd64 and arm64"

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

# The arm64 image of the same name, under qemu-user: it serves the same bytes.
"${podman[@]}" run -d --name sever-arm64 --arch arm64 --read-only --cap-drop all --network host "${limits[@]}" \
    -v "$work/site:/srv:ro" localhost/sever:test >/dev/null
cleanup "${podman[@]}" rm -f sever-arm64
until_ok 30 curl -s http://127.0.0.1:8080/ || fail "the arm64 container does not listen"
same http://127.0.0.1:8080/noise.bin "$work/site/noise.bin"
ran=$("${podman[@]}" image inspect --format '{{.Architecture}}' "$("${podman[@]}" inspect --format '{{.Image}}' sever-arm64)")
[ "$ran" = arm64 ] || fail "--arch arm64 ran the $ran image"
"${podman[@]}" stop sever-arm64 >/dev/null
echo "container: built, served byte for byte read-only without capabilities, stopped with 0; arm64 served too"
