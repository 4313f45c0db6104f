#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# nginx in front of the server, with contrib/nginx/sever.conf exactly as shipped: what a
# browser and curl see through it, and what fails directly against the server.
# tests/nginx.sh BUILD_DIR SOURCE_DIR
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
. "$(dirname "$0")/lib.sh"
[ -r /etc/ssl/certs/ssl-cert-snakeoil.pem ] || fail "no snakeoil certificate: apt-get install ssl-cert"

# A page whose module script, SVG image, query-string stylesheet and streamed WebAssembly
# must all take effect; the script writes what did into the page.
site=$work/site
cat >"$site/page.html" <<'PAGE'
<!doctype html><html><head><title>sever</title><link rel="stylesheet" href="style.css?v=3"></head>
<body><p id="styled">styled</p><img id="picture" src="picture.svg">
<p id="marker">module did not run</p><p id="wasm">wasm did not run</p>
<script type="module" src="main.mjs"></script></body></html>
PAGE
printf '#styled { color: rgb(1, 2, 3); }\n' >"$site/style.css"
printf '<svg xmlns="http://www.w3.org/2000/svg" width="7" height="3"><rect width="7" height="3"/></svg>\n' \
    >"$site/picture.svg"
cat >"$site/main.mjs" <<'SCRIPT'
const colour = getComputedStyle(document.getElementById('styled')).color;
document.getElementById('marker').textContent = 'module ran, colour=' + colour;
window.addEventListener('load', () => {
  document.getElementById('picture').dataset.width = document.getElementById('picture').naturalWidth;
  document.getElementById('marker').textContent += ' svg=' + document.getElementById('picture').naturalWidth;
});
WebAssembly.instantiateStreaming(fetch('answer.wasm')).then(
  (module) => { document.getElementById('wasm').textContent = 'wasm=' + module.instance.exports.answer(); },
  (error) => { document.getElementById('wasm').textContent = 'wasm failed: ' + error; });
SCRIPT
# A module exporting answer(), which returns 42.
printf '\0asm\1\0\0\0\1\5\1\x60\0\1\x7f\3\2\1\0\7\x0a\1\6answer\0\0\x0a\6\1\4\0\x41\x2a\x0b' >"$site/answer.wasm"
printf 'grüße\n' >"$site/grüße.txt"
printf 'a\n' >"$site/a"
mkdir "$site/dir" && printf '<h1>dir</h1>\n' >"$site/dir/index.html"
printf 'secret\n' >"$work/secret.txt"
chmod -R a+rX "$site"

(cd "$site" && exec "$build/sever" >"$work/sever.log") &
cleanup kill -KILL $!
cat >"$work/nginx.conf" <<CONF
daemon off;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events {}
http {
    access_log off;
    client_body_temp_path $work/body;
    proxy_temp_path $work/proxy;
    include $source/contrib/nginx/sever.conf;
}
CONF
nginx -c "$work/nginx.conf" -t -q
nginx -c "$work/nginx.conf" &
cleanup "kill -TERM $!; wait $!" # its workers end with it
until_ok 10 curl -s http://127.0.0.1/ || fail "nginx does not listen: $(cat "$work/nginx-error.log")"

# status URL: the status nginx answers with.
status() { curl -s -o /dev/null -w '%{http_code}' "$@"; }
expect() { [ "$1" = "$2" ] || fail "$3: got $1, expected $2"; }
same http://127.0.0.1/ "$site/index.html"
same http://127.0.0.1/dir/ "$site/dir/index.html"
same https://127.0.0.1/noise.bin "$site/noise.bin" --insecure
same 'http://127.0.0.1/style.css?v=3' "$site/style.css"
same 'http://127.0.0.1/gr%C3%BC%C3%9Fe.txt' "$site/grüße.txt"
head=$(curl -sSI http://127.0.0.1/page.html)
[[ $head == "HTTP/1.1 200 OK"* && $head == *"Content-Type: text/html; charset=utf-8"* ]] || fail "curl -I: $head"
expect "$(curl -s -w '%{content_type}' -o /dev/null http://127.0.0.1/answer.wasm)" application/wasm "wasm type"
expect "$(status -X POST http://127.0.0.1/page.html)" 405 POST
expect "$(status -X OPTIONS http://127.0.0.1/page.html)" 405 OPTIONS
expect "$(status http://127.0.0.1/missing.html)" 404 "missing file"
for path in '/a%20b.html' '/a%0d%0a' '/a%09b' '/a%00'; do
    code=$(status "http://127.0.0.1$path")
    [ "$code" = 400 ] || [ "$code" = 404 ] || fail "$path: $code"
done
for path in '/../secret.txt' '/%2e%2e/secret.txt' '/dir/%2E%2E/%2e%2e/secret.txt' '/..%2fsecret.txt'; do
    curl -s --path-as-is "http://127.0.0.1$path" | grep -q secret && fail "$path left the root"
done
grep -q '^a b.html' "$work/sever.log" && fail "a name with a space reached the server"

# browser URL: the page as headless Chromium leaves it once everything has loaded.
browser() {
    timeout 90 chromium --headless --no-sandbox --disable-gpu --disable-background-networking --no-first-run \
        --disable-quic --disable-component-update --disable-sync --user-data-dir="$work/profile-$RANDOM" \
        --virtual-time-budget=5000 --dump-dom "$1" 2>/dev/null
}
page=$(browser http://127.0.0.1/page.html)
[[ $page == *"module ran, colour=rgb(1, 2, 3) svg=7"* ]] || fail "through nginx, the page did not take effect: $page"
[[ $page == *"wasm=42"* ]] || fail "through nginx, instantiateStreaming failed: $page"
direct=$(browser http://127.0.0.1:8080/page.html)
[[ $direct == *"module did not run"* && $direct == *"wasm did not run"* ]] ||
    fail "directly against the server the module script ran, which the README says it cannot: $direct"
echo "nginx: types, HEAD, index pages, query strings, UTF-8 names, TLS, 405, no escape from the root; the page works through nginx and not directly"
