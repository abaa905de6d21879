#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into tests/fuzz/corpus/.

Each seed is a small input that puts a target at a boundary: sizes next to
the 8-byte word, the 64-byte MD5 block, 4096/8192 for Shooter and 65536 /
131072 for OpenSubtitles, each row of the table of well-formed UTF-8 byte
sequences, and the output capacities around 17, 131 and 132. The layouts
follow the comments at the top of each fuzz_<target>.cpp; the targets are
those of targets.txt, each with a function <target>_seeds here. Run it again
after changing a layout; the corpus directories are rewritten from scratch.
"""

import pathlib
import shutil
import struct

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE / "corpus"


def target_names():
    """The targets of targets.txt, in its order."""
    names = []
    for line in (HERE / "targets.txt").read_text(encoding="ascii").splitlines():
        words = line.split()
        if words and not words[0].startswith("#"):
            names.append(words[0])
    return names


def u16(v):
    return struct.pack("<H", v & 0xFFFF)


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def u64(v):
    return struct.pack("<Q", v & 0xFFFFFFFFFFFFFFFF)


PATTERN = bytes(range(7, 7 + 23))


def utf8_seeds():
    s = {
        "empty": b"",
        "ascii": b"abc",
        "movie_avi": b"movie.avi",
        "two_byte": b"caf\xc3\xa9",
        "three_byte": b"\xe2\x82\xac\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf",
        "four_byte": b"\xf0\x90\x80\x80\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf",
        "bom": b"\xef\xbb\xbfx",
        "fold_to_zero": b"paiafiam",
        "fold_to_max": b"paiafifm",
        "overlong_two": b"a\xc0\xaf",
        "overlong_c1": b"\xc1\x80z",
        "overlong_three": b"\xe0\x80\xaf",
        "overlong_four": b"\xf0\x8f\xbf\xbf",
        "surrogate": b"\xed\xa0\x80",
        "above_max": b"\xf4\x90\x80\x80",
        "stray_continuation": b"a\x80b",
        "cut_by_nul": b"\xe2\x82\x00\xac",
        "nul_early": b"ab\x00\xff\xfe",
        "lead_f8": b"\xf8\x88\x80\x80\x80",
        "mixed_long": ("h\u00e9\u20ac\U0001f600" * 12).encode() + b"\xc3",
    }
    return s


def opensubtitles_seeds():
    s = {}
    # mode 0: the image verbatim
    for n in (0, 1, 7, 8, 9, 17):
        s[f"image_{n}"] = bytes([0, 0x31, 0xEE]) + bytes((i * 37 + 1) & 0xFF for i in range(n))
    s["image_abcdefghi"] = bytes([0, 0x00, 0x00]) + b"abcdefghi"
    # mode 1: a chosen size made from a pattern
    for n in (65535, 65536, 65537, 131071, 131072, 131073, 196624):
        s[f"size_{n}"] = bytes([1, 0xF3, 0x11]) + u32(n) + PATTERN
    # mode 2: sizes next to the boundaries (base index, delta + 16)
    for base in range(5):
        s[f"near_base{base}"] = bytes([2, 0x5A, 0x77, base, 16 - 1]) + PATTERN
    # mode 3: virtual sizes, chunk function only
    s["virtual_small"] = bytes([3 | (0 << 6), 0x21, 0x99]) + u64(131073) + PATTERN
    s["virtual_top"] = bytes([3 | (1 << 6), 0x12, 0x42]) + u64(0) + PATTERN
    s["virtual_any"] = bytes([3 | (2 << 6), 0xFF, 0x00]) + u64(0x123456789ABCDEF) + PATTERN
    return s


def shooter_seeds():
    s = {}

    def head(mode, name=b"movie.avi", null_name=False):
        ctrl_name = (len(name) % 24) | (0x80 if null_name else 0)
        return bytes([mode, ctrl_name]) + name

    # mode 0: verbatim image (all of these are fallbacks)
    s["fallback_name"] = head(0) + bytes([0]) + b"tiny file"
    s["fallback_null_name"] = head(0, b"", True) + bytes([0]) + b"x"
    s["fallback_bad_name"] = head(0, b"a\xc0\xaf") + bytes([0])
    s["fallback_empty_name"] = head(0, b"") + bytes([0])
    # mode 1: chosen sizes, 'how' byte selects block variants
    for n, how in ((8192, 0), (8193, 0x10), (8193, 0x20), (12283, 0x30), (12284, 0x41),
                   (12285, 0x20), (12288, 0x4F), (16384, 0x00), (81920, 0x45)):
        s[f"size_{n}_{how:02x}"] = head(1) + u32(n) + bytes([how]) + PATTERN
    # mode 2: next to the boundaries (base index, delta + 8)
    for base in range(6):
        s[f"near_base{base}"] = head(2) + bytes([base, 8 + 1, 0x21]) + PATTERN
    # mode 3: validation of arbitrary blocks
    def validation(kind, raw, picks):
        out = head(3) + bytes([kind]) + u64(raw)
        for p in picks:
            out += bytes([p]) + u64(0xFFFF)
        return out + PATTERN
    s["val_negative"] = validation(0, 5, [0, 0, 0, 0])
    s["val_fallback"] = validation(1, 8192, [3, 5, 7, 9])
    # candidates index = pick >> 1: 0 none, 1 left, 2 left-1, 3 left+1, 4 4095,
    # 5 4096, 6 4097, 7 5000, 8 random, 9 max; bit 0 = null pointer
    s["val_8193_ok"] = validation(2, 0, [10, 2, 10, 10])
    s["val_8193_wrong"] = validation(2, 0, [10, 4, 10, 10])
    s["val_8193_null"] = validation(2, 0, [10, 3, 10, 10])
    s["val_block0_short"] = validation(2, 1000, [8, 0, 10, 10])
    s["val_huge"] = validation(3, 0x7FFFFFFFFFFF1234, [14, 10, 12, 18])
    return s


def md5_seeds():
    s = {}
    for n in (0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 1000):
        s[f"len_{n}"] = bytes((i * 131 + n) & 0xFF for i in range(n))
    return s


def md5_lanes_seeds():
    s = {}

    def lanes(control, raw_len, material, state=None):
        out = bytes([control]) + u16(raw_len)
        if state is not None:
            out += b"".join(u32(v) for v in state)
        return out + material

    def distinct(n):
        # four slices of n bytes that differ from each other
        return b"".join(bytes((i * 29 + 17 * lane + 3) & 0xFF for i in range(n))
                        for lane in range(4))

    # mode 0: verbatim lanes of the slice length, around the padding
    for n in (0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 200):
        s[f"verbatim_{n}"] = lanes(0, 0, distinct(n))
    s["verbatim_same_100"] = lanes(4, 0, distinct(100))
    s["verbatim_zero_ff"] = lanes(0, 0, bytes(64) + b"\xff" * 64 + bytes(64) + b"\xff" * 64)
    # mode 1: any length from a short pattern per lane
    for n in (0, 4095, 4097, 8191, 8255):
        s[f"length_{n}"] = lanes(1, n, PATTERN * 4)
    # mode 2: the Shooter block, lanes different and identical
    s["shooter_block"] = lanes(2, 0, distinct(23))
    s["shooter_block_same"] = lanes(6, 0, distinct(23))
    s["shooter_block_empty_patterns"] = lanes(2, 0, b"")
    # mode 3: next to each boundary (index, delta + 8 in the high byte)
    for index in range(6):
        s[f"boundary_{index}"] = lanes(3, index | ((8 + index % 3) << 8), distinct(9))
    # one compression from chaining values of the input
    state = [0x01234567 * (i + 1) & 0xFFFFFFFF for i in range(16)]
    s["state_block"] = lanes(8, 0, distinct(64), state)
    s["state_shooter"] = lanes(8 | 2, 0, distinct(31), [0xFFFFFFFF] * 16)
    return s


def output_seeds():
    s = {}
    caps = [0, 1, 2, 9, 10, 11, 12, 16, 17, 18, 32, 33, 130, 131, 132, 133, 255, 256]

    def seed(ctrl, cap_index, scenario, raw):
        return (bytes([ctrl, cap_index]) + u64(0) + bytes([scenario]) + u64(raw)
                + PATTERN + b"name")

    for cap in (0, 1, 16, 17, 18, 131, 132):
        i = caps.index(cap)
        s[f"os_cap{cap}"] = seed(0, i, 1, 9)
        s[f"shooter_hash_cap{cap}"] = seed(1, i, 2 | (2 << 2), 4000)
    s["os_null_out_cap0"] = seed(2, 0, 1, 9)
    s["os_null_out_cap17"] = seed(2, caps.index(17), 1, 9)
    s["os_negative"] = seed(0, caps.index(17), 0, 1)
    s["os_short_head"] = seed(0, caps.index(17), 1 | (1 << 2), 9)
    s["os_null_tail"] = seed(0, caps.index(17), 2 | (4 << 2), 9)
    s["shooter_fallback_cap10"] = seed(1, caps.index(10), 1 | (2 << 2), 8192)
    s["shooter_fallback_null_name"] = seed(1, caps.index(10), 1, 8192)
    s["shooter_block0_missing"] = seed(1, caps.index(132), 2 | (3 << 4), 100)
    s["shooter_null_out_cap131"] = seed(3, caps.index(131), 2, 100)
    s["huge_cap"] = bytes([1, 250]) + u64(1 << 40) + bytes([2 | (2 << 2)]) + u64(4000) + PATTERN
    return s


def main():
    for target in target_names():
        make = globals().get(f"{target}_seeds")
        if make is None:
            raise SystemExit(f"make_seeds.py: no {target}_seeds() for the target {target}")
        seeds = make()
        d = ROOT / target
        if d.exists():
            shutil.rmtree(d)
        d.mkdir(parents=True)
        for name, data in seeds.items():
            (d / name).write_bytes(data)
        total = sum(len(v) for v in seeds.values())
        print(f"{target}: {len(seeds)} seeds, {total} bytes")


if __name__ == "__main__":
    main()
