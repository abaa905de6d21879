#!/usr/bin/env python3
"""Checks the built shared library's ELF headers: exactly the functions the
public header declares are exported, nothing is needed at run time but the C
library, no dynamic relocation refers to the library's own exports, the
stack is not executable, and no object file of the library
carries constructors or destructors that would run at load or unload."""

import argparse
import re
import subprocess
import sys


def readelf(tool, *args):
    return subprocess.run([tool, "-W", *args], check=True, capture_output=True,
                          text=True).stdout


def declared_functions(header):
    text = open(header, encoding="utf-8").read()
    return set(re.findall(r"KELHASH_API\s+[^;(]*?\b(kelhash_\w+)\s*\(", text))


def exported_symbols(tool, library):
    names = set()
    for line in readelf(tool, "--dyn-syms", library).splitlines():
        cols = line.split()
        # Num: Value Size Type Bind Vis Ndx Name
        if len(cols) < 8 or not cols[0].endswith(":"):
            continue
        typ, bind, ndx, name = cols[3], cols[4], cols[6], cols[7]
        if ndx == "UND" or bind not in ("GLOBAL", "WEAK") or typ in ("SECTION", "FILE"):
            continue
        names.add(name.split("@")[0])
    return names


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--readelf", required=True)
    ap.add_argument("--library", required=True)
    ap.add_argument("--objects", required=True)
    ap.add_argument("--header", required=True)
    ap.add_argument("--sanitized", action="store_true")
    a = ap.parse_args()
    failures = []

    declared = declared_functions(a.header)
    if len(declared) != 11:
        failures.append(f"header declares {len(declared)} functions, expected 11: {sorted(declared)}")
    exported = exported_symbols(a.readelf, a.library)
    if exported != declared:
        failures.append("exported symbols differ from the header: extra "
                        f"{sorted(exported - declared)}, missing {sorted(declared - exported)}")

    dynamic = readelf(a.readelf, "-d", a.library)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
    soname = re.findall(r"\(SONAME\)\s+Library soname: \[([^\]]+)\]", dynamic)
    if soname != ["libkelhash.so.1"]:
        failures.append(f"SONAME is {soname}, expected libkelhash.so.1")
    for lib in needed:
        if re.fullmatch(r"libc\.so\.\d+", lib):
            continue
        if a.sanitized and re.match(r"lib(a|ub|l|t)san\.so", lib):
            continue
        failures.append(f"needs {lib} at run time")
    # The library reaches its own functions directly: a relocation that the
    # dynamic linker resolves against a kelhash_ symbol could bind to another
    # copy of the library loaded earlier into the process.
    for line in readelf(a.readelf, "-r", a.library).splitlines():
        cols = line.split()
        if len(cols) >= 5 and cols[0][:1].isalnum() and re.match(r"kelhash_\w+", cols[4]):
            failures.append(f"dynamic relocation against its own symbol: {line.strip()}")
    if "TEXTREL" in dynamic:
        failures.append("has text relocations")

    stack = [l for l in readelf(a.readelf, "-l", a.library).splitlines() if "GNU_STACK" in l]
    if len(stack) != 1:
        failures.append("no GNU_STACK program header")
    elif "E" in stack[0].split()[-2]:
        failures.append(f"executable stack: {stack[0].strip()}")

    # Sanitizers add module constructors of their own; the check is for ours.
    if not a.sanitized:
        objects = [p for p in open(a.objects, encoding="utf-8").read().split("\n") if p]
        if not objects:
            failures.append("no object files listed")
        for obj in objects:
            sections = readelf(a.readelf, "-S", obj)
            for sec in (".init_array", ".fini_array", ".ctors", ".dtors", ".preinit_array"):
                if re.search(re.escape(sec) + r"\b", sections):
                    failures.append(f"{obj} has a {sec} section")

    for f in failures:
        print("FAIL:", f)
    if not failures:
        print(f"exports {len(exported)} functions, needs {needed}, stack not executable")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
