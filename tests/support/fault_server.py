"""A scripted HTTPS server for what a real web server will not do on request.

Paths: /status/N (status N, body "status N" unless N is 204), /empty (200, no body),
/bytes/N (200, N bytes), /unannounced/N (200, N bytes, no Content-Length, closed at the end),
/drip/N/C/MS (200, N bytes announced, C bytes every MS milliseconds), /cut (Content-Length 1000, 10 bytes, then closed), /reset (connection
reset before any answer), /request (200, body = the request line and the User-Agent).
Under /varnix/repository/ it is a hostile update site: it serves the files of SITE/repository
and misbehaves for any of them as SITE/config.json says, for example
{"manifest.txt": {"mode": "cut"}}. Modes: cut (half the body, then closed), reset, redirect
(302 to a path that does not exist), status (with "status"), empty (200, no body), huge (200,
"bytes" bytes of junk streamed; "announce": false sends no Content-Length and closes at the
end), trickle (the file, "chunk" bytes every "delay" seconds), first_from (the first request
after the configuration changed is served from SITE/<"dir"> instead, as if a release switched
just after it). Any mode with "times": N misbehaves for the first N requests of that file in
the case only; later ones are served as they are (a flaky edge that recovers).
Serves TLS with the bench's test certificate, limited to TLS 1.0 or 1.1 when SITE/config.json
says {"tls": "1.0"} or {"tls": "1.1"}; stops on SIGTERM.
"""
import json
import pathlib
import time
import http.server
import socket
import ssl
import struct
import sys
import threading


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send_body(self, status, body, length=None):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body) if length is None else length))
        self.end_headers()
        self.wfile.write(body)

    def reset(self):
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close_connection = True
        self.connection.close()

    def serve_site(self, name):
        site = self.server.site_dir
        try:
            # Every write of the configuration starts a new case, even with the same text.
            text = ((site / "config.json").stat().st_mtime_ns, (site / "config.json").read_text())
            config = json.loads(text[1]).get(name, {})
        except (OSError, ValueError):
            text, config = None, {}
        with self.server.lock:
            if text != self.server.config_text:  # a new case: nothing served yet
                self.server.config_text, self.server.served = text, {}
            earlier = self.server.served.get(name, 0)
            self.server.served[name] = earlier + 1
        mode = config.get("mode", "file")
        if earlier >= config.get("times", earlier + 1):
            mode = "file"
        path = site / "repository" / name
        if mode == "first_from":
            if earlier == 0:
                path = site / config["dir"] / name
        if mode == "reset":
            return self.reset()
        if mode == "redirect":
            self.send_response(302)
            self.send_header("Location", "/varnix/elsewhere/" + name)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return None
        if mode == "status":
            return self.send_body(config.get("status", 500), b"server error")
        if mode == "empty":
            return self.send_body(200, b"")
        if mode == "huge":
            total = config.get("bytes", 1 << 30)
            self.send_response(200)
            if config.get("announce", True):
                self.send_header("Content-Length", str(total))
            else:
                self.send_header("Connection", "close")
                self.close_connection = True
            self.end_headers()
            block = bytes(range(256)) * 4096
            sent = 0
            while sent < total:
                part = block[:min(len(block), total - sent)]
                self.wfile.write(part)
                sent += len(part)
            return None
        if not path.is_file():
            return self.send_body(404, b"not found")
        data = path.read_bytes()
        if mode == "cut":
            self.send_body(200, data[:len(data) // 2], length=len(data))
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return None
        if mode == "trickle":
            self.send_response(200)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            chunk = config.get("chunk", 64)
            for at in range(0, len(data), chunk):
                self.wfile.write(data[at:at + chunk])
                self.wfile.flush()
                time.sleep(config.get("delay", 0.02))
            return None
        return self.send_body(200, data)

    def do_GET(self):
        path = self.path
        if path.startswith("/varnix/repository/") and self.server.site_dir:
            return self.serve_site(path[len("/varnix/repository/"):])
        if path.startswith("/status/"):
            status = int(path.split("/")[2])
            if status == 204:
                self.send_response(204)
                self.end_headers()
            else:
                self.send_body(status, f"status {status}".encode())
        elif path.startswith("/unannounced/"):
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            self.close_connection = True
            self.wfile.write(bytes(int(path.split("/")[2])))
        elif path.startswith("/drip/"):
            total, chunk, delay = (int(part) for part in path.split("/")[2:5])
            self.send_response(200)
            self.send_header("Content-Length", str(total))
            self.end_headers()
            for at in range(0, total, chunk):
                self.wfile.write(bytes(min(chunk, total - at)))
                self.wfile.flush()
                time.sleep(delay / 1000)
        elif path == "/empty":
            self.send_body(200, b"")
        elif path.startswith("/bytes/"):
            self.send_body(200, bytes(i % 251 for i in range(int(path.split("/")[2]))))
        elif path == "/cut":
            self.send_body(200, b"0123456789", length=1000)
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
        elif path == "/reset":
            self.reset()
        elif path.startswith("/request"):
            text = f"{self.requestline}\nUser-Agent: {self.headers.get('User-Agent')}"
            self.send_body(200, text.encode())
        else:
            self.send_body(404, b"not found")


class FaultServer(http.server.ThreadingHTTPServer):
    """Wraps each connection in TLS as SITE/config.json's "tls" asks when it arrives: absent, any
    version the platform offers; "1.0" or "1.1", that version alone (an outdated site)."""

    def get_request(self):
        connection, address = super().get_request()
        version = None
        if self.site_dir:
            try:
                version = json.loads((self.site_dir / "config.json").read_text()).get("tls")
            except (OSError, ValueError):
                pass
        context = self.contexts.get(version, self.contexts[None])
        # The handshake happens in the request's own thread, at its first read.
        return context.wrap_socket(connection, server_side=True, do_handshake_on_connect=False), address

    def handle_error(self, request, client_address):
        # A client that gives up mid-body (a deadline, a size cap, a killed launcher) is a road the
        # scenarios take on purpose; anything else is still printed.
        if isinstance(sys.exc_info()[1], (ssl.SSLEOFError, ConnectionError)):
            return
        super().handle_error(request, client_address)


def make_context(cert, key, version=None):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    if version:
        context.set_ciphers("DEFAULT:@SECLEVEL=0")  # OpenSSL refuses TLS 1.0 and 1.1 otherwise
        context.minimum_version = context.maximum_version = version
    return context


def main():
    port, cert, key = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    server = FaultServer(("127.0.0.1", port), Handler)
    server.site_dir = pathlib.Path(sys.argv[4]) if len(sys.argv) > 4 else None
    server.lock, server.config_text, server.served = threading.Lock(), None, {}
    server.contexts = {None: make_context(cert, key),
                       "1.0": make_context(cert, key, ssl.TLSVersion.TLSv1),
                       "1.1": make_context(cert, key, ssl.TLSVersion.TLSv1_1)}
    server.serve_forever()


if __name__ == "__main__":
    main()
