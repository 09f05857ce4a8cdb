#!/usr/bin/env bash
# Builds what is missing and shows the host's main job natively with a real JVM: the example RMI
# server in the host, bound in the JDK's rmiregistry and called by the example's client; then the
# Windows host's life as a service under Wine's service manager: install, start, query, stop,
# remove.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh native
export REPOHOST_EXE=$PWD/build/native/host/repohost
export TESTJVM_LIB=$PWD/build/native/testjvm/libtestjvm.so
export JAVA_FIXTURES=$PWD/build/native/java
export REPOHOST_EXAMPLES=$PWD/build/native/examples
python3 scripts/demo.py
# The deliverable (x86) where this machine's Wine runs 32-bit programs, else the x64 build.
REPOHOST_WINE_ARCH=$(python3 -c 'import sys; sys.path.insert(0, "tests/wine"); import winehost
reason = winehost.missing_support("x86")
print("x64" if reason else "x86")
if reason: print("The x86 executables cannot run under Wine here (" + reason + "): showing the x64 ones.", file=sys.stderr)')
export REPOHOST_WINE_ARCH
bash scripts/build.sh windows-$REPOHOST_WINE_ARCH
python3 scripts/demo_wine.py
# What an administrator downloads: the release archive of each Windows build, with its files.
bash scripts/build.sh windows-x86 windows-x64
bash scripts/package.sh
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/windows-x86/CMakeCache.txt)
for archive in build/windows-x86/repohost-$version-win32.zip build/windows-x64/repohost-$version-win64.zip; do
    echo
    echo "$archive: $(stat -c %s "$archive") bytes"
    python3 -m zipfile -l "$archive"
done
