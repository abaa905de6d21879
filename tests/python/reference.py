"""Reference results written from the definitions of the hashes, for the tests
of the Python binding and of the kelhash command, and the readers of the
golden files (tests/golden) that every suite checks. MD5 comes from hashlib."""

import hashlib
import pathlib
import random
import re

MASK64 = (1 << 64) - 1


def md5(data):
    return hashlib.md5(bytes(data)).hexdigest().upper()


def opensubtitles(data):
    """File size plus the little-endian 64-bit words of the first and of the
    last min(size, 65536) bytes, each range cut into words from its own first
    byte (a short last word is zero-filled), modulo 2**64, 16 hex digits."""
    data = bytes(data)
    m = min(len(data), 65536)
    return _opensubtitles_sum(len(data), data[:m], data[len(data) - m:])


def _opensubtitles_sum(size, head, tail):
    total = size
    for rng in (head, tail):
        for k in range(0, len(rng), 8):
            total += int.from_bytes(rng[k:k + 8], "little")
    return f"{total & MASK64:016x}"


def opensubtitles_of_file(path):
    """As opensubtitles(), reading only the two ranges of a file."""
    with open(path, "rb") as f:
        size = f.seek(0, 2)
        m = min(size, 65536)
        f.seek(0)
        head = f.read(m)
        f.seek(size - m)
        tail = f.read(m)
    return _opensubtitles_sum(size, head, tail)


def stable_hash(text):
    """Two lanes of h = h * 33 ^ unit over the UTF-16 code units (even and
    odd positions), combined as lane1 + lane2 * 1566083941 modulo 2**32, read
    as signed and folded to its absolute value (-2**31 becomes 0)."""
    if isinstance(text, str):
        text = text.encode("utf-8", "surrogatepass")
    units16 = bytes(text).decode("utf-8").encode("utf-16-le")
    units = [int.from_bytes(units16[i:i + 2], "little") for i in range(0, len(units16), 2)]
    lanes = [5381, 5381]
    for i, u in enumerate(units):
        lanes[i % 2] = ((lanes[i % 2] * 33) & 0xFFFFFFFF) ^ u
    h = (lanes[0] + lanes[1] * 1566083941) & 0xFFFFFFFF
    if h >= 1 << 31:
        h -= 1 << 32
    return 0 if h == -(1 << 31) else abs(h)


def shooter_offsets(size):
    return [4096, (size // 3) * 2, size // 3, size - 8192]


def shooter_blocks(data):
    """The four blocks as a host reads them: 4096 bytes at each offset, or
    the bytes that remain when fewer than 4096 do."""
    data = bytes(data)
    return [data[off:off + 4096] for off in shooter_offsets(len(data))]


def shooter(data, name):
    """MD5 of 4096-byte blocks at 4096, (S / 3) * 2, S / 3 and S - 8192,
    lowercase, joined by ';'; a block with fewer than 4096 bytes left counts
    as 4096 zero bytes. 8192 bytes or less: the stable hash of the name."""
    data = bytes(data)
    return _shooter_join(len(data), name, lambda off: data[off:off + 4096])


def _shooter_join(size, name, read_block):
    if size <= 8192:
        return str(stable_hash(name))
    parts = []
    for off in shooter_offsets(size):
        block = read_block(off) if size - off >= 4096 else bytes(4096)
        parts.append(hashlib.md5(block).hexdigest())
    return ";".join(parts)


def shooter_of_file(path, name):
    """As shooter(), reading only the four blocks of a file."""
    with open(path, "rb") as f:
        size = f.seek(0, 2)

        def read_block(off):
            f.seek(off)
            return f.read(4096)

        return _shooter_join(size, name, read_block)


# Sizes at the edges of the hashes' ranges: the 8-byte words, the 4096-byte
# blocks and the 8192-byte threshold, the Shooter block at two thirds that
# fits or not, and the 65536-byte ranges that coincide, overlap or not.
BOUNDARY_SIZES = [0, 1, 7, 8, 9, 4095, 4096, 8191, 8192, 8193, 12283, 12284, 12285,
                  12286, 12287, 12288, 65535, 65536, 65537, 131071, 131072, 131073,
                  200003]


def data_of_size(size, seed=0):
    return random.Random(size * 7919 + seed).randbytes(size)


# The golden files, whose expected values tests/golden/make_golden.py wrote
# from this module.
GOLDEN_DIR = pathlib.Path(__file__).resolve().parent.parent / "golden"


def _golden_rows(name):
    """The rows of a golden table and its header line."""
    header, rows = "", []
    for line in (GOLDEN_DIR / name).read_text(encoding="ascii").splitlines():
        if line.startswith("#"):
            header = header or line
        elif line:
            rows.append(line.split("\t"))
    return header, rows


def golden_files():
    """files.tsv: the fallback name its Shooter column was computed with
    (named in its header), and for each file a dict of path, size and the
    expected opensubtitles, shooter and md5."""
    header, rows = _golden_rows("files.tsv")
    name = re.search(r"fallback name ([^)\s]+)\)", header).group(1)
    files = [{"path": GOLDEN_DIR / "files" / r[0], "size": int(r[1]), "opensubtitles": r[2],
              "shooter": r[3], "md5": r[4]} for r in rows]
    return name, files


def golden_texts():
    """stable.tsv: pairs of UTF-8 bytes and their stable hash."""
    return [(bytes.fromhex(r[0]), int(r[1])) for r in _golden_rows("stable.tsv")[1]]
