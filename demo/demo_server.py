#!/usr/bin/env python3
"""Demo download server on loopback.

Wine's WinInet reaches it as the proxy for the fixed download host, so the
requests arrive in proxy form: GET http://HOST/PATH. It answers the
installer's path with the sample installer and everything else with 404.
Usage: demo_server.py INSTALLER_FILE PORT_FILE [BYTES_PER_SECOND]
The chosen port is written to PORT_FILE once the server listens. With
BYTES_PER_SECOND the installer is sent no faster, as a slow line sends it,
so that the progress window has something to show.
"""
import http.server
import sys
import time
import urllib.parse

INSTALLER_PATH = "/support/download/peripheral/pccamera/camvista/soft/QuilloCamKitSetup121.exe"


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        path = urllib.parse.urlsplit(self.path).path
        if path == INSTALLER_PATH:
            with open(self.server.installer, "rb") as f:
                body = f.read()
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
        else:
            body = b"not found\n"
            self.send_response(404)
            self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        rate = self.server.rate if path == INSTALLER_PATH else 0
        if not rate:
            self.wfile.write(body)
            return
        # A twentieth of a second's worth at a time.
        piece = max(1, rate // 20)
        for start in range(0, len(body), piece):
            self.wfile.write(body[start:start + piece])
            self.wfile.flush()
            time.sleep(0.05)

    def log_message(self, format, *args):
        sys.stderr.write("demo server: %s\n" % (format % args))


def main():
    installer, port_file = sys.argv[1], sys.argv[2]
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.installer = installer
    server.rate = int(sys.argv[3]) if len(sys.argv) > 3 else 0
    with open(port_file, "w") as f:
        f.write(str(server.server_address[1]))
    server.serve_forever()


if __name__ == "__main__":
    main()
