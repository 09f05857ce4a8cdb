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

The 64-bit loader runs everything, so that a 32-bit loader that cannot run does not take the
64-bit programs down with it. The 32-bit programs need that loader (wine32): where it is
absent or cannot run here, `programs ... x86` ends with status 77 (skipped) and says why.
Programs run with standard input from /dev/null and their output to files, not pipes."""
import os
import re
import shutil
import subprocess
import sys
import tempfile

import checks

SKIPPED = 77
COMMAND_SECONDS = 120
# Debian's loaders; the `wine` command picks the 32-bit one whenever wine32 is installed.
WINE64 = os.environ.get("REPOHOST_WINE64", "/usr/lib/wine/wine64")
WINE32 = os.environ.get("REPOHOST_WINE32", "/usr/lib/wine/wine")

PROGRAMS = [
    # (program in the build tree, arguments, exit status, standard output)
    ("regtool/Tarnwick.exe", [], 2,
     b"\r\nFormat: Tarnwick RMIRegistryPath\r\nexample: Tarnwick c:\\jdk1.4\\bin\\rmiregistry"),
    ("host/repohost.exe", ["-x"], 0, b"\r\nUnrecognized option: -x\r\n"),
]


class Prefix:
    def __enter__(self):
        self.dir = tempfile.mkdtemp(prefix="repohost-resources-wine-")
        self.env = {name: value for name, value in os.environ.items()
                    if name not in ("DISPLAY", "WAYLAND_DISPLAY")}
        self.env.update(WINEPREFIX=os.path.join(self.dir, "prefix"), WINEARCH="win64",
                        WINEDEBUG="-all", WINELOADER=WINE64,
                        # No Mono or Gecko installer runs while the prefix is made.
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        status, _, errors = self.run(["wineboot", "-i"])
        if status != 0:
            self.__exit__()
            raise RuntimeError("wineboot -i: status %d: %s" % (status, errors))
        # A program started while wineboot's server winds down could meet a second one.
        self.wineserver("-w")
        return self

    def __exit__(self, *_):
        self.wineserver("-k")
        self.wineserver("-w")
        shutil.rmtree(self.dir, ignore_errors=True)

    def wineserver(self, option):
        subprocess.run(["wineserver", option], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=COMMAND_SECONDS)

    def run(self, command):
        """Runs a Windows command to its end: (exit status, standard output, standard error)."""
        out, err = os.path.join(self.dir, "stdout"), os.path.join(self.dir, "stderr")
        with open(out, "wb") as stdout, open(err, "wb") as stderr:
            status = subprocess.run([WINE64] + command, env=self.env, stdin=subprocess.DEVNULL,
                                    stdout=stdout, stderr=stderr,
                                    timeout=COMMAND_SECONDS).returncode
        with open(out, "rb") as stdout, open(err, "rb") as stderr:
            return status, stdout.read(), stderr.read().decode(errors="replace")


def windows_path(path):
    """The Windows name of a Linux path, through Wine's drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def why_no_wine32():
    """None when Wine's 32-bit loader runs here, otherwise the reason."""
    if not os.path.exists(WINE32):
        return "no 32-bit Wine loader %s (Debian package wine32:i386)" % WINE32
    try:
        subprocess.run([WINE32, "--version"], stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=COMMAND_SECONDS, check=True)
    except (OSError, subprocess.SubprocessError) as error:
        return "the 32-bit Wine loader %s cannot run here: %s" % (WINE32, error)
    return None


def check_programs(build, architecture):
    if architecture == "x86":
        reason = why_no_wine32()
        if reason:
            print("SKIPPED: the x86 programs under Wine: " + reason)
            return SKIPPED
    errors = []
    with Prefix() as prefix:
        for program, arguments, expected_status, expected_output in PROGRAMS:
            path = os.path.join(build, program)
            status, output, stderr = prefix.run([path] + arguments)
            print("%s: status %d, %r" % (" ".join([path] + arguments), status, output))
            if (status, output) != (expected_status, expected_output):
                errors.append("%s: status %d and %r, not %d and %r (stderr: %s)" % (
                    path, status, output, expected_status, expected_output, stderr))
    return checks.report(errors)


def registry_tree(prefix, key):
    """{subkey path: {value name: (type, data)}} of `reg query <key> /s` in the 64-bit view."""
    status, output, stderr = prefix.run(["reg", "query", key, "/s", "/reg:64"])
    tree, current = {}, None
    if status != 0:
        return tree
    for line in output.decode("utf-8", errors="replace").splitlines():
        value = re.match(r"\s+(.*?)\s{4}(REG_\w+)\s{4}(.*)$", line) or re.match(
            r"\s+(.*?)\s{4}(REG_\w+)()$", line)
        if line.startswith("HKEY_"):
            current = tree.setdefault(line.strip(), {})
        elif value and current is not None:
            current[value.group(1)] = (value.group(2), value.group(3))
    return tree


def check_jre_templates(vendor, arguments):
    errors = []
    with Prefix() as prefix:
        for argument in arguments:
            template, bits = argument.rsplit("=", 1)
            status, output, stderr = prefix.run(["reg", "import", windows_path(template),
                                                 "/reg:" + bits])
            if status != 0:
                errors.append("%s: reg import /reg:%s: status %d %s" % (template, bits, status,
                                                                       stderr))
                continue
            view = "SOFTWARE\\Wow6432Node\\" if bits == "32" else "SOFTWARE\\"
            key = "HKEY_LOCAL_MACHINE\\" + view + vendor + " Runtime Environment"
            tree = registry_tree(prefix, key)
            version = tree.get(key, {}).get("CurrentVersion", (None, None))
            values = tree.get(key + "\\" + str(version[1]), {})
            library = values.get("RuntimeLib", (None, ""))
            print("%s (/reg:%s): %s CurrentVersion %r; RuntimeLib %r, MicroVersion %r" % (
                template, bits, key, version, library, values.get("MicroVersion")))
            if (version[0] != "REG_SZ" or library[0] != "REG_SZ"
                    or not re.match(r"[A-Za-z]:\\.*\\jvm\.dll$", library[1])
                    or values.get("MicroVersion", (None,))[0] != "REG_SZ"):
                errors.append("%s: after reg import /reg:%s, %s holds %r" % (template, bits,
                                                                            key, tree))
    return checks.report(errors)


if __name__ == "__main__":
    if sys.argv[1] == "programs":
        sys.exit(check_programs(sys.argv[2], sys.argv[3]))
    sys.exit(check_jre_templates(sys.argv[2], sys.argv[3:]))
