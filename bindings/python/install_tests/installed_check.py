"""Run by test_pip.py with the interpreter of a virtual environment into
which kelhash was installed, from /, in isolated mode (-I) and with no
variables of the environment but PATH: imports kelhash, hashes the golden
files (as paths, as bytes and, served by the range test server, as URLs) and
strings, and prints as JSON where the module and the library came from and
what they computed. test_pip.py judges the report.

Usage: python -I installed_check.py GOLDEN_DIR RANGE_SERVER_DIR
"""

import importlib.metadata
import json
import os
import sys

import kelhash


def mapped_libraries():
    """The kelhash libraries mapped into this process, as the kernel sees them."""
    try:
        with open("/proc/self/maps", encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    found = set()
    for line in lines:
        fields = line.split(None, 5)
        if len(fields) == 6 and "kelhash" in os.path.basename(fields[5]):
            found.add(fields[5])
    return sorted(found)


def supported_tags():
    try:
        from packaging import tags
    except ImportError:
        from pip._vendor.packaging import tags
    return {str(t) for t in tags.sys_tags()}


def main():
    golden = sys.argv[1]
    sys.path.insert(0, sys.argv[2])
    from range_server import RangeServer

    files = {}
    with open(os.path.join(golden, "files.tsv"), encoding="utf-8") as f, \
            RangeServer(os.path.join(golden, "files")) as server:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            name = line.split("\t")[0]
            path = os.path.join(golden, "files", name)
            with open(path, "rb") as g:
                data = g.read()
            url = kelhash.url(server.url("files", name))
            both = kelhash.fingerprints(url, fallback_name="movie.avi")
            files[name] = {
                "opensubtitles": [kelhash.opensubtitles_hash(path), kelhash.opensubtitles_hash(data),
                                  both.opensubtitles],
                "shooter": [kelhash.shooter_hash(path, fallback_name="movie.avi"),
                            kelhash.shooter_hash(data, fallback_name="movie.avi"), both.shooter],
                "md5": [kelhash.md5(path), kelhash.md5(data), kelhash.md5(url)],
            }
    stable = {}
    with open(os.path.join(golden, "stable.tsv"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("#") or not line.strip("\n"):
                continue
            text = line.split("\t")[0]
            stable[text] = kelhash.stable_hash(bytes.fromhex(text))
    try:
        kelhash.md5(os.path.join(golden, "no such file"))
        error = None
    except kelhash.KelhashError as e:
        error = [e.status, e.message]
    dist = importlib.metadata.distribution("kelhash")
    wheel = dict(line.split(": ", 1) for line in dist.read_text("WHEEL").splitlines() if ": " in line)
    report = {
        "module": kelhash.__file__,
        "library": kelhash._lib._name,
        "mapped": mapped_libraries(),
        "version": kelhash.__version__,
        "dist_version": dist.version,
        "wheel": wheel,
        "tag_supported": wheel.get("Tag") in supported_tags(),
        "record": sorted(str(p) for p in (dist.files or [])),
        "site": [p for p in sys.path if p.endswith("site-packages")],
        "files": files,
        "stable": stable,
        "error": error,
    }
    json.dump(report, sys.stdout)


main()
