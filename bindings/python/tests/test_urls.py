"""Tests of kelhash.url(): the hashes of files served over HTTP by the range
test server (tests/http/range_server.py) against the reference results
(reference.py, hashlib) and the native file functions on the same files,
what each hash costs in requests and bytes (the server's counts), and each
failure, which must come fast and say what went wrong.

Two small helpers stand between the binding and the server where the server
itself cannot show something: a TCP relay that holds connections back (to
see which requests are under way at once) and a server of fixed answers
(for answers the range server never gives).
"""

import hashlib
import os
import pathlib
import re
import socket
import ssl
import sys
import tempfile
import threading
import time
import unittest

import kelhash
import reference
from range_server import RangeServer
from test_readers import BIG, make_big_file

# Every server here is on 127.0.0.1: no proxy of the environment in between.
os.environ["no_proxy"] = os.environ["NO_PROXY"] = "*"

NAME = "movie.avi"
MIB = 1 << 20
SIZES = [0, 1, 8192, 8193, 12285, 65535, 65536, 65537, 131072, 131073, 200003, 3 * MIB + 5]
FAST = 2.0  # seconds: every failure below is known at once, with a 30 s timeout


class ServedFiles(unittest.TestCase):
    """A range server over a directory of files of the boundary sizes and
    the sparse 5 GiB file."""

    @classmethod
    def setUpClass(cls):
        cls._dir = tempfile.TemporaryDirectory(prefix="kelhash-urls-")
        cls.dir = pathlib.Path(cls._dir.name)
        cls.data = {}
        for size in SIZES:
            data = reference.data_of_size(size, seed=21)
            (cls.dir / f"{size}.bin").write_bytes(data)
            cls.data[size] = data
        try:
            make_big_file(cls.dir / "big.bin")
        except BaseException:
            cls._dir.cleanup()
            raise
        cls.server = RangeServer(cls.dir)
        cls.server.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        cls._dir.cleanup()

    def url(self, mode, name, **kw):
        return kelhash.url(self.server.url(mode, name), **kw)

    def assertFailsFast(self, fn, message, cause=None):
        """fn() raises KelhashError(1, message) within FAST seconds, with a
        cause of that type (when given) that str() names."""
        start = time.monotonic()
        with self.assertRaises(kelhash.KelhashError) as cm:
            fn()
        elapsed = time.monotonic() - start
        e = cm.exception
        self.assertEqual(e.status, 1)
        if isinstance(message, re.Pattern):
            self.assertRegex(e.message, message)
        else:
            self.assertEqual(e.message, message)
        self.assertLess(elapsed, FAST)
        if cause is not None:
            self.assertIsInstance(e.__cause__, cause)
            self.assertIn(type(e.__cause__).__name__, str(e))
        return e


class UrlHashesTest(ServedFiles):
    def test_boundary_sizes_equal_the_reference_and_the_file_functions(self):
        for size in SIZES:
            data = self.data[size]
            path = str(self.dir / f"{size}.bin")
            want = (reference.opensubtitles(data), reference.shooter(data, NAME),
                    reference.md5(data))
            for mode in ("files", "redirect/files"):
                with self.subTest(size=size, mode=mode):
                    src = self.url(mode, f"{size}.bin")
                    got = (kelhash.opensubtitles_hash(src), kelhash.shooter_hash(src, NAME),
                           kelhash.md5(src))
                    self.assertEqual(got, want)
                    both = kelhash.fingerprints(src, fallback_name=NAME)
                    self.assertEqual(both, (kelhash.opensubtitles_hash(path),
                                            kelhash.shooter_hash(path, NAME)))
                    self.assertEqual(kelhash.md5(src), kelhash.md5(path))

    def test_golden_files(self):
        name, files = reference.golden_files()
        with RangeServer(reference.GOLDEN_DIR / "files") as server:
            for f in files:
                with self.subTest(file=f["path"].name):
                    src = kelhash.url(server.url("files", f["path"].name))
                    self.assertEqual(tuple(kelhash.fingerprints(src, name)),
                                     (f["opensubtitles"], f["shooter"]))
                    self.assertEqual(kelhash.md5(src), f["md5"])

    def test_above_4_gib(self):
        path = str(self.dir / "big.bin")
        src = self.url("files", "big.bin")
        want = (reference.opensubtitles_of_file(path), reference.shooter_of_file(path, NAME))
        self.assertEqual(kelhash.fingerprints(src, NAME), want)
        self.assertEqual(want, (kelhash.opensubtitles_hash(path), kelhash.shooter_hash(path, NAME)))
        self.assertEqual(kelhash.opensubtitles_hash(src), want[0])
        self.assertEqual(kelhash.shooter_hash(src, NAME), want[1])

    def test_a_server_that_ignores_range_serves_small_files_whole(self):
        for size in (0, 1, 8193, 65535, 65536):
            data = self.data[size]
            with self.subTest(size=size):
                self.server.reset()
                src = self.url("norange", f"{size}.bin")
                self.assertEqual(tuple(kelhash.fingerprints(src, NAME)),
                                 (reference.opensubtitles(data), reference.shooter(data, NAME)))
                self.assertEqual(self.server.settled_stats()["requests"], 1)
        # MD5 asks for no range anyway.
        self.assertEqual(kelhash.md5(self.url("norange", f"{3 * MIB + 5}.bin")),
                         reference.md5(self.data[3 * MIB + 5]))


class CostTest(ServedFiles):
    """Requests and bytes, from the server's counts. The bodies of the
    planned ranges are worked out by hand; each answer's status line and
    headers cost a few hundred bytes on top."""

    HEADERS = 400  # bytes of status line and headers per answer, at most

    # (file, what, requests, body bytes)
    CASES = [
        ("0.bin", "both", 1, 0),
        ("8192.bin", "both", 1, 8192),
        ("65536.bin", "both", 1, 65536),
        # The tail's last byte; every Shooter block lies in the head.
        ("65537.bin", "both", 2, 65537),
        ("131073.bin", "opensubtitles", 2, 65536 + 65536),
        # Blocks at 66667 and 133334, the tail from 134467: two more.
        ("200003.bin", "both", 3, 65536 + 4096 + (200003 - 133334)),
        ("200003.bin", "shooter", 4, 65536 + 3 * 4096),
        ("big.bin", "both", 4, 65536 + 65536 + 2 * 4096),
        ("big.bin", "opensubtitles", 2, 65536 + 65536),
        ("big.bin", "shooter", 4, 65536 + 3 * 4096),
    ]

    def test_requests_and_bytes(self):
        for name, what, requests, body in self.CASES:
            with self.subTest(file=name, what=what):
                src = self.url("files", name)
                self.server.settled_stats()
                self.server.reset()
                if what == "both":
                    kelhash.fingerprints(src, NAME)
                elif what == "opensubtitles":
                    kelhash.opensubtitles_hash(src)
                else:
                    kelhash.shooter_hash(src, NAME)
                stats = self.server.settled_stats()
                self.assertEqual(stats["requests"], requests)
                self.assertGreaterEqual(stats["bytes"], body)
                self.assertLess(stats["bytes"], body + self.HEADERS * requests)
                if name == "big.bin":
                    print(f"\n  5 GiB file, {what}: {stats['requests']} requests, "
                          f"{stats['bytes']} bytes", file=sys.stderr, end="")
                    if what == "both":
                        self.assertLess(stats["bytes"], 200 * 1024)


class HoldingRelay:
    """A TCP relay to another port that lets the first `free` connections
    through and holds back the later ones until release() (or until a few
    seconds have passed), counting how many it held at once."""

    def __init__(self, port, free=1, hold=5.0):
        self._port = port
        self._free = free
        self._hold = hold
        self._cond = threading.Condition()
        self._seen = 0
        self.waiting = 0
        self.peak = 0
        self.released = False
        self._sock = socket.create_server(("127.0.0.1", 0))
        self.port = self._sock.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def url(self, *parts):
        return "http://127.0.0.1:%d/%s" % (self.port, "/".join(parts))

    def wait_for_waiting(self, n, timeout=5.0):
        with self._cond:
            return self._cond.wait_for(lambda: self.waiting >= n, timeout)

    def release(self):
        with self._cond:
            self.released = True
            self._cond.notify_all()

    def close(self):
        self.release()
        self._sock.close()

    def _accept(self):
        while True:
            try:
                client, _ = self._sock.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, client):
        with self._cond:
            index = self._seen
            self._seen += 1
            if index >= self._free:
                self.waiting += 1
                self.peak = max(self.peak, self.waiting)
                self._cond.notify_all()
                self._cond.wait_for(lambda: self.released, self._hold)
                self.waiting -= 1
        with client, socket.create_connection(("127.0.0.1", self._port)) as upstream:
            back = threading.Thread(target=self._pump, args=(upstream, client), daemon=True)
            back.start()
            self._pump(client, upstream)
            back.join()

    @staticmethod
    def _pump(src, dst):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                dst.sendall(data)
            dst.shutdown(socket.SHUT_WR)
        except OSError:
            pass


class ConcurrencyTest(ServedFiles):
    def test_second_round_requests_are_under_way_at_once(self):
        relay = HoldingRelay(self.server.port, free=1)
        result = {}
        worker = threading.Thread(target=lambda: result.setdefault(
            "fp", kelhash.fingerprints(kelhash.url(relay.url("files", "big.bin")), NAME)))
        worker.start()
        try:
            # Round 1 went through; the three ranges of round 2 all wait.
            self.assertTrue(relay.wait_for_waiting(3), f"held at most {relay.peak} at once")
            # Meanwhile the library is free for other threads: the requests
            # under way do not hold its lock.
            other = threading.Thread(target=lambda: result.setdefault("md5", kelhash.md5(b"abc")))
            other.start()
            other.join(2)
            self.assertEqual(result.get("md5"), "900150983CD24FB0D6963F7D28E17F72")
            self.assertFalse(relay.released)
        finally:
            relay.release()
            worker.join(30)
            relay.close()
        self.assertEqual(relay.peak, 3)
        path = str(self.dir / "big.bin")
        self.assertEqual(result.get("fp"), (kelhash.opensubtitles_hash(path),
                                            kelhash.shooter_hash(path, NAME)))


class CannedServer:
    """Answers every connection with the same bytes after reading its
    request head (recorded in .requests), then closes; `then` may keep the
    connection sending (a body without end)."""

    def __init__(self, answer, then=None):
        self._answer = answer
        self._then = then
        self.requests = []
        self._threads = []
        self._sock = socket.create_server(("127.0.0.1", 0))
        self.port = self._sock.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def url(self, path="/file.bin"):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def close(self):
        self._sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def settle(self, timeout=10.0):
        """Waits until every connection so far has been answered and closed."""
        deadline = time.monotonic() + timeout
        for t in list(self._threads):
            t.join(max(0.0, deadline - time.monotonic()))

    def _accept(self):
        while True:
            try:
                conn, _ = self._sock.accept()
            except OSError:
                return
            t = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            self._threads.append(t)
            t.start()

    def _serve(self, conn):
        conn.settimeout(10)
        with conn:
            head = b""
            try:
                while b"\r\n\r\n" not in head:
                    data = conn.recv(4096)
                    if not data:
                        return
                    head += data
                request = head.split(b"\r\n\r\n")[0].decode("latin-1")
                self.requests.append(request)
                self._respond(conn, request)
            except OSError:
                pass

    def _respond(self, conn, request):
        conn.sendall(self._answer)
        if self._then is not None:
            self._then(conn)


def endless_chunks(conn):
    chunk = b"%x\r\n%s\r\n" % (65536, bytes(65536))
    for _ in range(100000):  # 6 GiB: as good as endless, and still ends
        conn.sendall(chunk)


class CannedAnswersTest(unittest.TestCase):
    def test_the_first_request_asks_for_the_head_and_sends_no_credentials(self):
        with CannedServer(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n") as server:
            with self.assertRaises(kelhash.KelhashError):
                kelhash.fingerprints(kelhash.url(server.url()), NAME)
            with self.assertRaises(kelhash.KelhashError):
                kelhash.md5(kelhash.url(server.url()))
        ranged, plain = server.requests
        for request, range_value in ((ranged, "bytes=0-65535"), (plain, None)):
            lines = request.split("\r\n")
            self.assertEqual(lines[0], "GET /file.bin HTTP/1.1")
            headers = {k.strip().lower(): v.strip()
                       for k, v in (line.split(":", 1) for line in lines[1:])}
            self.assertEqual(headers.get("range"), range_value)
            self.assertEqual(headers.get("accept-encoding"), "identity")
            for name in ("authorization", "cookie", "proxy-authorization"):
                self.assertNotIn(name, headers)

    def test_a_body_without_length_or_end(self):
        # 200 with a chunked body that never ends: the hash fails at once
        # instead of downloading it.
        answer = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
        with CannedServer(answer, then=endless_chunks) as server:
            start = time.monotonic()
            with self.assertRaises(kelhash.KelhashError) as cm:
                kelhash.fingerprints(kelhash.url(server.url()), NAME)
            self.assertLess(time.monotonic() - start, FAST)
        self.assertEqual((cm.exception.status, cm.exception.message),
                         (1, "server ignored the Range request"))

    def test_a_small_body_without_length_is_the_whole_file(self):
        data = reference.data_of_size(30000, seed=22)
        answer = (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                  b"%x\r\n%s\r\n0\r\n\r\n" % (len(data), data))
        with CannedServer(answer) as server:
            got = kelhash.fingerprints(kelhash.url(server.url()), NAME)
        self.assertEqual(got, (reference.opensubtitles(data), reference.shooter(data, NAME)))

    def test_answers_that_are_errors(self):
        data = bytes(range(256)) * 8
        cases = [
            ("416 of a file that is not empty",
             b"HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */5\r\n"
             b"Content-Length: 0\r\n\r\n", "server answered HTTP 416"),
            ("206 without Content-Range",
             b"HTTP/1.1 206 Partial Content\r\nContent-Length: 2048\r\n\r\n" + data,
             "bad Content-Range: (none)"),
            ("206 of another unit",
             b"HTTP/1.1 206 Partial Content\r\nContent-Range: items 0-2047/2048\r\n"
             b"Content-Length: 2048\r\n\r\n" + data, "bad Content-Range: items 0-2047/2048"),
            ("206 whose range ends short of the head",
             b"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-2046/2048\r\n"
             b"Content-Length: 2047\r\n\r\n" + data[:2047], "bad Content-Range: bytes 0-2046/2048"),
            ("200 whose body ends before its length",
             b"HTTP/1.1 200 OK\r\nContent-Length: 2048\r\nConnection: close\r\n\r\n" + data[:1000],
             "read error"),
            ("a status line that is not HTTP", b"SSH-2.0-OpenSSH_9.2\r\n\r\n", "read error"),
        ]
        for what, answer, message in cases:
            with self.subTest(what):
                with CannedServer(answer) as server:
                    start = time.monotonic()
                    with self.assertRaises(kelhash.KelhashError) as cm:
                        kelhash.opensubtitles_hash(kelhash.url(server.url()))
                    self.assertLess(time.monotonic() - start, FAST)
                self.assertEqual((cm.exception.status, cm.exception.message), (1, message))
                if message == "read error":
                    self.assertIsNotNone(cm.exception.__cause__)

    def test_md5_of_a_body_that_ends_before_its_length(self):
        answer = (b"HTTP/1.1 200 OK\r\nContent-Length: 300000\r\nConnection: close\r\n\r\n"
                  + bytes(200000))
        with CannedServer(answer) as server:
            with self.assertRaises(kelhash.KelhashError) as cm:
                kelhash.md5(kelhash.url(server.url()))
        self.assertEqual((cm.exception.status, cm.exception.message), (1, "read error"))
        self.assertIsNotNone(cm.exception.__cause__)
        self.assertIn(str(cm.exception.__cause__), str(cm.exception))


class ScriptedServer(CannedServer):
    """Answers each request as script(path, byte_range) says, byte_range
    the (first, last) of its Range header or None: with the bytes to send,
    or with (bytes, then), then(send, conn) going on sending. Counts the
    bytes it sent (.sent), endless bodies included."""

    def __init__(self, script):
        self._script = script
        self._lock = threading.Lock()
        self.sent = 0
        super().__init__(None)

    def send(self, conn, data):
        with self._lock:
            self.sent += len(data)
        conn.sendall(data)

    def _respond(self, conn, request):
        lines = request.split("\r\n")
        byte_range = None
        for line in lines[1:]:
            name, _, value = line.partition(":")
            if name.strip().lower() == "range":
                m = re.fullmatch(r"bytes=(\d+)-(\d+)", value.strip())
                byte_range = (int(m.group(1)), int(m.group(2)))
        answer = self._script(lines[0].split(" ")[1], byte_range)
        then = None
        if isinstance(answer, tuple):
            answer, then = answer
        self.send(conn, answer)
        if then is not None:
            then(self.send, conn)


ODD = reference.data_of_size(131073, seed=23)
ENDLESS = 200 * MIB  # a body as good as endless: the hash must not wait for its end
DROPPED = 48 * MIB   # more than the socket buffers hold: sent only if read


def endless(send, conn):
    block = bytes(65536)
    for _ in range(ENDLESS // len(block)):
        send(conn, block)


def answer(status, headers=(), body=b""):
    """The bytes of an answer; a header value may be bytes (sent as they are)."""
    head = b"HTTP/1.1 " + status.encode("ascii") + b"\r\n"
    for name, value in headers:
        value = value if isinstance(value, bytes) else str(value).encode("latin-1")
        head += name.encode("ascii") + b": " + value + b"\r\n"
    return head + b"Connection: close\r\n\r\n" + body


def ranged(byte_range, data=ODD, content_range=None, length="exact", extra=b"",
           before=b"", more_headers=()):
    """A 206 for byte_range of data: its Content-Range (or another, or
    several as a list, or none as ()), its Content-Length ("exact", None for
    none, or the value to send), and extra bytes after the body."""
    first, last = byte_range
    last = min(last, len(data) - 1)
    body = data[first:last + 1]
    if content_range is None:
        content_range = ["bytes %d-%d/%d" % (first, last, len(data))]
    elif isinstance(content_range, str):
        content_range = [content_range]
    headers = [("Content-Range", v) for v in content_range] + list(more_headers)
    if length == "exact":
        headers.append(("Content-Length", len(body)))
    elif length is not None:
        headers.append(("Content-Length", length))
    return before + answer("206 Partial Content", headers, body + extra)


def whole(data=ODD, length="exact", before=b""):
    """A 200 with all of data."""
    headers = [] if length is None else [("Content-Length", len(data) if length == "exact"
                                          else length)]
    return before + answer("200 OK", headers, data)


def files(byte_range, **kw):
    """The file ODD as a server should serve it, ranged or whole."""
    return whole(**kw) if byte_range is None else ranged(byte_range, **kw)


EARLY_HINTS = b"HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n"
PROCESSING = b"HTTP/1.1 102 Processing\r\n\r\n"
INT64_MAX = (1 << 63) - 1


class OddAnswersTest(unittest.TestCase):
    """Answers the range server never gives: each either hashes the file's
    own bytes or fails at once with its message, reading no more of a body
    than it needs."""

    def fingerprints(self, script, path="/file.bin", **kw):
        """(result or KelhashError, seconds, server) of fingerprints()."""
        return self._run(lambda src: kelhash.fingerprints(src, NAME), script, path, **kw)

    def md5(self, script, path="/file.bin", **kw):
        return self._run(kelhash.md5, script, path, **kw)

    def _run(self, fn, script, path, timeout=30.0):
        with ScriptedServer(script) as server:
            start = time.monotonic()
            try:
                result = fn(kelhash.url(server.url(path), timeout=timeout))
            except kelhash.KelhashError as e:
                result = e
            elapsed = time.monotonic() - start
            server.settle()
        return result, elapsed, server

    def assertFails(self, result, message, cause=None):
        self.assertIsInstance(result, kelhash.KelhashError, "a hash instead of an error")
        self.assertEqual((result.status, result.message), (1, message))
        if cause is not None:
            self.assertIsNotNone(result.__cause__)
            self.assertRegex(str(result.__cause__), cause)
            self.assertIn(str(result.__cause__), str(result))

    def test_answers_that_are_refused(self):
        t_big = INT64_MAX + 1
        cases = [
            # Bodies longer than the range: the bytes after it are not the
            # file's, or the ranges are not what the server meant.
            ("Content-Length past the range", lambda r: files(r, extra=b"EXTRA" * 100,
                                                             length=65536 + 500),
             "read error", r"^long body: 65536 bytes asked at offset 0, Content-Length 66036$"),
            ("no Content-Length, bytes past the range",
             lambda r: files(r, length=None, extra=b"EXTRA" * 100),
             "read error", r"^long body: 65536 bytes asked at offset 0, more received$"),
            ("no Content-Length, a body without end",
             lambda r: (files(r, length=None), endless),
             "read error", r"^long body: 65536 bytes asked at offset 0, more received$"),
            # A long body in the second round only.
            ("a long body in the second round",
             lambda r: files(r) if r == (0, 65535) else files(r, length=None, extra=b"EXTRA"),
             "read error", r"^long body: 65536 bytes asked at offset 65537, more received$"),
            # Content-Length values that say nothing sure of where the body ends.
            ("negative Content-Length", lambda r: files(r, length="-5"),
             "read error", r"^invalid Content-Length: -5$"),
            ("Content-Length with a sign", lambda r: files(r, length="+65536"),
             "read error", r"^invalid Content-Length: \+65536$"),
            ("Content-Length of a superscript digit", lambda r: files(r, length=b"\xb2"),
             "read error", r"^invalid Content-Length: \xb2$"),
            ("Content-Length of two numbers", lambda r: files(r, length="65536, 65536"),
             "read error", r"^invalid Content-Length: 65536, 65536$"),
            ("Content-Length beyond 64 bits",
             lambda r: files(r, length="99999999999999999999999"),
             "read error", r"^invalid Content-Length: 99999999999999999999999$"),
            ("round-1 200 with a superscript Content-Length",
             lambda r: whole(ODD[:3000], length=b"\xb2"),
             "read error", r"^invalid Content-Length: \xb2$"),
            # Content-Range values that cannot be taken as they are.
            ("total above 2^63 - 1",
             lambda r: ranged(r, content_range="bytes 0-65535/%d" % t_big),
             "bad Content-Range: bytes 0-65535/%d" % t_big, None),
            ("last byte above 2^63 - 1",
             lambda r: ranged(r, content_range="bytes 0-%d/%d" % (t_big, t_big + 1)),
             "bad Content-Range: bytes 0-%d/%d" % (t_big, t_big + 1), None),
            ("two Content-Range headers, the first right",
             lambda r: ranged(r, content_range=["bytes 0-65535/131073",
                                                "bytes 0-65535/131074"]),
             "bad Content-Range: bytes 0-65535/131073, bytes 0-65535/131074", None),
            ("two Content-Range headers, the second right",
             lambda r: ranged(r, content_range=["bytes 0-65535/131074",
                                                "bytes 0-65535/131073"]),
             "bad Content-Range: bytes 0-65535/131074, bytes 0-65535/131073", None),
            ("two equal Content-Range headers",
             lambda r: ranged(r, content_range=["bytes 0-65535/131073"] * 2),
             "bad Content-Range: bytes 0-65535/131073, bytes 0-65535/131073", None),
            ("a Content-Range longer than any valid one",
             lambda r: ranged(r, content_range="bytes 0-65535/" + "0" * 120 + "131073"),
             "bad Content-Range: bytes 0-65535/" + "0" * 120 + "131073", None),
            ("a valid Content-Range followed by junk",
             lambda r: ranged(r, content_range="bytes 0-65535/131073 " + "#" * 130),
             "bad Content-Range: bytes 0-65535/131073 " + "#" * 130, None),
            ("206 without Content-Range", lambda r: ranged(r, content_range=()),
             "bad Content-Range: (none)", None),
            # What an informational answer carries is not the answer's.
            ("103 with a Content-Range, then a 206 without",
             lambda r: ranged(r, content_range=(), before=b"HTTP/1.1 103 Early Hints\r\n"
                              b"Content-Range: bytes 0-65535/131073\r\n\r\n"),
             "bad Content-Range: (none)", None),
            ("a 206 first, a 200 in the second round",
             lambda r: ranged(r) if r == (0, 65535) else whole(),
             "server ignored the Range request", None),
            ("a total that changes in the second round",
             lambda r: ranged(r, content_range=None if r == (0, 65535) else
                              "bytes %d-%d/131074" % r),
             "bad Content-Range: bytes 65537-131072/131074", None),
            ("416 of a file that is not empty",
             lambda r: (answer("416 Range Not Satisfiable", [("Content-Range", "bytes */5")]),
                        endless),
             "server answered HTTP 416", None),
            ("416 with two Content-Range headers",
             lambda r: answer("416 Range Not Satisfiable", [("Content-Range", "bytes */0"),
                                                            ("Content-Range", "bytes */0")]),
             "server answered HTTP 416", None),
        ]
        for what, script, message, cause in cases:
            with self.subTest(what):
                result, elapsed, server = self.fingerprints(
                    lambda path, r: script(r) if r is not None else whole())
                self.assertFails(result, message, cause)
                self.assertLess(elapsed, FAST)
                self.assertLess(server.sent, DROPPED)
                if message.startswith("bad Content-Range") and "second round" not in what:
                    # Known from the first answer: no second round was sent.
                    self.assertEqual(len(server.requests), 1, server.requests)

    def test_answers_that_are_taken(self):
        zeros_os = "%016x" % INT64_MAX  # the words of zeros add nothing to the size
        zeros_shooter = ";".join([hashlib.md5(bytes(4096)).hexdigest()] * 4)
        odd = (reference.opensubtitles(ODD), reference.shooter(ODD, NAME))
        empty = (reference.opensubtitles(b""), reference.shooter(b"", NAME))

        def zeros(r):
            first, last = r
            return answer("206 Partial Content",
                          [("Content-Range", "bytes %d-%d/%d" % (first, last, INT64_MAX)),
                           ("Content-Length", last - first + 1)], bytes(last - first + 1))

        cases = [
            ("the unit in capitals",
             lambda r: ranged(r, content_range="BYTES %d-%d/131073" % (r[0], min(r[1], 131072))),
             odd),
            ("the unit in mixed case, two spaces",
             lambda r: ranged(r, content_range="Bytes  %d-%d/131073" % (r[0], min(r[1], 131072))),
             odd),
            ("103 Early Hints before each 206", lambda r: ranged(r, before=EARLY_HINTS), odd),
            ("102 and 103 before each 206",
             lambda r: ranged(r, before=PROCESSING + EARLY_HINTS), odd),
            ("no Content-Length, the body ends with the range",
             lambda r: ranged(r, length=None), odd),
            ("leading zeros in Content-Length", lambda r: ranged(
                r, length="%06d" % (min(r[1], 131072) - r[0] + 1)), odd),
            ("chunked, with a Content-Range trailer that is not the answer's",
             lambda r: answer("206 Partial Content",
                              [("Content-Range", "bytes %d-%d/131073" % (r[0], min(r[1], 131072))),
                               ("Transfer-Encoding", "chunked"), ("Trailer", "Content-Range")],
                              b"%x\r\n%s\r\n0\r\nContent-Range: bytes 1-2/3\r\n\r\n"
                              % (min(r[1], 131072) - r[0] + 1, ODD[r[0]:r[1] + 1])),
             odd),
            ("a file of 2^63 - 1 bytes", zeros, (zeros_os, zeros_shooter)),
            ("an empty file, the unit in capitals",
             lambda r: answer("416 Range Not Satisfiable", [("Content-Range", "BYTES */0")]),
             empty),
            ("an empty file's 416 with a body without end",
             lambda r: (answer("416 Range Not Satisfiable", [("Content-Range", "bytes */0")]),
                        endless),
             empty),
            ("round-1 200 with a Content-Length beyond 64 bits, the file small",
             lambda r: whole(ODD[:3000], length="99999999999999999999999"),
             "server ignored the Range request"),
        ]
        for what, script, want in cases:
            with self.subTest(what):
                result, elapsed, server = self.fingerprints(
                    lambda path, r: script(r) if r is not None else whole())
                if isinstance(want, str):
                    self.assertFails(result, want)
                else:
                    self.assertNotIsInstance(result, kelhash.KelhashError)
                    self.assertEqual(tuple(result), want)
                self.assertLess(elapsed, FAST)
                self.assertLess(server.sent, DROPPED)

    def test_md5_answers(self):
        want = reference.md5(ODD)
        cases = [
            ("superscript Content-Length", lambda: whole(length=b"\xb2"),
             "read error", r"^invalid Content-Length: \xb2$"),
            ("negative Content-Length", lambda: whole(length="-5"),
             "read error", r"^invalid Content-Length: -5$"),
            ("Content-Length beyond 64 bits", lambda: whole(length="9223372036854775808"),
             "read error", r"^invalid Content-Length: 9223372036854775808$"),
            ("103 before the 200", lambda: whole(before=EARLY_HINTS), want, None),
            ("no Content-Length", lambda: whole(length=None), want, None),
        ]
        for what, script, message, cause in cases:
            with self.subTest(what):
                result, elapsed, server = self.md5(lambda path, r: script())
                if message == want:
                    self.assertEqual(result, want)
                else:
                    self.assertFails(result, message, cause)
                self.assertLess(elapsed, FAST)

    def test_redirects_are_followed_by_their_headers_alone(self):
        def script(path, r):
            if path == "/moved":
                # A redirect whose body never ends; the file is elsewhere.
                return answer("302 Found", [("Location", "/file.bin")]), endless
            return files(r)

        odd = (reference.opensubtitles(ODD), reference.shooter(ODD, NAME))
        for name, run, want in (("fingerprints", self.fingerprints, odd),
                                ("md5", self.md5, reference.md5(ODD))):
            with self.subTest(name):
                result, elapsed, server = run(script, "/moved")
                self.assertEqual(result if name == "md5" else tuple(result), want)
                self.assertLess(elapsed, FAST)
                self.assertLess(server.sent, DROPPED)
                # The second round asks the file's own address, not the redirect's.
                paths = [req.split(" ")[1] for req in server.requests]
                self.assertEqual(paths[0], "/moved")
                self.assertTrue(all(p == "/file.bin" for p in paths[1:]), paths)

    def test_redirect_chains_and_loops(self):
        def script(path, r):
            # /hop/N: N more redirects before the file; /loop: itself again.
            if path == "/loop":
                return answer("302 Found", [("Location", "/loop"), ("Content-Length", 0)])
            if path.startswith("/hop/"):
                n = int(path[len("/hop/"):])
                target = "/file.bin" if n == 1 else "/hop/%d" % (n - 1)
                code = ("301 Moved Permanently", "302 Found", "303 See Other",
                        "307 Temporary Redirect", "308 Permanent Redirect")[n % 5]
                return answer(code, [("Location", target), ("Content-Length", 0)])
            if path == "/elsewhere":
                return answer("302 Found", [("Location", "file:///etc/hostname")])
            return files(r)

        odd = (reference.opensubtitles(ODD), reference.shooter(ODD, NAME))
        result, _, server = self.fingerprints(script, "/hop/10")
        self.assertEqual(tuple(result), odd)
        result, _, server = self.md5(script, "/hop/10")
        self.assertEqual(result, reference.md5(ODD))
        for path in ("/hop/11", "/loop"):
            for name, run in (("fingerprints", self.fingerprints), ("md5", self.md5)):
                with self.subTest(path, function=name):
                    result, elapsed, server = run(script, path)
                    self.assertFails(result, "read error", r"^more than 10 redirects")
                    self.assertIn(path, str(result.__cause__))
                    self.assertLess(elapsed, FAST)
                    # The first request and the 10 redirects followed.
                    self.assertEqual(len(server.requests), 11)
        result, _, server = self.fingerprints(script, "/elsewhere")
        self.assertFails(result, "read error", r"file:///etc/hostname, which is not http or https")

    def test_a_body_that_stalls(self):
        def script(path, r):
            full = ranged(r)
            return full[:len(full) - len(ODD[r[0]:r[1] + 1]) + 100], lambda send, conn: time.sleep(3)

        result, elapsed, _ = self.fingerprints(script, timeout=0.3)
        self.assertFails(result, "read error")
        self.assertIsInstance(result.__cause__, socket.timeout)
        self.assertGreaterEqual(elapsed, 0.25)
        self.assertLess(elapsed, FAST)


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class FailuresTest(ServedFiles):
    """Each failure of a URL: status 1, its message, fast."""

    def test_faulty_servers(self):
        big = f"bad Content-Range: bytes 1-65536/{BIG}"
        cases = [
            ("norange", "big.bin", "server ignored the Range request", None),
            ("norange", "65537.bin", "server ignored the Range request", None),
            ("badstart", "big.bin", big, None),
            ("badstart", "8193.bin", "bad Content-Range: bytes 1-8193/8193", None),
            # The size grows by one with every request: the first names 8194.
            ("badtotal", "8193.bin", "bad Content-Range: bytes 0-8192/8194", None),
            ("short", "big.bin", "read error", OSError),
            ("short", "8193.bin", "read error", OSError),
            ("cut", "big.bin", "read error", Exception),
            ("cut", "8193.bin", "read error", Exception),
            ("status", "404", "server answered HTTP 404", None),
            ("status", "500", "server answered HTTP 500", None),
            ("status", "416", "server answered HTTP 416", None),
            ("redirect/status", "403", "server answered HTTP 403", None),
            ("redirect/short", "big.bin", "read error", OSError),
        ]
        functions = [("opensubtitles", kelhash.opensubtitles_hash),
                     ("shooter", lambda src: kelhash.shooter_hash(src, NAME)),
                     ("fingerprints", lambda src: kelhash.fingerprints(src, NAME))]
        for mode, name, message, cause in cases:
            for what, fn in functions:
                with self.subTest(mode=mode, file=name, function=what):
                    src = self.url(mode, name)
                    self.server.reset()  # badtotal's sizes count from here
                    self.assertFailsFast(lambda: fn(src), message, cause)

    def test_causes_name_what_came_back(self):
        e = self.assertFailsFast(lambda: kelhash.opensubtitles_hash(self.url("short", "big.bin")),
                                 "read error", OSError)
        self.assertEqual(str(e.__cause__),
                         "short read: 65536 bytes asked at offset 0, 65535 returned")
        self.assertIn("short read: 65536 bytes asked at offset 0, 65535 returned", str(e))
        e = self.assertFailsFast(lambda: kelhash.fingerprints(self.url("cut", "200003.bin"),
                                                              NAME), "read error", Exception)
        self.assertRegex(str(e), r"32768")  # half of the 65536 bytes came

    def test_a_total_that_changes_in_the_second_round(self):
        # The first answer says BIG + 1 bytes, which the plan goes by; each
        # answer of the second round then names a larger total.
        self.server.reset()
        e = self.assertFailsFast(lambda: kelhash.fingerprints(self.url("badtotal", "big.bin"),
                                                              NAME),
                                 re.compile(r"bad Content-Range: bytes (\d+)-(\d+)/(\d+)"))
        first, last, total = map(int, re.fullmatch(r"bad Content-Range: bytes (\d+)-(\d+)/(\d+)",
                                                   e.message).groups())
        size = BIG + 1
        wanted = {(size // 3, size // 3 + 4095), ((size // 3) * 2, (size // 3) * 2 + 4095),
                  (size - 65536, size - 1)}
        self.assertIn((first, last), wanted)
        self.assertIn(total, (BIG + 2, BIG + 3, BIG + 4))

    def test_norange_reads_far_less_than_the_file(self):
        self.server.settled_stats()
        self.server.reset()
        self.assertFailsFast(lambda: kelhash.fingerprints(self.url("norange", "big.bin"), NAME),
                             "server ignored the Range request")
        sent = self.server.settled_stats()["bytes"]
        print(f"\n  norange, 5 GiB file: the server wrote {sent} bytes before the "
              "connection was dropped", file=sys.stderr, end="")
        self.assertLess(sent, 64 * MIB)

    def test_md5_failures(self):
        cases = [
            (self.server.url("status", "404"), "server answered HTTP 404", None),
            (self.server.url("redirect", "status", "410"), "server answered HTTP 410", None),
            ("http://127.0.0.1:%d/x" % closed_port(), "read error", ConnectionRefusedError),
        ]
        for address, message, cause in cases:
            with self.subTest(address):
                self.assertFailsFast(lambda: kelhash.md5(kelhash.url(address)), message, cause)

    def test_connection_failures(self):
        cases = [
            ("closed port", "http://127.0.0.1:%d/x.bin" % closed_port(), ConnectionRefusedError),
            # TLS spoken to a server of plain HTTP: the handshake fails.
            ("TLS", "https://127.0.0.1:%d/files/8193.bin" % self.server.port, ssl.SSLError),
        ]
        for what, address, cause in cases:
            for name, fn in (("fingerprints", lambda src: kelhash.fingerprints(src, NAME)),
                             ("md5", kelhash.md5)):
                with self.subTest(what, function=name):
                    self.assertFailsFast(lambda: fn(kelhash.url(address)), "read error", cause)

    def test_unknown_host(self):
        with self.assertRaises(kelhash.KelhashError) as cm:
            kelhash.opensubtitles_hash(kelhash.url("http://kelhash-test.invalid/x.bin"))
        self.assertEqual((cm.exception.status, cm.exception.message), (1, "read error"))
        self.assertIsInstance(cm.exception.__cause__, socket.gaierror)

    def test_timeout(self):
        # A server that accepts connections (the kernel does, into the
        # backlog) but never answers.
        with socket.create_server(("127.0.0.1", 0)) as silent:
            address = "http://127.0.0.1:%d/x.bin" % silent.getsockname()[1]
            for name, fn in (("fingerprints", lambda src: kelhash.fingerprints(src, NAME)),
                             ("md5", kelhash.md5)):
                with self.subTest(name):
                    start = time.monotonic()
                    with self.assertRaises(kelhash.KelhashError) as cm:
                        fn(kelhash.url(address, timeout=0.3))
                    elapsed = time.monotonic() - start
                    self.assertEqual(cm.exception.message, "read error")
                    self.assertIsInstance(cm.exception.__cause__, socket.timeout)
                    self.assertGreaterEqual(elapsed, 0.25)
                    self.assertLess(elapsed, FAST)


class UrlObjectTest(unittest.TestCase):
    def test_a_str_is_always_a_path(self):
        with RangeServer(reference.GOLDEN_DIR / "files") as server:
            address = server.url("files", "1.bin")
            with self.assertRaises(kelhash.KelhashError) as cm:
                kelhash.md5(address)
            self.assertEqual(cm.exception.message, "cannot open file")
            self.assertEqual(server.stats()["requests"], 0)

    def test_arguments(self):
        u = kelhash.url("https://example.com/a.mkv")
        self.assertIsInstance(u, kelhash.URL)
        self.assertEqual((u.address, u.timeout), ("https://example.com/a.mkv", 30.0))
        self.assertEqual(kelhash.url("HTTP://example.com/", timeout=2).timeout, 2.0)
        self.assertEqual(kelhash.url("http://h/a", timeout=3), kelhash.url("http://h/a", timeout=3))
        self.assertIn("https://example.com/a.mkv", repr(u))
        cases = [
            (ValueError, ("file:///etc/hostname",), {}),
            (ValueError, ("ftp://example.com/a",), {}),
            (ValueError, ("example.com/a.mkv",), {}),
            (ValueError, ("http:///a.mkv",), {}),
            (ValueError, ("http://example.com:port/a.mkv",), {}),
            (ValueError, ("http://example.com:70000/a.mkv",), {}),
            (TypeError, (b"http://example.com/a",), {}),
            (TypeError, (pathlib.Path("a"),), {}),
            (ValueError, ("http://example.com/a",), {"timeout": 0}),
            (ValueError, ("http://example.com/a",), {"timeout": -1}),
            (TypeError, ("http://example.com/a",), {"timeout": "5"}),
            (TypeError, ("http://example.com/a",), {"timeout": True}),
            (TypeError, ("http://example.com/a", 5), {}),  # timeout is keyword-only
        ]
        for exc, args, kwargs in cases:
            with self.subTest(args=args, kwargs=kwargs):
                with self.assertRaises(exc):
                    kelhash.url(*args, **kwargs)


if __name__ == "__main__":
    unittest.main()
