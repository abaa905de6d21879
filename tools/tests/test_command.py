"""Tests of the kelhash command: its three output forms against results
computed from the hashes' definitions and against the library (through the
Python binding), its escaping of file names, its errors and exit statuses.

Environment: KELHASH_COMMAND (the built command), KELHASH_VERSION (the
project version), KELHASH_LIBRARY and PYTHONPATH for the binding and the
shared reference module (tests/python).
"""

import errno
import json
import os
import pathlib
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

import kelhash
import reference

COMMAND = os.environ["KELHASH_COMMAND"]
VERSION = os.environ.get("KELHASH_VERSION", "1.0.0")
ALGORITHMS = ("opensubtitles", "shooter", "md5")


# Long enough for every case here; a command that hangs (a FIFO opened twice)
# fails instead of blocking the suite.
TIMEOUT = 60


def run(*args, cwd=None, stdin=subprocess.DEVNULL, input=None, env=None, timeout=TIMEOUT,
        **kwargs):
    """Runs the command; standard input is empty unless given (a pipe fed
    with input, or an open file)."""
    if input is not None:
        stdin = None
    return subprocess.run([COMMAND, *map(os.fsencode, args)], capture_output=True, cwd=cwd,
                          stdin=stdin, input=input, env=env, timeout=timeout, **kwargs)


def piped(data):
    """A runner whose standard input is a pipe that carries data."""
    return lambda *args, **kw: run(*args, input=data, **kw)


def redirected(path, offset=0):
    """A runner whose standard input is the file at path, positioned at offset."""
    def go(*args, **kw):
        with open(path, "rb") as f:
            f.seek(offset)
            return run(*args, stdin=f, **kw)
    return go


def fifo_fed(fifo, data):
    """A runner for a command that opens the FIFO by name: a writer thread
    opens it (which waits for the command to open it), writes data and
    closes. A command that never opens it, or stops reading, must not leave
    the writer blocked, so the FIFO is then opened once more to release it."""
    def go(*args, **kw):
        def writer():
            try:
                with open(fifo, "wb") as w:
                    w.write(data)
            except OSError:
                pass  # the command closed its end early
        t = threading.Thread(target=writer, daemon=True)
        t.start()
        try:
            return run(*args, timeout=20, **kw)
        finally:
            if t.is_alive():
                try:
                    fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
                except OSError:
                    fd = None
                t.join(10)
                if fd is not None:
                    os.close(fd)
            t.join(10)
    return go


def parse_blocks(text):
    """The block form: a line naming the file, then indented "key: value"."""
    blocks = []
    for line in text.splitlines():
        if line.startswith("  "):
            key, _, value = line.strip().partition(": ")
            blocks[-1][1][key] = value
        else:
            blocks.append((line, {}))
    return blocks


class CommandCase(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory(prefix="kelhash-cmd-")
        self.dir = pathlib.Path(self._dir.name)

    def tearDown(self):
        self._dir.cleanup()

    def write(self, name, data):
        path = self.dir / os.fsdecode(name)
        path.write_bytes(data)
        return path

    def expected(self, data, name):
        return {"opensubtitles": reference.opensubtitles(data),
                "shooter": reference.shooter(data, name),
                "md5": reference.md5(data)}

    def assert_every_form(self, runner, operand, data, name, shown=None):
        """Each algorithm alone in md5sum's form, all three in a block and in
        JSON, for one operand whose bytes are data; name is the Shooter
        fallback name and shown the name the output gives (the operand)."""
        exp = self.expected(data, name)
        shown = operand if shown is None else shown
        for alg in ALGORITHMS:
            with self.subTest(alg=alg):
                r = runner(f"--{alg}", operand)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                self.assertEqual(r.stdout.decode(), f"{exp[alg]}  {shown}\n")
        with self.subTest(form="blocks"):
            r = runner(operand)
            self.assertEqual((r.returncode, r.stderr), (0, b""))
            self.assertEqual(parse_blocks(r.stdout.decode()),
                             [(shown, {"size": str(len(data)), **exp})])
        with self.subTest(form="json"):
            r = runner("--json", operand)
            self.assertEqual((r.returncode, r.stderr), (0, b""))
            self.assertEqual(json.loads(r.stdout), {"file": shown, "size": len(data), **exp})


class OutputFormsTest(CommandCase):
    """Files of boundary sizes in each form; every value equals both the
    reference and what the library gives through the binding."""

    def setUp(self):
        super().setUp()
        self.files = []
        for size in reference.BOUNDARY_SIZES:
            data = reference.data_of_size(size, seed=3)
            path = self.write(f"clip-{size}.avi", data)
            expected = self.expected(data, path.name)
            library = {"opensubtitles": kelhash.opensubtitles_hash(path),
                       "shooter": kelhash.shooter_hash(path, path.name),
                       "md5": kelhash.md5(path)}
            self.assertEqual(library, expected, f"library and reference, {size} bytes")
            self.files.append((str(path), size, expected))

    def test_single_algorithm_lines(self):
        paths = [p for p, _, _ in self.files]
        for alg in ALGORITHMS:
            with self.subTest(alg):
                r = run(f"--{alg}", *paths)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                want = "".join(f"{exp[alg]}  {p}\n" for p, _, exp in self.files)
                self.assertEqual(r.stdout.decode(), want)

    def test_blocks_for_all_and_for_chosen_algorithms(self):
        paths = [p for p, _, _ in self.files]
        for chosen in [(), ("md5", "shooter"), ("opensubtitles", "md5"),
                       ("shooter", "opensubtitles", "md5")]:
            with self.subTest(chosen=chosen):
                r = run(*[f"--{a}" for a in chosen], *paths)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                shown = [a for a in ALGORITHMS if a in chosen or not chosen]
                want = [(p, {"size": str(size), **{a: exp[a] for a in shown}})
                        for p, size, exp in self.files]
                blocks = parse_blocks(r.stdout.decode())
                self.assertEqual(blocks, want)
                for _, fields in blocks:
                    self.assertEqual(list(fields), ["size"] + shown)

    def test_json_lines(self):
        paths = [p for p, _, _ in self.files]
        for chosen in [(), ("shooter",), ("md5", "opensubtitles")]:
            with self.subTest(chosen=chosen):
                r = run("--json", *[f"--{a}" for a in chosen], *paths)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                lines = r.stdout.decode("utf-8").splitlines()
                self.assertEqual(len(lines), len(self.files))
                shown = [a for a in ALGORITHMS if a in chosen or not chosen]
                for line, (p, size, exp) in zip(lines, self.files):
                    obj = json.loads(line)
                    self.assertEqual(list(obj), ["file", "size"] + shown)
                    self.assertEqual(obj, {"file": p, "size": size,
                                           **{a: exp[a] for a in shown}})

    def test_md5sum_checks_the_single_md5_form(self):
        md5sum = shutil.which("md5sum")
        if md5sum is None:
            self.skipTest("md5sum not available")
        self.write("odd\\name", b"backslash")
        self.write("line\nbreak", b"newline")
        r = run("--md5", "odd\\name", "line\nbreak", *[p for p, _, _ in self.files],
                cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        check = subprocess.run([md5sum, "--strict", "-c", "-"], input=r.stdout, cwd=self.dir,
                               capture_output=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)


class LargeFileTest(CommandCase):
    """A sparse file beyond 4 GiB: the size and the block offsets need 64
    bits in the command and in the library."""

    def test_sparse_file_above_4_gib(self):
        size = (5 << 30) + 12345
        path = self.dir / "large.bin"
        try:
            with open(path, "wb") as f:
                f.truncate(size)
                for off in (0, *reference.shooter_offsets(size), size - 200):
                    f.seek(off)
                    f.write(reference.data_of_size(200, seed=off))
        except OSError as e:
            self.skipTest(f"no sparse file of {size} bytes here: {e}")
        r = run("--json", "--opensubtitles", "--shooter", str(path))
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(json.loads(r.stdout), {
            "file": str(path), "size": size,
            "opensubtitles": reference.opensubtitles_of_file(path),
            "shooter": reference.shooter_of_file(path, None)})


class GoldenTest(CommandCase):
    """The golden files (tests/golden) shared by every suite, all of them in
    one call, with the fallback name their Shooter column was computed with."""

    def test_golden_files(self):
        name, files = reference.golden_files()
        self.assertTrue(files)
        r = run("--json", "--name", name, *[str(g["path"]) for g in files])
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        got = [json.loads(line) for line in r.stdout.decode("utf-8").splitlines()]
        self.assertEqual(got, [{"file": str(g["path"]), "size": g["size"],
                                **{a: g[a] for a in ALGORITHMS}} for g in files])


class NamesTest(CommandCase):
    """The Shooter fallback name, and how file names are written."""

    def test_fallback_name(self):
        sub = self.dir / "sub"
        sub.mkdir()
        small = self.write("sub/movie.avi", b"small file")
        large = self.write("large.avi", reference.data_of_size(9000))
        cases = [
            ([], small, "1654360774"),                 # the base name, movie.avi
            (["--name", "abc"], small, "1099313834"),
            (["--name=abc"], small, "1099313834"),
            (["--name", ""], small, "371857150"),
            (["--name", "abc"], large, reference.shooter(large.read_bytes(), None)),
        ]
        for opts, path, want in cases:
            with self.subTest(opts=opts, path=path.name):
                r = run("--shooter", *opts, str(path))
                self.assertEqual((r.returncode, r.stdout.decode()), (0, f"{want}  {path}\n"),
                                 r.stderr)
        r = run("--shooter", "movie.avi", cwd=sub)
        self.assertEqual(r.stdout.decode(), "1654360774  movie.avi\n")

    def test_json_escapes_file_names(self):
        names = [b'quote"d', b"back\\slash", b"tab\tnew\nline\rcr", b"ctl\x01\x1f\x7f",
                 "caf\u00e9 \U0001F600".encode(), b"bad\xff\xfe", b"cut\xe2\x82",
                 b"surrogate\xed\xa0\x80", b"overlong\xc0\xaf", b"lead\xe2\x82x"]
        made = []
        for raw in names:
            try:
                self.write(raw, raw)
            except (OSError, UnicodeError):
                continue
            made.append(raw)
        self.assertGreater(len(made), 4)
        r = run("--json", "--md5", "--opensubtitles", *made, cwd=self.dir)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        lines = r.stdout.split(b"\n")
        self.assertEqual(lines[-1], b"")
        for raw, line in zip(made, lines):
            with self.subTest(name=raw):
                text = line.decode("utf-8")  # the output itself is UTF-8
                self.assertFalse(any(ord(c) < 0x20 for c in text))
                obj = json.loads(text)
                self.assertEqual(obj["file"], raw.decode("utf-8", "replace"))
                self.assertEqual(obj["md5"], reference.md5(raw))

    def test_non_utf8_base_name_of_a_small_file(self):
        # The Shooter hash of a small file is its name's, and this name has
        # none; the other results do not depend on it and are printed, the
        # Shooter failure is reported with the library's message, exit 1.
        bad = b"bad\xff.avi"
        try:
            self.write(bad, b"small")
        except (OSError, UnicodeError):
            self.skipTest("file system refuses the name")
        good = self.write("good.avi", b"other")
        exp = {"opensubtitles": reference.opensubtitles(b"small"), "md5": reference.md5(b"small")}
        good_exp = self.expected(b"other", "good.avi")
        shown = bad.decode("utf-8", "replace")
        failure = b"kelhash: bad\xff.avi: shooter: invalid UTF-8\n"

        r = run("--shooter", "good.avi", bad, "good.avi", cwd=self.dir)
        self.assertEqual((r.returncode, r.stderr), (1, failure))
        self.assertEqual(r.stdout.decode(), f"{good_exp['shooter']}  good.avi\n" * 2)
        for alg in ("md5", "opensubtitles"):
            with self.subTest(alg=alg):
                r = run(f"--{alg}", bad, cwd=self.dir)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                self.assertEqual(r.stdout, f"{exp[alg]}  ".encode() + bad + b"\n")

        r = run(bad, "good.avi", cwd=self.dir)
        self.assertEqual((r.returncode, r.stderr), (1, failure))
        blocks = parse_blocks(r.stdout.decode("utf-8", "surrogateescape"))
        self.assertEqual(blocks, [
            (os.fsdecode(bad), {"size": "5", "opensubtitles": exp["opensubtitles"],
                                "md5": exp["md5"]}),
            (good.name, {"size": "5", **good_exp})])

        for chosen, keys in [((), ["opensubtitles", "md5"]), (("shooter", "md5"), ["md5"]),
                             (("shooter",), [])]:
            with self.subTest(json=chosen):
                r = run("--json", *[f"--{a}" for a in chosen], bad, cwd=self.dir)
                self.assertEqual((r.returncode, r.stderr), (1, failure))
                obj = json.loads(r.stdout)
                self.assertEqual(list(obj), ["file", "size"] + keys)
                self.assertEqual(obj, {"file": shown, "size": 5, **{k: exp[k] for k in keys}})

        r = run("--shooter", "--name", "abc", bad, cwd=self.dir)
        self.assertEqual((r.returncode, r.stdout), (0, b"1099313834  bad\xff.avi\n"))

    def test_non_utf8_name_option(self):
        # The same failure through --name; a large file does not use the name.
        small = self.write("small.avi", b"small")
        large = self.write("large.avi", reference.data_of_size(9000))
        r = run("--name", b"\xff", str(small), str(large))
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr.decode(), f"kelhash: {small}: shooter: invalid UTF-8\n")
        blocks = parse_blocks(r.stdout.decode())
        self.assertEqual([list(fields) for _, fields in blocks],
                         [["size", "opensubtitles", "md5"], ["size", *ALGORITHMS]])
        self.assertEqual(blocks[1][1]["shooter"], reference.shooter(large.read_bytes(), None))

    def test_single_form_escapes_like_md5sum(self):
        cases = [("plain name", "plain name"), ("back\\slash", "\\back\\\\slash"),
                 ("two\nlines", "\\two\\nlines"), ("cr\rname", "\\cr\\rname")]
        for name, shown in cases:
            with self.subTest(name=name):
                self.write(name, b"abc")
                r = run("--md5", name, cwd=self.dir)
                digest = "900150983CD24FB0D6963F7D28E17F72"
                if shown.startswith("\\"):
                    want = f"\\{digest}  {shown[1:]}\n"
                else:
                    want = f"{digest}  {shown}\n"
                self.assertEqual(r.stdout.decode(), want)


class FailuresTest(CommandCase):
    """A failing file is reported with the library's message for the step
    that failed and the system's reason, and the others are still hashed;
    usage errors exit with 2."""

    def test_failing_files_among_good_ones(self):
        good = self.write("good.bin", b"abc")
        cases = [(self.dir / "missing.bin", "cannot open file", errno.ENOENT),
                 (good / "below", "cannot open file", errno.ENOTDIR)]
        if sys.platform.startswith("linux"):
            # Opening a directory for reading succeeds there; reading fails.
            cases.append((self.dir, "read error", errno.EISDIR))
        if os.name == "posix" and os.geteuid() != 0:
            locked = self.write("locked.bin", b"abc")
            locked.chmod(0)
            cases.append((locked, "cannot open file", errno.EACCES))
        for bad, message, err in cases:
            for opts in (["--md5"], ["--json", "--md5"], [], ["--shooter", "--opensubtitles"]):
                with self.subTest(bad=bad.name, opts=opts):
                    r = run(*opts, str(good), str(bad), str(good))
                    self.assertEqual(r.returncode, 1)
                    self.assertEqual(r.stderr.decode(),
                                     f"kelhash: {bad}: {message}: {os.strerror(err)}\n")
                    out = r.stdout.decode()
                    if opts == ["--md5"]:
                        self.assertEqual(out, f"900150983CD24FB0D6963F7D28E17F72  {good}\n" * 2)
                    elif "--json" in opts:
                        self.assertEqual([json.loads(line)["file"] for line in out.splitlines()],
                                         [str(good)] * 2)
                    else:
                        self.assertEqual([p for p, _ in parse_blocks(out)], [str(good)] * 2)

    def test_first_failing_algorithm_reports(self):
        # All algorithms on a missing file: one message, not one per algorithm.
        r = run(str(self.dir / "missing"))
        self.assertEqual((r.returncode, r.stdout), (1, b""))
        self.assertEqual(r.stderr.decode().count("\n"), 1)
        self.assertIn(": cannot open file", r.stderr.decode())

    def test_usage_errors(self):
        f = str(self.write("f", b"abc"))
        cases = [
            ([], "no files"),
            (["--md5"], "no files"),
            (["--json"], "no files"),
            (["--bogus", f], "--bogus"),
            (["-x", f], "-x"),
            ([f, "--md"], "--md"),
            ([f, "--name"], "--name"),
            ([f, "--timeout"], "--timeout"),
            (["--timeout", "0", f], "invalid timeout '0'"),
            (["--timeout=1.5", f], "invalid timeout '1.5'"),
            (["--timeout", "86401", f], "invalid timeout '86401'"),
            (["--timeout", "-3", f], "invalid timeout '-3'"),
        ]
        for args, mentioned in cases:
            with self.subTest(args=args):
                r = run(*args)
                self.assertEqual((r.returncode, r.stdout), (2, b""))
                self.assertIn(mentioned, r.stderr.decode())
                self.assertIn("--help", r.stderr.decode())

    def test_write_error_is_a_failure(self):
        if not os.path.exists("/dev/full"):
            self.skipTest("no /dev/full")
        f = str(self.write("f", b"abc"))
        with open("/dev/full", "wb") as full:
            r = subprocess.run([COMMAND, f], stdout=full, stderr=subprocess.PIPE)
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"write error", r.stderr)


class OptionsTest(CommandCase):
    def test_help_and_version(self):
        r = run("--help")
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        for option in ("--opensubtitles", "--shooter", "--md5", "--name", "--json", "--help",
                       "--version", "Usage: kelhash"):
            self.assertIn(option, r.stdout.decode())
        r = run("--version")
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, f"kelhash {VERSION}\n".encode(),
                                                              b""))

    def test_operands_and_option_order(self):
        self.write("--md5", b"abc")
        self.write("-", b"abc")
        digest = "900150983CD24FB0D6963F7D28E17F72"
        cases = [
            (["f", "--md5"], f"{digest}  f\n"),        # options after files
            (["--md5", "--", "--md5"], f"{digest}  --md5\n"),
            (["--md5", "./-"], f"{digest}  ./-\n"),     # the file named "-"
            (["--md5", "--md5", "f"], f"{digest}  f\n"),  # repeated options
        ]
        self.write("f", b"abc")
        for args, want in cases:
            with self.subTest(args=args):
                r = run(*args, cwd=self.dir)
                self.assertEqual((r.returncode, r.stdout.decode()), (0, want), r.stderr)


class StdinTest(CommandCase):
    """"-" is standard input: a pipe is read once (the fingerprints through a
    temporary file), a redirected file is hashed as that file."""

    SIZES = [0, 3, 8192, 8193, 65537, 3 << 20]

    def test_pipe(self):
        for size in self.SIZES:
            data = b"abc" if size == 3 else random.Random(size).randbytes(size)
            with self.subTest(size=size):
                self.assert_every_form(piped(data), "-", data, "-")

    def test_redirected_file(self):
        for size in self.SIZES:
            data = reference.data_of_size(size, seed=5)
            path = self.write(f"in-{size}.bin", data)
            with self.subTest(size=size):
                self.assert_every_form(redirected(path), "-", data, "-")

    def test_redirected_file_is_hashed_whole(self):
        # Like a named file, whatever position the shell left it at.
        data = reference.data_of_size(70000, seed=6)
        path = self.write("in.bin", data)
        r = redirected(path, offset=1000)("--json", "-")
        self.assertEqual(json.loads(r.stdout),
                         {"file": "-", "size": len(data), **self.expected(data, "-")})

    def test_named_files_and_stdin_together(self):
        # "./-" is the file named "-"; "-" again after the end of a pipe is
        # the empty rest of it, as md5sum reads it.
        self.write("-", b"the file")
        r = run("--md5", "./-", "-", "-", cwd=self.dir, input=b"the pipe")
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(r.stdout.decode(),
                         f"{reference.md5(b'the file')}  ./-\n"
                         f"{reference.md5(b'the pipe')}  -\n{reference.md5(b'')}  -\n")
        r = run("--json", "./-", "-", cwd=self.dir, input=b"the pipe")
        self.assertEqual([json.loads(line) for line in r.stdout.splitlines()], [
            {"file": "./-", "size": 8, **self.expected(b"the file", "-")},
            {"file": "-", "size": 8, **self.expected(b"the pipe", "-")}])

    def test_md5sum_checks_stdin(self):
        md5sum = shutil.which("md5sum")
        if md5sum is None:
            self.skipTest("md5sum not available")
        data = random.Random(9).randbytes(100000)
        r = run("--md5", "-", input=data)
        self.assertEqual(r.returncode, 0, r.stderr)
        sums = self.write("sums", r.stdout)
        check = subprocess.run([md5sum, "--strict", "-c", str(sums)], input=data,
                               capture_output=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

    def test_spool_goes_to_tmpdir_and_only_for_fingerprints(self):
        data = random.Random(10).randbytes(200000)
        exp = self.expected(data, "-")
        spool = self.dir / "spool"
        spool.mkdir()
        env = dict(os.environ, TMPDIR=str(spool))
        r = run("--json", "-", input=data, env=env)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(json.loads(r.stdout), {"file": "-", "size": len(data), **exp})
        self.assertEqual(list(spool.iterdir()), [])  # unlinked: nothing stays

        # Where no temporary file can be made, MD5 of a pipe needs none; the
        # fingerprints are reported missing, the MD5 and the size stand.
        env["TMPDIR"] = str(self.dir / "missing")
        r = run("--md5", "-", input=data, env=env)
        self.assertEqual((r.returncode, r.stdout.decode()), (0, f"{exp['md5']}  -\n"))
        r = run("--json", "-", input=data, env=env)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr.decode(), "kelhash: -: cannot create temporary file: "
                                            f"{os.strerror(errno.ENOENT)}\n")
        self.assertEqual(json.loads(r.stdout), {"file": "-", "size": len(data),
                                                "md5": exp["md5"]})
        # An empty pipe needs no temporary file at all.
        r = run("--json", "-", input=b"", env=env)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(json.loads(r.stdout), {"file": "-", "size": 0,
                                                **self.expected(b"", "-")})

    def test_memory_stays_bounded_for_a_large_pipe(self):
        # The peak resident size of the command, from a small pipe and from
        # one of 64 MiB with every algorithm: the stream goes through fixed
        # buffers and the temporary file, not into memory.
        try:
            import resource
        except ImportError:
            self.skipTest("no resource module")

        def peak(size):
            probe = ("import resource, subprocess, sys\n"
                     "p = subprocess.Popen([sys.argv[1], '-'], stdin=subprocess.PIPE,"
                     " stdout=subprocess.DEVNULL)\n"
                     "chunk = bytes(range(256)) * 4096\n"
                     "for _ in range(int(sys.argv[2]) // len(chunk)):\n"
                     "    p.stdin.write(chunk)\n"
                     "p.stdin.close()\n"
                     "assert p.wait() == 0\n"
                     "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n")
            env = dict(os.environ, TMPDIR=str(self.dir))
            out = subprocess.run([sys.executable, "-c", probe, COMMAND, str(size)], env=env,
                                 capture_output=True, check=True, timeout=TIMEOUT).stdout
            return int(out) * (1 if sys.platform == "darwin" else 1024)

        small, large = peak(1 << 20), peak(64 << 20)
        self.assertLess(large - small, 16 << 20, (small, large))


@unittest.skipUnless(hasattr(os, "mkfifo"), "no FIFOs here")
class FifoTest(CommandCase):
    """A FIFO given by name is opened and read once; its size is what was
    read."""

    def test_every_form(self):
        for size in (5, 200003):
            data = random.Random(size).randbytes(size)
            fifo = self.dir / f"fifo-{size}"
            os.mkfifo(fifo)
            with self.subTest(size=size):
                self.assert_every_form(fifo_fed(fifo, data), str(fifo), data, fifo.name)

    def test_json_md5(self):
        data = random.Random(1).randbytes(300000)
        fifo = self.dir / "ff"
        os.mkfifo(fifo)
        r = fifo_fed(fifo, data)("--json", "--md5", "ff", cwd=self.dir)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(json.loads(r.stdout),
                         {"file": "ff", "size": len(data), "md5": reference.md5(data)})

    def test_descriptors_are_closed(self):
        # Thirty FIFOs, every one spooled, under a limit of 16 descriptors:
        # a stream or temporary file left open per operand runs out.
        try:
            import resource
        except ImportError:
            self.skipTest("no resource module")
        fifos, payloads = [], []
        for i in range(30):
            fifos.append(self.dir / f"f{i}")
            os.mkfifo(fifos[-1])
            payloads.append(random.Random(i).randbytes(10000 + i))

        def writer():
            for fifo, data in zip(fifos, payloads):
                try:
                    with open(fifo, "wb") as w:
                        w.write(data)
                except OSError:
                    return

        def limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (16, 16))

        t = threading.Thread(target=writer, daemon=True)
        t.start()
        missing = self.dir / "missing"
        args = [x for f in fifos for x in (str(f), str(missing), str(self.dir))]
        try:
            r = run("--json", *args, preexec_fn=limit)
        finally:
            for fifo in fifos:  # release a writer the command left waiting
                if t.is_alive():
                    try:
                        os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))
                    except OSError:
                        pass
            t.join(10)
        self.assertEqual(r.returncode, 1)
        got = [json.loads(line) for line in r.stdout.splitlines()]
        self.assertEqual(got, [{"file": str(f), "size": len(d), **self.expected(d, f.name)}
                               for f, d in zip(fifos, payloads)])
        reasons = (f"kelhash: {missing}: cannot open file: {os.strerror(errno.ENOENT)}\n"
                   f"kelhash: {self.dir}: read error: {os.strerror(errno.EISDIR)}\n")
        if sys.platform.startswith("linux"):
            self.assertEqual(r.stderr.decode(), reasons * 30)


class SizeConsistencyTest(CommandCase):
    """Every result of a file and the size printed with them describe the
    same bytes, also while the file grows."""

    def test_file_growing_while_hashed(self):
        base = reference.data_of_size(8 << 20, seed=11)
        path = self.write("growing.bin", base)
        stop = threading.Event()

        def appender():
            extra = random.Random(12).randbytes(1 << 16)
            with open(path, "ab") as f:
                for _ in range(1024):  # at most 64 MiB more
                    if stop.is_set():
                        return
                    f.write(extra)
                    f.flush()

        for opts in ([], ["--json"], ["--json", "--md5"], ["--md5", "--opensubtitles"]):
            with self.subTest(opts=opts):
                with open(path, "r+b") as f:
                    f.truncate(len(base))
                stop.clear()
                t = threading.Thread(target=appender)
                t.start()
                try:
                    r = run(*opts, str(path))
                finally:
                    stop.set()
                    t.join()
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                if "--json" in opts:
                    fields = json.loads(r.stdout)
                    del fields["file"]
                else:
                    [(_, fields)] = parse_blocks(r.stdout.decode())
                size = int(fields.pop("size"))
                self.assertGreaterEqual(size, len(base))
                with open(path, "rb") as f:
                    seen = f.read(size)  # the file only grew: these bytes stand
                self.assertEqual(fields, {a: v for a, v in self.expected(seen, path.name).items()
                                          if a in fields})


if __name__ == "__main__":
    unittest.main()
