#!/usr/bin/env python3
"""Checks the built DLL's PE headers (MinGW builds): exactly the functions the
public header declares are exported, by name, and nothing else; the DLL needs
no DLL but the system's (no libstdc++, libgcc or winpthread DLL); and no
object file of the library carries constructors or destructors that would
run at load or unload."""

import argparse
import re
import subprocess
import sys

# System DLLs that a DLL may need: the kernel and the C runtime.
ALLOWED_IMPORTS = re.compile(r"(kernel32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll",
                             re.IGNORECASE)


def objdump(tool, *args):
    return subprocess.run([tool, *args], check=True, capture_output=True, text=True).stdout


def declared_functions(header):
    text = open(header, encoding="utf-8").read()
    return set(re.findall(r"KELHASH_API\s+[^;(]*?\b(kelhash_\w+)\s*\(", text))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--objdump", required=True)
    ap.add_argument("--library", required=True)
    ap.add_argument("--objects", required=True)
    ap.add_argument("--header", required=True)
    a = ap.parse_args()
    failures = []

    declared = declared_functions(a.header)
    if len(declared) != 11:
        failures.append(f"header declares {len(declared)} functions, expected 11: {sorted(declared)}")

    private = objdump(a.objdump, "-p", a.library)

    # The export table: every address has one name, and the names are the
    # header's functions.
    m = re.search(r"\[Ordinal/Name Pointer\] Table\n((?:\s+\[\s*\d+\]\s+\S+\n)*)", private)
    exported = []
    if m is None:
        failures.append("no export name table")
    else:
        exported = re.findall(r"\[\s*\d+\]\s+(\S+)", m.group(1))
    if len(exported) != len(set(exported)):
        failures.append(f"an export name appears twice: {exported}")
    if set(exported) != declared:
        failures.append("exported names differ from the header: extra "
                        f"{sorted(set(exported) - declared)}, missing "
                        f"{sorted(declared - set(exported))}")
    addresses = re.search(r"Export Address Table\s+([0-9a-fA-F]+)\n", private)
    if addresses is None or int(addresses.group(1), 16) != len(exported):
        failures.append("the export address table has entries without a name "
                        f"({addresses.group(1) if addresses else 'none'} addresses, "
                        f"{len(exported)} names)")

    imports = re.findall(r"DLL Name: (\S+)", private)
    if not imports:
        failures.append("no import table")
    for dll in imports:
        if not ALLOWED_IMPORTS.fullmatch(dll):
            failures.append(f"needs {dll} at run time")

    objects = [p for p in open(a.objects, encoding="utf-8").read().split("\n") if p]
    if not objects:
        failures.append("no object files listed")
    for obj in objects:
        headers = objdump(a.objdump, "-h", obj)
        for sec in (".ctors", ".dtors", ".CRT$XC", ".CRT$XT", ".tls"):
            if re.search(r"\s" + re.escape(sec) + r"(\S*)\s", headers):
                failures.append(f"{obj} has a {sec} section")

    for f in failures:
        print("FAIL:", f)
    if not failures:
        print(f"exports {len(exported)} functions, needs {imports}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
