#!/usr/bin/env python3
"""A small HTTP/1.1 server for the answers nginx cannot be made to give.

Usage: scripted_http_server.py DIR

Binds 127.0.0.1 on a free port and writes the port number to DIR/port. For every
request it reads DIR/scenario.json afresh (so tests may change it at any time),
answers with the action chosen there, and records the request:
DIR/request-N.head (the request head as received), DIR/request-N.body (the body),
then one line "N<TAB>body-length<TAB>sha256-of-body" appended to DIR/requests.log
once the request is read in full. N counts from 1 across all connections.

scenario.json:
  {"routes": {"/path": [action, action, ...], ...}, "default": action}
A route is chosen by the request target without its query (the full target is
tried first); the k-th request to a route takes its k-th action, the last one
repeating. Actions (all keys optional):
  status, reason          status line parts (200, "OK")
  headers                 [["Name", "value"], ...]
  body                    text body; body_hex: bytes in hex; body_size: N pattern bytes
  content_length          number to declare instead of the real length; null: none
  chunked                 send the body chunked
  close                   close the connection after the answer
  stall_before_headers    read the request, then send nothing until the client leaves
  accept_and_hang         read the head only, then send nothing until the client leaves
  stall_after_bytes: N    send the head and N body bytes, then nothing
  reset_after_bytes: N    send the head and N body bytes, then reset the connection
  close_after_bytes: N    send the head and N body bytes, then close cleanly
  raw / raw_hex           send these bytes instead of a response, then close
  then_stall              with raw: send nothing more until the client leaves
  then_reset              with raw: reset the connection instead of closing it
  endless_headers         a status line, then header lines without end
  endless_body            the head, then body bytes (chunks when chunked) without end
  echo                    answer with the request head as the body
"""
import hashlib
import itertools
import json
import os
import select
import socket
import struct
import sys
import threading

HOLD_SECONDS = 120
lock = threading.Lock()
request_count = 0
route_counts = {}
directory = sys.argv[1]


def load_scenario():
    try:
        with open(os.path.join(directory, "scenario.json"), encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


def choose_action(target):
    scenario = load_scenario()
    routes = scenario.get("routes", {})
    path = target.split("?", 1)[0]
    key = target if target in routes else path if path in routes else None
    if key is None:
        return scenario.get("default", {})
    actions = routes[key]
    if isinstance(actions, dict):
        actions = [actions]
    with lock:
        k = route_counts.get(key, 0)
        route_counts[key] = k + 1
    return actions[min(k, len(actions) - 1)] if actions else {}


def pattern_bytes(n):
    block = bytes(range(256)) * 4096  # 1 MiB
    out = bytearray()
    while len(out) < n:
        out += block[: n - len(out)]
    return bytes(out)


def hold(conn):
    """Keeps the connection open, sending nothing, until the client leaves."""
    conn.setblocking(False)
    deadline = HOLD_SECONDS
    while deadline > 0:
        r, _, _ = select.select([conn], [], [], 1.0)
        deadline -= 1
        if r:
            try:
                if not conn.recv(65536):
                    return
            except (BlockingIOError, InterruptedError):
                continue
            except OSError:
                return


def reset(conn):
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


class Reader:
    def __init__(self, conn):
        self.conn = conn
        self.pending = b""

    def fill(self):
        data = self.conn.recv(65536)
        if not data:
            raise EOFError
        self.pending += data

    def head(self):
        while b"\r\n\r\n" not in self.pending:
            if len(self.pending) > 1 << 20:
                raise EOFError
            self.fill()
        head, self.pending = self.pending.split(b"\r\n\r\n", 1)
        return head + b"\r\n\r\n"

    def exact(self, n, sink):
        while n > 0:
            if not self.pending:
                self.fill()
            part = self.pending[:n]
            self.pending = self.pending[len(part):]
            sink(part)
            n -= len(part)

    def line(self):
        while b"\r\n" not in self.pending:
            self.fill()
        line, self.pending = self.pending.split(b"\r\n", 1)
        return line


def read_body(reader, headers, sink):
    if headers.get("transfer-encoding", "").lower() == "chunked":
        while True:
            size = int(reader.line().split(b";")[0], 16)
            if size == 0:
                while reader.line():
                    pass
                return
            reader.exact(size, sink)
            reader.line()
    length = int(headers.get("content-length", "0") or 0)
    reader.exact(length, sink)


def respond(conn, action, head_bytes, method):
    if "raw" in action or "raw_hex" in action:
        data = action["raw"].encode("latin-1") if "raw" in action else bytes.fromhex(action["raw_hex"])
        conn.sendall(data)
        if action.get("then_stall"):
            hold(conn)
        if action.get("then_reset"):
            reset(conn)
            return None
        return False
    if action.get("endless_headers"):
        # Until the client leaves (sendall raises).
        conn.sendall(b"HTTP/1.1 200 OK\r\n")
        for n in itertools.count():
            conn.sendall(b"X-Filler-%d: %s\r\n" % (n, b"f" * 64))
    if action.get("stall_before_headers"):
        hold(conn)
        return False
    if action.get("echo"):
        body = head_bytes
    elif "body_hex" in action:
        body = bytes.fromhex(action["body_hex"])
    elif "body_size" in action:
        body = pattern_bytes(int(action["body_size"]))
    else:
        body = action.get("body", "").encode("latin-1")
    status = int(action.get("status", 200))
    reason = action.get("reason", "OK")
    lines = ["HTTP/1.1 %d %s" % (status, reason)]
    names = set()
    for name, value in action.get("headers", []):
        lines.append("%s: %s" % (name, value))
        names.add(name.lower())
    chunked = action.get("chunked", False)
    if chunked:
        lines.append("Transfer-Encoding: chunked")
    elif "content_length" in action:
        if action["content_length"] is not None:
            lines.append("Content-Length: %s" % action["content_length"])
    elif "content-length" not in names:
        lines.append("Content-Length: %d" % len(body))
    close = bool(action.get("close")) or "content_length" in action and action["content_length"] is None
    if close:
        lines.append("Connection: close")
    head = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")

    cut = None
    for key in ("stall_after_bytes", "reset_after_bytes", "close_after_bytes"):
        if key in action:
            cut = key
            body = body[: int(action[key])]
    if method == "HEAD":
        body = b""
    elif chunked and not cut:
        payload = b""
        for i in range(0, len(body), 8192):
            piece = body[i:i + 8192]
            payload += b"%x\r\n" % len(piece) + piece + b"\r\n"
        body = payload + b"0\r\n\r\n"
    if action.get("endless_body"):
        # The head, then body bytes (chunks of them when chunked) until the client leaves.
        conn.sendall(head)
        piece = pattern_bytes(65536)
        if chunked:
            piece = b"%x\r\n" % len(piece) + piece + b"\r\n"
        while True:
            conn.sendall(piece)
    conn.sendall(head + body)
    if cut == "stall_after_bytes":
        hold(conn)
        return False
    if cut == "reset_after_bytes":
        reset(conn)
        return None
    if cut == "close_after_bytes":
        return False
    return not close


def serve(conn):
    global request_count
    reader = Reader(conn)
    try:
        while True:
            head_bytes = reader.head()
            head_text = head_bytes.decode("latin-1")
            request_line, *header_lines = head_text.split("\r\n")
            parts = request_line.split(" ")
            target = parts[1] if len(parts) > 1 else ""
            headers = {}
            for line in header_lines:
                if ":" in line:
                    name, value = line.split(":", 1)
                    headers[name.strip().lower()] = value.strip()
            with lock:
                request_count += 1
                n = request_count
            with open(os.path.join(directory, "request-%d.head" % n), "wb") as f:
                f.write(head_bytes)
            action = choose_action(target)
            if action.get("accept_and_hang"):
                hold(conn)
                return
            digest = hashlib.sha256()
            size = [0]
            with open(os.path.join(directory, "request-%d.body" % n), "wb") as body_file:
                def sink(part):
                    body_file.write(part)
                    digest.update(part)
                    size[0] += len(part)
                read_body(reader, headers, sink)
            with lock, open(os.path.join(directory, "requests.log"), "a") as log:
                log.write("%d\t%d\t%s\n" % (n, size[0], digest.hexdigest()))
            keep = respond(conn, action, head_bytes, parts[0])
            if keep is None:
                return  # already reset
            if not keep or headers.get("connection", "").lower() == "close":
                break
    except (EOFError, OSError, ValueError):
        pass
    try:
        conn.close()
    except OSError:
        pass


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    port_file = os.path.join(directory, "port")
    with open(port_file + ".tmp", "w") as f:
        f.write(str(listener.getsockname()[1]))
    os.rename(port_file + ".tmp", port_file)
    while True:
        conn, _ = listener.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    main()
