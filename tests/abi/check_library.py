#!/usr/bin/env python3
"""Checks the built library's binary headers against the committed exports
list (exports.txt), for an ELF shared object (readelf) or a PE DLL
(objdump, MinGW builds):

- the public header declares exactly the listed functions, and the library
  exports exactly those, nothing else;
- the library needs nothing at run time but the C library (and, on
  Windows, the kernel);
- ELF: no dynamic relocation refers to the library's own exports (it
  reaches its own functions directly, so a second copy loaded earlier into
  the process cannot take its calls), no text relocations, the SONAME, a
  stack that is not executable;
- PE: every exported address has one name;
- no object file of the library carries constructors or destructors that
  would run at load or unload.
"""

import argparse
import pathlib
import re
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent

# What a library may need at run time, by format.
ALLOWED_NEEDED = {
    "elf": re.compile(r"libc\.so\.\d+"),
    "pe": re.compile(r"(kernel32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll", re.I),
}
SANITIZER_RUNTIME = re.compile(r"lib(a|ub|l|t)san\.so.*")
# Sections that hold code run at load or unload.
INIT_SECTIONS = {
    "elf": (".init_array", ".fini_array", ".ctors", ".dtors", ".preinit_array"),
    "pe": (".ctors", ".dtors", ".CRT$XC", ".CRT$XT", ".tls"),
}


def exports_list(path=HERE / "exports.txt"):
    names = [l.strip() for l in open(path, encoding="utf-8")]
    return [n for n in names if n and not n.startswith("#")]


def declared_functions(header):
    text = open(header, encoding="utf-8").read()
    return re.findall(r"KELHASH_API\s+[^;(]*?\b(kelhash_\w+)\s*\(", text)


def run(tool, *args):
    return subprocess.run([tool, *args], check=True, capture_output=True, text=True).stdout


class Elf:
    def __init__(self, tool, library):
        self.tool, self.library = tool, library

    def exported(self):
        names = []
        for line in run(self.tool, "-W", "--dyn-syms", self.library).splitlines():
            cols = line.split()
            # Num: Value Size Type Bind Vis Ndx Name
            if len(cols) < 8 or not cols[0].endswith(":"):
                continue
            typ, bind, ndx, name = cols[3], cols[4], cols[6], cols[7]
            if ndx == "UND" or bind not in ("GLOBAL", "WEAK") or typ in ("SECTION", "FILE"):
                continue
            names.append(name.split("@")[0])
        return names

    def needed(self):
        return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]",
                          run(self.tool, "-W", "-d", self.library))

    def format_checks(self):
        failures = []
        dynamic = run(self.tool, "-W", "-d", self.library)
        soname = re.findall(r"\(SONAME\)\s+Library soname: \[([^\]]+)\]", dynamic)
        if soname != ["libkelhash.so.1"]:
            failures.append(f"SONAME is {soname}, expected libkelhash.so.1")
        if "TEXTREL" in dynamic:
            failures.append("has text relocations")
        for line in run(self.tool, "-W", "-r", self.library).splitlines():
            cols = line.split()
            if len(cols) >= 5 and cols[0][:1].isalnum() and re.match(r"kelhash_\w+", cols[4]):
                failures.append(f"dynamic relocation against its own symbol: {line.strip()}")
        stack = [l for l in run(self.tool, "-W", "-l", self.library).splitlines()
                 if "GNU_STACK" in l]
        if len(stack) != 1:
            failures.append("no GNU_STACK program header")
        elif "E" in stack[0].split()[-2]:
            failures.append(f"executable stack: {stack[0].strip()}")
        return failures

    def sections(self, obj):
        return run(self.tool, "-W", "-S", obj)


class Pe:
    def __init__(self, tool, library):
        self.tool, self.library = tool, library
        self.private = run(tool, "-p", library)

    def exported(self):
        m = re.search(r"\[Ordinal/Name Pointer\] Table\n((?:\s+\[\s*\d+\]\s+\S+\n)*)",
                      self.private)
        return re.findall(r"\[\s*\d+\]\s+(\S+)", m.group(1)) if m else []

    def needed(self):
        return re.findall(r"DLL Name: (\S+)", self.private)

    def format_checks(self):
        failures = []
        names = self.exported()
        if not names:
            failures.append("no export name table")
        addresses = re.search(r"Export Address Table\s+([0-9a-fA-F]+)\n", self.private)
        if addresses is None or int(addresses.group(1), 16) != len(names):
            failures.append("the export address table has entries without a name "
                            f"({addresses.group(1) if addresses else 'none'} addresses, "
                            f"{len(names)} names)")
        if not self.needed():
            failures.append("no import table")
        return failures

    def sections(self, obj):
        return run(self.tool, "-h", obj)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--format", choices=("elf", "pe"), required=True)
    ap.add_argument("--tool", required=True, help="readelf (elf) or objdump (pe)")
    ap.add_argument("--library", required=True)
    ap.add_argument("--objects", required=True)
    ap.add_argument("--header", required=True)
    ap.add_argument("--sanitized", action="store_true")
    a = ap.parse_args()
    binary = (Elf if a.format == "elf" else Pe)(a.tool, a.library)
    failures = []

    listed = exports_list()
    if len(listed) != len(set(listed)):
        failures.append(f"exports.txt names a function twice: {listed}")
    declared = declared_functions(a.header)
    if sorted(declared) != sorted(listed):
        failures.append("the header's functions differ from exports.txt: extra "
                        f"{sorted(set(declared) - set(listed))}, missing "
                        f"{sorted(set(listed) - set(declared))}")
    exported = binary.exported()
    if len(exported) != len(set(exported)):
        failures.append(f"an export name appears twice: {exported}")
    if set(exported) != set(listed):
        failures.append("exported symbols differ from exports.txt: extra "
                        f"{sorted(set(exported) - set(listed))}, missing "
                        f"{sorted(set(listed) - set(exported))}")

    needed = binary.needed()
    for lib in needed:
        if ALLOWED_NEEDED[a.format].fullmatch(lib):
            continue
        if a.sanitized and SANITIZER_RUNTIME.fullmatch(lib):
            continue
        failures.append(f"needs {lib} at run time")
    failures += binary.format_checks()

    # Sanitizers add module constructors of their own; the check is for ours.
    if not a.sanitized:
        objects = [p for p in open(a.objects, encoding="utf-8").read().split("\n") if p]
        if not objects:
            failures.append("no object files listed")
        for obj in objects:
            sections = binary.sections(obj)
            for sec in INIT_SECTIONS[a.format]:
                if re.search(r"(^|\s)" + re.escape(sec) + r"(\S*)(\s|$)", sections, re.M):
                    failures.append(f"{obj} has a {sec} section")

    for f in failures:
        print("FAIL:", f)
    if not failures:
        print(f"exports the {len(exported)} listed functions, needs {needed}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
