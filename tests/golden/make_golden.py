#!/usr/bin/env python3
"""Writes the golden files and their expected hashes, shared by every test
suite of the project (C++, Python, the command, and the other bindings).

The contents are reproducible pseudo-random bytes at the sizes where the
hashes change shape; the expected values come from tests/python/reference.py,
which computes each hash straight from its definition (MD5 from hashlib),
not from the library. Run it again only to add cases; the files are
committed, so every suite reads the same bytes.

    files/<size>.bin   the file of that many bytes
    files.tsv          file, size, OpenSubtitles hash, Shooter hash (with the
                       fallback name movie.avi for files of 8192 bytes or
                       less), MD5 (uppercase)
    stable.tsv         UTF-8 text as hexadecimal bytes, its stable hash
"""

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "python"))
import reference  # noqa: E402

FALLBACK_NAME = "movie.avi"
SIZES = [0, 1, 7, 8, 9, 4095, 4096, 8192, 8193, 12287, 12288, 65535, 65536, 65537,
         131072, 131073, 200003]
TEXTS = ["", "a", "abc", "movie.avi", "Der Film (2019).mkv", "\u00e9t\u00e9.avi",
         "\u96fb\u5f71.mp4", "\U0001F3AC clip.webm", "x" * 1000]


def main():
    files = HERE / "files"
    files.mkdir(exist_ok=True)
    rows = ["# file\tsize\topensubtitles\tshooter (fallback name movie.avi)\tmd5"]
    for size in SIZES:
        data = reference.data_of_size(size, seed=2026)
        name = f"{size}.bin"
        (files / name).write_bytes(data)
        rows.append("\t".join([name, str(size), reference.opensubtitles(data),
                               reference.shooter(data, FALLBACK_NAME), reference.md5(data)]))
    (HERE / "files.tsv").write_text("\n".join(rows) + "\n", encoding="ascii")

    rows = ["# UTF-8 text as hexadecimal bytes\tstable hash"]
    for text in TEXTS:
        rows.append(f"{text.encode('utf-8').hex()}\t{reference.stable_hash(text)}")
    (HERE / "stable.tsv").write_text("\n".join(rows) + "\n", encoding="ascii")


if __name__ == "__main__":
    main()
