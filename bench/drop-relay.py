#!/usr/bin/env python3
"""A relay in front of the benchmark's web server that drops connections.

Usage: drop-relay.py LISTEN_PORT SERVER_PORT BODY_SIZE STATS_FILE FRACTION...

Each request goes to 127.0.0.1:SERVER_PORT as it came; the n-th answer of a
download is cut, connection closed, once the body has reached FRACTION[n] of
BODY_SIZE (counted from the start of the whole body, so that an answer to a
range is cut at the same place). A request without a Range header starts a
new download. STATS_FILE holds the body bytes passed on so far.
"""
import os
import socket
import sys
import threading

listen_port, server_port, body_size = (int(value) for value in sys.argv[1:4])
stats_file = sys.argv[4]
drops = [int(float(fraction) * body_size) for fraction in sys.argv[5:]]
lock = threading.Lock()
state = {"answers": 0, "body_bytes": 0}


def write_stats():
    """Replaces STATS_FILE whole, so that a reader never sees it empty."""
    with open(stats_file + ".new", "w") as stats:
        stats.write(str(state["body_bytes"]))
    os.replace(stats_file + ".new", stats_file)


def header_value(head, name):
    for line in head.split(b"\r\n")[1:]:
        key, _, value = line.partition(b":")
        if key.strip().lower() == name:
            return value.strip().decode()
    return None


def read_head(sock):
    """What arrives up to the end of the head (and a part of the body after
    it), or None when the peer closes first."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            return None
        data += chunk
    return data


def relay(client):
    server = socket.create_connection(("127.0.0.1", server_port))
    try:
        head = read_head(client)
        if head is None:
            return
        rng = header_value(head, b"range")
        with lock:
            if rng is None:
                state["answers"] = 0
            answer = state["answers"]
            state["answers"] += 1
        drop_at = drops[answer] if answer < len(drops) else None
        server.sendall(head)
        response = read_head(server)
        if response is None:
            return
        end = response.index(b"\r\n\r\n") + 4
        status = response.split(b" ", 2)[1]
        offset = int(rng[6:].rstrip("-")) if rng and status == b"206" else 0
        pending = response[end:]
        client.sendall(response[:end])
        buffer = bytearray(1 << 16)
        while True:
            if drop_at is not None and offset + len(pending) >= drop_at:
                pending = pending[: max(0, drop_at - offset)]
            if pending:
                client.sendall(pending)
                offset += len(pending)
                with lock:
                    state["body_bytes"] += len(pending)
                    write_stats()
            if drop_at is not None and offset >= drop_at:
                return
            got = server.recv_into(buffer)
            if not got:
                return
            pending = bytes(buffer[:got])
    except OSError:
        pass
    finally:
        for connection in (client, server):
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            connection.close()


listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", listen_port))
listener.listen(16)
write_stats()
while True:
    connection, _ = listener.accept()
    threading.Thread(target=relay, args=(connection,), daemon=True).start()
