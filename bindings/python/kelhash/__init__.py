"""Python binding of the kelhash library (ctypes, standard library only).

Subtitle-service fingerprints and digests of files and byte buffers::

    import kelhash
    kelhash.opensubtitles_hash("movie.mkv")      # 16 lowercase hex digits
    kelhash.shooter_hash("movie.mkv", fallback_name="movie.mkv")
    kelhash.md5(b"abc")                          # '900150983CD24FB0D6963F7D28E17F72'
    kelhash.stable_hash("movie.avi")             # 1654360774

A source is a path when it is a str or an os.PathLike (its file-system
encoding is passed to the library), and the data itself when it is a
bytes-like object (bytes, bytearray, memoryview or anything else with the
buffer protocol). A path held as bytes is therefore passed as
``pathlib.Path(os.fsdecode(name))``.

Files that can only be read by ranges are sources too, and only the bytes a
fingerprint needs are read from them (MD5 reads them all):

- a reader: any object with ``size`` (the total size in bytes) and
  ``read_at(offset, n)``, which returns exactly n bytes (bytes-like) from
  offset; e.g. a torrent stream or an object store client;
- a seekable binary file object (``open(name, "rb")``, io.BytesIO, ...): its
  size comes from ``seek(0, 2)``, its bytes from seek and read, and its
  position is put back afterwards;
- ``kelhash.url("https://...")``: ranged GETs, at most two round trips for
  the fingerprints (the second one's requests sent at once).

``fingerprints(src, fallback_name=None)`` computes both fingerprints from one
plan, reading each needed byte once. A short or failing read raises
KelhashError(1, "read error") with the reader's own exception as its cause
(``__cause__``, also shown by str()); never a hash of bytes that were not
read.

Failures raise KelhashError with the library's status and message. The
library keeps its result and message in two process-wide buffers; every call
here holds one module-wide lock from the call until both are copied, so the
functions may be used from several threads at once, and in a child forked
while another thread was inside a call. The lock covers the library calls
only, never a read or a request, so a slow reader or server holds up no
other thread.

The shared library is found, in this order: the path in the environment
variable KELHASH_LIBRARY (an override, e.g. for a build tree); the library
inside this package, a libkelhash.so* (kelhash.dll, libkelhash*.dylib) beside
this module, where ``pip install`` puts it; the library where ``cmake
--install`` put it, relative to this module; the system's loader search
path. A file found there that is not a kelhash library (one that lacks any
of its functions) is passed over. When no usable library is found, or
KELHASH_LIBRARY names a file that cannot be loaded or is not a kelhash
library, importing the module raises ImportError.
"""

import collections
import ctypes
import ctypes.util
import glob
import hashlib
import io
import operator
import os
import re
import sys
import threading

__all__ = [
    "KelhashError",
    "Fingerprints",
    "URL",
    "url",
    "fingerprints",
    "opensubtitles_hash",
    "opensubtitles_hash_chunks",
    "shooter_hash",
    "shooter_hash_chunks",
    "md5",
    "stable_hash",
]

__version__ = "1.0.0"

_INT64_MIN = -(1 << 63)
_INT64_MAX = (1 << 63) - 1
_OPENSUBTITLES_CAP = 17
_SHOOTER_CAP = 132


class KelhashError(Exception):
    """A call into the library failed with a nonzero status.

    ``status`` is the library's status code (1 to 6) and ``message`` its
    message text, e.g. ``KelhashError(1, "cannot open file")``.
    """

    def __init__(self, status, message):
        super().__init__(status, message)
        self.status = status
        self.message = message

    def __str__(self):
        text = f"{self.message} (status {self.status})"
        # A read error says what went wrong underneath, even where only the
        # text of the exception is shown (a log line, a message box).
        cause = self.__cause__
        if cause is not None:
            detail = str(cause)
            text += f": {type(cause).__name__}" + (f": {detail}" if detail else "")
        return text


def _candidates():
    # The package's own library first: an installed wheel holds the library
    # it was built with, which no other one on the machine replaces.
    here = os.path.dirname(os.path.abspath(__file__))
    beside = []
    for pattern in ("libkelhash.so.*", "libkelhash.so", "kelhash.dll", "libkelhash*.dylib"):
        beside.extend(sorted(glob.glob(os.path.join(here, pattern))))
    for path in beside:
        yield path
    try:
        from . import _installed  # written by the install step
    except ImportError:
        pass
    else:
        yield os.path.normpath(os.path.join(here, _installed.LIBRARY))
    found = ctypes.util.find_library("kelhash")
    if found:
        yield found
    if sys.platform == "win32":
        yield "kelhash.dll"
    elif sys.platform == "darwin":
        yield "libkelhash.1.dylib"
    else:
        yield "libkelhash.so.1"


_c_int32 = ctypes.c_int32
_c_uint64 = ctypes.c_uint64
_c_int64 = ctypes.c_int64
_ptr = ctypes.c_void_p
_str = ctypes.c_char_p

# Every exported function with its result and argument types.
_FUNCTIONS = (
    ("kelhash_result", _str, []),
    ("kelhash_last_error", _str, []),
    ("kelhash_md5_buffer", _c_int32, [_ptr, _c_uint64]),
    ("kelhash_md5_file", _c_int32, [_str]),
    ("kelhash_opensubtitles_buffer", _c_int32, [_ptr, _c_uint64]),
    ("kelhash_opensubtitles_file", _c_int32, [_str]),
    (
        "kelhash_opensubtitles_chunks",
        _c_int32,
        [_ptr, _c_uint64, _ptr, _c_uint64, _c_int64, ctypes.c_char_p, _c_uint64],
    ),
    ("kelhash_shooter_buffer", _c_int32, [_ptr, _c_uint64, _str]),
    ("kelhash_shooter_file", _c_int32, [_str, _str]),
    (
        "kelhash_shooter_chunks",
        _c_int32,
        [_ptr, _c_uint64, _ptr, _c_uint64, _ptr, _c_uint64, _ptr, _c_uint64,
         _c_int64, _str, ctypes.c_char_p, _c_uint64],
    ),
    ("kelhash_stable_utf8", _c_int32, [_str, ctypes.POINTER(_c_int32)]),
)


class _NotKelhash(Exception):
    """A file the loader accepted lacks one of the library's functions."""

    def __init__(self, path, function):
        super().__init__(f"{path} is not a kelhash library: it has no function {function}")
        self.function = function


def _open(path):
    """Loads path and binds every function: OSError when the loader refuses
    the file, _NotKelhash when it is some other library (or an older kelhash).
    Both become ImportError, so that a host guarding its import with
    ``except ImportError`` gets on without the module."""
    lib = ctypes.CDLL(path)
    for name, restype, argtypes in _FUNCTIONS:
        try:
            fn = getattr(lib, name)
        except AttributeError:
            raise _NotKelhash(path, name) from None
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


def _load():
    explicit = os.environ.get("KELHASH_LIBRARY")
    if explicit:
        try:
            return _open(explicit)
        except OSError as e:
            raise ImportError(
                f"kelhash: cannot load the library named by KELHASH_LIBRARY ({explicit!r}): {e}",
                path=explicit,
            ) from e
        except _NotKelhash as e:
            raise ImportError(
                f"kelhash: KELHASH_LIBRARY names {explicit}, which is not a kelhash library: "
                f"it has no function {e.function}",
                path=explicit,
            ) from None
    tried = []
    for candidate in _candidates():
        try:
            return _open(candidate)
        except OSError as e:
            tried.append(f"{candidate} ({e})")
        except _NotKelhash as e:
            tried.append(str(e))
    raise ImportError(
        "kelhash: cannot find the native library; set KELHASH_LIBRARY to the path of "
        "libkelhash.so (tried: " + "; ".join(tried) + ")"
    )


_lib = _load()

# The library keeps its result and message in process-wide buffers, so one
# lock covers each call until both are copied. Every call site reads the
# global when it runs: after a fork the child gets a fresh lock, because a
# thread of the parent that was inside a call at that moment does not exist
# in the child and would never release the inherited one. What that call
# left in the buffers is harmless: each call writes them before they are
# read.
_lock = threading.Lock()


def _new_lock_in_child():
    global _lock
    _lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_new_lock_in_child)


def _call(fn, *args, out=None):
    """Calls fn under the lock and returns its result string: the copy in
    ``out`` when given, else the library's result buffer."""
    with _lock:
        status = fn(*args)
        if status != 0:
            raise KelhashError(status, _lib.kelhash_last_error().decode("utf-8", "replace"))
        result = out.value if out is not None else _lib.kelhash_result()
    return result.decode("ascii")


def _no_nul(data, what):
    if b"\0" in data:
        raise ValueError(f"{what} contains an embedded null byte")
    return data


def _text(value, what):
    """A str as UTF-8, or bytes as they are, for a NUL-terminated argument."""
    if isinstance(value, str):
        # Lone surrogates cannot be encoded; let the library judge the bytes.
        value = value.encode("utf-8", "surrogatepass")
    elif isinstance(value, (bytes, bytearray, memoryview)):
        value = bytes(value)
    else:
        raise TypeError(f"{what} must be str or bytes, not {type(value).__name__}")
    return _no_nul(value, what)


class _Buffer:
    """A pointer and a length for a bytes-like object, without a copy where
    the object allows it. Keep the instance alive during the call."""

    __slots__ = ("ptr", "length", "_keep")

    def __init__(self, data, what):
        if isinstance(data, bytes):
            self._keep = data
            self.ptr = data  # ctypes passes a pointer into the bytes object
            self.length = len(data)
            return
        try:
            view = memoryview(data)
        except TypeError:
            raise TypeError(
                f"{what} must be a bytes-like object, not {type(data).__name__}"
            ) from None
        if view.c_contiguous:
            view = view.cast("B")
        else:
            view = memoryview(view.tobytes())
        self.length = view.nbytes
        if self.length == 0:
            self._keep = view
            self.ptr = None
        elif not view.readonly:
            self._keep = (ctypes.c_char * self.length).from_buffer(view)
            self.ptr = self._keep
        else:
            self._keep = (ctypes.c_char * self.length).from_buffer_copy(view)
            self.ptr = self._keep


def _optional_buffer(data, what):
    if data is None:
        return None, 0, None
    b = _Buffer(data, what)
    return b.ptr, b.length, b


def _is_path(src):
    return isinstance(src, (str, os.PathLike))


def _path(src):
    return _no_nul(os.fsencode(src), "path")


def _total_size(total_size):
    total_size = operator.index(total_size)
    if not _INT64_MIN <= total_size <= _INT64_MAX:
        raise OverflowError("total_size does not fit a signed 64-bit integer")
    return total_size


def opensubtitles_hash(src):
    """The OpenSubtitles hash of a file (str or os.PathLike), of a whole file
    image (bytes-like), or of a reader, seekable binary file or url(): 16
    lowercase hexadecimal digits."""
    if _is_path(src):
        return _call(_lib.kelhash_opensubtitles_file, _path(src))
    source = _ranged_source(src)
    if source is not None:
        return source.fingerprints(True, False, None).opensubtitles
    b = _Buffer(src, "src")
    return _call(_lib.kelhash_opensubtitles_buffer, b.ptr, b.length)


def opensubtitles_hash_chunks(head, tail, total_size):
    """The OpenSubtitles hash from bytes read by the caller: head starts at
    the file's first byte, tail ends at its last byte, and each holds at least
    min(total_size, 65536) bytes. None stands for no bytes."""
    total_size = _total_size(total_size)
    head_ptr, head_len, head_keep = _optional_buffer(head, "head")
    tail_ptr, tail_len, tail_keep = _optional_buffer(tail, "tail")
    out = ctypes.create_string_buffer(_OPENSUBTITLES_CAP)
    result = _call(_lib.kelhash_opensubtitles_chunks, head_ptr, head_len, tail_ptr, tail_len,
                   total_size, out, len(out), out=out)
    del head_keep, tail_keep
    return result


def shooter_hash(src, fallback_name=None):
    """The Shooter hash of a file (str or os.PathLike), of a whole file image
    (bytes-like), or of a reader, seekable binary file or url(): four MD5
    digests joined by ";", or, for 8192 bytes or less, the stable hash of
    fallback_name in decimal."""
    name = None if fallback_name is None else _text(fallback_name, "fallback_name")
    if _is_path(src):
        return _call(_lib.kelhash_shooter_file, _path(src), name)
    source = _ranged_source(src)
    if source is not None:
        return source.fingerprints(False, True, name).shooter
    b = _Buffer(src, "src")
    return _call(_lib.kelhash_shooter_buffer, b.ptr, b.length, name)


def shooter_hash_chunks(blocks, total_size, fallback_name=None):
    """The Shooter hash from the four blocks read by the caller at the
    offsets 4096, (S // 3) * 2, S // 3 and S - 8192 of a file of S bytes, in
    that order. Each block is bytes-like or None (no bytes)."""
    blocks = list(blocks)
    if len(blocks) != 4:
        raise ValueError(f"shooter_hash_chunks needs 4 blocks, got {len(blocks)}")
    total_size = _total_size(total_size)
    name = None if fallback_name is None else _text(fallback_name, "fallback_name")
    args = []
    keep = []
    for i, block in enumerate(blocks):
        ptr, length, k = _optional_buffer(block, f"block {i}")
        args += [ptr, length]
        keep.append(k)
    out = ctypes.create_string_buffer(_SHOOTER_CAP)
    result = _call(_lib.kelhash_shooter_chunks, *args, total_size, name, out, len(out), out=out)
    del keep
    return result


def md5(src):
    """The MD5 digest of a file (str or os.PathLike), of a bytes-like object,
    or of all the bytes of a reader, seekable binary file or url(): 32
    uppercase hexadecimal digits."""
    if _is_path(src):
        return _call(_lib.kelhash_md5_file, _path(src))
    source = _ranged_source(src)
    if source is not None:
        return source.md5()
    b = _Buffer(src, "src")
    return _call(_lib.kelhash_md5_buffer, b.ptr, b.length)


def stable_hash(text):
    """The stable hash (0 to 2147483647) of a str (hashed as UTF-8) or of
    bytes holding UTF-8."""
    data = _text(text, "text")
    value = _c_int32()
    with _lock:
        status = _lib.kelhash_stable_utf8(data, ctypes.byref(value))
        if status != 0:
            raise KelhashError(status, _lib.kelhash_last_error().decode("utf-8", "replace"))
    return value.value


# --- Sources read by ranges: readers, file objects and HTTP(S) URLs --------

Fingerprints = collections.namedtuple("Fingerprints", ["opensubtitles", "shooter"])
Fingerprints.__doc__ = "Both fingerprints of one source, as fingerprints() returns them."

_HEAD = 65536        # the OpenSubtitles ranges, and what the first request asks for
_BLOCK = 4096        # a Shooter block
_SHOOTER_MIN = 8192  # at or below this size the Shooter hash is the name's
_STREAM_CHUNK = 1 << 20


def fingerprints(src, fallback_name=None):
    """Both fingerprints of src, as Fingerprints(opensubtitles, shooter).

    src is any source the single functions take. A reader, file object or
    url() is read once for both: the ranges of the two plans are merged, so
    no byte is read twice (a URL costs at most two round trips). A path or a
    buffer goes to the two file or buffer functions."""
    name = None if fallback_name is None else _text(fallback_name, "fallback_name")
    if not _is_path(src):
        source = _ranged_source(src)
        if source is not None:
            return source.fingerprints(True, True, name)
    return Fingerprints(opensubtitles_hash(src), shooter_hash(src, name))


def _read_error():
    """The error of every failed read; raised ``from`` the reader's own
    error, or from an OSError that says what was wrong with what came back."""
    return KelhashError(1, "read error")


def _short_read(asked, offset, got):
    return OSError(f"short read: {asked} bytes asked at offset {offset}, {got} returned")


def _mismatch(asked, offset, got):
    """The cause of a read error for a read that returned got bytes of the
    asked ones: fewer (the end of the file came early) or more."""
    if got < asked:
        return _short_read(asked, offset, got)
    return OSError(f"long read: {asked} bytes asked at offset {offset}, {got} returned")


def _opensubtitles_ranges(size):
    """(offset, length) of the head and the tail."""
    m = min(size, _HEAD)
    return [(0, m), (size - m, m)]


def _shooter_ranges(size):
    """(offset, length) of the four blocks in the library's order, or none
    for a file the name stands for. The block at two thirds may be short;
    the others are whole whenever the file exceeds 8192 bytes."""
    if size <= _SHOOTER_MIN:
        return []
    return [(off, min(_BLOCK, size - off))
            for off in (_BLOCK, (size // 3) * 2, size // 3, size - _SHOOTER_MIN)]


def _merge(ranges):
    """The (start, end) intervals covering the (offset, length) ranges, in
    ascending order, with overlapping or touching ones joined and empty ones
    left out."""
    merged = []
    for start, end in sorted((off, off + n) for off, n in ranges if n > 0):
        if merged and start <= merged[-1][1]:
            if end > merged[-1][1]:
                merged[-1][1] = end
        else:
            merged.append([start, end])
    return [(start, end) for start, end in merged]


class _Held:
    """The bytes read so far, as disjoint pieces at their offsets. A planned
    range may span two pieces (the first response and a later one)."""

    def __init__(self):
        self._pieces = []

    def add(self, start, data):
        self._pieces.append((start, data))
        self._pieces.sort(key=lambda piece: piece[0])

    def get(self, offset, n):
        end = offset + n
        parts = []
        pos = offset
        for start, data in self._pieces:
            stop = start + len(data)
            if pos >= end:
                break
            if stop <= pos or start >= end:
                continue
            if start > pos:
                break
            parts.append(data[pos - start:min(end, stop) - start])
            pos = min(end, stop)
        if pos != end:  # the plan always covers its ranges; this is a slip of ours
            raise AssertionError(f"bytes {offset}-{end} were not read")
        return parts[0] if len(parts) == 1 else b"".join(parts)


def _plan(size, want_opensubtitles, want_shooter):
    ranges = []
    if want_opensubtitles:
        ranges += _opensubtitles_ranges(size)
    if want_shooter:
        ranges += _shooter_ranges(size)
    return ranges


def _from_held(held, size, want_opensubtitles, want_shooter, name):
    """The fingerprints asked for, from bytes already in hand: the library
    is called (under the lock) only now, after every read."""
    osub = shooter = None
    if want_opensubtitles:
        (h_off, h_len), (t_off, t_len) = _opensubtitles_ranges(size)
        osub = opensubtitles_hash_chunks(held.get(h_off, h_len), held.get(t_off, t_len), size)
    if want_shooter:
        ranges = _shooter_ranges(size)
        blocks = [held.get(off, n) for off, n in ranges] if ranges else [None] * 4
        shooter = shooter_hash_chunks(blocks, size, name)
    return Fingerprints(osub, shooter)


def _new_md5():
    try:
        return hashlib.md5(usedforsecurity=False)  # a checksum here, allowed under FIPS
    except TypeError:  # Python 3.8
        return hashlib.md5()


def _exact(data, offset, n):
    """The n bytes a read returned at offset, copied (a reader may reuse its
    buffer), or the read error: anything but exactly n bytes is one."""
    try:
        view = memoryview(data)
    except TypeError:
        view = None
    if view is None:
        cause = TypeError(f"read_at returned {type(data).__name__}, not a bytes-like object")
        raise _read_error() from cause
    with view:
        got = view.nbytes
        if got != n:
            raise _read_error() from _mismatch(n, offset, got)
        return view.tobytes()


class _RangeSource:
    """A source read by ranges: size and read(offset, n) -> exactly n bytes."""

    def fingerprints(self, want_opensubtitles, want_shooter, name):
        size = self.size
        held = _Held()
        # One read per merged interval, one after another from the calling
        # thread: a reader or a file object need not be thread-safe.
        for start, end in _merge(_plan(size, want_opensubtitles, want_shooter)):
            held.add(start, self.read(start, end - start))
        return _from_held(held, size, want_opensubtitles, want_shooter, name)

    def md5(self):
        digest = _new_md5()
        pos = 0
        while pos < self.size:
            n = min(_STREAM_CHUNK, self.size - pos)
            digest.update(self.read(pos, n))
            pos += n
        return digest.hexdigest().upper()


def _size_value(value, what):
    size = operator.index(value)
    if not 0 <= size <= _INT64_MAX:
        raise ValueError(f"{what} must be from 0 to {_INT64_MAX}, not {size}")
    return size


class _ReaderSource(_RangeSource):
    def __init__(self, reader):
        if not hasattr(reader, "size"):
            raise TypeError(f"a reader needs a size besides read_at: {type(reader).__name__} "
                            "has none")
        self._reader = reader
        self.size = _size_value(reader.size, "a reader's size")

    def read(self, offset, n):
        try:
            data = self._reader.read_at(offset, n)
        except Exception as e:
            raise _read_error() from e
        return _exact(data, offset, n)


class _FileSource(_RangeSource):
    """A seekable binary file object; its position is restored after use."""

    def __init__(self, f):
        if isinstance(f, io.TextIOBase):
            raise TypeError("a file object to hash must be opened in binary mode")
        if not hasattr(f, "seek") and hasattr(f, "size"):
            # A reader written for another interface, read(offset, n).
            raise TypeError(f"a reader needs size and read_at(offset, n), which returns the "
                            f"n bytes at offset; {type(f).__name__} has size and read but "
                            "no read_at")
        seekable = getattr(f, "seekable", None)
        if not hasattr(f, "seek") or (seekable is not None and not seekable()):
            raise TypeError(f"a file object to hash must be seekable; {type(f).__name__} "
                            "is not (read it into bytes, or wrap it in a reader)")
        self._f = f
        try:
            self._position = f.tell() if hasattr(f, "tell") else None
            end = f.seek(0, 2)
            if end is None:  # a seek() that does not return the position
                end = f.tell()
        except io.UnsupportedOperation as e:
            raise TypeError(f"a file object to hash must be seekable: {e}") from e
        except OSError as e:
            raise _read_error() from e
        self.size = _size_value(end, "a file object's size")

    def read(self, offset, n):
        f = self._f
        parts = []
        got = 0
        try:
            f.seek(offset)
            while got < n:
                chunk = f.read(n - got)
                if chunk is None:  # a non-blocking file with nothing to read now
                    raise BlockingIOError(f"read returned None at offset {offset + got}")
                chunk = memoryview(chunk).cast("B")
                if not chunk.nbytes:
                    break  # end of file
                parts.append(chunk)
                got += chunk.nbytes
        except Exception as e:
            raise _read_error() from e
        if got != n:
            raise _read_error() from _mismatch(n, offset, got)
        return b"".join(parts)

    def _restore(self):
        if self._position is not None:
            try:
                self._f.seek(self._position)
            except (OSError, ValueError) as e:
                raise _read_error() from e

    def _restoring(self, method, *args):
        try:
            result = method(self, *args)
        except BaseException:
            try:
                self._restore()
            except KelhashError:
                pass  # the first failure is the one to report
            raise
        self._restore()
        return result

    def fingerprints(self, *args):
        return self._restoring(_RangeSource.fingerprints, *args)

    def md5(self):
        return self._restoring(_RangeSource.md5)


def _ranged_source(src):
    """The range source of src, or None for a bytes-like object (which the
    buffer functions take). src is not a path."""
    if isinstance(src, URL):
        return _URLSource(src)
    try:
        memoryview(src).release()
    except TypeError:
        pass
    else:
        return None
    if hasattr(src, "read_at"):
        return _ReaderSource(src)
    if hasattr(src, "read"):
        return _FileSource(src)
    raise TypeError("src must be a path (str or os.PathLike), a bytes-like object, a reader "
                    "(size and read_at), a seekable binary file or a kelhash.url(), not "
                    f"{type(src).__name__}")


# --- HTTP(S) ----------------------------------------------------------------

class URL:
    """An HTTP or HTTPS address to hash; make one with url(). A str alone is
    always a path."""

    __slots__ = ("address", "timeout")

    def __init__(self, address, timeout=30.0):
        if not isinstance(address, str):
            raise TypeError(f"a URL must be a str, not {type(address).__name__}")
        import urllib.parse
        parts = urllib.parse.urlsplit(address)
        if parts.scheme.lower() not in ("http", "https"):
            raise ValueError(f"only http and https URLs can be hashed, not {address!r}")
        if not parts.hostname:
            raise ValueError(f"the URL {address!r} names no host")
        parts.port  # raises ValueError for a port that is not a number from 0 to 65535
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
            raise TypeError(f"timeout must be a number of seconds, not {type(timeout).__name__}")
        if not timeout > 0:
            raise ValueError(f"timeout must be more than 0 seconds, not {timeout!r}")
        self.address = address
        self.timeout = float(timeout)

    def __repr__(self):
        return f"kelhash.url({self.address!r}, timeout={self.timeout!r})"

    def __eq__(self, other):
        if not isinstance(other, URL):
            return NotImplemented
        return (self.address, self.timeout) == (other.address, other.timeout)

    def __hash__(self):
        return hash((self.address, self.timeout))


def url(address, *, timeout=30.0):
    """An HTTP(S) address as a source for the hash functions. timeout (in
    seconds) bounds connecting and each wait for data, per request.

    The fingerprints cost at most two round trips: a GET of bytes 0-65535,
    which also gives the size, then one ranged GET per further interval
    needed, all sent at once. A server that ignores Range is accepted for a
    file of at most 65536 bytes (its whole answer); for a larger one the
    hash fails after reading no more than 65537 bytes. md5() downloads the
    whole body. Up to 10 redirects are followed, by their headers alone
    (a redirect's body is never read); informational (1xx) answers are
    skipped; the module adds no credentials or cookies. Failures:
    KelhashError status 1, "read error" (with the cause: the connection's
    error, a timeout, an invalid Content-Length, a body shorter or longer
    than the range, too many redirects), "server answered HTTP <code>",
    "server ignored the Range request" or "bad Content-Range: <value>"
    ("(none)" without one)."""
    return URL(address, timeout=timeout)


_CONTENT_RANGE = re.compile(r"bytes +([0-9]+)-([0-9]+)/([0-9]+)", re.IGNORECASE)
_EMPTY_RANGE = re.compile(r"bytes +\*/([0-9]+)", re.IGNORECASE)
_DIGITS = re.compile(r"[0-9]+")
# A valid Content-Range is "bytes " and three numbers of at most 19 digits;
# one much longer is refused whole, as the command does, not read in part.
_CONTENT_RANGE_MAX = 127
_MAX_REDIRECTS = 10
_MAX_INTERIM = 16    # informational (1xx) answers skipped before the real one
_MAX_LINE = 65536    # as http.client: the longest header line taken
_MAX_HEADERS = 100


def _header_values(headers, name):
    return [v.strip(" \t") for v in (headers.get_all(name) or [])]


def _content_range(headers):
    """(first, last, total) of the one Content-Range of an answer for a
    satisfied range, each within 64 bits and first <= last < total, or None
    for none, several (which one would the server mean?) or a bad one."""
    values = _header_values(headers, "Content-Range")
    if len(values) != 1 or len(values[0]) > _CONTENT_RANGE_MAX:
        return None
    m = _CONTENT_RANGE.fullmatch(values[0])
    if m is None:
        return None
    first, last, total = (int(g) for g in m.groups())
    if total > _INT64_MAX or not first <= last < total:
        return None
    return first, last, total


def _is_empty_file_range(headers):
    """Whether a 416's one Content-Range says that the file is empty."""
    values = _header_values(headers, "Content-Range")
    if len(values) != 1 or len(values[0]) > _CONTENT_RANGE_MAX:
        return False
    m = _EMPTY_RANGE.fullmatch(values[0])
    return m is not None and int(m.group(1)) == 0


def _content_length(headers):
    """The Content-Length, or None without one. One that is not plain ASCII
    digits (a sign, "1, 2", a digit of another script that int() would
    take), or two that differ, is a read error: the body's end would be a
    guess. A value above 64 bits comes back as _INT64_MAX + 1."""
    values = set(_header_values(headers, "Content-Length"))
    if not values:
        return None
    value = values.pop()
    if values or not _DIGITS.fullmatch(value):
        shown = ", ".join(sorted(_header_values(headers, "Content-Length")))
        raise _read_error() from OSError(f"invalid Content-Length: {shown}")
    value = value.lstrip("0") or "0"
    return int(value) if len(value) <= 19 else _INT64_MAX + 1


def _length_of_body(headers):
    """The Content-Length of a body to be read: one above 64 bits is invalid."""
    length = _content_length(headers)
    if length is not None and length > _INT64_MAX:
        values = ", ".join(_header_values(headers, "Content-Length"))
        raise _read_error() from OSError(f"invalid Content-Length: {values}")
    return length


_http = None


def _http_classes():
    """urllib's handlers for HTTP and HTTPS with a response that skips
    informational answers (103 Early Hints, 102 Processing), which
    http.client does only for 100; built on first use, so that importing
    the module loads no network code."""
    global _http
    if _http is not None:
        return _http
    import http.client
    import urllib.request

    class Response(http.client.HTTPResponse):
        def _read_status(self):
            for _ in range(_MAX_INTERIM + 1):
                version, status, reason = super()._read_status()
                # 101 would switch protocols, which no request here asks for.
                if not 100 <= status < 200 or status == 101:
                    return version, status, reason
                # The headers of an informational answer say nothing of the
                # file (a Content-Range there is not the answer's).
                for _ in range(_MAX_HEADERS + 1):
                    line = self.fp.readline(_MAX_LINE + 1)
                    if len(line) > _MAX_LINE:
                        raise http.client.LineTooLong("header line")
                    if line in (b"\r\n", b"\n", b""):
                        break
                else:
                    raise http.client.HTTPException(
                        f"more than {_MAX_HEADERS} headers in an HTTP {status} answer")
            raise http.client.HTTPException(
                f"more than {_MAX_INTERIM} informational answers before the answer")

    class HTTPConnection(http.client.HTTPConnection):
        response_class = Response

    class HTTPHandler(urllib.request.HTTPHandler):
        def http_open(self, req):
            return self.do_open(HTTPConnection, req)

    handlers = [HTTPHandler]
    if hasattr(http.client, "HTTPSConnection") and hasattr(urllib.request, "HTTPSHandler"):
        class HTTPSConnection(http.client.HTTPSConnection):
            response_class = Response

        class HTTPSHandler(urllib.request.HTTPSHandler):
            # http.client's default context: certificates and host names
            # checked, as urllib's own handler does by default.
            def https_open(self, req):
                return self.do_open(HTTPSConnection, req)

        handlers.append(HTTPSHandler)
    _http = handlers
    return _http


def _opener():
    """HTTP and HTTPS with the environment's proxies, and no other scheme,
    no cookie jar and no authentication of its own. Redirects are not
    urllib's to follow, which reads each redirect's body whole: _get()
    follows them by their headers."""
    import urllib.request
    opener = urllib.request.OpenerDirector()
    handlers = [urllib.request.ProxyHandler(), urllib.request.UnknownHandler(),
                urllib.request.HTTPDefaultErrorHandler(), urllib.request.HTTPErrorProcessor()]
    handlers += [handler() for handler in _http_classes()]
    for handler in handlers:
        opener.add_handler(handler)
    return opener


class _Response:
    """An answer: status, headers, the final URL and its body, read
    through read(n) with every failure a read error."""

    def __init__(self, status, raw):
        self.status = status
        self._raw = raw
        self.headers = raw.headers
        self.url = raw.geturl()

    def read(self, n):
        import http.client
        try:
            return self._raw.read(n)
        except (OSError, http.client.HTTPException) as e:
            raise _read_error() from e

    def read_exactly(self, n, offset):
        data = self.read(n)
        if len(data) != n:
            cause = _short_read(n, offset, len(data))
            raise _read_error() from cause
        return data

    def read_range(self, n, offset):
        """The body of a 206 for n bytes at offset: exactly n bytes and
        nothing after them. A longer body is other bytes than those asked
        for, or more of them: it is known by its Content-Length before any
        of it is read, or else by one byte past the n."""
        length = _length_of_body(self.headers)
        if length is not None and length > n:
            raise _read_error() from _long_body(n, offset, f"Content-Length {length}")
        data = self.read_exactly(n, offset)
        if length is None and self.read(1):
            raise _read_error() from _long_body(n, offset, "more received")
        return data

    def close(self):
        # Closing drops the connection: the module never keeps one open,
        # so the rest of a body it does not want is never downloaded.
        try:
            self._raw.close()
        except OSError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _request(opener, address, timeout, byte_range):
    """One GET and its _Response, whatever its status; a failure to get an
    answer is a read error with the underlying error as its cause."""
    import http.client
    import urllib.error
    import urllib.request
    # identity: the ranges are of the file's bytes, not of a compressed form.
    headers = {"Accept-Encoding": "identity"}
    if byte_range is not None:
        headers["Range"] = "bytes=%d-%d" % byte_range
    try:
        request = urllib.request.Request(address, headers=headers)
        raw = opener.open(request, timeout=timeout)
    except urllib.error.HTTPError as e:  # an answer with a status other than 2xx
        return _Response(e.code, e)
    except (OSError, http.client.HTTPException, ValueError) as e:
        cause = e
        if isinstance(e, urllib.error.URLError) and isinstance(e.reason, BaseException):
            cause = e.reason  # e.g. ConnectionRefusedError, socket.gaierror, ssl errors
        raise _read_error() from cause
    return _Response(raw.status, raw)


_REDIRECTS = (301, 302, 303, 307, 308)


def _redirect_target(address, location):
    """The absolute URL a Location header sends a request of address to,
    made as urllib makes it (spaces and other characters quoted)."""
    import string
    import urllib.parse
    parts = urllib.parse.urlparse(location.strip())
    if not parts.path and parts.netloc:
        parts = parts._replace(path="/")
    target = urllib.parse.quote(urllib.parse.urlunparse(parts), encoding="iso-8859-1",
                                safe=string.punctuation)
    target = urllib.parse.urljoin(address, target)
    if urllib.parse.urlsplit(target).scheme.lower() not in ("http", "https"):
        raise _read_error() from ValueError(
            f"redirect from {address} to {target}, which is not http or https")
    return target


def _get(opener, address, timeout, byte_range=None):
    """Sends a GET (for the bytes first-last when byte_range is given),
    following up to 10 redirects, and returns the last answer's _Response
    (its url the address that gave it). A redirect is followed by its
    headers alone: its body, which may be of any length, is never read."""
    chain = [address]
    while True:
        response = _request(opener, address, timeout, byte_range)
        location = response.headers.get("Location")
        if response.status not in _REDIRECTS or location is None:
            return response
        response.close()
        target = _redirect_target(address, location)
        if len(chain) > _MAX_REDIRECTS:
            raise _read_error() from OSError(
                f"more than {_MAX_REDIRECTS} redirects, from {chain[0]}; the last from "
                f"{address} to {target}")
        chain.append(target)
        address = target


def _unexpected_status(response):
    return KelhashError(1, f"server answered HTTP {response.status}")


def _range_ignored():
    return KelhashError(1, "server ignored the Range request")


def _long_body(asked, offset, returned):
    return OSError(f"long body: {asked} bytes asked at offset {offset}, {returned}")


def _bad_content_range(headers):
    values = _header_values(headers, "Content-Range")
    return KelhashError(1, f"bad Content-Range: {', '.join(values) if values else '(none)'}")


class _URLSource:
    def __init__(self, location):
        self._url = location

    def _first(self, opener):
        """The first request, bytes 0-65535: (size, final URL, bytes 0 to
        min(size, 65536))."""
        with _get(opener, self._url.address, self._url.timeout, (0, _HEAD - 1)) as r:
            if r.status == 206:
                parsed = _content_range(r.headers)
                if parsed is None:
                    raise _bad_content_range(r.headers)
                first, last, total = parsed
                if first != 0 or last != min(_HEAD - 1, total - 1):
                    raise _bad_content_range(r.headers)
                return total, r.url, r.read_range(last + 1, 0)
            if r.status == 416:
                # An empty file has no byte 0 to send; the 416's body, if
                # any, is not read.
                if _is_empty_file_range(r.headers):
                    return 0, r.url, b""
                raise _unexpected_status(r)
            if r.status == 200:
                # The whole file, which is fine as long as it is small: one
                # byte past the head settles it, and the rest is never read.
                length = _content_length(r.headers)
                if length is not None and length > _HEAD:
                    raise _range_ignored()
                body = r.read(_HEAD + 1)
                if len(body) > _HEAD:
                    raise _range_ignored()
                if length is not None and len(body) != length:
                    cause = _short_read(length, 0, len(body))
                    raise _read_error() from cause
                return len(body), r.url, body
            raise _unexpected_status(r)

    @staticmethod
    def _range(opener, address, timeout, start, end, total):
        """Bytes start to end - 1 of a file of total bytes, by one request."""
        with _get(opener, address, timeout, (start, end - 1)) as r:
            if r.status == 206:
                if _content_range(r.headers) != (start, end - 1, total):
                    raise _bad_content_range(r.headers)
                return r.read_range(end - start, start)
            if r.status == 200:
                raise _range_ignored()
            raise _unexpected_status(r)

    def fingerprints(self, want_opensubtitles, want_shooter, name):
        opener = _opener()
        size, address, head = self._first(opener)
        held = _Held()
        held.add(0, head)
        # What the plan needs beyond the bytes in hand, merged.
        have = len(head)
        rest = [(max(off, have), off + n - max(off, have))
                for off, n in _plan(size, want_opensubtitles, want_shooter)
                if off + n > have]
        intervals = _merge(rest)
        timeout = self._url.timeout
        if len(intervals) == 1:
            start, end = intervals[0]
            held.add(start, self._range(opener, address, timeout, start, end, size))
        elif intervals:
            for (start, _), data in zip(intervals, self._all_at_once(
                    opener, address, timeout, intervals, size)):
                held.add(start, data)
        return _from_held(held, size, want_opensubtitles, want_shooter, name)

    def _all_at_once(self, opener, address, timeout, intervals, size):
        """The intervals' bytes, all requests sent at once (one thread
        each); the first failure is raised as soon as it happens."""
        import concurrent.futures as cf
        pool = cf.ThreadPoolExecutor(max_workers=len(intervals),
                                     thread_name_prefix="kelhash-range")
        futures = []
        try:
            futures = [pool.submit(self._range, opener, address, timeout, start, end, size)
                       for start, end in intervals]
            done, _ = cf.wait(futures, return_when=cf.FIRST_EXCEPTION)
            for future in futures:
                if future in done and future.exception() is not None:
                    raise future.exception()
            return [future.result() for future in futures]
        finally:
            # Requests still under way end by themselves (answer, failure or
            # timeout); nothing waits for them after a failure.
            for future in futures:
                future.cancel()
            pool.shutdown(wait=False)

    def md5(self):
        """A plain GET of the whole body, streamed through MD5."""
        with _get(_opener(), self._url.address, self._url.timeout) as r:
            if r.status != 200:
                raise _unexpected_status(r)
            length = _length_of_body(r.headers)
            digest = _new_md5()
            total = 0
            while True:
                chunk = r.read(_STREAM_CHUNK)
                if not chunk:
                    break
                digest.update(chunk)
                total += len(chunk)
            if length is not None and total != length:
                cause = OSError(f"short body: {length} bytes announced, {total} received")
                raise _read_error() from cause
            return digest.hexdigest().upper()
