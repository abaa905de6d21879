"""Tests of the Python binding against results computed from the hashes'
definitions (reference.py, hashlib) on files and buffers of boundary sizes.

Run with KELHASH_LIBRARY naming the built library and the binding and the
shared reference module (tests/python) on PYTHONPATH, e.g.
``PYTHONPATH=bindings/python:tests/python python3 -m unittest discover -s
bindings/python/tests``.
"""

import array
import ctypes
import ctypes.util
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import warnings

import kelhash
import reference

HERE = pathlib.Path(__file__).resolve().parent
HEADER = pathlib.Path(os.environ.get("KELHASH_HEADER",
                                     HERE.parent.parent.parent / "include" / "kelhash.h"))
# The committed list of the library's exported functions.
EXPORTS = HERE.parent.parent.parent / "tests" / "abi" / "exports.txt"


class TempDirCase(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory(prefix="kelhash-py-")
        self.dir = pathlib.Path(self._dir.name)

    def tearDown(self):
        self._dir.cleanup()

    def write(self, name, data):
        path = self.dir / name
        path.write_bytes(data)
        return path


class SignatureTest(unittest.TestCase):
    """The argument and result types agree with the public header."""

    C_TYPES = {
        "const void *": ctypes.c_void_p,
        "const char *": ctypes.c_char_p,
        "char *": ctypes.c_char_p,
        "uint64_t": ctypes.c_uint64,
        "int64_t": ctypes.c_int64,
        "int32_t": ctypes.c_int32,
        "int32_t *": ctypes.POINTER(ctypes.c_int32),
    }

    def declarations(self):
        text = HEADER.read_text(encoding="utf-8")
        found = {}
        for ret, name, params in re.findall(
                r"^KELHASH_API\s+([^;(#]*?)\s*\b(kelhash_\w+)\s*\(([^)]*)\)\s*;", text, re.M):
            params = " ".join(params.split())
            args = [] if params == "void" else [
                re.sub(r"\s*\w+$", "", p.strip()) for p in params.split(",")]
            found[name] = (ret.strip(), args)
        return found

    def test_every_function_matches_the_header(self):
        decls = self.declarations()
        exports = [l.strip() for l in EXPORTS.read_text(encoding="utf-8").splitlines()]
        exports = sorted(l for l in exports if l and not l.startswith("#"))
        # The header, the exports list and the binding name the same functions.
        self.assertEqual(sorted(decls), exports)
        self.assertEqual(sorted(name for name, _, _ in kelhash._FUNCTIONS), exports)
        for name, (ret, args) in decls.items():
            with self.subTest(name):
                fn = getattr(kelhash._lib, name)
                self.assertEqual(fn.restype, self.C_TYPES[ret])
                self.assertEqual(fn.argtypes, [self.C_TYPES[a] for a in args])


class KnownValuesTest(unittest.TestCase):
    """Values that follow from the definitions by hand (RFC 1321's test
    suite for MD5)."""

    def test_md5_rfc1321_suite(self):
        cases = [
            (b"", "D41D8CD98F00B204E9800998ECF8427E"),
            (b"a", "0CC175B9C0F1B6A831C399E269772661"),
            (b"abc", "900150983CD24FB0D6963F7D28E17F72"),
            (b"message digest", "F96B697D7CB7938D525A2F31AAF161D0"),
            (b"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"),
            (b"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
             "57EDF4A22BE3C955AC49DA2E2107B67A"),
        ]
        for data, digest in cases:
            with self.subTest(data=data):
                self.assertEqual(kelhash.md5(data), digest)

    def test_opensubtitles_small_images(self):
        cases = [
            (b"", "0000000000000000"),
            (b"a", "00000000000000c3"),
            (b"abcdefgh", "d0cecccac8c6c4ca"),
            (b"abcdefghi", "d0cecccac8c6c59d"),
            (b"\xff" * 8, "0000000000000006"),
            (bytes(65536), "0000000000010000"),
            (b"\x01" + bytes(65536), "0000000000010002"),
            (bytes(65536) + b"\x01", "0100000000010001"),
        ]
        for data, expected in cases:
            with self.subTest(size=len(data), head=data[:2]):
                self.assertEqual(kelhash.opensubtitles_hash(data), expected)

    def test_stable_hash_values(self):
        cases = [
            ("", 371857150), ("a", 372029373), ("abc", 1099313834), ("abcd", 1664220650),
            ("\u00e9", 372029253), ("\u20ac", 372020994), ("\U0001F600", 1126268081),
            ("caf\u00e9", 1758328799), ("movie.avi", 1654360774),
            ("paiafiam", 0), ("lavhlklj", 0), ("paiafifm", 2147483647),
        ]
        for text, value in cases:
            with self.subTest(text=text):
                self.assertEqual(kelhash.stable_hash(text), value)
                self.assertEqual(kelhash.stable_hash(text.encode("utf-8")), value)


class SourceKindsTest(TempDirCase):
    """Every function on files and buffers of boundary sizes, through every
    kind of source, against the reference results."""

    NAME = "Movie \u00e9t\u00e9.mkv"

    def sources(self, data, path):
        """The same bytes as a path (str, PathLike) and as each kind of
        bytes-like object."""
        padded = bytearray(b"xx" + data + b"yy")
        return [
            ("str path", str(path)),
            ("PathLike", path),
            ("bytes", data),
            ("bytearray", bytearray(data)),
            ("memoryview of bytes", memoryview(data)),
            ("read-only slice", memoryview(b"xx" + data + b"yy")[2:2 + len(data)]),
            ("writable slice", memoryview(padded)[2:2 + len(data)]),
            ("strided", memoryview(bytes(b for x in data for b in (x, 0)))[::2]),
        ]

    def test_all_hashes_agree_with_the_reference(self):
        for size in reference.BOUNDARY_SIZES:
            data = reference.data_of_size(size)
            path = self.write(f"f{size}.bin", data)
            expected = (reference.opensubtitles(data), reference.shooter(data, self.NAME),
                        reference.md5(data))
            for kind, src in self.sources(data, path):
                with self.subTest(size=size, source=kind):
                    got = (kelhash.opensubtitles_hash(src),
                           kelhash.shooter_hash(src, fallback_name=self.NAME),
                           kelhash.md5(src))
                    self.assertEqual(got, expected)

    def test_non_byte_formats_hash_their_bytes(self):
        values = array.array("i", range(3000))  # 12000 bytes: a real Shooter hash
        raw = values.tobytes()
        self.assertEqual(kelhash.md5(values), reference.md5(raw))
        self.assertEqual(kelhash.opensubtitles_hash(values), reference.opensubtitles(raw))
        self.assertEqual(kelhash.shooter_hash(memoryview(values)), reference.shooter(raw, None))

    def test_fallback_name_kinds(self):
        for name in ["", "movie.avi", "\U0001F600 \u00e9", b"caf\xc3\xa9", bytearray(b"abc")]:
            with self.subTest(name=name):
                expected = str(reference.stable_hash(bytes(name) if not isinstance(name, str)
                                                     else name))
                self.assertEqual(kelhash.shooter_hash(b"tiny", name), expected)
                self.assertEqual(kelhash.shooter_hash(self.write("s", b"tiny"), name), expected)
                self.assertEqual(kelhash.shooter_hash_chunks([None] * 4, 4, name), expected)

    def test_bytes_name_of_a_path_through_fsdecode(self):
        raw = os.fsencode(str(self.dir)) + b"/name-\xff\xfe.bin"
        try:
            with open(raw, "wb") as f:
                f.write(b"abc")
        except (OSError, UnicodeError) as e:
            self.skipTest(f"file system refuses the name: {e}")
        self.assertEqual(kelhash.md5(pathlib.Path(os.fsdecode(raw))),
                         "900150983CD24FB0D6963F7D28E17F72")

    def test_writable_buffers_are_released_after_the_call(self):
        data = bytearray(reference.data_of_size(9000))
        before = bytes(data)
        kelhash.md5(data)
        kelhash.shooter_hash(data)
        kelhash.opensubtitles_hash_chunks(data, data, len(data))
        self.assertEqual(bytes(data), before)
        data.extend(b"more")  # raises BufferError while a view is still exported
        self.assertEqual(kelhash.md5(data), reference.md5(before + b"more"))


class ChunksTest(unittest.TestCase):
    """The chunk functions on ranges cut from the same images."""

    def test_opensubtitles_head_and_tail(self):
        for size in reference.BOUNDARY_SIZES:
            data = reference.data_of_size(size)
            expected = reference.opensubtitles(data)
            m = min(size, 65536)
            cases = [
                ("exact ranges", data[:m], data[size - m:]),
                ("whole image twice", data, data),
                ("longer buffers", data[:m] + b"junk", b"junk" + data[size - m:]),
                ("writable", bytearray(data[:m]), memoryview(bytearray(data[size - m:]))),
            ]
            for kind, head, tail in cases:
                with self.subTest(size=size, kind=kind):
                    self.assertEqual(kelhash.opensubtitles_hash_chunks(head, tail, size), expected)

    def test_opensubtitles_empty_file_takes_none(self):
        self.assertEqual(kelhash.opensubtitles_hash_chunks(None, None, 0), "0000000000000000")

    def test_shooter_blocks(self):
        for size in [s for s in reference.BOUNDARY_SIZES if s > 8192]:
            data = reference.data_of_size(size)
            expected = reference.shooter(data, None)
            blocks = reference.shooter_blocks(data)
            variants = [("as read", blocks),
                        ("bytearrays", [bytearray(b) for b in blocks])]
            if len(blocks[1]) < 4096:
                variants.append(("short block omitted", [blocks[0], None, blocks[2], blocks[3]]))
                variants.append(("short block as 4096 bytes",
                                 [blocks[0], bytes(4096), blocks[2], blocks[3]]))
            for kind, bl in variants:
                with self.subTest(size=size, kind=kind):
                    self.assertEqual(kelhash.shooter_hash_chunks(bl, size), expected)
                    self.assertEqual(kelhash.shooter_hash_chunks(tuple(bl), size, "ignored"),
                                     expected)

    def test_shooter_small_sizes_take_the_name(self):
        for size in (0, 1, 8192):
            with self.subTest(size=size):
                self.assertEqual(kelhash.shooter_hash_chunks([None] * 4, size, "abc"),
                                 "1099313834")


class GoldenTest(unittest.TestCase):
    """The golden files (tests/golden) shared by every suite, through paths,
    bytes and the chunk functions."""

    def test_files(self):
        name, files = reference.golden_files()
        self.assertTrue(files)
        for g in files:
            data = g["path"].read_bytes()
            size = len(data)
            self.assertEqual(size, g["size"])
            m = min(size, 65536)
            blocks = reference.shooter_blocks(data) if size > 8192 else [None] * 4
            for src, kind in ((g["path"], "path"), (data, "bytes")):
                with self.subTest(file=g["path"].name, source=kind):
                    self.assertEqual(kelhash.md5(src), g["md5"])
                    self.assertEqual(kelhash.opensubtitles_hash(src), g["opensubtitles"])
                    self.assertEqual(kelhash.shooter_hash(src, name), g["shooter"])
            with self.subTest(file=g["path"].name, source="chunks"):
                self.assertEqual(kelhash.opensubtitles_hash_chunks(data[:m], data[size - m:], size),
                                 g["opensubtitles"])
                self.assertEqual(kelhash.shooter_hash_chunks(blocks, size, name), g["shooter"])

    def test_stable_hashes(self):
        texts = reference.golden_texts()
        self.assertTrue(texts)
        for text, value in texts:
            with self.subTest(text=text):
                self.assertEqual(kelhash.stable_hash(text), value)


class ErrorsTest(TempDirCase):
    """Failures of the library arrive as KelhashError with its status and
    message; wrong Python arguments as the usual Python exceptions."""

    def test_library_failures(self):
        missing = str(self.dir / "missing.bin")
        full = bytes(4096)
        cases = [
            ("md5 of a missing file", kelhash.md5, (missing,), 1, "cannot open file"),
            ("opensubtitles of a missing file", kelhash.opensubtitles_hash, (missing,), 1,
             "cannot open file"),
            ("shooter of a missing file", kelhash.shooter_hash, (missing, "x"), 1,
             "cannot open file"),
            ("small image without a name", kelhash.shooter_hash, (b"x" * 8192,), 2,
             "file too small for shooter hash and no fallback name"),
            ("small file without a name", kelhash.shooter_hash, (self.write("s", b"abc"),), 2,
             "file too small for shooter hash and no fallback name"),
            ("small size without a name", kelhash.shooter_hash_chunks, ([None] * 4, 100), 2,
             "file too small for shooter hash and no fallback name"),
            ("overlong name", kelhash.shooter_hash, (b"", b"\xc0\xaf"), 4, "invalid UTF-8"),
            ("cut name", kelhash.shooter_hash_chunks, ([None] * 4, 5, b"\xe2\x82"), 4,
             "invalid UTF-8"),
            ("invalid text", kelhash.stable_hash, (b"a\x80b",), 4, "invalid UTF-8"),
            ("lone surrogate", kelhash.stable_hash, ("\ud800",), 4, "invalid UTF-8"),
            ("no head or tail", kelhash.opensubtitles_hash_chunks, (None, None, 5), 3,
             "head and tail must each hold min(total_size, 65536) bytes"),
            ("short tail", kelhash.opensubtitles_hash_chunks, (b"abcdefghi", b"hi", 9), 3,
             "head and tail must each hold min(total_size, 65536) bytes"),
            ("negative size", kelhash.opensubtitles_hash_chunks, (b"a", b"a", -1), 3,
             "total_size is negative"),
            ("negative size, shooter", kelhash.shooter_hash_chunks, ([None] * 4, -(1 << 63)), 3,
             "total_size is negative"),
            ("missing full block", kelhash.shooter_hash_chunks, ([None, None, full, full], 9000),
             3, "shooter block needs 4096 bytes at its offset"),
            ("short full block", kelhash.shooter_hash_chunks,
             ([full, None, full[:4095], full], 9000), 3,
             "shooter block needs 4096 bytes at its offset"),
            ("short block of a wrong length", kelhash.shooter_hash_chunks,
             ([full, b"x" * 2730, full, full], 8193), 3,
             "short shooter block has the wrong length"),
        ]
        if sys.platform.startswith("linux"):
            # A directory opens for reading on Linux, but reading it fails.
            cases.append(("md5 of a directory", kelhash.md5, (str(self.dir),), 1, "read error"))
        for what, fn, args, status, message in cases:
            with self.subTest(what):
                with self.assertRaises(kelhash.KelhashError) as cm:
                    fn(*args)
                self.assertEqual((cm.exception.status, cm.exception.message), (status, message))
                self.assertEqual(cm.exception.args, (status, message))
                self.assertIn(message, str(cm.exception))
        # A failure leaves the next call unaffected.
        self.assertEqual(kelhash.md5(b"abc"), "900150983CD24FB0D6963F7D28E17F72")

    def test_python_argument_errors(self):
        cases = [
            (TypeError, kelhash.md5, (None,)),
            (TypeError, kelhash.opensubtitles_hash, (12,)),
            (TypeError, kelhash.shooter_hash, (b"", 12)),
            (TypeError, kelhash.stable_hash, (None,)),
            (TypeError, kelhash.opensubtitles_hash_chunks, (b"a", b"a", 1.0)),
            (TypeError, kelhash.opensubtitles_hash_chunks, ("a", b"a", 1)),
            (ValueError, kelhash.md5, ("a\0b",)),
            (ValueError, kelhash.stable_hash, ("a\0b",)),
            (ValueError, kelhash.shooter_hash, (b"", b"a\0")),
            (ValueError, kelhash.shooter_hash_chunks, ([None] * 3, 0, "x")),
            (OverflowError, kelhash.opensubtitles_hash_chunks, (None, None, 1 << 63)),
            (OverflowError, kelhash.shooter_hash_chunks, ([None] * 4, -(1 << 63) - 1, "x")),
        ]
        for exc, fn, args in cases:
            with self.subTest(fn=fn.__name__, args=args):
                with self.assertRaises(exc):
                    fn(*args)

    def test_error_class(self):
        e = kelhash.KelhashError(2, "file too small for shooter hash and no fallback name")
        self.assertIsInstance(e, Exception)
        self.assertEqual((e.status, e.message), (2, "file too small for shooter hash and no "
                                                    "fallback name"))


class ThreadsTest(TempDirCase):
    """Threads hashing different inputs at once each get their own results."""

    def test_concurrent_calls(self):
        jobs = []
        for i, size in enumerate([9000, 70000, 131073, 300000, 12288, 100]):
            data = reference.data_of_size(size, seed=i)
            path = self.write(f"t{i}", data)
            name = f"name {i}"
            head, tail = data[:65536], data[-65536:]
            blocks = reference.shooter_blocks(data) if size > 8192 else [None] * 4
            jobs.append([
                (kelhash.md5, (data,), reference.md5(data)),
                (kelhash.md5, (path,), reference.md5(data)),
                (kelhash.opensubtitles_hash, (path,), reference.opensubtitles(data)),
                (kelhash.opensubtitles_hash_chunks, (head, tail, size),
                 reference.opensubtitles(data)),
                (kelhash.shooter_hash, (data, name), reference.shooter(data, name)),
                (kelhash.shooter_hash_chunks, (blocks, size, name), reference.shooter(data, name)),
                (kelhash.stable_hash, (name * (i + 1),), reference.stable_hash(name * (i + 1))),
            ])
        errors = []
        barrier = threading.Barrier(len(jobs))

        def run(calls):
            barrier.wait()
            for _ in range(100):
                for fn, args, expected in calls:
                    got = fn(*args)
                    if got != expected:
                        errors.append((fn.__name__, got, expected))

        threads = [threading.Thread(target=run, args=(calls,)) for calls in jobs]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors[:5], [])

    def test_failures_in_threads_carry_their_own_message(self):
        missing = str(self.dir / "missing")
        results = {}
        barrier = threading.Barrier(2)

        def failing():
            barrier.wait()
            out = set()
            for _ in range(2000):
                try:
                    kelhash.md5(missing)
                except kelhash.KelhashError as e:
                    out.add((e.status, e.message))
            results["failing"] = out

        def succeeding():
            barrier.wait()
            results["succeeding"] = {kelhash.md5(b"abc") for _ in range(2000)}

        threads = [threading.Thread(target=failing), threading.Thread(target=succeeding)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(results["failing"], {(1, "cannot open file")})
        self.assertEqual(results["succeeding"], {"900150983CD24FB0D6963F7D28E17F72"})


@unittest.skipUnless(hasattr(os, "fork"), "no fork on this platform")
class ForkTest(unittest.TestCase):
    """A process forked while another thread is inside a call can use the
    library in the child: the thread that held the module's lock does not
    exist there to release it."""

    # The child needs milliseconds; a child stuck on the lock is killed then.
    CHILD_DEADLINE = 10.0

    def wait_for_child(self, pid):
        deadline = time.monotonic() + self.CHILD_DEADLINE
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                return os.waitstatus_to_exitcode(status)
            if time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                return None
            time.sleep(0.01)

    def test_child_forked_during_a_call_of_another_thread(self):
        # Zero pages: a second or more of hashing without touching 1 GiB of memory.
        data = bytes(1 << 30)
        results = {}
        thread = threading.Thread(target=lambda: results.update(md5=kelhash.md5(data)))
        thread.start()
        try:
            # Fork only while the other thread is inside its call, holding the lock.
            start = time.monotonic()
            while not kelhash._lock.locked():
                self.assertTrue(thread.is_alive() and time.monotonic() - start < 30,
                                "the hashing thread never took the lock")
                time.sleep(0.0005)
            with warnings.catch_warnings():
                # Newer interpreters warn about forking a threaded process.
                warnings.simplefilter("ignore", DeprecationWarning)
                pid = os.fork()
            if pid == 0:
                # Both ways the module takes the lock: through its call helper
                # and in stable_hash.
                status = 2
                try:
                    status = 0 if (kelhash.md5(b"abc"), kelhash.stable_hash("abc")) == (
                        reference.md5(b"abc"), reference.stable_hash("abc")) else 1
                finally:
                    os._exit(status)
            held_across_the_fork = kelhash._lock.locked()
            exit_code = self.wait_for_child(pid)
        finally:
            thread.join()
        self.assertTrue(held_across_the_fork, "the call ended before the fork")
        self.assertIsNotNone(exit_code, f"the child was still waiting for the lock after "
                                        f"{self.CHILD_DEADLINE} s")
        self.assertEqual(exit_code, 0, "the child's results for 'abc' were wrong (1) or it "
                                       "raised (2)")
        self.assertEqual(results, {"md5": reference.md5(data)})


class LibraryLookupTest(TempDirCase):
    """How the module finds the shared library, in a fresh interpreter."""

    def run_python(self, pythonpath, env_library, code="import kelhash; print(kelhash.md5(b'abc'))"):
        env = dict(os.environ)
        env.pop("KELHASH_LIBRARY", None)
        env.pop("LD_LIBRARY_PATH", None)
        if env_library is not None:
            env["KELHASH_LIBRARY"] = env_library
        env["PYTHONPATH"] = str(pythonpath)
        return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                              text=True, cwd=self.dir)

    def copy_package(self):
        package = self.dir / "site" / "kelhash"
        package.mkdir(parents=True)
        shutil.copy(pathlib.Path(kelhash.__file__), package / "__init__.py")
        return package

    def test_environment_variable_names_the_library(self):
        package = self.copy_package()
        r = self.run_python(package.parent, os.environ["KELHASH_LIBRARY"])
        self.assertEqual((r.returncode, r.stdout), (0, "900150983CD24FB0D6963F7D28E17F72\n"),
                         r.stderr)

    def test_library_beside_the_module(self):
        package = self.copy_package()
        shutil.copy(os.environ["KELHASH_LIBRARY"], package / "libkelhash.so.1")
        r = self.run_python(package.parent, None)
        self.assertEqual((r.returncode, r.stdout), (0, "900150983CD24FB0D6963F7D28E17F72\n"),
                         r.stderr)

    def test_failures_name_the_environment_variable(self):
        package = self.copy_package()
        if ctypes.util.find_library("kelhash"):
            self.skipTest("a libkelhash is installed on the loader's search path")
        for env_library in (None, str(self.dir / "no-such-libkelhash.so")):
            with self.subTest(KELHASH_LIBRARY=env_library):
                r = self.run_python(package.parent, env_library)
                self.assertNotEqual(r.returncode, 0)
                self.assertIn("ImportError", r.stderr)
                self.assertIn("KELHASH_LIBRARY", r.stderr)
        r = self.run_python(package.parent, None)
        self.assertIn("path of libkelhash.so", r.stderr)

    # What a host that guards the import sees: the exception's type and text.
    IMPORT_PROBE = """
import json
try:
    import kelhash
except Exception as e:
    print(json.dumps([type(e).__name__, str(e)]))
else:
    print(json.dumps(["imported", kelhash._lib._name]))
"""

    @staticmethod
    def c_library():
        """The path of the C library this interpreter runs on."""
        try:
            with open("/proc/self/maps", encoding="utf-8") as maps:
                for line in maps:
                    path = line.split(maxsplit=5)[5:]
                    if path and re.fullmatch(r"libc(\.so\.\d+|-[\d.]+\.so)",
                                             os.path.basename(path[0].strip())):
                        return path[0].strip()
        except OSError:
            pass
        return ctypes.util.find_library("c")

    def test_unusable_libraries_raise_import_error(self):
        libc = self.c_library()
        if libc is None:
            self.skipTest("no C library to load")
        package = self.copy_package()
        text_file = self.write("not-a-library.so", b"plain text, not a shared library\n")
        missing = str(self.dir / "no-such-libkelhash.so")
        cases = [
            ("C library named by KELHASH_LIBRARY", libc, None, libc),
            ("missing file", missing, None, missing),
            ("file that is not a shared library", str(text_file), None, str(text_file)),
        ]
        if os.path.isabs(libc) and not ctypes.util.find_library("kelhash"):
            # A link, not a copy: the loader sees the C library already loaded.
            cases.append(("C library beside the module", None, libc,
                          str(package / "libkelhash.so.1")))
        declared = SignatureTest().declarations()
        for what, env_library, beside, named in cases:
            with self.subTest(what):
                link = package / "libkelhash.so.1"
                if beside:
                    link.symlink_to(beside)
                try:
                    r = self.run_python(package.parent, env_library, self.IMPORT_PROBE)
                finally:
                    if beside:
                        link.unlink()
                self.assertEqual(r.returncode, 0, r.stderr)
                kind, message = json.loads(r.stdout)
                self.assertEqual(kind, "ImportError", message)
                self.assertIn(named, message)
                try:
                    ctypes.CDLL(beside or env_library)
                except OSError as e:
                    self.assertIn(str(e), message)  # the loader's own reason
                    continue
                # The file and the function it lacks, named together.
                function = re.search(re.escape(named) + r"(?:, which)? is not a kelhash "
                                     r"library: it has no function (\w+)", message)
                self.assertIsNotNone(function, message)
                self.assertIn(function[1], declared)
                self.assertFalse(hasattr(ctypes.CDLL(libc), function[1]))


if __name__ == "__main__":
    unittest.main()
