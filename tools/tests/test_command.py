"""Tests of the kelhash command: its three output forms against results
computed from the hashes' definitions and against the library (through the
Python binding), its escaping of file names, its errors and exit statuses.

Environment: KELHASH_COMMAND (the built command), KELHASH_VERSION (the
project version), KELHASH_LIBRARY and PYTHONPATH for the binding and
bindings/python/tests.
"""

import json
import os
import pathlib
import shutil
import subprocess
import tempfile
import unittest

import kelhash
import reference

COMMAND = os.environ["KELHASH_COMMAND"]
VERSION = os.environ.get("KELHASH_VERSION", "1.0.0")
ALGORITHMS = ("opensubtitles", "shooter", "md5")


def run(*args, cwd=None):
    return subprocess.run([COMMAND, *map(os.fsencode, args)], capture_output=True, cwd=cwd)


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
                for off in (0, 4096, size // 3, (size // 3) * 2, size - 8192, size - 200):
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
        try:
            self.write(b"bad\xff.avi", b"small")
        except (OSError, UnicodeError):
            self.skipTest("file system refuses the name")
        r = run("--shooter", b"bad\xff.avi", cwd=self.dir)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, b"kelhash: bad\xff.avi: invalid UTF-8\n")
        r = run("--shooter", "--name", "abc", b"bad\xff.avi", cwd=self.dir)
        self.assertEqual((r.returncode, r.stdout), (0, b"1099313834  bad\xff.avi\n"))

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
    """A failing file is reported with the library's message and the others
    are still hashed; usage errors exit with 2."""

    def test_failing_files_among_good_ones(self):
        good = self.write("good.bin", b"abc")
        missing = self.dir / "missing.bin"
        cases = [(missing, kelhash.md5, "cannot open file")]
        if os.name == "posix":
            cases.append((self.dir, kelhash.md5, None))  # a directory: whatever the library says
        for bad, lib_fn, message in cases:
            if message is None:
                with self.assertRaises(kelhash.KelhashError) as cm:
                    lib_fn(bad)
                message = cm.exception.message
            for opts in (["--md5"], ["--json", "--md5"]):
                with self.subTest(bad=bad.name, opts=opts):
                    r = run(*opts, str(good), str(bad), str(good))
                    self.assertEqual(r.returncode, 1)
                    self.assertEqual(r.stderr.decode(), f"kelhash: {bad}: {message}\n")
                    self.assertEqual(len(r.stdout.decode().splitlines()), 2)
                    self.assertIn("900150983CD24FB0D6963F7D28E17F72", r.stdout.decode())

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
            (["--md5", "-"], f"{digest}  -\n"),         # "-" is a file name
            (["--md5", "--md5", "f"], f"{digest}  f\n"),  # repeated options
        ]
        self.write("f", b"abc")
        for args, want in cases:
            with self.subTest(args=args):
                r = run(*args, cwd=self.dir)
                self.assertEqual((r.returncode, r.stdout.decode()), (0, want), r.stderr)


if __name__ == "__main__":
    unittest.main()
