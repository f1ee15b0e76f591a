#!/usr/bin/env python3
# A small HTTPS server that misbehaves on purpose, for what a real web server will not do.
#
# Usage: scripted_tls_server.py CERT KEY LOG PORT_FILE
#
# Listens on a free port of 127.0.0.1 and writes that port into PORT_FILE (by a rename) once it
# accepts connections; serves one request per connection, one connection at a time. LOG gets the
# line "connection" for every accepted connection, and for every request its request line and
# its header lines sorted, then an empty line, all flushed before anything is answered.
#
# Behaviour by request path, after an optional leading /online-beta (byte i of a body is i % 251):
#   /body/ANNOUNCED[/SENT]   200, Content-Length ANNOUNCED, SENT bytes (default ANNOUNCED), close
#   /chunked/N[/PIECE]       200, chunked, N bytes in chunks of PIECE (default 16384) bytes
#   /cut/N                   as /chunked/N, but the connection closes without the final chunk
#   /status/CODE             CODE with an empty body
#   /moved/CODE              CODE with "Location: /online-beta/target" and an empty body
#   /cookie                  200 with Set-Cookie and a body of 2 bytes
#   /range/N[/HOW]           N bytes; asked for "Range: bytes=S-", a 206 "bytes S-(N-1)/N" of the
#                            rest, or as HOW says: "whole" a 200 of all N, "shifted" a 206 that
#                            starts at S+1, "longer" one that runs past N, "cut" one cut after its head
# anything else              404

import itertools
import os
import socket
import ssl
import sys


def body(size):
    return (bytes(range(251)) * (size // 251 + 1))[:size]


def head(status, *fields):
    lines = ["HTTP/1.1 %d X" % status] + ["%s: %s" % field for field in fields] + ["Connection: close", "", ""]
    return "\r\n".join(lines).encode("latin-1")


def respond_range(conn, size, start, how):
    if start is None or how == "whole":
        conn.sendall(head(200, ("Content-Length", size)) + body(size))
        return
    first, last = start + (how == "shifted"), size - 1 + (how == "longer")
    data = (body(size) + body(2))[first:last + 1]
    conn.sendall(head(206, ("Content-Range", "bytes %d-%d/%d" % (first, last, size)), ("Content-Length", len(data))))
    conn.sendall(b"" if how == "cut" else data)


def respond(conn, target, headers):
    parts = target.replace("/online-beta/", "/", 1).strip("/").split("/")
    name, args = parts[0], [int(p) for p in parts[1:] if p.isdigit()]
    if name == "range" and args:
        ranges = [h.split("=")[1].rstrip("-") for h in headers if h.lower().startswith("range: bytes=")]
        respond_range(conn, args[0], int(ranges[0]) if ranges else None, parts[-1])
    elif name == "body" and args:
        conn.sendall(head(200, ("Content-Length", args[0])) + body(args[-1]))
    elif name in ("chunked", "cut") and args:
        data, piece = body(args[0]), args[1] if len(args) > 1 else 16384
        conn.sendall(head(200, ("Transfer-Encoding", "chunked")))
        for start in range(0, args[0], piece):
            conn.sendall(b"%x\r\n%s\r\n" % (len(data[start:start + piece]), data[start:start + piece]))
        conn.sendall(b"0\r\n\r\n" if name == "chunked" else b"")
    elif name in ("status", "moved") and args:
        conn.sendall(head(args[0], *([("Location", "/online-beta/target")] if name == "moved" else [])))
    elif name == "cookie":
        conn.sendall(head(200, ("Set-Cookie", "session=korvel-test; Path=/; Secure"), ("Content-Length", 2)) + body(2))
    else:
        conn.sendall(head(404, ("Content-Length", 0)))


def main():
    cert, key, log_path, port_file = sys.argv[1:5]
    log = open(log_path, "a", encoding="latin-1", buffering=1)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    listener = socket.create_server(("127.0.0.1", 0))
    with open(port_file + ".tmp", "w") as out:
        out.write(str(listener.getsockname()[1]))
    os.rename(port_file + ".tmp", port_file)
    while True:
        raw, _ = listener.accept()
        log.write("connection\n")
        try:
            with context.wrap_socket(raw, server_side=True) as conn, conn.makefile("rb") as reader:
                lines = [line.decode("latin-1").rstrip("\r\n") for line in itertools.takewhile(bytes.strip, reader)]
                log.write("\n".join([lines[0]] + sorted(lines[1:])) + "\n\n")
                respond(conn, lines[0].split(" ")[1], lines[1:])
        except (OSError, ssl.SSLError, ValueError, IndexError):
            pass
        finally:
            raw.close()


if __name__ == "__main__":
    main()
