"""A scripted HTTPS server for what a real web server will not do on request.

Paths: /status/N (status N, body "status N" unless N is 204), /empty (200, no body),
/bytes/N (200, N bytes), /cut (Content-Length 1000, 10 bytes, then closed), /reset (connection
reset before any answer), /request (200, body = the request line and the User-Agent).
Serves TLS with the bench's test certificate; stops on SIGTERM.
"""
import http.server
import socket
import ssl
import struct
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send_body(self, status, body, length=None):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body) if length is None else length))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path = self.path
        if path.startswith("/status/"):
            status = int(path.split("/")[2])
            if status == 204:
                self.send_response(204)
                self.end_headers()
            else:
                self.send_body(status, f"status {status}".encode())
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
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.close_connection = True
            self.connection.close()
        elif path.startswith("/request"):
            text = f"{self.requestline}\nUser-Agent: {self.headers.get('User-Agent')}"
            self.send_body(200, text.encode())
        else:
            self.send_body(404, b"not found")


def main():
    port, cert, key = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
