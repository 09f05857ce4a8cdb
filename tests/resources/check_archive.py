#!/usr/bin/env python3
"""Checks each release archive given as <archive>=<build tree>: the archive holds exactly the
programs, the README, the JRE template and SHA256SUMS in one folder named like the archive; the
two text files have CRLF line ends; every file is the one of the build tree (the archive is not
stale); and, unpacked, `sha256sum -c SHA256SUMS` verifies the four other files."""
import os
import subprocess
import sys
import tempfile
import zipfile

import checks

# The archive's files and where the build tree has them.
FILES = {
    "repohost.exe": "host/repohost.exe",
    "Tarnwick.exe": "regtool/Tarnwick.exe",
    "README.txt": "packaging/README.txt",
    "register-jre.reg": "packaging/register-jre.reg",
}
SUMS = "SHA256SUMS"
TEXT_FILES = ("README.txt", "register-jre.reg")


def check(archive, build):
    errors = []
    top = os.path.basename(archive)[:-len(".zip")]
    with zipfile.ZipFile(archive) as zipped:
        names = sorted(name for name in zipped.namelist() if name != top + "/")
        expected = sorted(top + "/" + name for name in list(FILES) + [SUMS])
        if names != expected:
            return ["%s holds %s, not %s" % (archive, names, expected)]
        for name, built in FILES.items():
            data = zipped.read(top + "/" + name)
            with open(os.path.join(build, built), "rb") as f:
                if data != f.read():
                    errors.append("%s: %s differs from %s" % (archive, name, built))
            if name in TEXT_FILES and (data.count(b"\n") != data.count(b"\r\n")
                                       or data.count(b"\r") != data.count(b"\r\n")):
                errors.append("%s: %s has line ends other than CRLF" % (archive, name))
        with tempfile.TemporaryDirectory() as unpacked:
            zipped.extractall(unpacked)
            verified = subprocess.run(["sha256sum", "-c", SUMS], cwd=os.path.join(unpacked, top),
                                      capture_output=True, text=True)
    listed = sorted(line.rsplit(": ", 1)[0] for line in verified.stdout.splitlines()
                    if line.endswith(": OK"))
    if verified.returncode != 0 or listed != sorted(FILES):
        errors.append("%s: sha256sum -c %s: status %d, %s%s" % (
            archive, SUMS, verified.returncode, verified.stdout, verified.stderr))
    print("%s: %s; sha256sum -c: %s" % (archive, ", ".join(names), ", ".join(listed) + " OK"))
    return errors


if __name__ == "__main__":
    sys.exit(checks.check_pairs(check, sys.argv[1:]))
