"""Tests of the kelhash command on http:// URLs, served from 127.0.0.1 by
tests/http/range_server.py: the results equal those of the same files read
from disk and the reference module, the fingerprints cost two round trips
and a few ranges whatever the size, every fault of a server is an error
with its message, quickly, and a build without libcurl says what it lacks.

Environment, besides test_command.py's: KELHASH_COMMAND_CURL (ON when the
command was built with libcurl) and KELHASH_COMMAND_NOCURL (the command
built from the same source without it).
"""

import hashlib
import json
import os
import pathlib
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import kelhash
import reference
from test_command import ALGORITHMS, CommandCase, parse_blocks, run

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests" / "http"))
from range_server import RangeServer  # noqa: E402

COMMAND = os.environ["KELHASH_COMMAND"]
NOCURL = os.environ["KELHASH_COMMAND_NOCURL"]
HAS_CURL = os.environ.get("KELHASH_COMMAND_CURL", "OFF").upper() in ("ON", "1", "TRUE", "YES")
NO_CURL_REASON = "the command was built without libcurl (KELHASH_WITH_CURL), so it hashes no URLs"
NEEDS_CURL = "URLs need libcurl, which this build of kelhash does not have"

# A fault must be reported at once: a command that downloads a whole large
# body, or waits for a timeout, takes far longer than this.
FAST = 5.0

# The server is on the loopback interface: a proxy from the environment
# must not stand in between.
ENV = {k: v for k, v in os.environ.items()
       if k.lower() not in ("http_proxy", "https_proxy", "all_proxy", "no_proxy")}
ENV["no_proxy"] = "127.0.0.1,localhost"

BIG = 3 << 20
LARGE = (5 << 30) + 12345


def url_run(*args, **kw):
    return run(*args, env=ENV, **kw)


def run_with(command, *args):
    """Runs another build of the command."""
    return subprocess.run([command, *args], capture_output=True, stdin=subprocess.DEVNULL,
                          env=ENV, timeout=60)


def timed(*args):
    start = time.monotonic()
    r = url_run(*args)
    return r, time.monotonic() - start


def closed_port():
    """A port of 127.0.0.1 on which nothing listens."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


_dir = None
_server = None
FILES = {}  # name -> size


def setUpModule():
    global _dir, _server
    if not HAS_CURL:
        return
    _dir = tempfile.TemporaryDirectory(prefix="kelhash-url-")
    root = pathlib.Path(_dir.name)
    for size in [*reference.BOUNDARY_SIZES, BIG]:
        name = f"clip-{size}.avi"
        (root / name).write_bytes(reference.data_of_size(size, seed=21))
        FILES[name] = size
    try:
        with open(root / "large.bin", "wb") as f:
            f.truncate(LARGE)
            for off in (0, *reference.shooter_offsets(LARGE), LARGE - 300):
                f.seek(off)
                f.write(reference.data_of_size(300, seed=off))
    except OSError:
        (root / "large.bin").unlink(missing_ok=True)
    _server = RangeServer(root).__enter__()


def tearDownModule():
    if _server is not None:
        _server.__exit__(None, None, None)
    if _dir is not None:
        _dir.cleanup()


class UrlCase(CommandCase):
    def setUp(self):
        super().setUp()
        self.server = _server
        self.root = pathlib.Path(_dir.name)

    def url(self, *parts):
        return self.server.url(*parts)

    def large(self):
        path = self.root / "large.bin"
        if not path.exists():
            self.skipTest(f"no sparse file of {LARGE} bytes here")
        return path

    def assert_fails(self, args, lines, stdout=b""):
        """The command fails with exit status 1, quickly, its standard error
        is these lines (regular expressions, matched whole) and its standard
        output is stdout."""
        r, took = timed(*args)
        got = r.stderr.decode("utf-8", "replace").splitlines()
        self.assertEqual(r.returncode, 1, got)
        self.assertEqual(len(got), len(lines), got)
        for line, pattern in zip(got, lines):
            self.assertRegex(line, "^" + pattern + "$")
        self.assertEqual(r.stdout, stdout)
        self.assertLess(took, FAST)
        return r


@unittest.skipUnless(HAS_CURL, NO_CURL_REASON)
class UrlResultsTest(UrlCase):
    """A URL gives what its file gives, in every form."""

    def file_and_url_objects(self, mode, names, *opts):
        paths = [str(self.root / n) for n in names]
        urls = [self.url(mode, n) for n in names]
        r = url_run("--json", *opts, *paths)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        from_files = [json.loads(line) for line in r.stdout.splitlines()]
        r = url_run("--json", *opts, *urls)
        self.assertEqual((r.returncode, r.stderr.decode()), (0, ""))
        from_urls = [json.loads(line) for line in r.stdout.splitlines()]
        return urls, from_files, from_urls

    def test_boundary_sizes_equal_the_files(self):
        names = sorted(FILES, key=FILES.get)
        for mode in ("files", "redirect/files"):
            with self.subTest(mode=mode):
                urls, from_files, from_urls = self.file_and_url_objects(mode, names)
                self.assertEqual(len(from_urls), len(names))
                for name, url, f, u in zip(names, urls, from_files, from_urls):
                    data = (self.root / name).read_bytes()
                    want = {"size": len(data), **self.expected(data, name)}
                    self.assertEqual({k: v for k, v in f.items() if k != "file"}, want, name)
                    self.assertEqual(u, {"file": url, **want}, name)

    def test_a_server_without_ranges_may_send_a_small_file_whole(self):
        names = [n for n in sorted(FILES, key=FILES.get) if FILES[n] <= 65536]
        urls, _, from_urls = self.file_and_url_objects("norange", names, "--opensubtitles",
                                                       "--shooter")
        for name, url, u in zip(names, urls, from_urls):
            data = (self.root / name).read_bytes()
            exp = self.expected(data, name)
            self.assertEqual(u, {"file": url, "size": len(data),
                                 "opensubtitles": exp["opensubtitles"],
                                 "shooter": exp["shooter"]}, name)

    def test_every_form(self):
        for size in (9, 12285, 131073):
            name = f"clip-{size}.avi"
            data = (self.root / name).read_bytes()
            with self.subTest(size=size):
                self.assert_every_form(url_run, self.url("files", name), data, name)

    def test_sparse_file_above_4_gib(self):
        path = self.large()
        url = self.url("files", path.name)
        r = url_run("--json", "--opensubtitles", "--shooter", url)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(json.loads(r.stdout), {
            "file": url, "size": LARGE,
            "opensubtitles": reference.opensubtitles_of_file(path),
            "shooter": reference.shooter_of_file(path, None)})

    def test_md5_against_hashlib(self):
        for size in (0, 1, 65537, BIG):
            name = f"clip-{size}.avi"
            data = (self.root / name).read_bytes()
            for mode in ("files", "redirect/files", "norange"):
                with self.subTest(size=size, mode=mode):
                    url = self.url(mode, name)
                    r = url_run("--md5", url)
                    self.assertEqual((r.returncode, r.stderr), (0, b""))
                    self.assertEqual(r.stdout.decode(),
                                     f"{hashlib.md5(data).hexdigest().upper()}  {url}\n")


@unittest.skipUnless(HAS_CURL, NO_CURL_REASON)
class UrlCostTest(UrlCase):
    """What the server sent for the fingerprints of the 5 GiB file, from its
    own counts: the ranges they need and their headers, in one request for
    the first 64 KiB and one for each other range, all sent together."""

    def cost(self, *args):
        # The server counts a write once it has returned, which can be after
        # the command read it and ended: the counts of the command before
        # must land before the reset, and this one's before the reading.
        self.server.settled_stats()
        self.server.reset()
        r = url_run(*args)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        return self.server.settled_stats()

    def test_both_fingerprints(self):
        url = self.url("files", self.large().name)
        stats = self.cost("--opensubtitles", "--shooter", url)
        self.assertLessEqual(stats["requests"], 4, stats)
        self.assertLess(stats["bytes"], 200 << 10, stats)
        # The counts are of what the hashes read: the two OpenSubtitles
        # ranges and the Shooter blocks at S / 3 and 2 S / 3 (the ones at
        # 4096 and S - 8192 lie inside them).
        self.assertGreaterEqual(stats["bytes"], 2 * 65536 + 2 * 4096, stats)

    def test_each_fingerprint_alone(self):
        url = self.url("files", self.large().name)
        stats = self.cost("--opensubtitles", url)
        self.assertLessEqual(stats["requests"], 2, stats)
        self.assertLess(stats["bytes"], 140 << 10, stats)
        stats = self.cost("--shooter", url)
        self.assertLessEqual(stats["requests"], 4, stats)
        self.assertLess(stats["bytes"], 90 << 10, stats)

    def test_second_round_goes_past_the_redirect(self):
        # One redirect for the first round; the ranges after it are asked
        # where it led, not through the redirect once more each.
        url = self.url("redirect", "files", self.large().name)
        stats = self.cost("--opensubtitles", "--shooter", url)
        self.assertLessEqual(stats["requests"], 5, stats)
        self.assertLess(stats["bytes"], 200 << 10, stats)

    def test_small_file_needs_one_request(self):
        url = self.url("files", "clip-65536.avi")
        stats = self.cost("--opensubtitles", "--shooter", url)
        self.assertEqual(stats["requests"], 1, stats)


@unittest.skipUnless(HAS_CURL, NO_CURL_REASON)
class UrlErrorTest(UrlCase):
    """Each fault of a server, or of the connection, fails quickly with its
    message, named by algorithm; exit status 1."""

    def lines(self, url, message, algs=("opensubtitles", "shooter")):
        return [re.escape(f"kelhash: {url}: {alg}: ") + message for alg in algs]

    def test_server_ignoring_range_on_a_large_file(self):
        path = self.large()
        url = self.url("norange", path.name)
        self.server.settled_stats()
        self.server.reset()
        self.assert_fails(["--opensubtitles", "--shooter", url],
                          self.lines(url, re.escape("server ignored the Range request")))
        # The transfer was dropped early: nowhere near the 5 GiB was sent.
        self.assertLess(self.server.settled_stats()["bytes"], 16 << 20)

    def test_bad_answers(self):
        big = f"clip-{BIG}.avi"
        cases = [
            ("badstart", big, re.escape(f"bad Content-Range: bytes 1-65536/{BIG}")),
            ("badtotal", big, r"bad Content-Range: bytes \d+-\d+/\d+"),
            ("badtotal", "clip-4095.avi", re.escape("bad Content-Range: bytes 0-4094/") + r"\d+"),
            ("short", big, re.escape("read error: short read: 65536 bytes asked at offset 0, "
                                     "65535 returned")),
            ("short", "clip-4095.avi",
             re.escape("read error: short read: 4095 bytes asked at offset 0, 4094 returned")),
            ("cut", big, r"read error: \S.*"),
        ]
        for mode, name, message in cases:
            with self.subTest(mode=mode, name=name):
                url = self.url(mode, name)
                self.assert_fails(["--opensubtitles", "--shooter", url], self.lines(url, message))

    def test_bad_answers_in_the_second_round(self):
        # The first 64 KiB are good; a range after them is not.
        big = f"clip-{BIG}.avi"
        url = self.url("badtotal", big)
        self.server.settled_stats()
        self.server.reset()  # the first answer then gives the total BIG + 1
        r = self.assert_fails(["--shooter", url],
                              self.lines(url, r"bad Content-Range: bytes \d+-\d+/\d+",
                                         ("shooter",)))
        shown = int(re.search(rb"/(\d+)$", r.stderr.strip()).group(1))
        self.assertGreater(shown, BIG + 1)  # a later answer's total

    def test_missing_file_and_closed_port(self):
        for url, message in [
                (self.url("status", "404"), re.escape("server answered HTTP 404")),
                (self.url("files", "nosuch.avi"), re.escape("server answered HTTP 404")),
                (self.url("status", "500"), re.escape("server answered HTTP 500")),
                (f"http://127.0.0.1:{closed_port()}/files/clip-4095.avi", r"read error: \S.*")]:
            with self.subTest(url=url):
                self.assert_fails([url], self.lines(url, message, ALGORITHMS))

    def test_md5_of_a_body_cut_short(self):
        url = self.url("cutplain", f"clip-{BIG}.avi")
        self.assert_fails(["--md5", url], self.lines(url, r"read error: \S.*", ("md5",)))

    def test_other_results_are_still_printed(self):
        # Without Range the fingerprints of a large file fail, MD5 of the
        # plain GET stands; a failed operand leaves the next ones alone.
        name = f"clip-{BIG}.avi"
        data = (self.root / name).read_bytes()
        md5 = reference.md5(data)
        url = self.url("norange", name)
        missing = self.url("status", "404")
        ignored = re.escape("server ignored the Range request")
        r = self.assert_fails([url], self.lines(url, ignored),
                              stdout=f"{url}\n  size: {BIG}\n  md5: {md5}\n".encode())
        r = url_run("--json", url, missing, str(self.root / name))
        self.assertEqual(r.returncode, 1)
        self.assertEqual([json.loads(line) for line in r.stdout.splitlines()], [
            {"file": url, "size": BIG, "md5": md5},
            {"file": str(self.root / name), "size": BIG, **self.expected(data, name)}])
        self.assertEqual(len(r.stderr.splitlines()), 5, r.stderr)
        r = url_run("--md5", missing, url)
        self.assertEqual((r.returncode, r.stdout.decode()), (1, f"{md5}  {url}\n"))


@unittest.skipUnless(HAS_CURL, NO_CURL_REASON)
class UrlNameTest(UrlCase):
    """The Shooter name of a small file at a URL: the last segment of the
    URL's path, percent-decoded, without query or fragment; --name wins."""

    def small(self, on_disk, data=b"small file"):
        # The server maps a path segment to the file of that very name,
        # percent signs included.
        (self.root / on_disk).write_bytes(data)
        self.addCleanup((self.root / on_disk).unlink)
        return data

    def test_default_and_given_names(self):
        data = self.small("m%C3%A9nage%20x.avi")
        plain = self.small("plain.avi", b"plain")
        nul = self.small("nul%00.avi", b"nul")
        cases = [
            (self.url("files", "m%C3%A9nage%20x.avi"), [], data, "m\u00e9nage x.avi"),
            (self.url("files", "m%C3%A9nage%20x.avi") + "?sig=a/b#part/2", [], data,
             "m\u00e9nage x.avi"),
            (self.url("redirect", "files", "m%C3%A9nage%20x.avi"), [], data, "m\u00e9nage x.avi"),
            (self.url("files", "m%C3%A9nage%20x.avi"), ["--name", "abc"], data, "abc"),
            (self.url("files", "plain.avi"), [], plain, "plain.avi"),
            (self.url("files", "nul%00.avi"), [], nul, "nul%00.avi"),
        ]
        for url, opts, content, name in cases:
            with self.subTest(url=url, opts=opts):
                r = url_run("--shooter", *opts, url)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                self.assertEqual(r.stdout.decode(), f"{reference.shooter(content, name)}  {url}\n")

    def test_name_that_is_not_utf8(self):
        data = self.small("bad%FF.avi")
        url = self.url("files", "bad%FF.avi")
        r = url_run(url)
        self.assertEqual((r.returncode, r.stderr.decode()),
                         (1, f"kelhash: {url}: shooter: invalid UTF-8\n"))
        self.assertEqual(parse_blocks(r.stdout.decode()), [
            (url, {"size": str(len(data)), "opensubtitles": reference.opensubtitles(data),
                   "md5": reference.md5(data)})])


# A server whose answers no well-behaved server gives, each chosen by the
# first segment of the path: what the command must refuse (or, for a few
# odd but valid ones, accept), on raw sockets, since an HTTP library would
# not send most of them. Its file is ODD_DATA, except that a path ending in
# "/" serves ODD_SMALL (the query "?big" says ODD_DATA all the same).
ODD_SIZE = 131073
ODD_DATA = reference.data_of_size(ODD_SIZE, seed=5)
ODD_SMALL = b"small file"
# What an endless body sends at most: far more than a command that stops
# at the headers lets through its socket buffers.
ENDLESS = 64 << 20
STALL = 2  # the --timeout of the stall test: seconds without a byte


class OddServer:
    def __init__(self):
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.sent = 0
        self.busy = 0
        self.requests = []  # (path, {lowercase header name: value})
        threading.Thread(target=self._serve, daemon=True).start()

    def close(self):
        self.stop.set()
        self.sock.close()

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def reset(self):
        self.settled()
        with self.lock:
            self.sent = 0
            self.requests.clear()

    def settled(self):
        """The bytes sent since the reset, once every answer has ended."""
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            with self.lock:
                if self.busy == 0:
                    return self.sent
            time.sleep(0.01)
        raise AssertionError("an answer of the test server did not end")

    def _serve(self):
        while not self.stop.is_set():
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with self.lock:
                self.busy += 1
            threading.Thread(target=self._handle, args=(conn,), daemon=True).start()

    def _send(self, conn, data):
        conn.sendall(data)
        with self.lock:
            self.sent += len(data)

    def _answer(self, conn, status, headers, body=b""):
        head = f"HTTP/1.1 {status}\r\nConnection: close\r\n"
        head += "".join(f"{k}: {v}\r\n" for k, v in headers) + "\r\n"
        self._send(conn, head.encode("latin-1") + body)

    def _endless(self, conn):
        piece = b"x" * 65536
        for _ in range(ENDLESS // len(piece)):
            self._send(conn, piece)

    def _handle(self, conn):
        try:
            f = conn.makefile("rb")
            line = f.readline().decode("latin-1").split()
            headers = {}
            while True:
                h = f.readline()
                if h in (b"\r\n", b"\n", b""):
                    break
                k, _, v = h.decode("latin-1").partition(":")
                headers[k.strip().lower()] = v.strip()
            path = line[1]
            with self.lock:
                self.requests.append((path, headers))
            m = re.fullmatch(r"bytes=(\d+)-(\d+)", headers.get("range", ""))
            rng = (int(m.group(1)), int(m.group(2))) if m else None
            bare, _, query = path.partition("?")
            data = ODD_SMALL if bare.endswith("/") and query != "big" else ODD_DATA
            case = bare.strip("/").split("/")[0] or "good"
            getattr(self, "case_" + case)(conn, rng, data)
        except (OSError, AttributeError, IndexError):
            pass
        finally:
            try:
                conn.shutdown(socket.SHUT_WR)
            except OSError:
                pass
            conn.close()
            with self.lock:
                self.busy -= 1

    def _part(self, rng, data):
        """The bytes a range asks for and its Content-Range values."""
        a, b = rng[0], min(rng[1], len(data) - 1)
        return data[a:b + 1], a, b

    def case_good(self, conn, rng, data, unit="bytes", before=b"", extra=()):
        if rng is None:
            self._answer(conn, "200 OK", [("Content-Length", len(data))], data)
            return
        body, a, b = self._part(rng, data)
        self._send(conn, before)
        self._answer(conn, "206 Partial Content",
                     [*extra, ("Content-Range", f"{unit} {a}-{b}/{len(data)}"),
                      ("Content-Length", len(body))], body)

    def case_unitcase(self, conn, rng, data):
        self.case_good(conn, rng, data, unit="BYTES")

    def case_early(self, conn, rng, data):
        # A 103 before the answer, with a Content-Range of its own.
        self.case_good(conn, rng, data,
                       before=b"HTTP/1.1 103 Early Hints\r\nContent-Range: bytes 1-2/3\r\n\r\n")

    def case_earlynone(self, conn, rng, data):
        # The same, but the real answer has no Content-Range.
        if rng is None:
            return self.case_good(conn, rng, data)
        body, a, b = self._part(rng, data)
        self._send(conn, f"HTTP/1.1 103 Early Hints\r\nContent-Range: bytes {a}-{b}/"
                         f"{len(data)}\r\n\r\n".encode())
        self._answer(conn, "206 Partial Content", [("Content-Length", len(body))], body)

    def case_trailer(self, conn, rng, data):
        # A chunked 206 whose trailer holds another Content-Range.
        if rng is None:
            return self.case_good(conn, rng, data)
        body, a, b = self._part(rng, data)
        self._send(conn, (f"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes {a}-{b}/"
                          f"{len(data)}\r\nTransfer-Encoding: chunked\r\nTrailer: Content-Range"
                          "\r\nConnection: close\r\n\r\n").encode()
                   + b"%x\r\n" % len(body) + body + b"\r\n0\r\nContent-Range: bytes 1-2/3\r\n\r\n")

    def case_nocr(self, conn, rng, data):
        if rng is None:
            return self.case_good(conn, rng, data)
        body, _, _ = self._part(rng, data)
        self._answer(conn, "206 Partial Content", [("Content-Length", len(body))], body)

    def _two_ranges(self, conn, rng, data, first, second):
        if rng is None:
            return self.case_good(conn, rng, data)
        body, a, b = self._part(rng, data)
        self._answer(conn, "206 Partial Content",
                     [("Content-Range", f"bytes {a}-{b}/{len(data) + first}"),
                      ("Content-Range", f"bytes {a}-{b}/{len(data) + second}"),
                      ("Content-Length", len(body))], body)

    def case_dupfirst(self, conn, rng, data):
        self._two_ranges(conn, rng, data, 0, 1)  # the first one is right

    def case_duplast(self, conn, rng, data):
        self._two_ranges(conn, rng, data, 1, 0)  # the last one is right

    def case_dupsame(self, conn, rng, data):
        self._two_ranges(conn, rng, data, 0, 0)

    def case_longcr(self, conn, rng, data):
        # A total of 128 characters, zeros first: its first 127 are the
        # true total, the 128th makes it ten times as large.
        if rng is None:
            return self.case_good(conn, rng, data)
        body, a, b = self._part(rng, data)
        prefix = f"bytes {a}-{b}/"
        value = prefix + str(len(data)).rjust(127 - len(prefix), "0") + "9"
        self._answer(conn, "206 Partial Content",
                     [("Content-Range", value), ("Content-Length", len(body))], body)

    def case_hugecl(self, conn, rng, data):
        # No Range honoured, and a length that no 64-bit number holds; the
        # body ends long before it.
        self._answer(conn, "200 OK", [("Content-Length", "9" * 23)], b"abc")

    def case_pluscl(self, conn, rng, data):
        self._answer(conn, "200 OK", [("Content-Length", "+3")], b"abc")

    def case_pluscl206(self, conn, rng, data):
        if rng is None:
            return self.case_good(conn, rng, data)
        body, a, b = self._part(rng, data)
        self._answer(conn, "206 Partial Content",
                     [("Content-Range", f"bytes {a}-{b}/{len(data)}"),
                      ("Content-Length", f"+{len(body)}")], body)

    def case_md5other(self, conn, rng, data):
        # The ranges are of one file, the plain GET sends another.
        if rng is None:
            self._answer(conn, "200 OK", [("Content-Length", 1000)], data[:1000])
        else:
            self.case_good(conn, rng, data)

    def case_r2plain(self, conn, rng, data):
        # Only the first request gets its range; later ones the whole file.
        self.case_good(conn, rng if rng == (0, 65535) else None, data)

    def case_empty416(self, conn, rng, data):
        # An empty file, with a body after the 416 that never ends.
        if rng is None:
            return self._answer(conn, "200 OK", [("Content-Length", 0)])
        self._send(conn, b"HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */0\r\n"
                         b"Connection: close\r\n\r\n")
        self._endless(conn)

    def case_other416(self, conn, rng, data):
        self._send(conn, b"HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */5\r\n"
                         b"Connection: close\r\n\r\n")
        self._endless(conn)

    def case_stall(self, conn, rng, data):
        # The right headers, a little of the body, then nothing.
        if rng is None:
            return self.case_good(conn, rng, data)
        body, a, b = self._part(rng, data)
        self._answer(conn, "206 Partial Content",
                     [("Content-Range", f"bytes {a}-{b}/{len(data)}"),
                      ("Content-Length", len(body))], body[:100])
        # Until the command gives up and closes its end.
        conn.settimeout(3 * STALL)
        conn.recv(1)


@unittest.skipUnless(HAS_CURL, NO_CURL_REASON)
class OddAnswerTest(UrlCase):
    """Answers at the edges of what a server may send: the odd but valid
    ones give the file's results, the others fail with their message
    (status 1) without reading a body that is not wanted."""

    @classmethod
    def setUpClass(cls):
        cls.odd = OddServer()

    @classmethod
    def tearDownClass(cls):
        cls.odd.close()

    def lines(self, url, message, algs=("opensubtitles", "shooter")):
        return [re.escape(f"kelhash: {url}: {alg}: ") + message for alg in algs]

    def test_odd_but_valid_answers(self):
        want = {"size": ODD_SIZE, **self.expected(ODD_DATA, "f.avi")}
        for case in ("good", "unitcase", "early", "trailer"):
            with self.subTest(case=case):
                url = self.odd.url(f"/{case}/f.avi")
                r = url_run("--json", url)
                self.assertEqual((r.returncode, r.stderr.decode()), (0, ""))
                self.assertEqual(json.loads(r.stdout), {"file": url, **want})

    def test_refused_answers(self):
        ignored = re.escape("server ignored the Range request")
        cases = [
            ("nocr", re.escape("bad Content-Range: (none)")),
            ("earlynone", re.escape("bad Content-Range: (none)")),
            ("dupfirst", re.escape(f"bad Content-Range: bytes 0-65535/{ODD_SIZE}, "
                                   f"bytes 0-65535/{ODD_SIZE + 1}")),
            ("duplast", re.escape(f"bad Content-Range: bytes 0-65535/{ODD_SIZE + 1}, "
                                  f"bytes 0-65535/{ODD_SIZE}")),
            ("dupsame", re.escape(f"bad Content-Range: bytes 0-65535/{ODD_SIZE}, "
                                  f"bytes 0-65535/{ODD_SIZE}")),
            ("longcr", re.escape("bad Content-Range: bytes 0-65535/") + f"0+{ODD_SIZE}" + r"\S*"),
            ("hugecl", ignored),
            ("pluscl", re.escape("read error: invalid Content-Length: +3")),
            ("pluscl206", re.escape("read error: invalid Content-Length: +65536")),
            ("r2plain", ignored),
            ("other416", re.escape("server answered HTTP 416")),
        ]
        for case, message in cases:
            with self.subTest(case=case):
                url = self.odd.url(f"/{case}/f.avi")
                self.odd.reset()
                self.assert_fails(["--opensubtitles", "--shooter", url], self.lines(url, message))
                # Whatever body followed was not read to its end.
                self.assertLess(self.odd.settled(), 8 << 20)

    def test_md5_of_a_length_too_large_for_64_bits(self):
        # libcurl takes such a length as absent: "abc" would pass for the
        # whole body.
        url = self.odd.url("/hugecl/f.avi")
        self.assert_fails(["--md5", url], self.lines(
            url, re.escape("read error: invalid Content-Length: " + "9" * 23), ("md5",)))

    def test_empty_file_answered_416(self):
        url = self.odd.url("/empty416/f.avi")
        self.odd.reset()
        r, took = timed("--json", url)
        self.assertEqual((r.returncode, r.stderr.decode()), (0, ""))
        self.assertEqual(json.loads(r.stdout), {"file": url, "size": 0,
                                                **self.expected(b"", "f.avi")})
        self.assertLess(took, FAST)
        self.assertLess(self.odd.settled(), 8 << 20)

    def test_md5_of_another_body_than_the_ranges(self):
        url = self.odd.url("/md5other/f.avi")
        exp = self.expected(ODD_DATA, "f.avi")
        self.assert_fails(
            [url], [re.escape(f"kelhash: {url}: md5: read error: 1000 bytes by the plain GET, "
                              f"{ODD_SIZE} by the ranges")],
            stdout=(f"{url}\n  size: {ODD_SIZE}\n  opensubtitles: {exp['opensubtitles']}\n"
                    f"  shooter: {exp['shooter']}\n").encode())

    def test_requests_ask_for_the_bytes_themselves(self):
        url = self.odd.url("/good/f.avi")
        self.odd.reset()
        r = url_run(url)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.odd.settled()
        with self.odd.lock:
            requests = list(self.odd.requests)
        self.assertGreaterEqual(len(requests), 3)  # MD5's GET and both rounds
        for path, headers in requests:
            self.assertEqual(headers.get("accept-encoding"), "identity", path)

    def test_path_without_a_last_segment(self):
        try:
            kelhash.shooter_hash(bytearray(ODD_SMALL))
            self.fail("a small buffer without a name has a Shooter hash")
        except kelhash.KelhashError as e:
            no_name = e.message
        for url in (self.odd.url("/good/dir/"), self.odd.url("/good/dir/?q=a/b.avi"),
                    self.odd.url("")):
            with self.subTest(url=url):
                self.assert_fails(["--shooter", url], [re.escape(
                    f"kelhash: {url}: shooter: {no_name}")])
                r = url_run("--shooter", "--name", "n.avi", url)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                self.assertEqual(r.stdout.decode(),
                                 f"{reference.shooter(ODD_SMALL, 'n.avi')}  {url}\n")
        # A larger file needs no name.
        url = self.odd.url("/good/dir/?big")
        r = url_run("--shooter", url)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(r.stdout.decode(), f"{reference.shooter(ODD_DATA, None)}  {url}\n")

    def test_body_that_stalls(self):
        url = self.odd.url("/stall/f.avi")
        r, took = timed("--opensubtitles", "--timeout", str(STALL), url)
        self.assertEqual(r.returncode, 1)
        self.assertRegex(r.stderr.decode(),
                         "^" + re.escape(f"kelhash: {url}: opensubtitles: read error: ") + r"\S.*\n$")
        self.assertEqual(r.stdout, b"")
        # It waited for the timeout, and not much longer.
        self.assertGreater(took, STALL - 0.5)
        self.assertLess(took, STALL + 10)


class WithoutCurlTest(CommandCase):
    """The command without libcurl: a URL fails with the message saying so,
    and the files given with it are still hashed. Built from the same
    source as a test program where the command itself has libcurl."""

    def commands(self):
        return [NOCURL] if HAS_CURL else sorted({NOCURL, COMMAND})

    def test_url_needs_libcurl(self):
        f = self.write("f.txt", b"abc")
        url = f"http://127.0.0.1:{closed_port()}/files/a.avi"
        for command in self.commands():
            for opts in ([], ["--md5"], ["--json"]):
                with self.subTest(command=command, opts=opts):
                    r = run_with(command, *opts, url, "HTTPS://example.invalid/b", str(f))
                    self.assertEqual(r.returncode, 1)
                    self.assertEqual(r.stderr.decode(),
                                     f"kelhash: {url}: {NEEDS_CURL}\n"
                                     f"kelhash: HTTPS://example.invalid/b: {NEEDS_CURL}\n")
                    out = r.stdout.decode()
                    self.assertNotIn("a.avi", out)
                    self.assertIn(str(f), out)
                    self.assertIn(reference.md5(b"abc"), out)

    def test_help_says_so(self):
        for command in self.commands():
            r = run_with(command, "--help")
            self.assertEqual(r.returncode, 0)
            self.assertIn("URL", r.stdout.decode())
            self.assertIn("need libcurl", r.stdout.decode())


class UrlOperandTest(CommandCase):
    """What counts as a URL."""

    def test_help_mentions_urls(self):
        r = run("--help")
        self.assertEqual(r.returncode, 0)
        self.assertIn("FILE|URL", r.stdout.decode())
        self.assertIn("https://", r.stdout.decode())

    def test_file_named_like_a_url(self):
        # "./http://x" is a path (the directory "http:" and its file "x").
        (self.dir / "http:").mkdir()
        (self.dir / "http:" / "x").write_bytes(b"abc")
        r = run("--md5", "./http://x", cwd=self.dir)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(r.stdout.decode(), f"{reference.md5(b'abc')}  ./http://x\n")


if __name__ == "__main__":
    unittest.main()
