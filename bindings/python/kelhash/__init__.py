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

Failures raise KelhashError with the library's status and message. The
library keeps its result and message in two process-wide buffers; every call
here holds one module-wide lock from the call until both are copied, so the
functions may be used from several threads at once, and in a child forked
while another thread was inside a call.

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

import ctypes
import ctypes.util
import glob
import operator
import os
import sys
import threading

__all__ = [
    "KelhashError",
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
        return f"{self.message} (status {self.status})"


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
    """The OpenSubtitles hash of a file (str or os.PathLike) or of a whole
    file image (bytes-like): 16 lowercase hexadecimal digits."""
    if _is_path(src):
        return _call(_lib.kelhash_opensubtitles_file, _path(src))
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
    """The Shooter hash of a file (str or os.PathLike) or of a whole file
    image (bytes-like): four MD5 digests joined by ";", or, for 8192 bytes or
    less, the stable hash of fallback_name in decimal."""
    name = None if fallback_name is None else _text(fallback_name, "fallback_name")
    if _is_path(src):
        return _call(_lib.kelhash_shooter_file, _path(src), name)
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
    """The MD5 digest of a file (str or os.PathLike) or of a bytes-like
    object: 32 uppercase hexadecimal digits."""
    if _is_path(src):
        return _call(_lib.kelhash_md5_file, _path(src))
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
