"""The Windows host's life as a service under Wine's service manager, step by step, in a Wine
prefix of its own, with the executables of REPOHOST_WINE_ARCH (x86, the deliverable, where this
machine's Wine runs 32-bit programs): the KorvaneRMIRegistry service record and its rmiregistry
path recorded by Tarnwick; then install with launch parameters, start, query, stop, remove."""

import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "wine"))
import winehost  # noqa: E402

RMI_PARAMETERS_KEY = winehost.SERVICES_KEY + "\\" + winehost.DEPENDENCY + r"\Parameters"
RMIREGISTRY = r"C:\Program Files\Java\jre-17\bin\rmiregistry.exe"


def step(prefix, title, args):
    status, output = prefix.run(args)
    print("> " + title)
    for line in output.strip("\n").splitlines():
        if line.strip():
            print("    | " + line)


print("Wine %s, the %s executables of %s" % (winehost.ARCH, winehost.ARCH, winehost.BUILD_DIR))
prefix = winehost.Prefix()
try:
    bin_dir = os.path.join(prefix.dir, "Korvane Repository")
    os.mkdir(bin_dir)
    for path in (winehost.REPOHOST_EXE, winehost.TARNWICK_EXE, winehost.TESTJVM_DLL):
        shutil.copy(path, bin_dir)
    exe = winehost.windows_path(os.path.join(bin_dir, "repohost.exe"))
    tarnwick = winehost.windows_path(os.path.join(bin_dir, "Tarnwick.exe"))
    prefix.register_jre(winehost.windows_path(os.path.join(bin_dir, "jvm.dll")))
    step(prefix, 'sc create KorvaneRMIRegistry binPath= "%s"' % RMIREGISTRY,
         ["sc", "create", winehost.DEPENDENCY, "binPath=", '"%s"' % RMIREGISTRY])
    step(prefix, 'Tarnwick "%s"' % RMIREGISTRY, [tarnwick, RMIREGISTRY])
    step(prefix, "reg query ...\\KorvaneRMIRegistry\\Parameters",
         ["reg", "query", RMI_PARAMETERS_KEY, winehost.REG_VIEW])
    step(prefix, r"repohost -i -Xmx256m wrkdir=C:\ start", [exe, "-i", "-Xmx256m", "wrkdir=C:\\",
                                                           "start"])
    step(prefix, "reg query ...\\KorvaneRepository\\Parameters",
         ["reg", "query", winehost.PARAMETERS_KEY, winehost.REG_VIEW])
    step(prefix, "sc start KorvaneRepository", ["sc", "start", winehost.SERVICE])
    prefix.wait_for_state("RUNNING")
    step(prefix, "sc query KorvaneRepository", ["sc", "query", winehost.SERVICE])
    step(prefix, "sc stop KorvaneRepository", ["sc", "stop", winehost.SERVICE])
    prefix.wait_for_state("STOPPED")
    step(prefix, "sc query KorvaneRepository", ["sc", "query", winehost.SERVICE])
    step(prefix, "repohost -r", [exe, "-r"])
finally:
    prefix.close()
