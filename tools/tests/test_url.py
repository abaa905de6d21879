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
import time
import unittest

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
