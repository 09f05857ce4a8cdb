"""The Windows host's life as a service under Wine's service manager, step by step, in a Wine
prefix of its own: install with launch parameters, start, query, stop, remove."""

import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "wine"))
import winehost  # noqa: E402


def step(prefix, title, args):
    status, output = prefix.run(args)
    print("> " + title)
    for line in output.strip("\n").splitlines():
        if line.strip():
            print("    | " + line)


prefix = winehost.Prefix()
try:
    bin_dir = os.path.join(prefix.dir, "Korvane Repository")
    os.mkdir(bin_dir)
    for path in (winehost.REPOHOST_EXE, winehost.TESTJVM_DLL):
        shutil.copy(path, bin_dir)
    exe = winehost.windows_path(os.path.join(bin_dir, "repohost.exe"))
    prefix.register_jre(winehost.windows_path(os.path.join(bin_dir, "jvm.dll")))
    step(prefix, r"repohost -i -Xmx256m wrkdir=C:\ start", [exe, "-i", "-Xmx256m", "wrkdir=C:\\",
                                                           "start"])
    step(prefix, "reg query ...\\KorvaneRepository\\Parameters",
         ["reg", "query", winehost.PARAMETERS_KEY])
    step(prefix, "sc start KorvaneRepository", ["sc", "start", winehost.SERVICE])
    prefix.wait_for_state("RUNNING")
    step(prefix, "sc query KorvaneRepository", ["sc", "query", winehost.SERVICE])
    step(prefix, "sc stop KorvaneRepository", ["sc", "stop", winehost.SERVICE])
    prefix.wait_for_state("STOPPED")
    step(prefix, "sc query KorvaneRepository", ["sc", "query", winehost.SERVICE])
    step(prefix, "repohost -r", [exe, "-r"])
finally:
    prefix.close()
