#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian package as a user gets it: made by cpack from the build folder (amd64, or the
# arm64 cross build, whose server then runs under qemu-user), the same bytes from a second
# build in another folder, clean under lintian, installed with dpkg into a throwaway root
# (the machine itself is not touched), run from there, then purged.
# tests/package.sh BUILD_DIR SOURCE_DIR
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
. "$(dirname "$0")/lib.sh"

(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null)
deb=$(echo "$work"/out/sever_*.deb)
toolchain=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$build/CMakeCache.txt")
arch=$(dpkg-deb -f "$deb" Architecture)
[ "$arch" = "$([ -n "$toolchain" ] && echo arm64 || echo amd64)" ] || fail "the package is for $arch"
cmake -S "$source" -B "$work/again" -DSEVER_TESTS=OFF ${toolchain:+"-DCMAKE_TOOLCHAIN_FILE=$toolchain"} >/dev/null
cmake --build "$work/again" >/dev/null
(cd "$work/again" && cpack -G DEB -B "$work/again/out" >/dev/null)
cmp -s "$deb" "$work"/again/out/sever_*.deb || fail "a second build in another folder made another package"
lintian --fail-on error,warning "$deb" 2>/dev/null || fail "lintian: $(lintian "$deb" 2>/dev/null)"
version=$(dpkg-deb -f "$deb" Version)
# The version names what was built: the release, or any later commit by its hash.
commit=$(git -C "$source" log -1 --format=%h 2>/dev/null || true)
[[ $version != *+* || $version == *".$commit"* ]] || fail "version $version does not name commit $commit"
[ -z "$(dpkg-deb -f "$deb" Depends)" ] || fail "the package has dependencies"
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"

root=$work/root
mkdir -p "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/info"
touch "$root/var/lib/dpkg/status"
[ "$arch" = "$(dpkg --print-architecture)" ] || dpkg --root="$root" --add-architecture "$arch"
dpkg --root="$root" -i "$deb" >/dev/null
for unit in sever.service sever-activated.service; do
    grep -qx 'ExecStart=/usr/bin/sever' "$root/lib/systemd/system/$unit" || fail "$unit does not start /usr/bin/sever"
done
[ -f "$root/lib/systemd/system/sever.socket" ] || fail "no socket unit"
zcat "$root/usr/share/man/man1/sever.1.gz" | grep -q "sever $version" || fail "the manual page is not of version $version"
zcat "$root/usr/share/doc/sever/changelog.gz" >"$work/changelog"
[ "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" = "$version" ] ||
    fail "the changelog's latest entry is not version $version"
grep -q '^License: Expat' "$root/usr/share/doc/sever/copyright" || fail "no licence in the copyright file"

(cd "$work/site" && exec "$root/usr/bin/sever" >"$work/out.log") &
server=$!
cleanup kill -KILL $server
until_ok 10 curl -s http://127.0.0.1:8080/ || fail "the installed server does not listen"
same http://127.0.0.1:8080/noise.bin "$work/site/noise.bin"
kill -TERM $server
wait $server || fail "the server did not exit with 0 on SIGTERM"

dpkg --root="$root" --purge sever >/dev/null
left=$(cd "$root" && find . -path ./var -prune -o ! -type d -print)
[ -z "$left" ] || fail "left after purge: $left"
echo "package: $(basename "$deb") built twice the same ($(sha256sum <"$deb" | cut -c1-16)), lintian-clean, installed, served byte for byte, purged"
