#!/usr/bin/env bash
# Download benchmark: serves the installer from nginx on loopback ports and
# fetches it with the Downloader's worker and progress dialog, a bare WinInet
# loop (both under Wine) and curl. Prints MB/s, ratios and the working set:
# first a 256 MiB body at whatever rate the machine manages, then with the
# server held to 125 MB/s (the same body) and to 12.5 MB/s (a 32 MiB body,
# so that a transfer takes seconds, not minutes). ROUNDS interleaved rounds
# each (default 5). Last, a relay (bench/drop-relay.py) in front of nginx
# drops the connection at 30 % and at 70 % of the 256 MiB body: the bytes
# fetched for one download against the body's size, for the worker and for
# curl --retry 3 -C - on the same relay, and the worker's wall time against
# an undisturbed download. Then Cancel: another relay counts the body bytes
# it passes on, and the worker is cancelled once 4 MB have passed; printed
# is what passes in the 5 s after, from the server at full speed and held
# to 12.5 MB/s. With --32-bit the relay and Cancel rounds run on the shipped
# 32-bit build too, under 32-bit Wine through qemu. Everything it writes
# stays under build/x64/bench-download.
set -euo pipefail
source "$(dirname "$0")/env.sh"

with_32bit=
[ "${1:-}" = --32-bit ] && with_32bit=1
"$ROOT/tools/setup.sh" ${with_32bit:+--32-bit}
configure_and_build ${with_32bit:+-DDOWNLOADER_TESTS_I686=ON}

work="$BUILD/bench-download"
object="support/download/peripheral/pccamera/camvista/soft/QuilloCamKitSetup121.exe"
mkdir -p "$work/www/$(dirname "$object")" "$work/www-small/$(dirname "$object")" "$work/out" "$work/tmp"
make_body() {
    if [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" != "$2" ]; then
        head -c "$2" /dev/urandom >"$1"
    fi
}
make_body "$work/www/$object" 268435456
make_body "$work/www-small/$object" 33554432

# Free ports, held open together while they are picked so that they differ.
read -r port port125 port12 relay_port count_port count12_port < <(python3 -c '
import socket
sockets = [socket.socket() for _ in range(6)]
for s in sockets: s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in sockets))')
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
    server {
        listen 127.0.0.1:$port125;
        root $work/www;
        limit_rate 125000000;
        # Evenly, as a line delivers: by default nginx sends a held
        # rate in bursts of up to 2 MB.
        sendfile_max_chunk 64k;
    }
    server {
        listen 127.0.0.1:$port12;
        root $work/www-small;
        limit_rate 12500000;
        sendfile_max_chunk 64k;
    }
}
CONF

nginx -p "$work" -c "$work/nginx.conf" &
NGINX_PID=$!
body_size=268435456
python3 "$ROOT/bench/drop-relay.py" "$relay_port" "$port" "$body_size" "$work/relay-bytes" 0.3 0.7 &
RELAY_PID=$!
# Relays that drop nothing and count what they pass on, for the Cancel rounds.
python3 "$ROOT/bench/drop-relay.py" "$count_port" "$port" "$body_size" "$work/count-bytes" &
COUNT_PID=$!
python3 "$ROOT/bench/drop-relay.py" "$count12_port" "$port12" 33554432 "$work/count12-bytes" &
COUNT12_PID=$!
cleanup() {
    kill "$NGINX_PID" "$RELAY_PID" "$COUNT_PID" "$COUNT12_PID" 2>/dev/null || true
    wait "$NGINX_PID" "$RELAY_PID" "$COUNT_PID" "$COUNT12_PID" 2>/dev/null || true
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

curl_rate() {
    curl -s -x "http://127.0.0.1:$1" -o "$work/out/curl.bin" -w '%{speed_download}\n' \
        "http://download.zembra.example/$object" | awk '{ printf "curl                         %8.1f MB/s\n", $1 / 1e6 }'
    rm -f "$work/out/curl.bin"
}
outwin="Z:$(echo "$work/out" | tr / '\\')"
rounds="${ROUNDS:-5}"

echo "== no rate limit: curl through the same server (3 rounds, to a file)"
for _ in 1 2 3; do curl_rate "$port"; done
echo "== no rate limit: Downloader and bare WinInet loop under Wine"
"$BUILD/wine-run" "$BUILD/bench/download_bench.exe" "$port" "$outwin" "$rounds"

echo "== server held to 125 MB/s: curl, then the Downloader and the bare loop to a file"
curl_rate "$port125"
"$BUILD/wine-run" "$BUILD/bench/download_bench.exe" "$port125" "$outwin" "$rounds" pair

echo "== server held to 12.5 MB/s: curl, then the Downloader and the bare loop to a file"
curl_rate "$port12"
"$BUILD/wine-run" "$BUILD/bench/download_bench.exe" "$port12" "$outwin" "$rounds" pair

echo "== dropped connections: the relay cuts the body at 30 % and 70 %; nginx answers Range and If-Range"
relay_bytes() { cat "$work/relay-bytes"; }
# curl as asked (--retry 3 -C -), and with --retry-all-errors, without which
# curl does not count a cut-short body as worth another try.
for options in "-C - --retry 3" "-C - --retry 3 --retry-all-errors"; do
    rm -f "$work/out/curl-resume.bin"
    before=$(relay_bytes)
    start=$(date +%s.%N)
    curl_status=0
    # shellcheck disable=SC2086
    curl -s -x "http://127.0.0.1:$relay_port" $options -o "$work/out/curl-resume.bin" \
        "http://download.zembra.example/$object" || curl_status=$?
    end=$(date +%s.%N)
    sleep 0.2
    awk -v fetched=$(($(relay_bytes) - before)) -v body="$body_size" -v got="$(stat -c %s "$work/out/curl-resume.bin")" \
        -v status="$curl_status" -v start="$start" -v end="$end" -v options="$options" \
        'BEGIN { printf "curl %s: fetched / body %6.3f, saved %d of %d bytes, exit %d, %.2f s\n",
                 options, fetched / body, got, body, status, end - start }'
done
rm -f "$work/out/curl-resume.bin"
before=$(relay_bytes)
"$BUILD/wine-run" "$BUILD/bench/download_bench.exe" "$port" "$outwin" "$rounds" relay "$relay_port"
sleep 0.2
awk -v fetched=$(($(relay_bytes) - before)) -v body="$body_size" -v rounds="$rounds" \
    'BEGIN { printf "Downloader worker              fetched / body %6.3f (mean of %d downloads)\n",
             fetched / body / rounds, rounds }'

echo "== Cancel: the worker is cancelled once 4 MB have passed a counting relay; what passes in the 5 s after"
windows_path() { echo "Z:$(echo "$1" | tr / '\\')"; }
cancel_rounds() {
    local runner=$1 build=$2
    echo "server at full speed:"
    "$runner" "$build/bench/download_bench.exe" "$count_port" "$outwin" 3 cancel "$(windows_path "$work/count-bytes")"
    echo "server held to 12.5 MB/s:"
    "$runner" "$build/bench/download_bench.exe" "$count12_port" "$outwin" 3 cancel "$(windows_path "$work/count12-bytes")"
}
cancel_rounds "$BUILD/wine-run" "$BUILD"

if [ -n "$with_32bit" ]; then
    stop_wine
    echo "== the shipped 32-bit build under 32-bit Wine (qemu): relay, then Cancel"
    export port relay_port count_port count12_port work outwin rounds
    export -f cancel_rounds windows_path
    before=$(relay_bytes)
    bash "$ROOT/tools/with-wine32.sh" bash -c '
        "$BUILD/wine-run" "$BUILD/bench/download_bench.exe" "$port" "$outwin" "$rounds" relay "$relay_port"
        echo "$(cat "$work/relay-bytes")" >"$work/relay-bytes-32"
        cancel_rounds "$BUILD/wine-run" "$BUILD"'
    awk -v fetched=$(($(cat "$work/relay-bytes-32") - before)) -v body="$body_size" -v rounds="$rounds" \
        'BEGIN { printf "32-bit Downloader worker through the relay: fetched / body %6.3f (mean of %d downloads)\n",
                 fetched / body / rounds, rounds }'
fi
