#!/usr/bin/env python3
"""The Windows programs and the JRE template under Wine, each run in a Wine prefix of its own.

  check_wine.py programs <build tree> x86|x64
      Both programs of the build start and print their texts: Tarnwick with no argument prints
      its usage text and ends with status 2; repohost with an unknown option prints
      "Unrecognized option: -x" and ends with status 0.
  check_wine.py jre-template <vendor key> <register-jre.reg>=<32|64> ...
      Wine's reg imports each template into the view of HKLM\\SOFTWARE that a host of that
      bitness reads (reg import /reg:32 or /reg:64, as the README says), and there, seen from
      64 bits (the 32-bit view under Wow6432Node), the vendor key names a version in
      CurrentVersion whose key holds RuntimeLib, the path of a jvm.dll, and MicroVersion.

The prefixes are those of the Wine tests (tests/wine/winehost.py): the 64-bit loader runs
everything, and where the 32-bit programs cannot run here, `programs ... x86` ends with status
77 (skipped) and says why."""
import os
import re
import sys

import checks

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
import winehost  # noqa: E402

PROGRAMS = [
    # (program in the build tree, arguments, exit status, standard output)
    ("regtool/Tarnwick.exe", [], 2,
     "\nFormat: Tarnwick RMIRegistryPath\nexample: Tarnwick c:\\jdk1.4\\bin\\rmiregistry"),
    ("host/repohost.exe", ["-x"], 0, "\nUnrecognized option: -x\n"),
]


def check_programs(build, architecture):
    winehost.exit_if_unsupported("wine_programs_" + architecture, architecture)
    errors = []
    prefix = winehost.Prefix()
    try:
        for program, arguments, expected_status, expected_output in PROGRAMS:
            path = os.path.join(build, program)
            status, output = prefix.run([path] + arguments)
            print("%s: status %d, %r" % (" ".join([path] + arguments), status, output))
            if (status, output) != (expected_status, expected_output):
                errors.append("%s: status %d and %r, not %d and %r" % (
                    path, status, output, expected_status, expected_output))
    finally:
        prefix.close()
    return checks.report(errors)


def check_jre_templates(vendor, arguments):
    errors = []
    prefix = winehost.Prefix()
    try:
        for argument in arguments:
            template, bits = argument.rsplit("=", 1)
            status, output = prefix.run(["reg", "import", winehost.windows_path(template),
                                         "/reg:" + bits])
            if status != 0:
                errors.append("%s: reg import /reg:%s: status %d %s" % (template, bits, status,
                                                                       output))
                continue
            view = "SOFTWARE\\Wow6432Node\\" if bits == "32" else "SOFTWARE\\"
            key = "HKEY_LOCAL_MACHINE\\" + view + vendor + " Runtime Environment"
            # Read back from 64 bits, where the 32-bit view is a key of its own.
            vendor_values = prefix.reg_values(key, view="/reg:64") or {}
            version = vendor_values.get("CurrentVersion", (None, None))
            values = prefix.reg_values(key + "\\" + str(version[1]), view="/reg:64") or {}
            library = values.get("RuntimeLib", (None, ""))
            print("%s (/reg:%s): %s CurrentVersion %r; RuntimeLib %r, MicroVersion %r" % (
                template, bits, key, version, library, values.get("MicroVersion")))
            if (version[0] != "REG_SZ" or library[0] != "REG_SZ"
                    or not re.match(r"[A-Za-z]:\\.*\\jvm\.dll$", library[1])
                    or values.get("MicroVersion", (None,))[0] != "REG_SZ"):
                errors.append("%s: after reg import /reg:%s, %s holds %r and %r" % (
                    template, bits, key, vendor_values, values))
    finally:
        prefix.close()
    return checks.report(errors)


if __name__ == "__main__":
    if sys.argv[1] == "programs":
        sys.exit(check_programs(sys.argv[2], sys.argv[3]))
    sys.exit(check_jre_templates(sys.argv[2], sys.argv[3:]))
