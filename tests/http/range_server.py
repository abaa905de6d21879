"""A small HTTP/1.1 server for the URL tests, on 127.0.0.1 only.

It serves the files of one directory under a path prefix that chooses how
it behaves, and counts the requests it answered and the bytes it wrote
(status lines and headers included), so that the tests can check what a
hash of a URL cost:

  /files/NAME     byte ranges as a server should: 206 with Content-Range for
                  "bytes=A-B", "bytes=A-" and "bytes=-N", 416 with
                  "bytes */SIZE" for a range that starts at or past the end,
                  200 with the whole body without a Range header
  /norange/NAME   ignores Range and answers 200 with the whole body
  /badstart/NAME  answers 206 but names a range that starts one byte later
                  than the bytes it sends
  /badtotal/NAME  answers 206 with a total size that grows with every request
  /short/NAME     answers 206 with the right headers and one byte too few
                  (the Content-Length it sends matches what it sends)
  /cut/NAME       promises the whole range and closes the connection halfway
  /cutplain/NAME  ignores Range, answers 200 with the whole file's
                  Content-Length and closes the connection halfway
  /redirect/MODE/NAME
                  302 to /MODE/NAME
  /status/CODE    answers with that status and no body
  /_stats         {"requests": N, "bytes": N} since the last /_reset, as JSON;
                  neither counts itself
  /_reset         sets both counts to zero

Every answer allows any origin to read it, and a preflight (OPTIONS) is
answered and counted as a request, so that a browser can be tested too.

Run as a program, it prints the port it listens on and a newline, then
serves until standard input closes:  python3 range_server.py DIR
As a module: with RangeServer(DIR) as server: server.url("files", "a.bin")
"""

import json
import os
import re
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CHUNK = 1 << 16


class _Counting:
    """The handler's output stream, counting what goes through it."""

    def __init__(self, raw, handler):
        self._raw = raw
        self._handler = handler

    def write(self, data):
        # Counted before it goes out, so that a client that has received an
        # answer never reads counts that miss part of it.
        if self._handler.counted:
            with self._handler.server.lock:
                self._handler.server.sent += len(data)
        return self._raw.write(data)

    def flush(self):
        self._raw.flush()

    def __getattr__(self, name):
        return getattr(self._raw, name)


_RANGE = re.compile(r"bytes=(\d*)-(\d*)$")


def _parse_range(header, size):
    """(start, end) inclusive, "unsatisfiable", or None for no usable range."""
    m = _RANGE.match(header.strip()) if header else None
    if not m or (m.group(1) == "" and m.group(2) == ""):
        return None
    if m.group(1) == "":
        n = int(m.group(2))
        if n == 0:
            return "unsatisfiable"
        return max(0, size - n), size - 1
    start = int(m.group(1))
    end = size - 1 if m.group(2) == "" else min(int(m.group(2)), size - 1)
    if start >= size or end < start:
        return "unsatisfiable"
    return start, end


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "range-test-server"
    # Headers and a small body go out in separate writes; with Nagle's
    # algorithm the second waits for the client's delayed ACK, about 40 ms
    # on every answer of a kept-alive connection.
    disable_nagle_algorithm = True

    def setup(self):
        super().setup()
        self.counted = True
        self.wfile = _Counting(self.wfile, self)

    def log_message(self, *args):  # keep test output quiet
        pass

    def end_headers(self):
        # A page of another origin (the browser tests) may read everything.
        self.send_header("Access-Control-Allow-Origin", "*")
        self.send_header("Access-Control-Expose-Headers", "Content-Range, Content-Length, Accept-Ranges")
        super().end_headers()

    def do_OPTIONS(self):
        with self.server.lock:
            self.server.requests += 1
        self._plain(204, headers=[("Access-Control-Allow-Headers", "Range"),
                                  ("Access-Control-Allow-Methods", "GET, HEAD")])

    def _plain(self, code, body=b"", headers=()):
        self.send_response(code)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if body and self.command != "HEAD":
            self.wfile.write(body)

    def _send_file(self, path, start, length, limit=None):
        """Writes length bytes from start, or only limit of them."""
        if self.command == "HEAD":
            return
        todo = length if limit is None else min(limit, length)
        with open(path, "rb") as f:
            f.seek(start)
            while todo > 0:
                data = f.read(min(CHUNK, todo))
                if not data:
                    break
                try:
                    self.wfile.write(data)
                except (BrokenPipeError, ConnectionResetError):
                    self.close_connection = True
                    return
                todo -= len(data)

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        parts = self.path.split("?", 1)[0].split("/")[1:]
        self.counted = parts not in (["_stats"], ["_reset"])
        if not self.counted:
            with self.server.lock:
                if parts == ["_reset"]:
                    self.server.requests = 0
                    self.server.sent = 0
                stats = {"requests": self.server.requests, "bytes": self.server.sent}
            self._plain(200, json.dumps(stats).encode(), [("Content-Type", "application/json")])
            return
        with self.server.lock:
            self.server.requests += 1
            serial = self.server.requests
        if len(parts) == 2 and parts[0] == "status" and parts[1].isdigit():
            self._plain(int(parts[1]))
            return
        if len(parts) == 3 and parts[0] == "redirect":
            self._plain(302, headers=[("Location", "/%s/%s" % (parts[1], parts[2]))])
            return
        if len(parts) != 2 or "/" in parts[1] or parts[1] in ("", ".", ".."):
            self._plain(404)
            return
        mode, name = parts
        path = os.path.join(self.server.root, name)
        if mode not in ("files", "norange", "badstart", "badtotal", "short", "cut", "cutplain") \
                or not os.path.isfile(path):
            self._plain(404)
            return
        size = os.path.getsize(path)
        if mode == "cutplain":
            self.send_response(200)
            self.send_header("Content-Length", str(size))
            self.send_header("Connection", "close")
            self.close_connection = True
            self.end_headers()
            self._send_file(path, 0, size, limit=size // 2)
            return
        wanted = None if mode == "norange" else _parse_range(self.headers.get("Range"), size)
        if wanted == "unsatisfiable":
            self._plain(416, headers=[("Content-Range", "bytes */%d" % size)])
            return
        if wanted is None:
            self.send_response(200)
            self.send_header("Accept-Ranges", "none" if mode == "norange" else "bytes")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            self._send_file(path, 0, size)
            return
        start, end = wanted
        length = end - start + 1
        shown_start, shown_end, total = start, end, size
        if mode == "badstart":
            shown_start, shown_end = start + 1, end + 1
        elif mode == "badtotal":
            total = size + serial
        sent = length - 1 if mode == "short" else length
        self.send_response(206)
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Range", "bytes %d-%d/%d" % (shown_start, shown_end, total))
        self.send_header("Content-Length", str(sent))
        if mode == "cut":
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        self._send_file(path, start, sent, limit=length // 2 if mode == "cut" else None)


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that drops the connection once it has what it needs (or
        # once it has seen enough of a wrong answer) is what the fault tests
        # provoke; it is not worth a traceback.
        if isinstance(sys.exc_info()[1], ConnectionError):
            return
        super().handle_error(request, client_address)


class RangeServer:
    """The server on a free port of 127.0.0.1, served from a thread."""

    def __init__(self, root):
        self._httpd = _Server(("127.0.0.1", 0), _Handler)
        self._httpd.root = os.path.abspath(root)
        self._httpd.lock = threading.Lock()
        self._httpd.requests = 0
        self._httpd.sent = 0
        self.port = self._httpd.server_address[1]
        self._thread = threading.Thread(target=self._httpd.serve_forever, daemon=True)

    def url(self, *parts):
        return "http://127.0.0.1:%d/%s" % (self.port, "/".join(parts))

    def stats(self):
        with self._httpd.lock:
            return {"requests": self._httpd.requests, "bytes": self._httpd.sent}

    def settled_stats(self, timeout=5.0):
        """The counts once they have stopped changing: a transfer that the
        client dropped goes on a little on the server's side."""
        last = self.stats()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            time.sleep(0.05)
            now = self.stats()
            if now == last:
                return now
            last = now
        return last

    def reset(self):
        with self._httpd.lock:
            self._httpd.requests = 0
            self._httpd.sent = 0

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join()


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: range_server.py DIR")
    with RangeServer(sys.argv[1]) as server:
        print(server.port, flush=True)
        sys.stdin.read()


if __name__ == "__main__":
    main()
