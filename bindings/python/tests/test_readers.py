"""Tests of the sources read by ranges that live in the process: readers
(size and read_at) and file objects, against the reference results
(reference.py, hashlib) and the native file functions on the same bytes.

The expected read plans below are worked out by hand from the ranges the two
fingerprints read: the OpenSubtitles head [0, min(S, 65536)) and tail
[S - min(S, 65536), S), and the Shooter blocks of min(4096, S - off) bytes
at 4096, (S // 3) * 2, S // 3 and S - 8192 (none at all for S <= 8192).
"""

import io
import mmap
import os
import pathlib
import tempfile
import threading
import unittest

import kelhash
import reference
from test_kelhash import TempDirCase

NAME = "movie.avi"
MIB = 1 << 20


class BytesReader:
    """A reader over bytes that records every read_at call."""

    def __init__(self, data):
        self.data = bytes(data)
        self.size = len(self.data)
        self.calls = []

    def read_at(self, offset, n):
        self.calls.append((offset, n))
        return self.data[offset:offset + n]


class FileReader:
    """A reader over a file by os.pread, recording its calls: a file that
    only has to be read by ranges, such as the sparse 5 GiB one."""

    def __init__(self, path):
        self._fd = os.open(path, os.O_RDONLY)
        self.size = os.fstat(self._fd).st_size
        self.calls = []

    def read_at(self, offset, n):
        self.calls.append((offset, n))
        return os.pread(self._fd, n, offset)

    def close(self):
        os.close(self._fd)


SIZES = reference.BOUNDARY_SIZES + [3 * MIB + 5]
BIG = 5 << 30  # a file above 4 GiB


def make_big_file(path):
    """A sparse 5 GiB file with non-zero bytes in every range a fingerprint
    reads, so that a range read at a wrong offset shows in the hash; skips
    the test where the file system would store its zeros."""
    with open(path, "wb") as f:
        f.truncate(BIG)
        for off in (0, BIG // 3 - 100, (BIG // 3) * 2 - 100, BIG - 70000):
            f.seek(off)
            f.write(reference.data_of_size(70000, seed=off & 0xFFFF))
    blocks = getattr(os.stat(path), "st_blocks", None)
    if blocks is None or blocks * 512 > 64 * MIB:
        os.remove(path)
        raise unittest.SkipTest("the file system here keeps no sparse files")


def expected(data):
    return (reference.opensubtitles(data), reference.shooter(data, NAME), reference.md5(data))


class ReaderHashesTest(TempDirCase):
    """A reader over the same bytes hashes like the buffer and file
    functions, through every function."""

    def test_reader_equals_reference_buffer_and_file(self):
        for size in SIZES:
            data = reference.data_of_size(size, seed=3)
            path = self.write(f"{size}.bin", data)
            want = expected(data)
            with self.subTest(size=size):
                reader = BytesReader(data)
                got = (kelhash.opensubtitles_hash(reader),
                       kelhash.shooter_hash(reader, fallback_name=NAME),
                       kelhash.md5(reader))
                self.assertEqual(got, want)
                both = kelhash.fingerprints(BytesReader(data), fallback_name=NAME)
                self.assertEqual(tuple(both), want[:2])
                self.assertEqual((both.opensubtitles, both.shooter), want[:2])
                self.assertEqual(both, (kelhash.opensubtitles_hash(path),
                                        kelhash.shooter_hash(path, NAME)))
                self.assertEqual(both, (kelhash.opensubtitles_hash(data),
                                        kelhash.shooter_hash(data, NAME)))

    def test_golden_files_through_readers_and_file_objects(self):
        name, files = reference.golden_files()
        for f in files:
            with self.subTest(file=f["path"].name):
                data = f["path"].read_bytes()
                want = (f["opensubtitles"], f["shooter"], f["md5"])
                for kind, make in (("reader", lambda: BytesReader(data)),
                                   ("BytesIO", lambda: io.BytesIO(data))):
                    src = make()
                    got = tuple(kelhash.fingerprints(src, name)) + (kelhash.md5(make()),)
                    self.assertEqual(got, want, kind)

    def test_readers_may_return_any_bytes_like_object(self):
        data = reference.data_of_size(200003, seed=4)

        class Views(BytesReader):
            kinds = [bytearray, memoryview, lambda b: memoryview(bytearray(b))]

            def read_at(self, offset, n):
                chunk = super().read_at(offset, n)
                return self.kinds[len(self.calls) % len(self.kinds)](chunk)

        self.assertEqual(tuple(kelhash.fingerprints(Views(data), NAME)), expected(data)[:2])
        self.assertEqual(kelhash.md5(Views(data)), reference.md5(data))

    def test_a_reader_that_reuses_its_buffer(self):
        # The bytes of one read must not change when the reader overwrites
        # its buffer for the next one.
        data = reference.data_of_size(300000, seed=5)

        class Reusing:
            size = len(data)

            def __init__(self):
                self.buffer = bytearray(len(data))

            def read_at(self, offset, n):
                view = memoryview(self.buffer)[:n]
                view[:] = data[offset:offset + n]
                return view

        self.assertEqual(tuple(kelhash.fingerprints(Reusing(), NAME)), expected(data)[:2])
        self.assertEqual(kelhash.md5(Reusing()), reference.md5(data))

    @unittest.skipUnless(hasattr(os, "pread"), "the reader over a file uses os.pread")
    def test_above_4_gib_a_sparse_file(self):
        path = self.dir / "sparse.bin"
        size = BIG
        make_big_file(path)
        reader = FileReader(path)
        try:
            got = kelhash.fingerprints(reader, NAME)
        finally:
            reader.close()
        self.assertEqual(got, (reference.opensubtitles_of_file(path),
                               reference.shooter_of_file(path, NAME)))
        self.assertEqual(got, (kelhash.opensubtitles_hash(path), kelhash.shooter_hash(path, NAME)))
        third = size // 3
        self.assertEqual(reader.calls, [(0, 65536), (third, 4096), (third * 2, 4096),
                                        (size - 65536, 65536)])
        with open(path, "rb") as f:
            self.assertEqual(kelhash.fingerprints(f, NAME), got)


class ReadPlanTest(unittest.TestCase):
    """The reader is asked exactly the planned ranges: each needed byte
    once, overlapping and touching ranges joined, in ascending order."""

    # (size, what is asked for, the read_at calls), worked out by hand.
    CASES = [
        (0, "both", []),
        (0, "opensubtitles", []),
        (100, "shooter", []),
        (8192, "shooter", []),
        (8192, "both", [(0, 8192)]),
        # 8193: blocks at 4096, 5462 (2731 bytes), 2731, 1; all within [1, 8193).
        (8193, "shooter", [(1, 8192)]),
        (8193, "both", [(0, 8193)]),
        (100000, "opensubtitles", [(0, 100000)]),
        # Head and tail touch at 65536.
        (131072, "opensubtitles", [(0, 131072)]),
        (131073, "opensubtitles", [(0, 65536), (65537, 65536)]),
        # 200003: blocks at 4096, 133334, 66667, 191811; tail from 134467.
        (200003, "shooter", [(4096, 4096), (66667, 4096), (133334, 4096), (191811, 4096)]),
        (200003, "opensubtitles", [(0, 65536), (134467, 65536)]),
        (200003, "both", [(0, 65536), (66667, 4096), (133334, 66669)]),
        # 3 MiB: blocks at 4096, 2097152, 1048576, 3137536; tail from 3080192.
        (3 * MIB, "both", [(0, 65536), (MIB, 4096), (2 * MIB, 4096), (3 * MIB - 65536, 65536)]),
        (3 * MIB, "shooter", [(4096, 4096), (MIB, 4096), (2 * MIB, 4096),
                              (3 * MIB - 8192, 4096)]),
    ]

    def test_planned_ranges(self):
        for size, what, calls in self.CASES:
            with self.subTest(size=size, what=what):
                data = reference.data_of_size(size, seed=6)
                reader = BytesReader(data)
                if what == "both":
                    got = tuple(kelhash.fingerprints(reader, NAME))
                    want = expected(data)[:2]
                elif what == "opensubtitles":
                    got, want = kelhash.opensubtitles_hash(reader), reference.opensubtitles(data)
                else:
                    got, want = kelhash.shooter_hash(reader, NAME), reference.shooter(data, NAME)
                self.assertEqual(reader.calls, calls)
                self.assertEqual(got, want)

    def test_md5_reads_every_byte_once_in_order(self):
        for size in (0, 1, MIB, 3 * MIB + 5):
            with self.subTest(size=size):
                data = reference.data_of_size(size, seed=7)
                reader = BytesReader(data)
                self.assertEqual(kelhash.md5(reader), reference.md5(data))
                pos = 0
                for offset, n in reader.calls:
                    self.assertEqual(offset, pos)
                    self.assertGreater(n, 0)
                    pos += n
                self.assertEqual(pos, size)


class ReaderFailuresTest(unittest.TestCase):
    """A read that fails or comes back short is KelhashError(1, "read
    error") with the cause chained and shown; never a hash."""

    FUNCTIONS = [
        ("opensubtitles", kelhash.opensubtitles_hash),
        ("shooter", lambda src: kelhash.shooter_hash(src, NAME)),
        ("fingerprints", lambda src: kelhash.fingerprints(src, NAME)),
        ("md5", kelhash.md5),
    ]

    def assertReadError(self, fn, src):
        with self.assertRaises(kelhash.KelhashError) as cm:
            fn(src)
        e = cm.exception
        self.assertEqual((e.status, e.message), (1, "read error"))
        self.assertIsNotNone(e.__cause__)
        self.assertIn(str(e.__cause__), str(e))
        return e

    def test_short_read(self):
        data = reference.data_of_size(200003, seed=8)

        class Short(BytesReader):
            def read_at(self, offset, n):
                return super().read_at(offset, n)[:-1]

        # The first read of each: the head, the first Shooter block, the
        # whole file for MD5 (less than its chunk).
        first_read = {"opensubtitles": (0, 65536), "shooter": (4096, 4096),
                      "fingerprints": (0, 65536), "md5": (0, 200003)}
        for what, fn in self.FUNCTIONS:
            with self.subTest(what):
                e = self.assertReadError(fn, Short(data))
                self.assertIsInstance(e.__cause__, OSError)
                offset, asked = first_read[what]
                self.assertEqual(str(e.__cause__), f"short read: {asked} bytes asked at "
                                                   f"offset {offset}, {asked - 1} returned")
                self.assertIn("short read", str(e))

    def test_read_that_raises(self):
        data = reference.data_of_size(70000, seed=9)
        failure = ConnectionResetError("the peer went away")

        class Raising(BytesReader):
            def read_at(self, offset, n):
                raise failure

        for what, fn in self.FUNCTIONS:
            with self.subTest(what):
                e = self.assertReadError(fn, Raising(data))
                self.assertIs(e.__cause__, failure)
                self.assertIn("ConnectionResetError: the peer went away", str(e))

    def test_missing_pieces_are_an_error_not_a_hash(self):
        # A torrent stream with only its first 1 MiB downloaded so far.
        data = reference.data_of_size(3 * MIB + 5, seed=10)

        class NotYetAvailable(LookupError):
            pass

        class Partial(BytesReader):
            def read_at(self, offset, n):
                chunk = super().read_at(offset, n)
                if offset + n > MIB:
                    raise NotYetAvailable(f"bytes {offset}-{offset + n} not yet available")
                return chunk

        for what, fn in self.FUNCTIONS:
            with self.subTest(what):
                reader = Partial(data)
                e = self.assertReadError(fn, reader)
                self.assertIsInstance(e.__cause__, NotYetAvailable)
                # Reading stopped at the first range that was not there.
                ends = [offset + n for offset, n in reader.calls]
                self.assertGreater(ends[-1], MIB)
                self.assertTrue(all(end <= MIB for end in ends[:-1]), reader.calls)
        # Once everything is there, the same reader hashes.
        self.assertEqual(tuple(kelhash.fingerprints(BytesReader(data), NAME)),
                         expected(data)[:2])

    def test_reads_that_return_too_much_or_no_bytes(self):
        data = reference.data_of_size(9000, seed=11)
        cases = [
            ("one byte too many", lambda chunk: chunk + b"x", OSError,
             "long read: 9000 bytes asked at offset 0, 9001 returned"),
            ("None", lambda chunk: None, TypeError,
             "read_at returned NoneType, not a bytes-like object"),
            ("str", lambda chunk: "text", TypeError,
             "read_at returned str, not a bytes-like object"),
            ("empty", lambda chunk: b"", OSError,
             "short read: 9000 bytes asked at offset 0, 0 returned"),
        ]
        for what, change, cause_type, cause_text in cases:
            class Odd(BytesReader):
                def read_at(self, offset, n):
                    return change(super().read_at(offset, n))

            with self.subTest(what):
                e = self.assertReadError(kelhash.opensubtitles_hash, Odd(data))
                self.assertIsInstance(e.__cause__, cause_type)
                self.assertEqual(str(e.__cause__), cause_text)

    def test_bad_sizes_are_argument_errors(self):
        class Sized:
            def __init__(self, size):
                self.size = size

            def read_at(self, offset, n):
                raise AssertionError("no read for a bad size")

        class NoSize:
            def read_at(self, offset, n):
                raise AssertionError("no read without a size")

        cases = [(ValueError, Sized(-1)), (ValueError, Sized(1 << 63)), (TypeError, Sized(1.5)),
                 (TypeError, Sized("12")), (TypeError, NoSize())]
        for exc, src in cases:
            for what, fn in self.FUNCTIONS:
                with self.subTest(what, size=getattr(src, "size", None)):
                    with self.assertRaises(exc):
                        fn(src)

    def test_reads_happen_outside_the_library_lock(self):
        # While a reader is inside read_at, other threads' calls go through:
        # a reader waiting for the network holds up nobody.
        data = reference.data_of_size(70000, seed=12)
        other = {}

        class Waiting(BytesReader):
            def read_at(self, offset, n):
                t = threading.Thread(target=lambda: other.setdefault("md5", kelhash.md5(b"abc")))
                t.start()
                t.join(10)
                return super().read_at(offset, n)

        self.assertEqual(kelhash.opensubtitles_hash(Waiting(data)), reference.opensubtitles(data))
        self.assertEqual(other.get("md5"), "900150983CD24FB0D6963F7D28E17F72")


class FileObjectsTest(TempDirCase):
    """Seekable binary file objects: sized by seek(0, 2), read by seek and
    read, their position put back."""

    def test_file_objects_equal_the_file_functions(self):
        for size in SIZES:
            data = reference.data_of_size(size, seed=13)
            path = self.write(f"{size}.bin", data)
            want = expected(data)
            opens = [
                ("BytesIO", lambda: io.BytesIO(data)),
                ("open rb", lambda: open(path, "rb")),
                ("open rb unbuffered", lambda: open(path, "rb", buffering=0)),
            ]
            for kind, make in opens:
                with self.subTest(size=size, kind=kind):
                    with make() as f:
                        got = (kelhash.opensubtitles_hash(f), kelhash.shooter_hash(f, NAME),
                               kelhash.md5(f))
                        both = kelhash.fingerprints(f, NAME)
                    self.assertEqual(got, want)
                    self.assertEqual(both, (kelhash.opensubtitles_hash(path),
                                            kelhash.shooter_hash(path, NAME)))

    def test_position_is_put_back(self):
        data = reference.data_of_size(200003, seed=14)
        path = self.write("p.bin", data)
        for kind, f in (("BytesIO", io.BytesIO(data)), ("open rb", open(path, "rb"))):
            with self.subTest(kind), f:
                f.seek(1234)
                kelhash.fingerprints(f, NAME)
                self.assertEqual(f.tell(), 1234)
                kelhash.md5(f)
                self.assertEqual(f.tell(), 1234)
                self.assertEqual(f.read(4), data[1234:1238])

    def test_a_raw_file_that_returns_little_at_a_time(self):
        # RawIOBase.read may return fewer bytes than asked before the end.
        data = reference.data_of_size(300000, seed=15)

        class Trickle(io.RawIOBase):
            def __init__(self):
                self.pos = 0

            def readable(self):
                return True

            def seekable(self):
                return True

            def seek(self, offset, whence=0):
                self.pos = {0: 0, 1: self.pos, 2: len(data)}[whence] + offset
                return self.pos

            def tell(self):
                return self.pos

            def readinto(self, b):
                chunk = data[self.pos:self.pos + min(len(b), 1000)]
                b[:len(chunk)] = chunk
                self.pos += len(chunk)
                return len(chunk)

        self.assertEqual(tuple(kelhash.fingerprints(Trickle(), NAME)), expected(data)[:2])
        self.assertEqual(kelhash.md5(Trickle()), reference.md5(data))

    def test_a_file_that_ends_before_its_size(self):
        data = reference.data_of_size(200003, seed=16)

        class Shrunk(io.BytesIO):
            """Reports 10000 more bytes at its end than it holds, like a file
            truncated between sizing and reading."""

            def seek(self, offset, whence=0):
                return super().seek(offset + 10000 if whence == 2 else offset, whence)

        for what, fn in ReaderFailuresTest.FUNCTIONS:
            with self.subTest(what):
                with self.assertRaises(kelhash.KelhashError) as cm:
                    fn(Shrunk(data))
                e = cm.exception
                self.assertEqual((e.status, e.message), (1, "read error"))
                self.assertIn("short read", str(e.__cause__))

    def test_a_failing_read_is_a_read_error_with_its_cause(self):
        failure = OSError(5, "Input/output error")

        class Failing(io.BytesIO):
            def read(self, n=-1):
                raise failure

        with self.assertRaises(kelhash.KelhashError) as cm:
            kelhash.opensubtitles_hash(Failing(bytes(100)))
        self.assertEqual((cm.exception.status, cm.exception.message), (1, "read error"))
        self.assertIs(cm.exception.__cause__, failure)

    def test_a_file_that_returns_more_than_asked(self):
        # Larger than MD5's read, which also gets more than it asked for.
        data = reference.data_of_size(MIB + 5000, seed=19)

        class Generous(io.BytesIO):
            def read(self, n=-1):
                return super().read(n if n < 0 else n + 10)

        for what, fn in ReaderFailuresTest.FUNCTIONS:
            with self.subTest(what):
                with self.assertRaises(kelhash.KelhashError) as cm:
                    fn(Generous(data))
                e = cm.exception
                self.assertEqual((e.status, e.message), (1, "read error"))
                offset, asked = {"shooter": (4096, 4096), "md5": (0, MIB)}.get(what, (0, 65536))
                self.assertEqual(str(e.__cause__), f"long read: {asked} bytes asked at offset "
                                                   f"{offset}, {asked + 10} returned")

    def test_non_blocking_file_with_nothing_to_read(self):
        class Empty(io.RawIOBase):
            def seekable(self):
                return True

            def seek(self, offset, whence=0):
                return 100 if whence == 2 else offset

            def readinto(self, b):
                return None  # would block

        with self.assertRaises(kelhash.KelhashError) as cm:
            kelhash.md5(Empty())
        self.assertEqual(cm.exception.message, "read error")
        self.assertIsInstance(cm.exception.__cause__, BlockingIOError)

    def test_what_cannot_be_read_by_ranges_is_a_type_error(self):
        r, w = os.pipe()
        os.write(w, b"abc")
        os.close(w)
        path = self.write("t.txt", b"text")

        class ReadOnly:
            def read(self, n=-1):
                raise AssertionError("not read")

        class NotSeekable(io.BytesIO):
            def seekable(self):
                return False

        with open(r, "rb") as pipe, open(path, "r") as text:
            cases = [("pipe", pipe), ("text file", text), ("read without seek", ReadOnly()),
                     ("seekable() false", NotSeekable(b"abc")), ("int", 12), ("None", None),
                     ("object", object())]
            for what, src in cases:
                for name, fn in ReaderFailuresTest.FUNCTIONS:
                    with self.subTest(what, function=name):
                        with self.assertRaises(TypeError):
                            fn(src)
            self.assertEqual(pipe.read(), b"abc")  # nothing was consumed

    def test_a_reader_of_another_interface_is_told_what_a_reader_needs(self):
        # size and read(offset, n), as another language's readers are: not a
        # file object (no seek), and not read as one.
        class OffsetRead:
            size = 100000

            def read(self, offset, n):
                raise AssertionError("not read")

        for name, fn in ReaderFailuresTest.FUNCTIONS:
            with self.subTest(function=name):
                with self.assertRaises(TypeError) as cm:
                    fn(OffsetRead())
                self.assertIn("a reader needs size and read_at(offset, n)", str(cm.exception))
                self.assertIn("OffsetRead has size and read but no read_at", str(cm.exception))

    def test_buffers_with_file_methods_stay_buffers(self):
        # mmap has read and seek, and the buffer protocol: it is hashed as
        # a buffer, as before, whatever its position.
        data = reference.data_of_size(100000, seed=17)
        path = self.write("m.bin", data)
        with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
            m.seek(500)
            self.assertEqual(kelhash.md5(m), reference.md5(data))
            self.assertEqual(tuple(kelhash.fingerprints(m, NAME)), expected(data)[:2])
            self.assertEqual(m.tell(), 500)


class FingerprintsOfPathsAndBuffersTest(TempDirCase):
    def test_paths_and_buffers(self):
        for size in (0, 8192, 8193, 131073):
            data = reference.data_of_size(size, seed=18)
            path = self.write(f"{size}.bin", data)
            for kind, src in (("str", str(path)), ("PathLike", path), ("bytes", data),
                              ("bytearray", bytearray(data))):
                with self.subTest(size=size, kind=kind):
                    got = kelhash.fingerprints(src, NAME)
                    self.assertIsInstance(got, kelhash.Fingerprints)
                    self.assertEqual(got, expected(data)[:2])

    def test_small_source_without_a_name(self):
        for src in (b"abc", BytesReader(b"abc"), io.BytesIO(b"abc")):
            with self.subTest(type(src).__name__):
                with self.assertRaises(kelhash.KelhashError) as cm:
                    kelhash.fingerprints(src)
                self.assertEqual(cm.exception.status, 2)

    def test_missing_path(self):
        with self.assertRaises(kelhash.KelhashError) as cm:
            kelhash.fingerprints(str(self.dir / "missing"), NAME)
        self.assertEqual((cm.exception.status, cm.exception.message), (1, "cannot open file"))


if __name__ == "__main__":
    unittest.main()
