#!/usr/bin/env bash
# Runs a test program with Debian's tinyproxy on a free loopback port: a
# proxy that asks for the user name "user" and the password "password"
# (Basic) and passes what it lets through to 127.0.0.1:UPSTREAM, where the
# test starts its own server. The program finds the two ports in
# TINYPROXY_PORT and TINYPROXY_UPSTREAM_PORT. The proxy is ended by its id
# when the program has ended.
# Usage: with-tinyproxy.sh WORK-FOLDER PROGRAM [ARGUMENTS...]
set -euo pipefail
work=$1
shift
mkdir -p "$work"

# Two free ports, held open together while they are picked so that they differ.
read -r port upstream < <(python3 -c '
import socket
sockets = [socket.socket() for _ in range(2)]
for s in sockets: s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in sockets))')
cat >"$work/tinyproxy.conf" <<CONF
Port $port
Listen 127.0.0.1
Timeout 30
MaxClients 16
LogLevel Error
BasicAuth user password
Upstream http 127.0.0.1:$upstream
CONF

tinyproxy -d -c "$work/tinyproxy.conf" >"$work/tinyproxy.log" 2>&1 &
proxy_pid=$!
trap 'kill "$proxy_pid" 2>/dev/null || true; wait "$proxy_pid" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
done

TINYPROXY_PORT=$port TINYPROXY_UPSTREAM_PORT=$upstream "$@"
