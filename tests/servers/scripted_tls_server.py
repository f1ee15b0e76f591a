#!/usr/bin/env python3
"""A small HTTPS server that misbehaves on purpose, for what a real web server will not do.

Usage: scripted_tls_server.py CERT KEY LOG

Listens on a free port of 127.0.0.1, prints that port on one line of standard output once it
accepts connections, and serves one request per connection, one connection at a time. Every
accepted connection and every request (method, target, headers in order) is appended to LOG as
one JSON line, flushed before anything is answered, so a client that has its answer can read
its request in the log.

Behaviour by request path, after an optional leading /online-beta (bodies are bytes i % 251 for
i = 0, 1, ...):
  /body/ANNOUNCED[/SENT]      200, Content-Length ANNOUNCED, SENT bytes (default ANNOUNCED), then the
                              connection closes
  /chunked/N                  200, chunked, N bytes
  /cut/N[/DELAY_MS]           200, chunked, N bytes, silence for DELAY_MS, then the connection
                              closes without the final chunk
  /trickle/COUNT/SIZE/GAP_MS  200, chunked, COUNT chunks of SIZE bytes, GAP_MS apart
  /cookie                     200 with Set-Cookie, body "ok"
anything else                 404
"""

import json
import socket
import ssl
import sys
import time

def body(start, size):
    return bytes((start + i) % 251 for i in range(size))


def log_to(path):
    file = open(path, "a", encoding="utf-8")

    def write(record):
        file.write(json.dumps(record) + "\n")
        file.flush()
    return write


def read_head(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        piece = conn.recv(4096)
        if not piece or len(data) > 65536:
            return None
        data += piece
    lines = data.split(b"\r\n\r\n", 1)[0].decode("latin-1").split("\r\n")
    method, target, _ = lines[0].split(" ", 2)
    headers = [line.split(":", 1) for line in lines[1:]]
    return method, target, [[name, value.strip()] for name, value in headers]


def head(status, fields):
    lines = ["HTTP/1.1 %s" % status] + ["%s: %s" % field for field in fields] + ["Connection: close", "", ""]
    return "\r\n".join(lines).encode("latin-1")


def send_chunked(conn, sizes, gap=0.0, finish=True):
    conn.sendall(head("200 OK", [("Transfer-Encoding", "chunked")]))
    sent = 0
    for i, size in enumerate(sizes):
        if i:
            time.sleep(gap)
        conn.sendall(b"%x\r\n%s\r\n" % (size, body(sent, size)))
        sent += size
    if finish:
        conn.sendall(b"0\r\n\r\n")


def pieces(total, piece=16384):
    return [min(piece, total - start) for start in range(0, total, piece)]


def respond(conn, target):
    parts = target.split("?", 1)[0].strip("/").split("/")
    if parts[0] == "online-beta":
        parts = parts[1:]
    name, args = parts[0], [int(p) for p in parts[1:] if p.isdigit()]
    if name == "body" and len(args) in (1, 2):
        conn.sendall(head("200 OK", [("Content-Length", args[0])]) + body(0, args[-1]))
    elif name == "chunked" and len(args) == 1:
        send_chunked(conn, pieces(args[0]))
    elif name == "cut" and len(args) in (1, 2):
        send_chunked(conn, pieces(args[0]), finish=False)
        time.sleep(args[1] / 1000.0 if len(args) == 2 else 0)
    elif name == "trickle" and len(args) == 3:
        send_chunked(conn, [args[1]] * args[0], gap=args[2] / 1000.0)
    elif name == "cookie":
        conn.sendall(head("200 OK", [("Set-Cookie", "session=korvel-test; Path=/; Secure"),
                                     ("Content-Length", 2)]) + b"ok")
    else:
        conn.sendall(head("404 Not Found", [("Content-Length", 0)]))


def main():
    cert, key, log_path = sys.argv[1:4]
    log = log_to(log_path)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    print(listener.getsockname()[1], flush=True)
    while True:
        raw, _ = listener.accept()
        log({"event": "connection"})
        try:
            with context.wrap_socket(raw, server_side=True) as conn:
                request = read_head(conn)
                if request is None:
                    continue
                method, target, headers = request
                log({"event": "request", "method": method, "target": target, "headers": headers})
                respond(conn, target)
        except (OSError, ssl.SSLError, ValueError):
            pass
        finally:
            raw.close()


if __name__ == "__main__":
    main()
