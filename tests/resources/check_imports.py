#!/usr/bin/env python3
"""Checks that each Windows executable given as <format>=<path> is of that format
(pei-i386 or pei-x86-64, PE32 or PE32+) and imports system DLLs alone: no runtime of the
compiler (libstdc++, libgcc, libwinpthread) travels with it."""
import re
import subprocess
import sys

import checks

SYSTEM_DLLS = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "user32.dll", "ntdll.dll"}
MAGIC = {"pei-i386": "010b", "pei-x86-64": "020b"}


def check(expected_format, path):
    headers = subprocess.run(["objdump", "-p", path], check=True, capture_output=True,
                             text=True).stdout
    found = re.search(r"file format (\S+)", headers)
    if found is None or found.group(1) != expected_format:
        return ["%s: format %s, not %s" % (path, found and found.group(1), expected_format)]
    errors = []
    if not re.search(r"^Magic\s+%s\b" % MAGIC[expected_format], headers, re.M):
        errors.append("%s: optional header magic is not %s" % (path, MAGIC[expected_format]))
    dlls = [name.lower() for name in re.findall(r"DLL Name: (\S+)", headers)]
    if not dlls:
        errors.append("%s: no imports found" % path)
    foreign = [dll for dll in dlls if dll not in SYSTEM_DLLS]
    if foreign:
        errors.append("%s: imports DLLs that are not the system's: %s" % (path, foreign))
    print("%s: %s, imports %s" % (path, expected_format, ", ".join(dlls)))
    return errors


if __name__ == "__main__":
    sys.exit(checks.check_pairs(check, sys.argv[1:]))
