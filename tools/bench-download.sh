#!/usr/bin/env bash
# Download benchmark: serves a 256 MiB body from nginx on a loopback port
# and fetches it with the Downloader's worker and progress dialog, a bare
# WinInet loop (both under Wine) and curl. Prints MB/s, ratios and the
# working set. Everything it writes stays under build/x64/bench-download.
set -euo pipefail
source "$(dirname "$0")/env.sh"

"$ROOT/tools/setup.sh"
configure_and_build

work="$BUILD/bench-download"
object="support/download/peripheral/pccamera/camvista/soft/QuilloCamKitSetup121.exe"
mkdir -p "$work/www/$(dirname "$object")" "$work/out" "$work/tmp"
body="$work/www/$object"
if [ "$(stat -c %s "$body" 2>/dev/null || echo 0)" != 268435456 ]; then
    head -c 268435456 /dev/urandom >"$body"
fi

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path $work/tmp/body;
    proxy_temp_path $work/tmp/proxy;
    fastcgi_temp_path $work/tmp/fastcgi;
    uwsgi_temp_path $work/tmp/uwsgi;
    scgi_temp_path $work/tmp/scgi;
    sendfile on;
    server {
        listen 127.0.0.1:$port;
        root $work/www;
    }
}
CONF

nginx -p "$work" -c "$work/nginx.conf" &
NGINX_PID=$!
cleanup() {
    kill "$NGINX_PID" 2>/dev/null || true
    wait "$NGINX_PID" 2>/dev/null || true
    stop_wine
    stop_virtual_display
}
trap cleanup EXIT
for _ in $(seq 50); do
    curl -s -o /dev/null -x "http://127.0.0.1:$port" "http://download.zembra.example/$object" -r 0-0 && break
    sleep 0.1
done

start_virtual_display
start_wine

echo "== curl through the same server (3 rounds, to a file)"
for _ in 1 2 3; do
    curl -s -x "http://127.0.0.1:$port" -o "$work/out/curl.bin" -w '%{speed_download}\n' \
        "http://download.zembra.example/$object" | awk '{ printf "curl                         %8.1f MB/s\n", $1 / 1e6 }'
done
rm -f "$work/out/curl.bin"

echo "== Downloader and bare WinInet loop under Wine"
outwin="Z:$(echo "$work/out" | tr / '\\')"
"$BUILD/wine-run" "$BUILD/bench/download_bench.exe" "$port" "$outwin" "${ROUNDS:-3}"
